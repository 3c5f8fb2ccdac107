#include "sftp_main/policies/resumable_transfers.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/block_size.hpp"
#include "sftp_main/policies/blocking_call.hpp"
#include "sftp_main/policies/client_registry.hpp"
#include "sftp_main/policies/file_descriptor.hpp"
#include "sftp_main/policies/opted_transfers.hpp"
#include "sftp_main/policies/random_suffix.hpp"
#include "sftp_main/policies/reconnect.hpp"
#include "sftp_main/policies/staged_download.hpp"
#include "sftp_main/policies/staged_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace sftp::resumable {

namespace {

// How much of the end of a kept part is compared with the other side's
// before more is added to it.
constexpr long long kComparedTail = 64LL << 10;
// paramiko's own request size, where "block_size" sets none.
constexpr std::uint32_t kDefaultRequest = 32U << 10;
// Room in a file name for the part's additions.
constexpr std::size_t kMaxKeptBase = 150;
constexpr const char* kPartSuffix = ".partial";

// The first 16 hexadecimal digits of the SHA-256 of `data` (bytes).
std::string digest_of_bytes(PyObject* data) {
    OwnedRef hashlib = check(PyImport_ImportModule("hashlib"));
    OwnedRef hash = check(PyObject_CallMethod(hashlib.get(), "sha256", "O", data));
    OwnedRef digits = check(PyObject_CallMethod(hash.get(), "hexdigest", nullptr));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(digits.get(), &size);
    if (utf8 == nullptr) {
        throw PyErrorRaised{};
    }
    return std::string(utf8, static_cast<std::size_t>(std::min<Py_ssize_t>(size, 16)));
}

// The same of `text`'s UTF-8 form.
std::string digest_of(PyObject* text) {
    OwnedRef encoded = check(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    return digest_of_bytes(encoded.get());
}

// The remote file as the server describes it.
struct RemoteFile {
    long long size = -1;
    long long mtime = -1;  // -1 where the server gives none
    bool operator==(const RemoteFile&) const = default;
};

RemoteFile look_up(PyObject* client, PyObject* source) {
    OwnedRef attributes = check(PyObject_CallMethod(client, "stat", "O", source));
    RemoteFile remote;
    remote.size = blocks::size_in(attributes.get(), source);
    if (remote.size < 0) {
        PyErr_Format(PyExc_OSError, "the server gave no size for %.200R", source);
        throw PyErrorRaised{};
    }
    OwnedRef mtime = OwnedRef::steal(PyObject_GetAttrString(attributes.get(), "st_mtime"));
    if (!mtime) {
        drop_ordinary_error();
    } else if (PyLong_Check(mtime.get())) {
        remote.mtime = as_long_long(mtime.get());
    }
    return remote;
}

// Whether the `held` bytes of the local descriptor end as the remote
// `path`'s first `held` bytes do.
bool tails_match(PyObject* client, PyObject* path, int descriptor, long long held) {
    const long long length = std::min(kComparedTail, held);
    OwnedRef remote = blocks::read_range(client, path, held - length, length);
    if (PyBytes_GET_SIZE(remote.get()) != length) {
        return false;
    }
    std::string local(static_cast<std::size_t>(length), '\0');
    std::size_t got = 0;
    while (got < local.size()) {
        const ssize_t read = without_interpreter_lock([&] {
            return ::pread(descriptor, local.data() + got, local.size() - got, static_cast<off_t>(held - length) + static_cast<off_t>(got));
        });
        if (read < 0 && errno == EINTR) {
            check_status(PyErr_CheckSignals());
            continue;
        }
        if (read <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(read);
    }
    return std::memcmp(local.data(), PyBytes_AS_STRING(remote.get()), local.size()) == 0;
}

[[noreturn]] void refuse_part(const std::string& part_name) {
    OwnedRef message = check(PyUnicode_FromFormat(
        "resume: the part file %s is not this process's user's own private file (a regular file of one link, mode "
        "0600, no symbolic link); it is neither opened nor removed",
        part_name.c_str()));
    OwnedRef name = check(PyUnicode_DecodeFSDefault(part_name.c_str()));
    raise_os_error(EACCES, message.get(), name.get());
}

// The part file's name for the remote file: ".NAME.<16 hex>." is the same
// for every version of the file, what follows tells the version.
struct PartName {
    std::string prefix;
    std::string name;
};

// The server is told by its host key and the user logged in as, not by
// the address: with "ssh" that is the tunnel's, on a port each instance
// picks anew. Where no key was seen, by the address.
OwnedRef server_identity(PyObject* self, PyObject* client, const Options& options) {
    if (options.server_key) {
        OwnedRef user = optional_setting(self, names.user);
        OwnedRef digest = check(PyUnicode_FromString(digest_of_bytes(options.server_key.get()).c_str()));
        return check(PyUnicode_FromFormat("%R@%U", user ? user.get() : Py_None, digest.get()));
    }
    OwnedRef label = clients::server_label(client);
    return check(PyObject_Repr(label ? label.get() : Py_None));
}

PartName part_name(const std::string& destination, PyObject* client, PyObject* server, PyObject* source,
                   const RemoteFile& remote) {
    const auto slash = destination.rfind('/');
    std::string base = slash == std::string::npos ? destination : destination.substr(slash + 1);
    base.resize(std::min(base.size(), kMaxKeptBase));
    // A relative source is the file in the directory `_chdir` set.
    OwnedRef directory = reconnect::remote_directory(client);
    if (!directory) {
        directory = none();
    }
    OwnedRef identity = check(PyUnicode_FromFormat("%U\n%R\n%R", server, directory.get(), source));
    PartName part;
    part.prefix = "." + base + "." + digest_of(identity.get()) + ".";
    part.name = part.prefix + std::to_string(remote.size) + "." + std::to_string(remote.mtime) + kPartSuffix;
    return part;
}

// What a download keeps from one attempt to the next.
class DownloadState {
public:
    DownloadState(PyObject* self, PyObject* destination, const Options& options)
        : self_(self), destination_(destination), options_(options), resume_(static_cast<bool>(options[Option::resume])) {
        path_ = local_path_of(destination);
    }

    // False where the destination cannot be staged: the plain download then.
    bool prepare(PyObject* client, PyObject* source) {
        if (!path_ || unstaged_) {
            return false;
        }
        const RemoteFile now = look_up(client, source);
        if (!part_) {
            std::optional<ForeignLink> refused;
            bool foreign = false;
            PartName name;
            if (resume_) {
                OwnedRef server = server_identity(self_, client, options_);
                name = part_name(*path_, client, server.get(), source, now);
            }
            std::optional<StagedFile> made = without_interpreter_lock([&] {
                return resume_ ? StagedFile::resumable(*path_, name.name, refused, foreign)
                               : StagedFile::beside(*path_, refused);
            });
            if (made) {
                part_.emplace(std::move(*made));
            }
            if (refused) {
                refuse_foreign_link(destination_, *refused);
            }
            if (foreign) {
                refuse_part(name.name);
            }
            if (!part_) {
                unstaged_ = true;
                return false;
            }
            if (resume_) {
                without_interpreter_lock([&] {
                    part_->remove_other_parts(name.prefix, kPartSuffix);
                    return 0;
                });
            }
            const long long held = part_->held();
            if (held > 0 && (held > now.size || !tails_match(client, source, part_->descriptor(), held))) {
                empty_out();
            }
        } else if (const long long held = part_->held();
                   now != seen_ || (held > 0 && !tails_match(client, source, part_->descriptor(), held))) {
            empty_out();  // the file changed between attempts
        }
        seen_ = now;
        if (const std::optional<std::uint64_t> room = part_->room();
            room && static_cast<unsigned long long>(now.size - std::max(part_->held(), 0LL)) > *room) {
            OwnedRef message = check(PyUnicode_FromFormat(
                "the server reports %lld bytes for %R, more than the %llu bytes free beside the destination",
                now.size, source, static_cast<unsigned long long>(*room)));
            raise_os_error(ENOSPC, message.get(), destination_);
        }
        return true;
    }

    void receive(PyObject* client, PyObject* source, PyObject* progress, std::uint32_t request) {
        const long long held = part_->held();
        if (held < 0) {
            raise_errno(errno, nullptr);
        }
        blocks::receive_rest(client, source, part_->descriptor(), progress, request, held, seen_.size);
    }

    void commit() {
        if (!part_) {
            return;
        }
        if (const int failure = without_interpreter_lock([&] { return part_->commit(); }); failure != 0) {
            raise_errno(failure, destination_);
        }
    }

private:
    void empty_out() {
        if (!part_->empty_out()) {
            raise_errno(errno, destination_);
        }
    }

    PyObject* self_;
    PyObject* destination_;
    const Options& options_;
    bool resume_;
    std::optional<std::string> path_;
    std::optional<StagedFile> part_;
    RemoteFile seen_;
    bool unstaged_ = false;
};

// The remote file's size, or 0 where it does not exist.
long long remote_size_or_zero(PyObject* client, PyObject* path) {
    try {
        return blocks::remote_size(client, path);
    } catch (const PyErrorRaised&) {
        drop_error_of(PyExc_FileNotFoundError);
        return 0;
    }
}

// The mode bits the server gives the remote `path`, not following a link;
// nothing where it does not exist.
std::optional<long> remote_mode(PyObject* client, PyObject* path) {
    OwnedRef attributes = OwnedRef::steal(PyObject_CallMethod(client, "lstat", "O", path));
    if (!attributes) {
        drop_error_of(PyExc_FileNotFoundError);
        return std::nullopt;
    }
    OwnedRef mode = check(PyObject_GetAttr(attributes.get(), names.st_mode));
    const long bits = PyLong_Check(mode.get()) ? PyLong_AsLong(mode.get()) : 0;
    if (bits == -1 && PyErr_Occurred()) {
        throw PyErrorRaised{};
    }
    return bits;
}

[[noreturn]] void refuse_staging(PyObject* path) {
    OwnedRef message = check(PyUnicode_FromString(
        "resume: the staging path holds something other than a private directory or file of the upload; it is "
        "left alone"));
    raise_os_error(EACCES, message.get(), path);
}

// The staging of a resumable upload, named for the local file as it is,
// made or found: an existing one is used only when it is a private
// directory holding no more than a regular file (or, on a server that
// makes none, a private regular file). Anything else there may be another
// user's, who could read or change what is staged in it.
transfers::Staging resumable_staging(PyObject* client, PyObject* destination, const struct stat& local) {
    OwnedRef identity = check(PyUnicode_FromFormat(
        "%llu:%llu:%lld:%lld.%09ld", static_cast<unsigned long long>(local.st_dev),
        static_cast<unsigned long long>(local.st_ino), static_cast<long long>(local.st_size),
        static_cast<long long>(local.st_mtim.tv_sec), static_cast<long>(local.st_mtim.tv_nsec)));
    const std::string suffix = digest_of(identity.get());
    OwnedRef directory = transfers::staging_directory(destination, suffix);
    const std::optional<long> bits = remote_mode(client, directory.get());
    if (!bits) {
        return transfers::make_staging(client, destination, suffix);
    }
    const auto mode = static_cast<mode_t>(*bits);
    if ((mode & 077) != 0) {
        refuse_staging(directory.get());
    }
    if (S_ISDIR(mode)) {
        transfers::Staging staging = transfers::staging_in(destination, std::move(directory));
        if (const std::optional<long> inside = remote_mode(client, staging.file.get());
            inside && !S_ISREG(static_cast<mode_t>(*inside))) {
            refuse_staging(staging.file.get());
        }
        return staging;
    }
    if (S_ISREG(mode)) {
        return transfers::Staging{{}, std::move(directory)};
    }
    refuse_staging(directory.get());
}

// On a server that makes no directory, the staged file stands beside the
// destination: it is made empty and private before any byte goes in, so
// that it can be found again as the upload's own.
void make_private_file(PyObject* client, PyObject* path) {
    OwnedRef file = check(PyObject_CallMethod(client, "open", "Os", path, "wb"));
    try {
        check(PyObject_CallMethod(file.get(), "chmod", "i", 0600));
    } catch (const PyErrorRaised&) {
        PendingError failure;
        if (!OwnedRef::steal(PyObject_CallMethod(file.get(), "close", nullptr))) {
            PyErr_Clear();
        }
        failure.restore();
        throw;
    }
    call_method(file.get(), names.close);
}

// Raises where the local file open as `local` is no longer as `seen`: the
// bytes sent before are another version's, not to be continued.
void refuse_changed(int local, const struct stat& seen, PyObject* source) {
    struct stat now {};
    if (fstat(local, &now) != 0) {
        raise_errno(errno, source);
    }
    if (now.st_size != seen.st_size || now.st_mtim.tv_sec != seen.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != seen.st_mtim.tv_nsec) {
        PyErr_Format(PyExc_OSError,
                     "the local file %R changed while it was uploaded: the upload does not go on from the bytes "
                     "sent before",
                     source);
        throw PyErrorRaised{};
    }
}

}  // namespace

void download(PyObject* self, PyObject* source, PyObject* destination, const Options& options, PyObject* progress,
              int& attempts, const std::function<void(PyObject* client, PyObject* progress)>& fallback) {
    DownloadState state(self, destination, options);
    const std::uint32_t request = options.read_request != 0 ? options.read_request : kDefaultRequest;
    reconnect::with_retries(self, options, progress, attempts, [&](PyObject* client, PyObject* callback) {
        clients::CallGuard one_at_a_time(client);
        if (!state.prepare(client, source)) {
            fallback(client, callback);
            return;
        }
        state.receive(client, source, callback, request);
    });
    state.commit();
}

void upload(PyObject* self, PyObject* source, PyObject* destination, const Options& options, PyObject* progress,
            int& attempts) {
    struct stat status {};
    const FileDescriptor local = blocks::open_source(source, status);
    if (S_ISDIR(status.st_mode)) {
        raise_errno(EISDIR, source);  // as the plain upload's open, before the server is touched
    }
    const auto total = static_cast<long long>(status.st_size);
    const bool resume = static_cast<bool>(options[Option::resume]);
    const bool staged = resume || static_cast<bool>(options[Option::atomic_upload]);
    const std::uint32_t request = options.write_request != 0 ? options.write_request : kDefaultRequest;
    std::optional<transfers::Staging> staging;
    long long settled = 0;
    bool first = true;
    try {
        reconnect::with_retries(self, options, progress, attempts, [&](PyObject* client, PyObject* callback) {
            clients::CallGuard one_at_a_time(client);
            if (staged && !staging) {
                staging = resume ? resumable_staging(client, destination, status)
                                 : transfers::make_staging(client, destination, random_suffix());
            }
            PyObject* target = staging ? staging->file.get() : destination;
            if (!first) {
                refuse_changed(local.get(), status, source);
            }
            long long start = 0;
            if (resume || !first) {
                // What the server holds past the confirmed bytes counts once
                // its end is this file's.
                const long long there = remote_size_or_zero(client, target);
                if (there > 0 && there <= total && tails_match(client, target, local.get(), there)) {
                    start = there;
                } else if (!first) {
                    start = std::min(settled, there);
                }
            }
            first = false;
            if (resume && start == 0 && staging && !staging->directory) {
                make_private_file(client, target);
            }
            blocks::send_rest(client, local.get(), source, target, callback, request, start, total, settled);
            if (staging) {
                transfers::finish_staged(client, *staging, destination);
            }
        });
    } catch (const PyErrorRaised&) {
        if (staging && !resume) {
            PendingError failure;
            if (OwnedRef client = OwnedRef::steal(PyObject_GetAttr(self, names._sftp))) {
                staging->remove_quietly(client.get());
            }
            PyErr_Clear();
            failure.restore();
        }
        throw;
    }
}

}  // namespace sftp::resumable
