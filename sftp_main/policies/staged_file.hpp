// A new file beside a download's destination that takes the destination's
// place only once it holds the whole download.
//
// Staged are only a destination that does not exist, and a regular file
// with one link that the process may write, named by a last component that
// is no symbolic link, and not another user's file in a sticky directory.
// Everything else (links, /proc entries, devices, pipes, files with other
// links, directories the process cannot create a file in, files and
// directories with access control lists) is not staged: it is written
// directly, and the kernel's own checks apply as they do to any open.
//
// A last component that is a symbolic link made by a user who is neither
// this process's effective user nor the directory's owner is never
// followed: the kernel's protected_symlinks rule, in every directory, sticky
// or not, whatever the sysctl says. Such a destination is neither staged
// nor written.
//
// The staged file is made mode 0600 and unnamed (O_TMPFILE), or, where the
// file system has no unnamed files, under a new random name beside the
// destination. It is written only through the descriptor opened here, and
// gets its final owner and mode only after the bytes are written.
#pragma once

#include "sftp_main/policies/file_descriptor.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace sftp {

// A symbolic link that is not to be followed, and who owns what.
struct ForeignLink {
    uid_t link_owner;
    uid_t directory_owner;
};

// The link at the local path `destination`'s last component that the rule
// above forbids following, or nothing (also where no such link can be
// seen: the open that follows then fails by itself). Works on the file
// system: call it without the interpreter lock.
std::optional<ForeignLink> foreign_link_at(const std::string& destination) noexcept;

// The bytes the file system holding `directory` (a descriptor, O_PATH will
// do) has free for this process, or nothing where it tells no bound.
std::optional<std::uint64_t> free_bytes(int directory) noexcept;

// The bytes a regular file at the local path `destination`, written as
// paramiko's `get` writes it (the path followed, the file truncated first),
// can hold: what its file system has free and what the file itself holds
// now. Nothing where it would not be a regular file, or where its file
// system tells no bound. Call it without the interpreter lock.
std::optional<std::uint64_t> room_at(const std::string& destination) noexcept;

class StagedFile {
public:
    // The staged file for the local path `destination`, or nothing where the
    // destination is not staged. Works on the file system: call it without
    // the interpreter lock.
    // `refused` receives the link not followed, if that is why.
    static std::optional<StagedFile> beside(const std::string& destination, std::optional<ForeignLink>& refused) noexcept;

    // The part file named `part_name` beside `destination`, for a download
    // whose bytes outlive the call and the process: the existing one, when
    // it is a regular file with one link, this process's user's, mode
    // 0600, reached without following a link; or else a new one, made 0600
    // with O_EXCL|O_NOFOLLOW. Unlike the staged file, it stays when the
    // download fails. Nothing where the destination is not staged, or
    // where the name holds anything else: `foreign_part` then says so, and
    // that is neither opened for writing, nor followed, nor removed.
    static std::optional<StagedFile> resumable(const std::string& destination, const std::string& part_name,
                                               std::optional<ForeignLink>& refused, bool& foreign_part) noexcept;

    // The bytes the file holds, or -1 where that cannot be told.
    long long held() const noexcept;
    // Empties the file, to start afresh; false where it cannot be.
    bool empty_out() noexcept;
    // Removes this process's user's own part files beside the destination
    // whose names start with `prefix` and end with `suffix`, this one's
    // name aside: what earlier downloads of another version left.
    void remove_other_parts(const std::string& prefix, const std::string& suffix) noexcept;

    StagedFile(StagedFile&& other) noexcept;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    StagedFile& operator=(StagedFile&&) = delete;
    // Removes the staged file unless it took the destination's place, or
    // is a part file that holds bytes.
    ~StagedFile();

    // Where the bytes go, open for reading and writing at offset 0.
    int descriptor() const noexcept { return file_.get(); }

    // The bytes the staged file can grow to: what its file system has free.
    std::optional<std::uint64_t> room() const noexcept { return free_bytes(directory_.get()); }

    // Gives the written file its final owner and mode and renames it onto
    // the destination. Where the rename cannot replace the destination
    // (EPERM, EACCES, EBUSY, EXDEV), copies the bytes into it instead, but
    // only when it is still the file seen before the transfer. 0, or the
    // errno of the failure, the destination then left as it was (unless the
    // copy itself fails midway). Call it without the interpreter lock.
    int commit() noexcept;

private:
    StagedFile() noexcept = default;

    bool create();
    bool open_part(const std::string& part_name, bool& foreign_part);
    bool settle_destination();
    int settle_owner_and_mode();
    int give_name();
    bool still_ours() noexcept;
    bool still_named() const noexcept;
    void remove_name() noexcept;
    int write_in_place(int failure);

    FileDescriptor directory_;
    std::string base_;         // the destination's name in directory_
    FileDescriptor file_;      // the staged file
    std::string name_;         // its name in directory_, while it has one
    struct stat made_ {};      // the staged file, as made
    std::optional<struct stat> replaced_;  // the file seen before the transfer
    mode_t final_mode_ = 0600;
    bool kept_ = false;        // a part file, which stays on failure
};

}  // namespace sftp
