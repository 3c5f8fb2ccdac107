// Connection options that the "ssh" step must not lose. With "ssh" on, the
// configuration that TavrelSSH(...).connect() returns replaces the instance's
// own, and _connect reads the options from it: a framework whose result did
// not carry "host_key" would drop the pin without a word. So the options the
// caller set are checked before that step opens anything, and required,
// unchanged, in what the step returns. They are read from the dict that the
// step is handed (the cleansed configuration's todict()) rather than from the
// caller's own mapping: that may be of any type, and reading it again could
// call its methods, raise, or give values other than those cleansed.
#pragma once

#include "sftp_main/ref.hpp"

#include <cstddef>
#include <vector>

namespace sftp::ssh_step {

class Guard {
public:
    // Reads the guarded names from the mapping handed to the step when it is
    // a dict (without any call on it), else from the caller's own, and checks
    // each value set there: a malformed one raises its ValueError. A caller
    // who set none of them is not guarded.
    static Guard before_step(PyObject* handed_mapping, PyObject* callers_mapping);

    // Raises ValueError naming the first guarded option that the
    // configuration returned by the step lacks or carries changed.
    void require_carried_by(PyObject* configuration) const;

    // What the caller set, as read before the step: a copy of the dict the
    // step was handed, taken before the step could change it, else the
    // caller's own mapping. Valid once before_step has run.
    PyObject* settings() const noexcept { return settings_.get(); }

private:
    struct Expected {
        std::size_t option;  // index into the table of guarded options
        OwnedRef value;      // its checked form
    };
    std::vector<Expected> expected_;
    OwnedRef settings_;
};

// mapping[name], or empty when the mapping has no such name. A dict is read
// as it stands, with no call that anyone could see.
OwnedRef setting_in(PyObject* mapping, PyObject* name);

}  // namespace sftp::ssh_step
