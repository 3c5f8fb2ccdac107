#include "sftp_main/policies/staged_file.hpp"

#include "sftp_main/policies/random_suffix.hpp"

#include <cerrno>
#include <dirent.h>
#include <vector>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace sftp {

namespace {

// Room left in a file name for the staging prefix and suffix.
constexpr std::size_t kMaxStagedBase = 200;
constexpr int kNameAttempts = 8;
constexpr mode_t kStagedMode = 0600;
constexpr std::size_t kCopyChunk = 1 << 20;

std::string staged_name_for(const std::string& base) {
    std::string name(1, '.');
    name.append(base, 0, kMaxStagedBase).append(1, '.').append(random_suffix()).append(".part");
    return name;
}

bool same_file(const struct stat& one, const struct stat& other) noexcept {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// The process's umask, read without changing it (setting it to read it
// would race with other threads creating files); nothing where the kernel
// does not tell.
std::optional<mode_t> current_umask() {
    const FileDescriptor status(open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    if (!status) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    while (text.size() < (1U << 16)) {
        const ssize_t got = read(status.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    constexpr char kField[] = "\nUmask:";
    const auto at = text.find(kField);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const char* digits = text.c_str() + at + sizeof kField - 1;
    char* end = nullptr;
    errno = 0;
    const unsigned long mask = std::strtoul(digits, &end, 8);
    if (end == digits || errno != 0 || mask > 0777) {
        return std::nullopt;
    }
    return static_cast<mode_t>(mask);
}

// Whether the existing entry `existing` (opened O_PATH, not followed) may be
// replaced by a staged file: a regular file with one link, not another
// user's in a sticky directory, that this process may write, as writing it
// in place would need. `status` receives what it is.
bool replaceable(int directory, int existing, const std::string& base, struct stat& status) {
    struct stat parent {};
    if (fstat(existing, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
        fstat(directory, &parent) != 0) {
        return false;
    }
    if ((parent.st_mode & S_ISVTX) != 0 && status.st_uid != geteuid()) {
        return false;
    }
    if (faccessat(existing, "", W_OK, AT_EMPTY_PATH | AT_EACCESS) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A kernel that cannot check the open file itself: by its name. This
    // only decides whether to stage; the identity is the one fixed above.
    return faccessat(directory, base.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

// Whether an unnamed file can later be given a name through its /proc link,
// the one way that needs no privilege.
bool can_be_linked(int unnamed) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", unnamed);
    return faccessat(AT_FDCWD, path, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

// Whether the file open as `descriptor` (O_PATH will do) carries the
// extended attribute `name`; nothing where that cannot be told.
std::optional<bool> has_attribute(int descriptor, const char* name) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
    if (getxattr(path, name, nullptr, 0) >= 0) {
        return true;
    }
    if (errno == ENODATA || errno == ENOTSUP) {
        return false;
    }
    return std::nullopt;
}

// The destination's last component, and its directory opened once, by the
// kernel's own walk (which applies its checks on links), to be named by its
// descriptor from then on: a rename or chdir elsewhere changes nothing of
// where the download lands. Nothing for a last component that names no
// entry of its own ("", ".", "..").
std::optional<std::pair<FileDescriptor, std::string>> split(const std::string& destination) {
    const auto slash = destination.rfind('/');
    std::string base = slash == std::string::npos ? destination : destination.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") {
        return std::nullopt;
    }
    const std::string directory = slash == std::string::npos ? std::string(".") : destination.substr(0, slash + 1);
    FileDescriptor opened(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!opened) {
        return std::nullopt;
    }
    return std::make_pair(std::move(opened), std::move(base));
}

// The link named `base` in `directory`, when the rule forbids following it.
// Where the directory's owner cannot be told, no link is followed.
std::optional<ForeignLink> foreign_link(int directory, const std::string& base) noexcept {
    struct stat entry {};
    if (fstatat(directory, base.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(entry.st_mode) ||
        entry.st_uid == geteuid()) {
        return std::nullopt;
    }
    struct stat parent {};
    if (fstat(directory, &parent) != 0) {
        return ForeignLink{entry.st_uid, static_cast<uid_t>(-1)};
    }
    if (entry.st_uid == parent.st_uid) {
        return std::nullopt;
    }
    return ForeignLink{entry.st_uid, parent.st_uid};
}

}  // namespace

std::optional<ForeignLink> foreign_link_at(const std::string& destination) noexcept {
    try {
        const auto parts = split(destination);
        return parts ? foreign_link(parts->first.get(), parts->second) : std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<std::uint64_t> free_bytes(int directory) noexcept {
    struct statvfs space {};
    // A file system that counts no blocks (some virtual and network ones)
    // tells nothing of its room.
    if (fstatvfs(directory, &space) != 0 || space.f_blocks == 0) {
        return std::nullopt;
    }
    const std::uint64_t fragment = space.f_frsize != 0 ? space.f_frsize : space.f_bsize;
    const std::uint64_t available = space.f_bavail;
    if (fragment != 0 && available > UINT64_MAX / fragment) {
        return UINT64_MAX;
    }
    return available * fragment;
}

std::optional<std::uint64_t> room_at(const std::string& destination) noexcept {
    try {
        const FileDescriptor file(open(destination.c_str(), O_PATH | O_CLOEXEC));
        if (!file) {
            if (errno != ENOENT) {
                return std::nullopt;
            }
            const auto parts = split(destination);
            return parts ? free_bytes(parts->first.get()) : std::nullopt;
        }
        struct stat status {};
        if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            return std::nullopt;
        }
        const std::optional<std::uint64_t> free = free_bytes(file.get());
        if (!free) {
            return std::nullopt;
        }
        const std::uint64_t held = static_cast<std::uint64_t>(status.st_blocks) * 512U;
        return *free > UINT64_MAX - held ? UINT64_MAX : *free + held;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<StagedFile> StagedFile::beside(const std::string& destination, std::optional<ForeignLink>& refused) noexcept {
    try {
        StagedFile staged;
        auto parts = split(destination);
        if (!parts) {
            return std::nullopt;
        }
        staged.directory_ = std::move(parts->first);
        staged.base_ = std::move(parts->second);
        refused = foreign_link(staged.directory_.get(), staged.base_);
        if (refused || !staged.settle_destination() || !staged.create()) {
            return std::nullopt;
        }
        return staged;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<StagedFile> StagedFile::resumable(const std::string& destination, const std::string& part_name,
                                                std::optional<ForeignLink>& refused, bool& foreign_part) noexcept {
    foreign_part = false;
    try {
        StagedFile staged;
        auto parts = split(destination);
        if (!parts) {
            return std::nullopt;
        }
        staged.directory_ = std::move(parts->first);
        staged.base_ = std::move(parts->second);
        refused = foreign_link(staged.directory_.get(), staged.base_);
        if (refused || !staged.settle_destination() || !staged.open_part(part_name, foreign_part)) {
            return std::nullopt;
        }
        return staged;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

// What the destination is, and the owner and mode the staged file is to
// get; false where it is not staged.
bool StagedFile::settle_destination() {
    // Access control lists give a new file other permissions than its
    // mode, and a rename drops the replaced file's own: a destination
    // they govern is written as it is, and keeps what they say.
    if (has_attribute(directory_.get(), "system.posix_acl_default") != false) {
        return false;
    }
    const FileDescriptor existing(openat(directory_.get(), base_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (existing) {
        struct stat status {};
        if (!replaceable(directory_.get(), existing.get(), base_, status) ||
            has_attribute(existing.get(), "system.posix_acl_access") != false) {
            return false;
        }
        replaced_ = status;
        final_mode_ = status.st_mode & 07777;
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    const std::optional<mode_t> mask = current_umask();
    if (!mask) {
        return false;
    }
    final_mode_ = 0666 & ~*mask;
    return true;
}

// A part file of this process's own: a regular file with one link, of its
// user, mode 0600. It is looked at through a descriptor that opens nothing
// (O_PATH, no link followed), and only then opened for writing, through
// that descriptor itself.
bool StagedFile::open_part(const std::string& part_name, bool& foreign_part) {
    const FileDescriptor found(openat(directory_.get(), part_name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!found) {
        if (errno != ENOENT) {
            return false;
        }
        file_ = FileDescriptor(openat(directory_.get(), part_name.c_str(),
                                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kStagedMode));
        if (!file_) {
            foreign_part = errno == EEXIST;  // made by someone else meanwhile
            return false;
        }
        if (fstat(file_.get(), &made_) != 0 || fchmod(file_.get(), kStagedMode) != 0) {
            unlinkat(directory_.get(), part_name.c_str(), 0);
            file_ = FileDescriptor();
            return false;
        }
    } else {
        struct stat status {};
        if (fstat(found.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
            status.st_uid != geteuid() || (status.st_mode & 07777) != kStagedMode) {
            foreign_part = true;
            return false;
        }
        char own_link[40];
        std::snprintf(own_link, sizeof own_link, "/proc/self/fd/%d", found.get());
        file_ = FileDescriptor(open(own_link, O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!file_ || fstat(file_.get(), &made_) != 0 || !same_file(made_, status)) {
            file_ = FileDescriptor();
            foreign_part = true;
            return false;
        }
    }
    name_ = part_name;
    kept_ = true;
    return true;
}

long long StagedFile::held() const noexcept {
    struct stat now {};
    return fstat(file_.get(), &now) == 0 ? static_cast<long long>(now.st_size) : -1;
}

bool StagedFile::empty_out() noexcept { return ftruncate(file_.get(), 0) == 0; }

void StagedFile::remove_other_parts(const std::string& prefix, const std::string& suffix) noexcept {
    const int listing = openat(directory_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        return;
    }
    DIR* entries = fdopendir(listing);
    if (entries == nullptr) {
        close(listing);
        return;
    }
    try {
        std::vector<std::string> stale;
        while (const dirent* entry = readdir(entries)) {
            const std::string name = entry->d_name;
            if (name != name_ && name.size() > prefix.size() + suffix.size() && name.starts_with(prefix) &&
                name.ends_with(suffix)) {
                stale.push_back(name);
            }
        }
        for (const std::string& name : stale) {
            struct stat status {};
            if (fstatat(directory_.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
                status.st_nlink == 1 && status.st_uid == geteuid() && (status.st_mode & 07777) == kStagedMode) {
                unlinkat(directory_.get(), name.c_str(), 0);
            }
        }
    } catch (const std::bad_alloc&) {
    }
    closedir(entries);
}

bool StagedFile::create() {
    file_ = FileDescriptor(openat(directory_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kStagedMode));
    if (file_) {
        if (can_be_linked(file_.get()) && fstat(file_.get(), &made_) == 0) {
            return true;
        }
        file_ = FileDescriptor();
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return false;  // no file can be made here
    }
    // A file system without unnamed files: a new name, which only this
    // process's user can open.
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = staged_name_for(base_);
        file_ = FileDescriptor(
            openat(directory_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kStagedMode));
        if (file_ && fstat(file_.get(), &made_) == 0) {
            name_ = std::move(name);
            return true;
        }
        if (file_) {
            unlinkat(directory_.get(), name.c_str(), 0);
            file_ = FileDescriptor();
            return false;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : directory_(std::move(other.directory_)),
      base_(std::move(other.base_)),
      file_(std::move(other.file_)),
      name_(std::exchange(other.name_, std::string())),
      made_(other.made_),
      replaced_(other.replaced_),
      final_mode_(other.final_mode_),
      kept_(other.kept_) {}

StagedFile::~StagedFile() {
    if (file_) {
        still_ours();
    }
    // A part that received nothing keeps nothing worth resuming: a failure
    // that is no drop (a remote directory, a refused read) leaves no litter.
    if (!name_.empty() && (!kept_ || (file_ && held() == 0))) {
        remove_name();
    }
}

int StagedFile::settle_owner_and_mode() {
    if (replaced_) {
        struct stat mine {};
        if (fstat(file_.get(), &mine) != 0) {
            return errno;
        }
        // First the owner: a change of owner clears the set-user and
        // set-group bits, which the mode then restores.
        if ((mine.st_uid != replaced_->st_uid || mine.st_gid != replaced_->st_gid) &&
            fchown(file_.get(), replaced_->st_uid, replaced_->st_gid) != 0) {
            return errno;
        }
    }
    return fchmod(file_.get(), final_mode_) == 0 ? 0 : errno;
}

int StagedFile::give_name() {
    char own_link[40];
    std::snprintf(own_link, sizeof own_link, "/proc/self/fd/%d", file_.get());
    int failure = EEXIST;
    for (int attempt = 0; attempt < kNameAttempts && failure == EEXIST; ++attempt) {
        std::string name = staged_name_for(base_);
        if (linkat(AT_FDCWD, own_link, directory_.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            name_ = std::move(name);
            return 0;
        }
        failure = errno;
        if (failure != EEXIST && linkat(file_.get(), "", directory_.get(), name.c_str(), AT_EMPTY_PATH) == 0) {
            name_ = std::move(name);
            return 0;
        }
    }
    return failure;
}

// Whether the descriptor still holds the staged file. A client that closed
// it leaves its number to whatever was opened next, which is then neither
// changed nor closed here.
bool StagedFile::still_ours() noexcept {
    struct stat now {};
    if (fstat(file_.get(), &now) == 0 && same_file(now, made_)) {
        return true;
    }
    file_.abandon();
    return false;
}

bool StagedFile::still_named() const noexcept {
    struct stat there {};
    return fstatat(directory_.get(), name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && same_file(there, made_);
}

void StagedFile::remove_name() noexcept {
    // Only the staged file itself: whatever else now bears its name is
    // someone else's.
    if (still_named()) {
        unlinkat(directory_.get(), name_.c_str(), 0);
    }
    name_.clear();
}

int StagedFile::commit() noexcept {
    try {
        if (!still_ours()) {
            return EBADF;
        }
        if (const int failure = settle_owner_and_mode(); failure != 0) {
            return write_in_place(failure);
        }
        if (name_.empty()) {
            if (const int failure = give_name(); failure != 0) {
                return failure;
            }
        } else if (!still_named()) {
            name_.clear();
            return ENOENT;
        }
        if (renameat(directory_.get(), name_.c_str(), directory_.get(), base_.c_str()) == 0) {
            name_.clear();
            return 0;
        }
        const int failure = errno;
        remove_name();
        if (failure == EPERM || failure == EACCES || failure == EBUSY || failure == EXDEV) {
            return write_in_place(failure);
        }
        return failure;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int StagedFile::write_in_place(int failure) {
    if (!replaced_) {
        return failure;  // there was no file: whatever is there now is not the caller's
    }
    FileDescriptor target(
        openat(directory_.get(), base_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat there {};
    if (!target || fstat(target.get(), &there) != 0 || !S_ISREG(there.st_mode) || !same_file(there, *replaced_)) {
        return failure;
    }
    if (ftruncate(target.get(), 0) != 0) {
        return errno;
    }
    std::string buffer(kCopyChunk, '\0');
    for (off_t offset = 0;;) {
        const ssize_t got = pread(file_.get(), buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got < 0) {
                return errno;
            }
            break;
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = write(target.get(), buffer.data() + written, static_cast<std::size_t>(got - written));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                return put < 0 ? errno : EIO;
            }
            written += put;
        }
        offset += got;
    }
    return target.close();
}

}  // namespace sftp
