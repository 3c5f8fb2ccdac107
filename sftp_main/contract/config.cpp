// The configuration: the class's two parameter tables, and the cleansing of
// a caller's mapping against them.
#include "sftp_main/contract/class_methods.hpp"

#include "framework/framework.hpp"
#include "sftp_main/calls.hpp"
#include "sftp_main/contract/extension_points.hpp"
#include "sftp_main/names.hpp"

namespace sftp {

namespace {

// Every missing or rejected value is collected and reported at once, in one
// built-in Exception whose messages are joined by a full-width semicolon.
constexpr const char* kMissingRequired = "缺少必填参数：";
constexpr const char* kRejectedPrefix = "参数";
constexpr const char* kRejectedMiddle = "预设值不正确，可选：";
constexpr const char* kMessageSeparator = "；";

OwnedRef table_entry(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    OwnedRef entry = check(PyDict_New());
    for (const auto& [key, value] : items) {
        check_status(PyDict_SetItem(entry.get(), key, value));
    }
    return entry;
}

// `for first, second in iterable`, with the interpreter's unpacking errors.
template <typename Visit>
void for_each_pair(PyObject* iterable, Visit&& visit) {
    OwnedRef iterator = check(PyObject_GetIter(iterable));
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        // What dict.items() yields: unpacked in place, as the interpreter
        // unpacks an exact tuple, without an iterator per pair.
        if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) == 2) {
            visit(PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1));
            continue;
        }
        OwnedRef item_iterator = OwnedRef::steal(PyObject_GetIter(item.get()));
        if (!item_iterator) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item.get())->tp_iter == nullptr &&
                !PySequence_Check(item.get())) {
                PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.get())->tp_name);
            }
            throw PyErrorRaised{};
        }
        OwnedRef pair[2];
        for (int index = 0; index < 2; ++index) {
            pair[index] = OwnedRef::steal(PyIter_Next(item_iterator.get()));
            if (!pair[index]) {
                if (!PyErr_Occurred()) {
                    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", index);
                }
                throw PyErrorRaised{};
            }
        }
        OwnedRef surplus = OwnedRef::steal(PyIter_Next(item_iterator.get()));
        if (surplus || PyErr_Occurred()) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            }
            throw PyErrorRaised{};
        }
        visit(pair[0].get(), pair[1].get());
    }
    if (PyErr_Occurred()) {
        throw PyErrorRaised{};
    }
}

// An exact dict's get cannot be overridden, so it is read directly: the
// cleansing asks the tables a dozen times per construction.
OwnedRef entry_get(PyObject* entry, PyObject* key) {
    if (PyDict_CheckExact(entry)) {
        PyObject* found = nullptr;
        check_status(PyDict_GetItemRef(entry, key, &found));
        return found != nullptr ? OwnedRef::steal(found) : none();
    }
    return check(PyObject_CallMethodOneArg(entry, names.get, key));
}

// Steps one to three of the cleansing: the configuration object, made from a
// copy of the caller's mapping. Returns the copy.
OwnedRef store_configuration(const Invocation& call, PyObject* config) {
    if (config == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        throw PyErrorRaised{};
    }
    OwnedRef entries = PyDict_CheckExact(config) ? check(PyDict_Copy(config))
                                                 : check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), config));
    OwnedRef configuration = framework::new_configuration(call.globals(), entries.get());
    check_status(PyObject_SetAttr(call.self(), names._config, configuration.get()));
    return entries;
}

struct Problems {
    OwnedRef deletion;         // names of missing required parameters
    OwnedRef error;            // [name, allowed values] of rejected values
    OwnedRef rejected_values;  // the values rejected, in the order of `error`
    OwnedRef allowed_texts;    // the text forms of their allowed values
    OwnedRef raise_list;       // the message texts
};

// Every problem with the configuration, in table order; fills in the
// defaults of optional parameters on the way.
Problems collect_problems(PyObject* self, bool password_optional) {
    OwnedRef deletion = check(PyList_New(0));
    OwnedRef error = check(PyList_New(0));
    OwnedRef raise_list = check(PyList_New(0));
    OwnedRef rejected_values = check(PyList_New(0));
    OwnedRef allowed_texts = check(PyList_New(0));

    OwnedRef params_dict = attribute(self, names._params_dict);
    OwnedRef params = call_method(params_dict.get(), names.items);
    for_each_pair(params.get(), [&](PyObject* param, PyObject* option) {
        OwnedRef configuration = attribute(self, names._config);
        OwnedRef value = framework::configuration_get(configuration.get(), param);
        if (is_true(value.get())) {
            if (!is_true(entry_get(option, names.key_optional).get())) {
                return;
            }
            configuration = attribute(self, names._config);
            OwnedRef current = framework::configuration_get(configuration.get(), param);
            OwnedRef allowed = entry_get(option, names.key_optional);
            if (check_status(PySequence_Contains(allowed.get(), current.get())) == 0) {
                OwnedRef rejected = check(PyList_New(0));
                check_status(PyList_Append(rejected.get(), param));
                check_status(PyList_Append(rejected.get(), entry_get(option, names.key_optional).get()));
                check_status(PyList_Append(error.get(), rejected.get()));
                check_status(PyList_Append(rejected_values.get(), current.get()));
            }
        } else if (is_true(entry_get(option, names.key_type).get())) {
            if (password_optional && PyUnicode_CheckExact(param) && PyUnicode_Compare(param, names.password) == 0) {
                return;
            }
            check_status(PyList_Append(deletion.get(), param));
        } else if (is_true(entry_get(option, names.key_default).get())) {
            configuration = attribute(self, names._config);
            framework::configuration_set(configuration.get(), param,
                                         [&] { return entry_get(option, names.key_default); });
        }
    });

    if (PyList_GET_SIZE(deletion.get()) > 0) {
        OwnedRef message = check(PyUnicode_FromFormat("%s%U", kMissingRequired, text_form(deletion.get()).get()));
        check_status(PyList_Append(raise_list.get(), message.get()));
    }
    for_each_pair(error.get(), [&](PyObject* name, PyObject* optional) {
        OwnedRef name_text = text_form(name);
        OwnedRef optional_text = text_form(optional);
        check_status(PyList_Append(allowed_texts.get(), optional_text.get()));
        OwnedRef message = check(PyUnicode_FromFormat("%s%U%s%U", kRejectedPrefix, name_text.get(), kRejectedMiddle,
                                                      optional_text.get()));
        check_status(PyList_Append(raise_list.get(), message.get()));
    });
    return {std::move(deletion), std::move(error), std::move(rejected_values), std::move(allowed_texts),
            std::move(raise_list)};
}

// Adds to the caller's own mapping every default name that it lacks.
void complete_callers_mapping(PyObject* self, PyObject* config) {
    OwnedRef default_params = attribute(self, names._default_params);
    OwnedRef defaults = call_method(default_params.get(), names.items);
    for_each_pair(defaults.get(), [&](PyObject* key, PyObject* value) {
        // An exact dict's keys() and update() cannot be overridden: the same
        // test and insertion, without a view and a one-entry dict per name.
        if (PyDict_CheckExact(config)) {
            if (check_status(PyDict_Contains(config, key)) == 0) {
                check_status(PyDict_SetItem(config, key, value));
            }
            return;
        }
        OwnedRef present = call_method(config, names.keys);
        if (check_status(PySequence_Contains(present.get(), key)) == 0) {
            OwnedRef addition = table_entry({{key, value}});
            check(PyObject_CallMethodOneArg(config, names.update, addition.get()));
        }
    });
}

OwnedRef set_params_dict(const Invocation& call) {
    OwnedRef port_default = check(PyLong_FromLong(22));
    OwnedRef table = table_entry({});
    check_status(PyDict_SetItem(table.get(), names.host, table_entry({{names.key_type, Py_True}}).get()));
    check_status(PyDict_SetItem(table.get(), names.port,
                                table_entry({{names.key_type, Py_False}, {names.key_default, port_default.get()}}).get()));
    check_status(PyDict_SetItem(table.get(), names.user, table_entry({{names.key_type, Py_True}}).get()));
    check_status(PyDict_SetItem(table.get(), names.password, table_entry({{names.key_type, Py_True}}).get()));
    check_status(PyObject_SetAttr(call.self(), names._params_dict, table.get()));
    return none();
}

OwnedRef set_default_params(const Invocation& call) {
    OwnedRef table = table_entry({});
    for (PyObject* name : points::ssh_step_defaults()) {
        check_status(PyDict_SetItem(table.get(), name, Py_None));
    }
    check_status(PyObject_SetAttr(call.self(), names._default_params, table.get()));
    return none();
}

OwnedRef cleanse_params(const Invocation& call) {
    PyObject* self = call.self();
    PyObject* config = call.argument(1);
    OwnedRef entries = store_configuration(call, config);
    call_method(self, names._set_params_dict);

    const Problems problems = collect_problems(self, points::password_optional(entries.get()));
    if (PyList_GET_SIZE(problems.raise_list.get()) > 0) {
        OwnedRef separator = check(PyUnicode_FromString(kMessageSeparator));
        OwnedRef raise_text = check(PyUnicode_Join(separator.get(), problems.raise_list.get()));
        PyErr_SetObject(PyExc_Exception, raise_text.get());
        points::configuration_rejected(problems.deletion.get(), problems.error.get(), problems.rejected_values.get(),
                                       problems.allowed_texts.get());
        throw PyErrorRaised{};
    }
    points::check_names(entries.get());

    call_method(self, names._set_default_params);
    complete_callers_mapping(self, config);
    return none();
}

}  // namespace

const MethodSpec cleanse_params_method{"_cleanse_params", {"self", "config"}, cleanse_params};
const MethodSpec set_params_dict_method{"_set_params_dict", {"self"}, set_params_dict};
const MethodSpec set_default_params_method{"_set_default_params", {"self"}, set_default_params};

}  // namespace sftp
