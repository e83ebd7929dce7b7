// The recorder: a keyed, limited log base and the two logs of a back-test run
// (`in_log` for result records, `log` for the lines users see).
//
// The five output methods sit on the hot path of every engine log line, so
// they are plain vectorcall C functions behind a small function type of our
// own: it binds like a Python function, carries functools.wraps metadata in
// its __dict__ and adds the "datetime" keyword without building dicts.

#include <nanobind/nanobind.h>
#include <structmember.h>

#include <memory>
#include <string>

#include "zentaro/modref.hpp"
#include "zentaro/pyutil.hpp"

namespace nb = nanobind;
using namespace zentaro;

namespace {

ModuleRef module_ref;
nb::handle log_encoder_ref; // weakref to LogEncoder (a plain object, kept alive below)

struct Names {
    PyObject *key, *limited, *log_num, *is_limit, *has_error, *LIMIT_MSG, *LOG_LIMIT_NUM;
    PyObject *ALL, *INFO, *WARN, *ERROR, *info, *warn, *error, *lower, *encode;
    PyObject *user_normal_log, *system_log, *log_tofile, *Environment, *_env, *datetime;
    PyObject *message, *space, *utf8, *notice, *encode_failed, *wraps, *qualname;
    PyObject *empty_bytes, *kwnames_datetime;
} S;

const char *const NOTICE = "日志条数超过限制,以下日志省略";
const char *const ENCODE_FAILED = "回测标示编码失败！";

void init_names() {
    S.key = interned("key");
    S.limited = interned("limited");
    S.log_num = interned("log_num");
    S.is_limit = interned("is_limit");
    S.has_error = interned("has_error");
    S.LIMIT_MSG = interned("LIMIT_MSG");
    S.LOG_LIMIT_NUM = interned("LOG_LIMIT_NUM");
    S.ALL = interned("ALL");
    S.INFO = interned("INFO");
    S.WARN = interned("WARN");
    S.ERROR = interned("ERROR");
    S.info = interned("info");
    S.warn = interned("warn");
    S.error = interned("error");
    S.lower = interned("lower");
    S.encode = interned("encode");
    S.user_normal_log = interned("user_normal_log");
    S.system_log = interned("system_log");
    S.log_tofile = interned("log_tofile");
    S.Environment = interned("Environment");
    S._env = interned("_env");
    S.datetime = interned("datetime");
    S.message = interned("message");
    S.space = interned(" ");
    S.utf8 = interned("utf-8");
    S.notice = interned(NOTICE);
    S.encode_failed = interned(ENCODE_FAILED);
    S.wraps = interned("wraps");
    S.qualname = interned("__qualname__");
    S.empty_bytes = steal_or_raise(PyBytes_FromStringAndSize("", 0)).release().ptr();
    S.kwnames_datetime = steal_or_raise(PyTuple_Pack(1, S.datetime)).release().ptr();
}

// ---------------------------------------------------------------- state tests

nb::object level(nb::handle self, PyObject *name) {
    nb::object table = get_attr(self, S.LIMIT_MSG);
    return steal_or_raise(PyObject_GetItem(table.ptr(), name));
}

// A message of this level is dropped when the threshold is above it.
bool below_threshold(nb::handle self, PyObject *level_name) {
    nb::object limited = get_attr(self, S.limited);
    return compare(limited, level(self, level_name), Py_GT);
}

// ------------------------------------------------------ hot-path reads (C API)
//
// These run on every log line, so they use the plain C API with NULL / -1 for
// a pending error instead of C++ exceptions and RAII wrappers.

// The extension module, borrowed; NULL with an error once it is unloaded.
PyObject *loaded_module() {
    try {
        return module_ref.get();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

// The module's namespace, borrowed; the timed functions keep their own
// reference to it, as a Python function keeps __globals__.
PyObject *module_globals() {
    PyObject *module = loaded_module();
    return module ? PyModule_GetDict(module) : nullptr;
}

// A module global read on every call, remembered while the namespace is
// unchanged: dict version tags are unique across all dicts and change on
// every mutation, so replacing the attribute (as tests do) is seen at once.
struct GlobalSlot {
    PyObject *name = nullptr;     // interned at module init
    PyDictObject *dict = nullptr; // compared only, never dereferenced
    uint64_t tag = 0;
    PyObject *value = nullptr; // borrowed from dict while the tag holds
};

GlobalSlot environment_slot, user_log_slot;

// New reference, or NULL with an error set.
PyObject *read_global(GlobalSlot &slot, PyObject *globals) {
    auto *dict = reinterpret_cast<PyDictObject *>(globals);
    if (dict == slot.dict && dict->ma_version_tag == slot.tag)
        return Py_NewRef(slot.value);
    PyObject *found = PyDict_GetItemWithError(globals, slot.name);
    if (found) {
        slot.dict = dict;
        slot.tag = dict->ma_version_tag;
        slot.value = found;
        return Py_NewRef(found);
    }
    slot.dict = nullptr;
    if (PyErr_Occurred())
        return nullptr;
    PyObject *module = loaded_module(); // a module __getattr__ may still know it
    return module ? PyObject_GetAttr(module, slot.name) : nullptr;
}

// Keyed means: key differs from b"" (a str key, even empty, is keyed).
// 1 keyed, 0 not, -1 error.
int keyed_state(PyObject *self) {
    PyObject *key = PyObject_GetAttr(self, S.key);
    if (!key)
        return -1;
    int keyed;
    if (PyBytes_CheckExact(key)) {
        keyed = PyBytes_GET_SIZE(key) != 0;
    } else {
        int empty = PyObject_RichCompareBool(key, S.empty_bytes, Py_EQ);
        keyed = empty < 0 ? -1 : !empty;
    }
    Py_DECREF(key);
    return keyed;
}

bool is_keyed(nb::handle self) {
    int keyed = keyed_state(self.ptr());
    if (keyed < 0)
        raise_python_error();
    return keyed != 0;
}

// user_normal_log.<method>(message); 0, or -1 with an error set.
int write_line(PyObject *globals, PyObject *method, PyObject *message) {
    PyObject *logger = read_global(user_log_slot, globals);
    if (!logger)
        return -1;
    PyObject *args[2] = {logger, message};
    PyObject *result =
        PyObject_VectorcallMethod(method, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(logger);
    if (!result)
        return -1;
    Py_DECREF(result);
    return 0;
}

void write_user_line(PyObject *globals, PyObject *method, nb::handle message) {
    if (write_line(globals, method, message.ptr()) < 0)
        raise_python_error();
}

// The text of the positional arguments joined by single spaces.
nb::object joined(PyObject *const *args, Py_ssize_t n) {
    if (n == 1)
        return steal_or_raise(PyObject_Str(args[0]));
    nb::object parts = steal_or_raise(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(parts.ptr(), i, steal_or_raise(PyObject_Str(args[i])).release().ptr());
    return steal_or_raise(PyUnicode_Join(S.space, parts.ptr()));
}

// The exception the caller is handling, or an empty object.
nb::object handled_exception() {
    PyObject *exc = PyErr_GetHandledException();
    if (!exc || exc == Py_None) {
        Py_XDECREF(exc);
        return nb::object();
    }
    return nb::steal(exc);
}

[[noreturn]] void reraise(nb::handle exc) {
    PyObject *tb = PyException_GetTraceback(exc.ptr());
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()))), Py_NewRef(exc.ptr()),
                  tb);
    raise_python_error();
}

// Re-raise only when there is something to re-raise: an engine error line
// written outside an except block must not end the back-test.
nb::object flag_and_reraise_once(nb::handle self) {
    if (truth(get_attr(self, S.has_error)))
        return nb::none();
    nb::object exc = handled_exception();
    if (!exc.is_valid())
        return nb::none();
    set_attr(self, S.has_error, Py_True);
    reraise(exc);
}

// ---------------------------------------------------------- argument helpers

PyObject *self_of(PyObject *const *args, Py_ssize_t nargs, const char *fn) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'self'", fn);
        return nullptr;
    }
    return args[0];
}

// `message`: the second positional argument, or the keyword of that name.
PyObject *message_of(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const char *fn) {
    if (nargs >= 2)
        return args[1];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        int same = name == S.message ? 1 : PyObject_RichCompareBool(name, S.message, Py_EQ);
        if (same < 0)
            return nullptr;
        if (same)
            return args[nargs + i];
    }
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'message'", fn);
    return nullptr;
}

nb::handle self_or_raise(PyObject *const *args, Py_ssize_t nargs, const char *fn) {
    PyObject *self = self_of(args, nargs, fn);
    if (!self)
        raise_python_error();
    return self;
}

// ------------------------------------------------------------- output methods
//
// Each takes the module namespace first: the timed wrapper passes the one it
// holds, the plain method (`__wrapped__`) looks it up.

using OutputFunction = PyObject *(*)(PyObject *globals, PyObject *const *, Py_ssize_t, PyObject *);

PyObject *showlog_info(PyObject *globals, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    return guarded([&]() -> nb::object {
        nb::handle self = self_or_raise(args, nargs, "info");
        if (below_threshold(self, S.INFO))
            return nb::none();
        nb::object message = joined(args + 1, nargs - 1);
        if (truth(get_attr(self, S.is_limit))) {
            nb::object count = get_attr(self, S.log_num);
            nb::object cap = get_attr(self, S.LOG_LIMIT_NUM);
            if (compare(count, cap, Py_GT))
                return nb::none();
            bool at_cap = compare(count, cap, Py_EQ);
            nb::object one = steal_or_raise(PyLong_FromLong(1));
            set_attr(self, S.log_num, steal_or_raise(PyNumber_Add(count.ptr(), one.ptr())));
            if (at_cap)
                message = nb::borrow(S.notice);
        }
        if (!is_keyed(self))
            write_user_line(globals, S.info, message);
        return nb::none();
    });
}

PyObject *showlog_warn(PyObject *globals, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    return guarded([&]() -> nb::object {
        nb::handle self = self_or_raise(args, nargs, "warn");
        if (below_threshold(self, S.WARN))
            return nb::none();
        nb::object message = joined(args + 1, nargs - 1);
        if (!is_keyed(self))
            write_user_line(globals, S.warn, message);
        return nb::none();
    });
}

PyObject *showlog_error(PyObject *globals, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    return guarded([&]() -> nb::object {
        nb::handle self = self_or_raise(args, nargs, "error");
        if (below_threshold(self, S.ERROR))
            return nb::none();
        nb::object message = joined(args + 1, nargs - 1);
        if (is_keyed(self))
            return flag_and_reraise_once(self);
        write_user_line(globals, S.error, message);
        nb::object exc = handled_exception();
        if (exc.is_valid())
            reraise(exc);
        return nb::none();
    });
}

// The record path: one attribute read and one call, so plain C API throughout.
PyObject *backtest_info(PyObject *globals, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    PyObject *self = self_of(args, nargs, "info");
    if (!self)
        return nullptr;
    PyObject *message = message_of(args, nargs, kwnames, "info");
    if (!message)
        return nullptr;
    int keyed = keyed_state(self);
    if (keyed < 0)
        return nullptr;
    if (!keyed && write_line(globals, S.info, message) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *backtest_error(PyObject *globals, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        nb::handle self = self_or_raise(args, nargs, "error");
        PyObject *message = message_of(args, nargs, kwnames, "error");
        if (!message)
            raise_python_error();
        if (is_keyed(self))
            return flag_and_reraise_once(self);
        write_user_line(globals, S.error, message);
        return nb::none();
    });
}

// The plain method as a builtin: finds the namespace itself.
template <OutputFunction fn>
PyObject *plain_method(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *globals = module_globals();
    return globals ? fn(globals, args, nargs, kwnames) : nullptr;
}

constexpr int FAST_FLAGS = METH_FASTCALL | METH_KEYWORDS;

// The C API stores every calling convention under one pointer type.
template <typename Fn> PyCFunction as_cfunction(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

struct OutputMethod {
    PyMethodDef def;
    OutputFunction fn;
};

template <OutputFunction fn> OutputMethod output_method(const char *name) {
    return {{name, as_cfunction(&plain_method<fn>), FAST_FLAGS, nullptr}, fn};
}

OutputMethod backtest_info_def = output_method<backtest_info>("info");
OutputMethod backtest_error_def = output_method<backtest_error>("error");
OutputMethod showlog_info_def = output_method<showlog_info>("info");
OutputMethod showlog_warn_def = output_method<showlog_warn>("warn");
OutputMethod showlog_error_def = output_method<showlog_error>("error");

// Our own output function behind a builtin, so the wrapper can call it
// straight through; nullptr for anything else.
OutputFunction output_function_of(PyObject *func) {
    if (!PyCFunction_CheckExact(func))
        return nullptr;
    for (OutputMethod *m : {&backtest_info_def, &backtest_error_def, &showlog_info_def,
                            &showlog_warn_def, &showlog_error_def})
        if (PyCFunction_GET_FUNCTION(func) == m->def.ml_meth)
            return m->fn;
    return nullptr;
}

// ------------------------------------------------- the logtime_support wrapper

struct TimedFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    // Set when func is one of our output methods: called straight through,
    // without a second dispatch and without the "datetime" keyword, which
    // they ignore.
    OutputFunction direct;
    PyObject *func;
    PyObject *dt_field;
    PyObject *globals; // the module namespace, held like a function's __globals__
    PyObject *dict;
    PyObject *weaklist;
};

PyTypeObject *timed_function_type = nullptr;

// cls.name for a plain class whose metaclass is `type`: the metaclass has no
// such attribute, so the class's own lookup decides; anything else takes the
// full attribute protocol. New reference or NULL.
PyObject *class_attr(PyObject *cls, PyObject *name) {
    if (Py_IS_TYPE(cls, &PyType_Type)) {
        PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name);
        if (found && !Py_TYPE(found)->tp_descr_get)
            return Py_NewRef(found);
    }
    return PyObject_GetAttr(cls, name);
}

// getattr(Environment._env, dt_field, None); only a missing attribute on the
// environment object becomes None. New reference or NULL.
PyObject *engine_time(PyObject *globals, PyObject *dt_field) {
    PyObject *environment = read_global(environment_slot, globals);
    if (!environment)
        return nullptr;
    PyObject *env = class_attr(environment, S._env);
    Py_DECREF(environment);
    if (!env)
        return nullptr;
    PyObject *value = nullptr;
    int found = _PyObject_LookupAttr(env, dt_field, &value);
    Py_DECREF(env);
    if (found < 0)
        return nullptr;
    return found ? value : Py_NewRef(Py_None);
}

// 1 when the caller passed "datetime", 0 if not, -1 on error.
int has_datetime_keyword(PyObject *kwnames) {
    Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        int same = name == S.datetime ? 1 : PyObject_RichCompareBool(name, S.datetime, Py_EQ);
        if (same)
            return same;
    }
    return 0;
}

// func(*args, **kwargs, datetime=when) for any wrapped callable.
PyObject *call_adding_time(PyObject *func, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, PyObject *when) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *names =
        nkw ? PySequence_Concat(kwnames, S.kwnames_datetime) : Py_NewRef(S.kwnames_datetime);
    if (!names)
        return nullptr;
    constexpr Py_ssize_t SMALL = 12;
    PyObject *small[SMALL];
    Py_ssize_t total = nargs + nkw + 1;
    std::unique_ptr<PyObject *[]> big;
    PyObject **all = small;
    if (total > SMALL) {
        big.reset(new (std::nothrow) PyObject *[total]);
        if (!big) {
            Py_DECREF(names);
            return PyErr_NoMemory();
        }
        all = big.get();
    }
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i)
        all[i] = args[i];
    all[nargs + nkw] = when;
    PyObject *result = PyObject_Vectorcall(func, all, nargs, names);
    Py_DECREF(names);
    return result;
}

PyObject *call_wrapped(TimedFunction *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    if (self->direct)
        return self->direct(self->globals, args, nargs, kwnames);
    return PyObject_Vectorcall(self->func, args, nargs, kwnames);
}

PyObject *timed_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames) {
    auto *self = reinterpret_cast<TimedFunction *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    int given = has_datetime_keyword(kwnames);
    if (given < 0)
        return nullptr;
    PyObject *result;
    if (given) {
        result = call_wrapped(self, args, nargs, kwnames);
    } else {
        PyObject *when = engine_time(self->globals, self->dt_field);
        if (!when)
            return nullptr;
        result = self->direct ? call_wrapped(self, args, nargs, kwnames)
                              : call_adding_time(self->func, args, nargs, kwnames, when);
        Py_DECREF(when);
    }
    if (!result)
        return nullptr;
    Py_DECREF(result); // the wrapped function's result is discarded
    Py_RETURN_NONE;
}

PyObject *timed_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int timed_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<TimedFunction *>(op);
    Py_VISIT(self->func);
    Py_VISIT(self->dt_field);
    Py_VISIT(self->globals);
    Py_VISIT(self->dict);
    Py_VISIT(Py_TYPE(op));
    return 0;
}

int timed_clear(PyObject *op) {
    auto *self = reinterpret_cast<TimedFunction *>(op);
    Py_CLEAR(self->func);
    Py_CLEAR(self->dt_field);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->dict);
    return 0;
}

void timed_dealloc(PyObject *op) {
    PyTypeObject *tp = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (reinterpret_cast<TimedFunction *>(op)->weaklist)
        PyObject_ClearWeakRefs(op);
    timed_clear(op);
    tp->tp_free(op);
    Py_DECREF(tp);
}

PyObject *timed_repr(PyObject *self) {
    PyObject *name = nullptr;
    if (_PyObject_LookupAttr(self, S.qualname, &name) < 0)
        return nullptr;
    if (!name)
        return PyUnicode_FromFormat("<logtime function at %p>", self);
    PyObject *text = PyUnicode_FromFormat("<function %S at %p>", name, self);
    Py_DECREF(name);
    return text;
}

PyMemberDef timed_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(TimedFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(TimedFunction, weaklist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(TimedFunction, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef timed_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot timed_slots[] = {
    {Py_tp_getset, timed_getset},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(timed_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void *>(timed_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(timed_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(timed_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(timed_repr)},
    {Py_tp_members, timed_members},
    {0, nullptr},
};

PyType_Spec timed_spec = {
    "zentaro.mod.kelvo.utils.recorder.logtime_function",
    sizeof(TimedFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    timed_slots,
};

// _log_support(f): the wrapper that adds the engine time, dressed as f.
nb::object wrap_with_time(nb::handle func, nb::handle dt_field) {
    PyObject *globals = module_globals();
    if (!globals)
        raise_python_error();
    // Interned, the environment's attribute lookup finds the name by identity.
    PyObject *field = Py_NewRef(dt_field.ptr());
    if (PyUnicode_CheckExact(field))
        PyUnicode_InternInPlace(&field);
    auto *self = PyObject_GC_New(TimedFunction, timed_function_type);
    if (!self) {
        Py_DECREF(field);
        raise_python_error();
    }
    self->vectorcall = timed_vectorcall;
    self->direct = output_function_of(func.ptr());
    self->func = Py_NewRef(func.ptr());
    self->dt_field = field;
    self->globals = Py_NewRef(globals);
    self->dict = nullptr;
    self->weaklist = nullptr;
    PyObject_GC_Track(self);
    nb::object wrapped = nb::steal(reinterpret_cast<PyObject *>(self));
    nb::object wraps = module_attr(module_ref.get(), "wraps");
    return wraps(func)(wrapped);
}

nb::object logtime_support(nb::object dt_field) {
    return nb::cpp_function([dt_field](nb::object func) { return wrap_with_time(func, dt_field); },
                            nb::name("_log_support"), nb::arg("f").none());
}

// ------------------------------------------------------------------- class Log

void log_init(nb::handle self) {
    set_attr(self, S.key, S.empty_bytes);
    set_attr(self, S.limited, level(self, S.ALL));
    set_attr(self, S.log_num, steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, S.is_limit, Py_True);
}

[[noreturn]] void encode_failed(nb::handle self) {
    (void)self;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    nb::object cause = nb::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    nb::object system_log = module_attr(module_ref.get(), "system_log");
    call_method1(system_log, S.error, S.encode_failed);
    PyErr_SetObject(PyExc_Exception, S.encode_failed);
    if (cause.is_valid()) { // chain like a raise inside an except block
        PyObject *t, *v, *b;
        PyErr_Fetch(&t, &v, &b);
        PyErr_NormalizeException(&t, &v, &b);
        PyException_SetContext(v, cause.release().ptr());
        PyErr_Restore(t, v, b);
    }
    raise_python_error();
}

void log_set_key(nb::handle self, nb::object key) {
    set_attr(self, S.log_num, steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, S.is_limit, Py_True);
    if (!PyBytes_Check(key.ptr())) {
        PyObject *args[2] = {key.ptr(), S.utf8};
        PyObject *encoded =
            PyObject_VectorcallMethod(S.encode, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (!encoded) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                raise_python_error();
            encode_failed(self);
        }
        key = nb::steal(encoded);
    }
    set_attr(self, S.key, key);
}

void log_set_limited(nb::handle self, nb::object values, nb::object is_limit) {
    nb::object name = call_method0(values, S.lower);
    set_attr(self, S.is_limit, is_limit);
    struct {
        const char *text;
        PyObject *level;
    } table[] = {{"info", S.INFO}, {"warn", S.WARN}, {"error", S.ERROR}};
    for (auto &row : table) {
        if (compare(name, nb::str(row.text), Py_EQ)) {
            set_attr(self, S.limited, level(self, row.level));
            return;
        }
    }
}

nb::object log_set_tofile(nb::handle self, nb::object filename) {
    if (is_keyed(self))
        return nb::bool_(false);
    nb::handle module = module_ref.get();
    nb::object log_tofile = module_attr(module, "log_tofile");
    return log_tofile(module_attr(module, "user_normal_log"), filename);
}

nb::object make_log_class(nb::handle module) {
    nb::dict ns;
    nb::dict limits;
    limits["ALL"] = 0;
    limits["INFO"] = 1;
    limits["WARN"] = 2;
    limits["ERROR"] = 3;
    ns["topic"] = nb::str("Log");
    ns["has_error"] = nb::bool_(false);
    ns["LIMIT_MSG"] = limits;
    ns["LOG_LIMIT_NUM"] = 10000;
    ns["__init__"] = method(&log_init, nb::name("__init__"));
    ns["set_key"] = method(&log_set_key, nb::name("set_key"), nb::arg("key").none());
    ns["set_limited"] = method(&log_set_limited, nb::name("set_limited"), nb::arg("values").none(),
                               nb::arg("is_limit").none() = true);
    ns["set_tofile"] = method(&log_set_tofile, nb::name("set_tofile"), nb::arg("filename").none());
    ns["info"] = method(
        [](nb::handle, nb::object, nb::args, nb::kwargs) -> nb::object {
            PyErr_SetString(PyExc_NotImplementedError, "log.info");
            raise_python_error();
        },
        nb::name("info"), nb::arg("message").none(), nb::arg("args"), nb::arg("kwargs"));
    ns["error"] = method(
        [](nb::handle, nb::object, nb::args, nb::kwargs) -> nb::object {
            PyErr_SetString(PyExc_NotImplementedError, "log.error");
            raise_python_error();
        },
        nb::name("error"), nb::arg("message").none(), nb::arg("args"), nb::arg("kwargs"));
    nb::object cls = make_python_class(
        module, "Log", nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
        ns);
    set_doc(cls, "记录数据，送入消息中间件");
    return cls;
}

// A timed output method: the plain C function dressed by logtime_support.
nb::object timed_method(nb::handle module, OutputMethod *output, const char *dt_field,
                        const char *owner) {
    PyMethodDef *def = &output->def;
    nb::object modname = module.attr("__name__");
    nb::object fn = steal_or_raise(PyCFunction_NewEx(def, nullptr, modname.ptr()));
    nb::object wrapped = wrap_with_time(fn, nb::str(dt_field));
    std::string qualname = std::string(owner) + "." + def->ml_name;
    nb::setattr(wrapped, "__qualname__", nb::str(qualname.c_str()));
    return wrapped;
}

nb::object make_log_subclass(nb::handle module, nb::handle base, const char *name, const char *doc,
                             const char *dt_field, std::initializer_list<OutputMethod *> outputs) {
    nb::dict ns;
    for (OutputMethod *output : outputs)
        ns[output->def.ml_name] = timed_method(module, output, dt_field, name);
    nb::object cls = make_python_class(module, name, nb::make_tuple(base), ns);
    set_doc(cls, doc);
    return cls;
}

// ------------------------------------------------------------------ LogEncoder

nb::object encoder_default(nb::handle self, nb::handle obj) {
    PyObject *cls = PyWeakref_GetObject(log_encoder_ref.ptr());
    if (!cls || cls == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "LogEncoder is no longer defined");
        raise_python_error();
    }
    nb::object parent = steal_or_raise(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject *>(&PySuper_Type), cls, self.ptr(), nullptr));
    nb::object base_default = steal_or_raise(PyObject_GetAttrString(parent.ptr(), "default"));
    PyObject *result = PyObject_CallOneArg(base_default.ptr(), obj.ptr());
    if (result)
        return nb::steal(result);
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        raise_python_error();
    PyErr_Clear();
    return steal_or_raise(PyObject_Str(obj.ptr()));
}

nb::object make_log_encoder(nb::handle module) {
    nb::object json = nb::module_::import_("json");
    nb::dict ns;
    ns["default"] = method(&encoder_default, nb::name("default"), nb::arg("obj").none());
    nb::object cls =
        make_python_class(module, "LogEncoder", nb::make_tuple(json.attr("JSONEncoder")), ns);
    log_encoder_ref = steal_or_raise(PyWeakref_NewRef(cls.ptr(), nullptr)).release();
    return cls;
}

} // namespace

NB_MODULE(recorder, m) {
    init_names();
    environment_slot.name = S.Environment;
    user_log_slot.name = S.user_normal_log;
    module_ref.set(m);
    set_doc(m, "记录中间数据、日志数据的接口");

    nb::object json = nb::module_::import_("json");
    m.attr("json") = json;
    m.attr("wraps") = nb::module_::import_("functools").attr("wraps");
    m.attr("Environment") = nb::module_::import_("corvane.environment").attr("Environment");
    nb::object logger = nb::module_::import_("corvane.utils.logger");
    m.attr("system_log") = logger.attr("system_log");
    m.attr("user_normal_log") = logger.attr("user_normal_log");
    m.attr("log_tofile") = logger.attr("log_tofile");

    timed_function_type = reinterpret_cast<PyTypeObject *>(
        steal_or_raise(PyType_FromSpec(&timed_spec)).release().ptr());

    nb::object log_cls = make_log_class(m);
    m.attr("Log") = log_cls;
    m.def("logtime_support", &logtime_support, nb::arg("dt_field").none());
    m.attr("BacktestLog") =
        make_log_subclass(m, log_cls, "BacktestLog", "记录内部计算用的日志信息", "calendar_dt",
                          {&backtest_info_def, &backtest_error_def});
    m.attr("ShowLog") =
        make_log_subclass(m, log_cls, "ShowLog", "记录外部展示用的日志信息", "trading_dt",
                          {&showlog_info_def, &showlog_error_def, &showlog_warn_def});
    m.attr("LogEncoder") = make_log_encoder(m);
    m.attr("in_log") = m.attr("BacktestLog")();
    m.attr("log") = m.attr("ShowLog")();
    nb::list all;
    all.append("in_log");
    all.append("log");
    m.attr("__all__") = all;
}
