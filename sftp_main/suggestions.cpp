#include "sftp_main/suggestions.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <string_view>

namespace sftp {

namespace {

// The interpreter's own limits and costs, so that the same typo draws the
// same hint as from a Python function.
constexpr std::size_t kMaxCandidates = 750;
constexpr std::size_t kMaxStringSize = 40;
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;

constexpr std::size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) {
        return kMoveCost;
    }
    if (a == b) {
        return 0;
    }
    if ('A' <= a && a <= 'Z') {
        a = static_cast<char>(a + ('a' - 'A'));
    }
    if ('A' <= b && b <= 'Z') {
        b = static_cast<char>(b + ('a' - 'A'));
    }
    return a == b ? kCaseCost : kMoveCost;
}

// The edit distance of a and b, or anything above max_cost once it is
// sure to exceed it.
std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t max_cost) {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty()) {
        return (a.size() + b.size()) * kMoveCost;
    }
    if (a.size() > kMaxStringSize || b.size() > kMaxStringSize) {
        return max_cost + 1;
    }
    if (b.size() < a.size()) {
        std::swap(a, b);
    }
    if ((b.size() - a.size()) * kMoveCost > max_cost) {
        return max_cost + 1;
    }
    std::array<std::size_t, kMaxStringSize> row{};
    for (std::size_t i = 0; i < a.size(); ++i) {
        row[i] = (i + 1) * kMoveCost;
    }
    std::size_t result = 0;
    for (std::size_t b_index = 0; b_index < b.size(); ++b_index) {
        const char code = b[b_index];
        std::size_t distance = result = b_index * kMoveCost;
        std::size_t minimum = std::numeric_limits<std::size_t>::max();
        for (std::size_t index = 0; index < a.size(); ++index) {
            const std::size_t substitute = distance + substitution_cost(code, a[index]);
            distance = row[index];
            const std::size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            row[index] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) {
            return max_cost + 1;
        }
    }
    return result;
}

std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {utf8, static_cast<std::size_t>(size)};
}

}  // namespace

PyObject* nearest_name(PyObject* name, std::span<PyObject* const> candidates) noexcept {
    if (candidates.size() >= kMaxCandidates || !PyUnicode_Check(name)) {
        return nullptr;
    }
    PendingError outer;
    const std::string_view wanted = utf8_of(name);
    PyObject* suggestion = nullptr;
    std::size_t suggestion_distance = std::numeric_limits<std::size_t>::max();
    if (wanted.data() != nullptr) {
        for (PyObject* candidate : candidates) {
            if (PyUnicode_Compare(name, candidate) == 0) {
                continue;
            }
            const std::string_view offered = utf8_of(candidate);
            // No more than a third of the letters involved may change.
            std::size_t max_distance = (wanted.size() + offered.size() + 3) * kMoveCost / 6;
            max_distance = std::min(max_distance, suggestion_distance - 1);
            const std::size_t distance = edit_distance(wanted, offered, max_distance);
            if (distance > max_distance) {
                continue;
            }
            if (suggestion == nullptr || distance < suggestion_distance) {
                suggestion = candidate;
                suggestion_distance = distance;
            }
        }
    }
    PyErr_Clear();
    outer.restore();
    return suggestion;
}

}  // namespace sftp
