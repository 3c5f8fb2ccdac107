#include "sftp_main/policies/ssh_step_guard.hpp"

#include "sftp_main/policies/connection_options.hpp"
#include "sftp_main/policies/transfer_options.hpp"
#include "sftp_main/names.hpp"

#include <iterator>

namespace sftp::ssh_step {

namespace {

struct GuardedOption {
    PyObject* Names::*name;
    // The value's checked form; empty when the value leaves the option
    // unset, ValueError when it is malformed.
    OwnedRef (*checked_form)(PyObject* value);
};

const GuardedOption kGuardedOptions[] = {
    {&Names::host_key, host_key_identity},
    {&Names::timeout, timeout_seconds},
    {&Names::known_hosts, known_hosts_path},
    {&Names::atomic_upload, transfers::atomic_upload_switch},
};

[[noreturn]] void reject_step(PyObject* name, const char* what) {
    PyErr_Format(PyExc_ValueError,
                 "%U is set, but the configuration that the \"ssh\" step (TavrelSSH(...).connect()) returned %s; "
                 "refusing to connect without it",
                 name, what);
    throw PyErrorRaised{};
}

}  // namespace

OwnedRef setting_in(PyObject* mapping, PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_Check(mapping)) {
        check_status(PyDict_GetItemRef(mapping, name, &found));
    } else {
        check_status(PyMapping_GetOptionalItem(mapping, name, &found));
    }
    return OwnedRef::steal(found);
}

Guard Guard::before_step(PyObject* handed_mapping, PyObject* callers_mapping) {
    // What todict() gave is what was cleansed. A framework whose todict()
    // gives no dict hands the step something that is its own business to
    // read; the caller's mapping says what the caller set.
    PyObject* source = PyDict_Check(handed_mapping) ? handed_mapping : callers_mapping;
    Guard guard;
    guard.settings_ = source == handed_mapping ? check(PyDict_Copy(handed_mapping)) : OwnedRef::take(source);
    for (std::size_t index = 0; index < std::size(kGuardedOptions); ++index) {
        const GuardedOption& option = kGuardedOptions[index];
        OwnedRef given = setting_in(source, names.*option.name);
        if (!given) {
            continue;
        }
        if (OwnedRef checked = option.checked_form(given.get())) {
            guard.expected_.push_back({index, std::move(checked)});
        }
    }
    return guard;
}

void Guard::require_carried_by(PyObject* configuration) const {
    for (const Expected& expected : expected_) {
        const GuardedOption& option = kGuardedOptions[expected.option];
        PyObject* name = names.*option.name;
        PyObject* found = nullptr;
        check_status(PyObject_GetOptionalAttr(configuration, name, &found));
        OwnedRef carried = OwnedRef::steal(found);
        OwnedRef checked = carried ? option.checked_form(carried.get()) : OwnedRef{};
        if (!checked) {
            reject_step(name, "does not carry it");
        }
        if (!check_status(PyObject_RichCompareBool(checked.get(), expected.value.get(), Py_EQ))) {
            reject_step(name, "carries another value");
        }
    }
}

}  // namespace sftp::ssh_step
