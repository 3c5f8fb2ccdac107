#include "sftp_main/method.hpp"

#include "sftp_main/contract/extension_points.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/suggestions.hpp"

#include <cstddef>
#include <new>
#include <span>
#include <string>

namespace sftp {

struct MethodState {
    const MethodSpec* spec = nullptr;
    OwnedRef globals;
    OwnedRef name;
    OwnedRef qualname;
    OwnedRef module_name;
    OwnedRef doc;
    OwnedRef text_signature;
    OwnedRef client_method;
    std::array<OwnedRef, kMaxParameters> parameter_names;
};

namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    MethodState state;
};

MethodObject* as_method(PyObject* object) noexcept { return reinterpret_cast<MethodObject*>(object); }

// The method type lives as long as the process, like the module itself.
PyTypeObject* method_type = nullptr;

// --- argument binding, worded as the interpreter words it for functions ---

[[noreturn]] void raise_type_error(PyObject* message) {
    PyErr_SetObject(PyExc_TypeError, message);
    throw PyErrorRaised{};
}

[[noreturn]] void raise_missing(const MethodState& state, const std::array<PyObject*, kMaxParameters>& slots,
                                std::size_t first_unfilled) {
    const std::size_t count = state.spec->parameters.count;
    OwnedRef missing = check(PyList_New(0));
    for (std::size_t index = first_unfilled; index < count; ++index) {
        if (slots[index] == nullptr) {
            OwnedRef quoted = check(PyObject_Repr(state.parameter_names[index].get()));
            check_status(PyList_Append(missing.get(), quoted.get()));
        }
    }
    const Py_ssize_t missing_count = PyList_GET_SIZE(missing.get());
    OwnedRef listed;
    if (missing_count == 1) {
        listed = OwnedRef::take(PyList_GET_ITEM(missing.get(), 0));
    } else if (missing_count == 2) {
        listed = check(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(missing.get(), 0),
                                            PyList_GET_ITEM(missing.get(), 1)));
    } else {
        OwnedRef head = check(PyList_GetSlice(missing.get(), 0, missing_count - 1));
        OwnedRef separator = check(PyUnicode_FromString(", "));
        OwnedRef joined = check(PyUnicode_Join(separator.get(), head.get()));
        listed = check(PyUnicode_FromFormat("%U, and %U", joined.get(),
                                            PyList_GET_ITEM(missing.get(), missing_count - 1)));
    }
    raise_type_error(check(PyUnicode_FromFormat("%U() missing %zd required positional argument%s: %U",
                                                state.qualname.get(), missing_count,
                                                missing_count == 1 ? "" : "s", listed.get()))
                         .get());
}

[[noreturn]] void raise_too_many(const MethodState& state, Py_ssize_t given) {
    const auto accepted = static_cast<Py_ssize_t>(state.spec->parameters.count);
    raise_type_error(check(PyUnicode_FromFormat("%U() takes %zd positional argument%s but %zd %s given",
                                                state.qualname.get(), accepted, accepted == 1 ? "" : "s",
                                                given, given == 1 ? "was" : "were"))
                         .get());
}

[[noreturn]] void raise_unexpected_keyword(const MethodState& state, PyObject* keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    std::array<PyObject*, kMaxParameters> candidates{};
    for (std::size_t index = 0; index < state.spec->parameters.count; ++index) {
        candidates[index] = state.parameter_names[index].get();
    }
    if (PyObject* suggestion =
            nearest_name(keyword, std::span(candidates.data(), state.spec->parameters.count))) {
        raise_type_error(check(PyUnicode_FromFormat("%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                                                    state.qualname.get(), keyword, suggestion))
                             .get());
    }
#endif
    raise_type_error(
        check(PyUnicode_FromFormat("%U() got an unexpected keyword argument '%S'", state.qualname.get(), keyword))
            .get());
}

std::size_t parameter_index(const MethodState& state, PyObject* keyword) {
    const std::size_t count = state.spec->parameters.count;
    for (std::size_t index = 0; index < count; ++index) {
        if (state.parameter_names[index].get() == keyword) {
            return index;
        }
    }
    for (std::size_t index = 0; index < count; ++index) {
        if (check_status(PyObject_RichCompareBool(keyword, state.parameter_names[index].get(), Py_EQ))) {
            return index;
        }
    }
    return count;
}

// Fills `slots` (borrowed references) from the call's arguments, or raises
// the TypeError a Python function of the same signature would raise, checked
// in the same order: keywords first, then the positional count, then what is
// missing.
void bind_arguments(const MethodState& state, PyObject* const* args, Py_ssize_t given, PyObject* kwnames,
                    std::array<PyObject*, kMaxParameters>& slots) {
    const std::size_t count = state.spec->parameters.count;
    const std::size_t positional = std::min(static_cast<std::size_t>(given), count);
    for (std::size_t index = 0; index < positional; ++index) {
        slots[index] = args[index];
    }
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            raise_type_error(check(PyUnicode_FromFormat("%U() keywords must be strings", state.qualname.get())).get());
        }
        const std::size_t index = parameter_index(state, keyword);
        if (index == count) {
            raise_unexpected_keyword(state, keyword);
        }
        if (slots[index] != nullptr) {
            raise_type_error(check(PyUnicode_FromFormat("%U() got multiple values for argument '%S'",
                                                        state.qualname.get(), keyword))
                                 .get());
        }
        slots[index] = args[given + k];
    }
    if (static_cast<std::size_t>(given) > count) {
        raise_too_many(state, given);
    }
    for (std::size_t index = positional; index < count; ++index) {
        if (slots[index] == nullptr) {
            raise_missing(state, slots, positional);
        }
    }
}

// Runs the method's body on bound arguments; what it lets through gets a
// note that says what failed.
PyObject* run_body(const MethodState& state, PyObject* const* bound) {
    const Invocation call(state, bound);
    PyObject* result = python_entry([&] { return state.spec->body(call); });
    if (result == nullptr) {
        points::method_failed(call);
    }
    return result;
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const MethodState& state = as_method(callable)->state;
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && static_cast<std::size_t>(given) == state.spec->parameters.count) {
        return run_body(state, args);
    }
    std::array<PyObject*, kMaxParameters> slots{};
    if (!run_guarded([&] { bind_arguments(state, args, given, kwnames, slots); })) {
        return nullptr;
    }
    return run_body(state, slots.data());
}

// --- the type's slots ---

PyObject* method_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->state.qualname.get(), self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_method(self)->state.globals.get());
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_method(self)->state.~MethodState();
    type->tp_free(self);
    Py_DECREF(type);
}

template <OwnedRef MethodState::*member>
PyObject* get_member(PyObject* self, void*) {
    return Py_NewRef((as_method(self)->state.*member).get());
}

PyGetSetDef method_getset[] = {
    {"__name__", get_member<&MethodState::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_member<&MethodState::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_member<&MethodState::module_name>, nullptr, nullptr, nullptr},
    {"__doc__", get_member<&MethodState::doc>, nullptr, nullptr, nullptr},
    // Read by inspect.signature(), so help() and editors show the parameters.
    {"__text_signature__", get_member<&MethodState::text_signature>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled, like a function, as a reference to where it is defined; copies
// are the object itself.
PyObject* method_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_method(self)->state.qualname.get()); }

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(MethodObject, vectorcall)),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {Py_tp_methods, method_methods},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "sftp_main.function",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

std::string signature_text(const Parameters& parameters) {
    std::string text = "(";
    for (std::size_t index = 0; index < parameters.count; ++index) {
        text += index == 0 ? "" : ", ";
        text += parameters.names[index];
    }
    return text + ")";
}

}  // namespace

std::size_t Invocation::argument_count() const noexcept { return state_.spec->parameters.count; }
PyObject* Invocation::globals() const noexcept { return state_.globals.get(); }
PyObject* Invocation::client_method() const noexcept { return state_.client_method.get(); }
PyObject* Invocation::method_name() const noexcept { return state_.name.get(); }
PyObject* Invocation::parameter_name(std::size_t index) const noexcept {
    return state_.parameter_names[index].get();
}

void ready_method_type() {
    if (method_type == nullptr) {
        method_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&method_spec)).release());
    }
}

void forget_method_type() {
    OwnedRef made = OwnedRef::steal(reinterpret_cast<PyObject*>(method_type));
    method_type = nullptr;
}

OwnedRef new_method(const MethodSpec& spec, PyObject* globals, PyObject* module_name, const char* class_name) {
    const std::string qualname = std::string(class_name) + "." + spec.name;
    const std::string signature = signature_text(spec.parameters);

    MethodState state;
    state.spec = &spec;
    state.globals = OwnedRef::take(globals);
    state.name = intern(spec.name);
    state.qualname = check(PyUnicode_FromString(qualname.c_str()));
    state.module_name = OwnedRef::take(module_name);
    state.doc = check(PyUnicode_FromString((qualname + signature).c_str()));
    state.text_signature = check(PyUnicode_FromString(signature.c_str()));
    if (spec.client_method != nullptr) {
        state.client_method = intern(spec.client_method);
    }
    for (std::size_t index = 0; index < spec.parameters.count; ++index) {
        state.parameter_names[index] = intern(spec.parameters.names[index]);
    }

    OwnedRef object = check(PyType_GenericAlloc(method_type, 0));
    MethodObject* method = as_method(object.get());
    method->vectorcall = method_vectorcall;
    new (&method->state) MethodState(std::move(state));
    return object;
}

}  // namespace sftp
