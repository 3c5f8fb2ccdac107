// The module's view of the framework's sibling modules: the names it imports
// when it loads, and every call it makes into TavrelLog, TavrelVar and
// TavrelSSH. The class names are resolved in the module namespace at each
// call, so rebinding them there takes effect at once.
#pragma once

#include "sftp_main/names.hpp"
#include "sftp_main/ref.hpp"

#include <functional>

namespace sftp::framework {

// Binds TavrelLog, TavrelSSH and TavrelVar in the module namespace, in that
// order, from tavrel_log, tavrel_ssh and tavrel_var.
void import_classes(PyObject* module_globals);

// TavrelLog(file=False)
OwnedRef new_logger(PyObject* module_globals);

// TavrelVar(**entries), `entries` being a dict.
OwnedRef new_configuration(PyObject* module_globals, PyObject* entries);

// configuration.get(name): the stored value or a false one.
OwnedRef configuration_get(PyObject* configuration, PyObject* name);

// configuration.set(name, value()): `set` is looked up before the value is
// made, in the order the interpreter evaluates such a call.
template <typename MakeValue>
void configuration_set(PyObject* configuration, PyObject* name, MakeValue&& value) {
    OwnedRef setter = check(PyObject_GetAttr(configuration, names.set));
    OwnedRef made = value();
    PyObject* arguments[] = {name, made.get()};
    check(PyObject_Vectorcall(setter.get(), arguments, 2, nullptr));
}

// TavrelSSH(instance._config.todict()).connect(): the configuration that
// replaces the instance's own when "ssh" is switched on. `inspect` sees the
// mapping that todict() returned before TavrelSSH is called with it.
OwnedRef ssh_configuration(PyObject* module_globals, PyObject* instance,
                           const std::function<void(PyObject* mapping)>& inspect);

}  // namespace sftp::framework
