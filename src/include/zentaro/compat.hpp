// The only place where the kit touches private, unstable or deprecated parts
// of the CPython C API. Each use sits behind a named function with the reason
// it is needed, so that moving to a newer interpreter means editing this file
// alone.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>
#include <cstring>

namespace zentaro::compat {

// Attribute lookup on a type's MRO without the descriptor protocol and
// without raising: the hot paths ask "does the class define X?" per call.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) {
    return _PyType_Lookup(type, name); // borrowed, may be NULL without an error
}

// A dict's version tag changes on every mutation and is unique across dicts:
// an unchanged tag proves a remembered value is still the one stored.
// Deprecated since 3.12 but still kept up to date through 3.13 (the newest
// interpreter the kit supports). Its replacement, a dict watcher, does not
// fit: an interpreter has room for eight watchers and each of the ten kit
// modules, with its own copy of this code, would need one.
inline uint64_t dict_version(PyObject *dict) {
    _Pragma("GCC diagnostic push");
    _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"");
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
    _Pragma("GCC diagnostic pop");
}

// A type's version tag (0 when not valid): changes whenever the type or a
// base is modified.
inline unsigned int type_version(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 no longer sets the flag: a zero tag is the invalid one.
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// A strong reference to a weak reference's target, or NULL when it is gone
// (no error set).
inline PyObject *weakref_get(PyObject *ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0)
        PyErr_Clear();
    return obj;
#else
    PyObject *obj = PyWeakref_GetObject(ref);
    if (!obj || obj == Py_None) {
        PyErr_Clear();
        return nullptr;
    }
    Py_INCREF(obj);
    return obj;
#endif
}

// A weak reference's target, borrowed, or NULL when it is gone (no error
// set): a hot path's liveness check, without taking and dropping a
// reference. Only valid until the next call that may run Python code.
inline PyObject *weakref_peek(PyObject *ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *obj = weakref_get(ref);
    Py_XDECREF(obj); // still alive: whoever kept the target alive still does
    return obj;
#else
    PyObject *obj = PyWeakref_GET_OBJECT(ref);
    return obj == Py_None ? nullptr : obj;
#endif
}

// getattr without raising AttributeError: 1 found (*out new), 0 missing,
// -1 other error.
inline int lookup_attr(PyObject *obj, PyObject *name, PyObject **out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// Shrinks or grows a bytes object that nobody else has seen yet, in place.
inline int bytes_resize(PyObject **bytes, Py_ssize_t size) {
    return _PyBytes_Resize(bytes, size);
}

// The instance dict slot of an object (NULL when it has none).
inline PyObject **dict_ptr(PyObject *obj) {
    return _PyObject_GetDictPtr(obj);
}

// Takes the pending error as one normalised exception object (traceback
// attached), or NULL when none is pending.
inline PyObject *take_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `error` (a reference taken by take_error) the pending error again.
inline void restore_error(PyObject *error) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(error))), error,
                  PyException_GetTraceback(error));
#endif
}

// Adds a frame to the pending exception's traceback, so a method written in
// C++ shows in formatted tracebacks as a Python method's frame would. Built
// from public calls (an empty code object and a frame for it), as the
// interpreter's own helper does; that helper left the headers in 3.13.
inline void traceback_add(const char *function, const char *file, int line) {
    PyObject *error = take_error();
    if (!error)
        return;
    // Making the code object may run Python code (the file system codec):
    // no error may be pending meanwhile.
    PyCodeObject *code = PyCode_NewEmpty(file, function, line);
    PyObject *globals = code ? PyDict_New() : nullptr;
    PyFrameObject *frame =
        globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(globals);
    Py_XDECREF(code);
    if (!frame) {
        PyErr_Clear(); // the original error matters more than its extra frame
        restore_error(error);
        return;
    }
    restore_error(error);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// ''.join of a C array of str. The interpreter's array join left the headers
// in 3.13; a tuple of borrowed items costs one small allocation more.
inline PyObject *unicode_join(PyObject *separator, PyObject *const *items, Py_ssize_t count) {
    PyObject *tuple = PyTuple_New(count);
    if (!tuple)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(items[i]));
    PyObject *joined = PyUnicode_Join(separator, tuple);
    Py_DECREF(tuple);
    return joined;
}

// The unbound method found on the type (returns 1, *method new) or the
// attribute found on the instance (returns 0); the interpreter's own
// method-call fast path. On 3.13, where that path left the headers, the same
// rule is followed with the type lookup: a method descriptor on the class
// that the instance does not shadow is returned unbound; anything else is
// what getattr gives.
inline int get_method(PyObject *obj, PyObject *name, PyObject **method) {
#if PY_VERSION_HEX >= 0x030D0000
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
        PyObject *descr = type_lookup(type, name); // borrowed
        if (descr && PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            Py_INCREF(descr);
            PyObject **dict = dict_ptr(obj);
            PyObject *own = nullptr;
            int found = dict && *dict ? PyDict_GetItemRef(*dict, name, &own) : 0;
            if (found == 0) {
                *method = descr;
                return 1;
            }
            Py_DECREF(descr);
            *method = own; // the instance's own value, or NULL with the error set
            return 0;
        }
    }
    *method = PyObject_GetAttr(obj, name);
    return 0;
#else
    return _PyObject_GetMethod(obj, name, method);
#endif
}

// Generic getattr that returns NULL without raising AttributeError when the
// name is missing: the fall-back path of a custom tp_getattro.
inline PyObject *generic_getattr_quiet(PyObject *obj, PyObject *name) {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// Equality of two exact str as a dict compares keys: a str's hash, once
// computed, is kept in the object (-1 until then), and unequal hashes settle
// most mismatches without reading the text.
inline bool same_str(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    Py_hash_t ha = reinterpret_cast<PyASCIIObject *>(a)->hash;
    Py_hash_t hb = reinterpret_cast<PyASCIIObject *>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb)
        return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b))
        return false;
    size_t bytes = static_cast<size_t>(n) * PyUnicode_KIND(a);
    return memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), bytes) == 0;
}

// Whether the interpreter is finalizing: a daemon thread that wants the GIL
// now is ended (pthread_exit) instead of served.
inline bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

} // namespace zentaro::compat
