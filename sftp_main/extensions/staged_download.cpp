#include "sftp_main/extensions/staged_download.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sftp {

namespace {

// Symbolic links followed before giving up, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;
// Room left in a file name for the staging prefix and suffix.
constexpr std::size_t kMaxStagedBase = 200;
constexpr int kNameAttempts = 8;

// The destination as a file system path, or nothing when it is not one.
std::optional<std::string> file_system_path(PyObject* destination, bool& as_bytes) {
    OwnedRef path = OwnedRef::steal(PyOS_FSPath(destination));
    if (!path) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw PyErrorRaised{};
        }
        PyErr_Clear();
        return std::nullopt;
    }
    as_bytes = PyBytes_Check(path.get());
    OwnedRef encoded = as_bytes ? path : OwnedRef::steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::string text(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (text.empty() || text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return text;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Where writing through `path` lands: the final target of its symbolic
// links, which need not exist yet.
std::optional<std::string> final_target(std::string path) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return path;
        }
        std::string link(PATH_MAX, '\0');
        const ssize_t length = readlink(path.c_str(), link.data(), link.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) {
            return std::nullopt;
        }
        link.resize(static_cast<std::size_t>(length));
        path = link.front() == '/' ? link : directory_of(path) + "/" + link;
    }
    return std::nullopt;
}

std::string random_suffix() {
    std::uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
        bits = static_cast<std::uint64_t>(getpid()) * 0x9E3779B97F4A7C15ULL ^ reinterpret_cast<std::uintptr_t>(&bits);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

// Gives the staged file the owner, group and permission bits of the file
// it replaces; false when the owner or group cannot be kept.
bool keeps_owner_and_mode(int fd, const struct stat& replaced) {
    if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0 &&
        (replaced.st_uid != geteuid() || replaced.st_gid != getegid())) {
        return false;
    }
    return fchmod(fd, replaced.st_mode & 07777) == 0;
}

// Whether a rename can replace `replaced` as the transfer would have
// rewritten it: not when other names share the file (they would keep the
// old content), nor in a sticky directory where the file is another user's.
bool replaceable(const std::string& target, const struct stat& replaced) {
    if (replaced.st_nlink > 1) {
        return false;
    }
    struct stat directory {};
    if (stat(directory_of(target).c_str(), &directory) != 0) {
        return false;
    }
    return (directory.st_mode & S_ISVTX) == 0 || replaced.st_uid == geteuid();
}

// Copies the staged file's bytes into `target`, for where a rename cannot
// replace it (another file system, a file mounted on its own).
bool copy_into(const std::string& staged, const std::string& target) {
    const int from = open(staged.c_str(), O_RDONLY | O_CLOEXEC);
    const int to = from < 0 ? -1 : open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    bool copied = from >= 0 && to >= 0;
    std::string buffer(1 << 20, '\0');
    while (copied) {
        const ssize_t got = read(from, buffer.data(), buffer.size());
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        for (ssize_t written = 0; copied && written < got;) {
            const ssize_t put = write(to, buffer.data() + written, static_cast<std::size_t>(got - written));
            copied = put > 0;
            written += put > 0 ? put : 0;
        }
    }
    if (to >= 0 && close(to) != 0) {
        copied = false;
    }
    if (from >= 0) {
        close(from);
    }
    return copied;
}

// Creates the staged file beside `target`, as the transfer itself would
// create a new file (mode 0666 less the umask), or with the permission bits
// of the file it replaces: then it is made private first, so that no other
// user can open it before it has those bits. Its name, or nothing when no
// file can be made.
std::optional<std::string> create_staged_file(const std::string& target, const struct stat* replaced) {
    const auto slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") {
        return std::nullopt;
    }
    const std::string directory = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string prefix = directory + "." + base.substr(0, kMaxStagedBase) + ".";
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string staged = prefix + random_suffix() + ".part";
        const mode_t mode = replaced == nullptr ? 0666 : 0600;
        const int fd = open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return std::nullopt;
        }
        const bool kept = replaced == nullptr || keeps_owner_and_mode(fd, *replaced);
        close(fd);
        if (!kept) {
            unlink(staged.c_str());
            return std::nullopt;
        }
        return staged;
    }
    return std::nullopt;
}

}  // namespace

std::optional<StagedDownload> StagedDownload::prepare(PyObject* destination) {
    bool as_bytes = false;
    const std::optional<std::string> given = file_system_path(destination, as_bytes);
    if (!given) {
        return std::nullopt;
    }
    std::optional<std::string> target = final_target(*given);
    if (!target) {
        return std::nullopt;
    }
    if (target->front() != '/') {
        // Absolute, so that a chdir by another thread during the transfer
        // changes nothing of where it lands.
        std::string here(PATH_MAX, '\0');
        if (getcwd(here.data(), here.size()) == nullptr) {
            return std::nullopt;
        }
        here.resize(std::char_traits<char>::length(here.c_str()));
        target = here + "/" + *target;
    }
    struct stat status {};
    const struct stat* replaced = nullptr;
    if (stat(target->c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode) || !replaceable(*target, status)) {
            return std::nullopt;  // a device, a pipe, a directory: never replaced by a file
        }
        replaced = &status;
    } else if (errno != ENOENT) {
        return std::nullopt;
    }
    std::optional<std::string> staged = create_staged_file(*target, replaced);
    if (!staged) {
        return std::nullopt;
    }
    const auto size = static_cast<Py_ssize_t>(staged->size());
    OwnedRef path_object = OwnedRef::steal(as_bytes ? PyBytes_FromStringAndSize(staged->data(), size)
                                                    : PyUnicode_DecodeFSDefaultAndSize(staged->data(), size));
    if (!path_object) {
        unlink(staged->c_str());
        throw PyErrorRaised{};
    }
    return StagedDownload(std::move(*staged), *target, std::move(path_object));
}

StagedDownload::StagedDownload(std::string staged, std::string target, OwnedRef path_object) noexcept
    : staged_(std::move(staged)), target_(std::move(target)), path_object_(std::move(path_object)) {}

StagedDownload::StagedDownload(StagedDownload&& other) noexcept
    : staged_(std::move(other.staged_)),
      target_(std::move(other.target_)),
      path_object_(std::move(other.path_object_)),
      pending_(std::exchange(other.pending_, false)) {}

StagedDownload::~StagedDownload() {
    if (pending_) {
        unlink(staged_.c_str());
    }
}

void StagedDownload::commit() {
    int failure = 0;
    Py_BEGIN_ALLOW_THREADS
    if (rename(staged_.c_str(), target_.c_str()) == 0) {
        pending_ = false;
    } else if (errno == EXDEV || errno == EBUSY || errno == EPERM || errno == EACCES) {
        failure = copy_into(staged_, target_) ? 0 : (errno != 0 ? errno : EIO);
    } else {
        failure = errno;
    }
    Py_END_ALLOW_THREADS
    if (failure != 0) {
        errno = failure;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_object_.get());
        throw PyErrorRaised{};
    }
}

}  // namespace sftp
