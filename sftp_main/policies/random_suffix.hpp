// The random part of the hidden names that transfers stage their files
// under (".NAME.<16 hex>.part"), locally and on the server.
#pragma once

#include <sys/random.h>

#include <array>
#include <random>
#include <string>

namespace sftp {

// 16 hexadecimal digits from the system's random source.
inline std::string random_suffix() {
    std::array<unsigned char, 8> bytes{};
    if (getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        std::random_device device;
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(device());
        }
    }
    constexpr const char* kDigits = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0xf]);
    }
    return text;
}

}  // namespace sftp
