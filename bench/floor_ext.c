/* The floor for a compiled forwarding method: bare C functions that read
 * `_sftp` and call the client's method, with nothing else around them (no
 * argument binding by name, no error mapping beyond what the method must do).
 * The benchmark compiles this file with the interpreter's own headers and
 * puts the three functions on a plain class as method descriptors, so that
 * they are called exactly as the module's methods are. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *name_sftp, *name_stat, *name_rename, *name_put;

static PyObject *
forward(PyObject *self, PyObject *method, PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *client = PyObject_GetAttr(self, name_sftp);
    if (client == NULL) {
        return NULL;
    }
    PyObject *call_args[3] = {client, nargs > 0 ? args[0] : NULL, nargs > 1 ? args[1] : NULL};
    PyObject *result = PyObject_VectorcallMethod(method, call_args, (size_t)(1 + nargs), NULL);
    Py_DECREF(client);
    return result;
}

static PyObject *
floor_stat(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "_stat() takes one argument");
        return NULL;
    }
    return forward(self, name_stat, args, 1);
}

static PyObject *
floor_rename(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_rename() takes two arguments");
        return NULL;
    }
    PyObject *result = forward(self, name_rename, args, 2);
    if (result == NULL) {
        return NULL;
    }
    Py_DECREF(result);
    Py_RETURN_TRUE;
}

static PyObject *
floor_upload(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_upload() takes two arguments");
        return NULL;
    }
    PyObject *result = forward(self, name_put, args, 2);
    if (result == NULL) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return NULL;
        }
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    Py_DECREF(result);
    Py_RETURN_TRUE;
}

static PyMethodDef floor_methods[] = {
    {"_stat", (PyCFunction)(void (*)(void))floor_stat, METH_FASTCALL, NULL},
    {"_rename", (PyCFunction)(void (*)(void))floor_rename, METH_FASTCALL, NULL},
    {"_upload", (PyCFunction)(void (*)(void))floor_upload, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

/* {name: method descriptor}, each accepting any object as `self`. */
static PyObject *
descriptors(PyObject *module, PyObject *unused)
{
    PyObject *result = PyDict_New();
    if (result == NULL) {
        return NULL;
    }
    for (PyMethodDef *def = floor_methods; def->ml_name != NULL; ++def) {
        PyObject *descriptor = PyDescr_NewMethod(&PyBaseObject_Type, def);
        if (descriptor == NULL || PyDict_SetItemString(result, def->ml_name, descriptor) < 0) {
            Py_XDECREF(descriptor);
            Py_DECREF(result);
            return NULL;
        }
        Py_DECREF(descriptor);
    }
    return result;
}

static PyMethodDef module_methods[] = {
    {"descriptors", descriptors, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "sftp_bench_floor", NULL, -1, module_methods,
};

PyMODINIT_FUNC
PyInit_sftp_bench_floor(void)
{
    name_sftp = PyUnicode_InternFromString("_sftp");
    name_stat = PyUnicode_InternFromString("stat");
    name_rename = PyUnicode_InternFromString("rename");
    name_put = PyUnicode_InternFromString("put");
    if (name_sftp == NULL || name_stat == NULL || name_rename == NULL || name_put == NULL) {
        return NULL;
    }
    return PyModule_Create(&module_definition);
}
