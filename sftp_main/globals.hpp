// Module globals are resolved at every use, as a Python function resolves
// them: the module namespace first, then the builtins. Rebinding a name in
// the module after import therefore changes what the next call uses.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp {

// Raises NameError "name 'X' is not defined" when neither namespace has it.
OwnedRef lookup_global(PyObject* module_globals, PyObject* name);

// `paramiko.<name>`, with `paramiko` resolved afresh.
OwnedRef paramiko_attribute(PyObject* module_globals, PyObject* name);

}  // namespace sftp
