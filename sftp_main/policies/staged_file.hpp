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
// The staged file is made mode 0600 and unnamed (O_TMPFILE), or, where the
// file system has no unnamed files, under a new random name beside the
// destination. It is written only through the descriptor opened here, and
// gets its final owner and mode only after the bytes are written.
#pragma once

#include "sftp_main/policies/file_descriptor.hpp"

#include <optional>
#include <string>
#include <sys/stat.h>

namespace sftp {

class StagedFile {
public:
    // The staged file for the local path `destination`, or nothing where the
    // destination is not staged. Works on the file system: call it without
    // the interpreter lock.
    static std::optional<StagedFile> beside(const std::string& destination) noexcept;

    StagedFile(StagedFile&& other) noexcept;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    StagedFile& operator=(StagedFile&&) = delete;
    // Removes the staged file unless it took the destination's place.
    ~StagedFile();

    // Where the bytes go, open for reading and writing at offset 0.
    int descriptor() const noexcept { return file_.get(); }

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
};

}  // namespace sftp
