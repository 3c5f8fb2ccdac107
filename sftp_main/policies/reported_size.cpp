#include "sftp_main/policies/reported_size.hpp"

#include "sftp_main/policies/blocking_call.hpp"

#include <cerrno>

namespace sftp {

namespace {

// The state of one checking stat, a tuple:
// (the client's own stat, source, destination, room, thread ident).
enum Slot : Py_ssize_t { kOriginal, kSource, kDestination, kRoom, kThread, kSlots };

OwnedRef stat_name() { return check(PyUnicode_InternFromString("stat")); }

void refuse(PyObject* state, PyObject* size) {
    OwnedRef message = check(PyUnicode_FromFormat(
        "the server reports %S bytes for %R, more than the %S bytes free where the download goes", size,
        PyTuple_GET_ITEM(state, kSource), PyTuple_GET_ITEM(state, kRoom)));
    raise_os_error(ENOSPC, message.get(), PyTuple_GET_ITEM(state, kDestination));
}

PyObject* checked_stat(PyObject* state, PyObject* const* arguments, Py_ssize_t count, PyObject* keywords) {
    return python_entry([&] {
        OwnedRef result = check(PyObject_Vectorcall(PyTuple_GET_ITEM(state, kOriginal), arguments,
                                                    static_cast<size_t>(count), keywords));
        OwnedRef thread = check(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
        if (count < 1 || check_status(PyObject_RichCompareBool(thread.get(), PyTuple_GET_ITEM(state, kThread), Py_EQ)) == 0 ||
            check_status(PyObject_RichCompareBool(arguments[0], PyTuple_GET_ITEM(state, kSource), Py_EQ)) == 0) {
            return result;
        }
        PyObject* found = nullptr;
        check_status(PyObject_GetOptionalAttr(result.get(), check(PyUnicode_InternFromString("st_size")).get(), &found));
        OwnedRef size = OwnedRef::steal(found);
        if (size && PyLong_Check(size.get()) &&
            check_status(PyObject_RichCompareBool(size.get(), PyTuple_GET_ITEM(state, kRoom), Py_GT)) != 0) {
            refuse(state, size.get());
        }
        return result;
    });
}

PyMethodDef checked_stat_definition = {
    "stat", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(checked_stat)), METH_FASTCALL | METH_KEYWORDS,
    nullptr};

// Whether `object` is a checking stat of some limit.
bool is_checking_stat(PyObject* object) noexcept {
    return PyCFunction_Check(object) && PyCFunction_GET_FUNCTION(object) == checked_stat_definition.ml_meth;
}

}  // namespace

ReportedSizeLimit::ReportedSizeLimit(PyObject* client, PyObject* source, PyObject* destination, std::uint64_t room) {
    const OwnedRef name = stat_name();
    PyObject* found = nullptr;
    check_status(PyObject_GetOptionalAttr(client, name.get(), &found));
    OwnedRef original = OwnedRef::steal(found);
    if (!original) {
        return;
    }
    OwnedRef attributes = OwnedRef::steal(PyObject_GenericGetDict(client, nullptr));
    if (!attributes || !PyDict_Check(attributes.get())) {
        if (!attributes) {
            drop_ordinary_error();
        }
        return;
    }
    OwnedRef state = check(PyTuple_New(kSlots));
    PyTuple_SET_ITEM(state.get(), kOriginal, original.release());
    PyTuple_SET_ITEM(state.get(), kSource, Py_NewRef(source));
    PyTuple_SET_ITEM(state.get(), kDestination, Py_NewRef(destination));
    PyTuple_SET_ITEM(state.get(), kRoom, check(PyLong_FromUnsignedLongLong(room)).release());
    PyTuple_SET_ITEM(state.get(), kThread, check(PyLong_FromUnsignedLong(PyThread_get_thread_ident())).release());
    OwnedRef checked = check(PyCFunction_New(&checked_stat_definition, state.get()));
    PyObject* previous = nullptr;
    check_status(PyDict_GetItemRef(attributes.get(), name.get(), &previous));
    previous_ = OwnedRef::steal(previous);
    check_status(PyDict_SetItem(attributes.get(), name.get(), checked.get()));
    attributes_ = std::move(attributes);
    checked_ = std::move(checked);
}

ReportedSizeLimit::~ReportedSizeLimit() {
    if (!attributes_) {
        return;
    }
    PendingError failure;
    OwnedRef name = OwnedRef::steal(PyUnicode_InternFromString("stat"));
    PyObject* now = nullptr;
    const OwnedRef current = name && PyDict_GetItemRef(attributes_.get(), name.get(), &now) >= 0 ? OwnedRef::steal(now) : OwnedRef();
    // Only the checking stat is taken out: whatever else is there now was
    // put there by someone else. Another limit's is not put back: its own
    // end would find it gone (only a client without a lock lets two limits
    // overlap, or a download started from a progress callback, whose outer
    // stat is over by then), and leaving it would outlive its download.
    if (current && current.get() == checked_.get()) {
        const int status = previous_ && !is_checking_stat(previous_.get())
                               ? PyDict_SetItem(attributes_.get(), name.get(), previous_.get())
                               : PyDict_DelItem(attributes_.get(), name.get());
        (void)status;
    }
    PyErr_Clear();
    failure.restore();
}

}  // namespace sftp
