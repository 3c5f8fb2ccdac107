// The interpreter's "Did you mean ...?" for a keyword that names no
// parameter: the candidate nearest by its edit distance, where case changes
// cost half a letter and no more than a third of the letters may change.
#pragma once

#include "sftp_main/ref.hpp"

#include <span>

namespace sftp {

// The nearest of `candidates` to `name` (borrowed from `candidates`), or
// nullptr when none is near enough. Raises nothing.
PyObject* nearest_name(PyObject* name, std::span<PyObject* const> candidates) noexcept;

}  // namespace sftp
