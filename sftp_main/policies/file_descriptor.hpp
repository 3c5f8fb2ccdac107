// One open file descriptor, closed when its owner ends.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace sftp {

class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    // Takes what open() returned; a negative value is no descriptor.
    explicit FileDescriptor(int descriptor) noexcept : descriptor_(descriptor < 0 ? -1 : descriptor) {}
    FileDescriptor(FileDescriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(descriptor_, other.descriptor_);
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }

    int get() const noexcept { return descriptor_; }
    explicit operator bool() const noexcept { return descriptor_ >= 0; }

    // Gives the descriptor up without closing it.
    void abandon() noexcept { descriptor_ = -1; }

    // Closes now; 0, or the errno of a failed close (a write-back error).
    int close() noexcept {
        const int descriptor = std::exchange(descriptor_, -1);
        return descriptor < 0 || ::close(descriptor) == 0 ? 0 : errno;
    }

private:
    int descriptor_ = -1;
};

}  // namespace sftp
