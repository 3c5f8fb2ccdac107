// A download's local destination, written whole or not at all.
//
// The transfer writes into a new file beside the destination and the file
// is renamed onto it only once the transfer has succeeded, so a missing
// remote file, a refused read or a connection lost midway leaves the
// destination as it was. A destination that is a symbolic link is written
// through to its final target. Where this cannot apply (a destination that
// exists and is not a regular file, a path the module cannot read as a
// file name, a directory where no file can be created), there is no staged
// file and the transfer writes to the destination itself.
#pragma once

#include "sftp_main/ref.hpp"

#include <optional>
#include <string>

namespace sftp {

class StagedDownload {
public:
    // The staged file for `destination`, or nothing where staging cannot
    // apply. Raises (PyErrorRaised) only what the destination's __fspath__
    // raises that is not an ordinary Exception.
    static std::optional<StagedDownload> prepare(PyObject* destination);

    StagedDownload(StagedDownload&& other) noexcept;
    StagedDownload(const StagedDownload&) = delete;
    StagedDownload& operator=(const StagedDownload&) = delete;
    StagedDownload& operator=(StagedDownload&&) = delete;
    // Removes the staged file unless it was committed.
    ~StagedDownload();

    // The staged file's path, of the destination's kind (text or bytes).
    PyObject* path() const noexcept { return path_object_.get(); }

    // Moves the staged file onto the destination; raises OSError on failure.
    void commit();

private:
    StagedDownload(std::string staged, std::string target, OwnedRef path_object) noexcept;

    std::string staged_;
    std::string target_;
    OwnedRef path_object_;
    bool pending_ = true;
};

}  // namespace sftp
