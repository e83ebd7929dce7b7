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

// Keyed means: key differs from b"" (a str key, even empty, is keyed).
bool is_keyed(nb::handle self) {
    nb::object key = get_attr(self, S.key);
    if (PyBytes_CheckExact(key.ptr()))
        return PyBytes_GET_SIZE(key.ptr()) != 0;
    return !compare(key, S.empty_bytes, Py_EQ);
}

CachedAttr user_normal_log_attr("user_normal_log");
CachedAttr environment_attr("Environment");

void write_user_line(PyObject *method, nb::handle message) {
    nb::object logger = user_normal_log_attr.get(module_ref);
    call_method1(logger, method, message);
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
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()))), Py_NewRef(exc.ptr()), tb);
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
        raise_python_error();
    }
    return args[0];
}

// `message`: the second positional argument, or the keyword of that name.
PyObject *message_of(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const char *fn) {
    if (nargs >= 2)
        return args[1];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (compare(PyTuple_GET_ITEM(kwnames, i), S.message, Py_EQ))
            return args[nargs + i];
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'message'", fn);
    raise_python_error();
}

// ------------------------------------------------------------- output methods

PyObject *showlog_info(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    return guarded([&]() -> nb::object {
        nb::handle self = self_of(args, nargs, "info");
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
            write_user_line(S.info, message);
        return nb::none();
    });
}

PyObject *showlog_warn(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    return guarded([&]() -> nb::object {
        nb::handle self = self_of(args, nargs, "warn");
        if (below_threshold(self, S.WARN))
            return nb::none();
        nb::object message = joined(args + 1, nargs - 1);
        if (!is_keyed(self))
            write_user_line(S.warn, message);
        return nb::none();
    });
}

PyObject *showlog_error(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    return guarded([&]() -> nb::object {
        nb::handle self = self_of(args, nargs, "error");
        if (below_threshold(self, S.ERROR))
            return nb::none();
        nb::object message = joined(args + 1, nargs - 1);
        if (is_keyed(self))
            return flag_and_reraise_once(self);
        write_user_line(S.error, message);
        nb::object exc = handled_exception();
        if (exc.is_valid())
            reraise(exc);
        return nb::none();
    });
}

PyObject *backtest_info(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        nb::handle self = self_of(args, nargs, "info");
        PyObject *message = message_of(args, nargs, kwnames, "info");
        if (!is_keyed(self))
            write_user_line(S.info, message);
        return nb::none();
    });
}

PyObject *backtest_error(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        nb::handle self = self_of(args, nargs, "error");
        PyObject *message = message_of(args, nargs, kwnames, "error");
        if (is_keyed(self))
            return flag_and_reraise_once(self);
        write_user_line(S.error, message);
        return nb::none();
    });
}

constexpr int FAST_FLAGS = METH_FASTCALL | METH_KEYWORDS;

// The C API stores every calling convention under one pointer type.
template <typename Fn> PyCFunction as_cfunction(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef backtest_info_def = {"info", as_cfunction(backtest_info), FAST_FLAGS, nullptr};
PyMethodDef backtest_error_def = {"error", as_cfunction(backtest_error), FAST_FLAGS, nullptr};
PyMethodDef showlog_info_def = {"info", as_cfunction(showlog_info), FAST_FLAGS, nullptr};
PyMethodDef showlog_warn_def = {"warn", as_cfunction(showlog_warn), FAST_FLAGS, nullptr};
PyMethodDef showlog_error_def = {"error", as_cfunction(showlog_error), FAST_FLAGS, nullptr};

// ------------------------------------------------- the logtime_support wrapper

using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

struct TimedFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    // Set when func is a builtin with the fast keyword convention (our own
    // output methods): called straight through, without a second dispatch.
    FastFunction direct;
    PyObject *func;
    PyObject *dt_field;
    PyObject *dict;
    PyObject *weaklist;
};

PyTypeObject *timed_function_type = nullptr;

// cls.name for a plain class whose metaclass is `type`: the metaclass has no
// such attribute, so the class's own lookup decides; anything else takes the
// full attribute protocol.
nb::object class_attr(nb::handle cls, PyObject *name) {
    if (Py_IS_TYPE(cls.ptr(), &PyType_Type)) {
        PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), name);
        if (found && !Py_TYPE(found)->tp_descr_get)
            return nb::borrow(found);
    }
    return get_attr(cls, name);
}

// getattr(Environment._env, dt_field, None); only a missing attribute on the
// environment object becomes None.
nb::object engine_time(PyObject *dt_field) {
    nb::object environment = environment_attr.get(module_ref);
    nb::object env = class_attr(environment, S._env);
    PyObject *value = nullptr;
    if (_PyObject_LookupAttr(env.ptr(), dt_field, &value) < 0)
        raise_python_error();
    return value ? nb::steal(value) : nb::none();
}

bool has_datetime_keyword(PyObject *kwnames) {
    if (!kwnames)
        return false;
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (name == S.datetime || compare(name, S.datetime, Py_EQ))
            return true;
    }
    return false;
}

nb::object call_func(TimedFunction *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (self->direct)
        return steal_or_raise(self->direct(PyCFunction_GET_SELF(self->func), args, nargs, kwnames));
    return steal_or_raise(PyObject_Vectorcall(self->func, args, nargs, kwnames));
}

nb::object call_with_time(TimedFunction *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (has_datetime_keyword(kwnames))
        return call_func(self, args, PyVectorcall_NARGS(nargsf), kwnames);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    nb::object when = engine_time(self->dt_field);
    nb::object names = nb::borrow(S.kwnames_datetime);
    if (nkw) {
        nb::object extra = nb::borrow(S.kwnames_datetime);
        names = steal_or_raise(PySequence_Concat(kwnames, extra.ptr()));
    }
    constexpr Py_ssize_t SMALL = 12;
    PyObject *small[SMALL];
    Py_ssize_t total = nargs + nkw + 1;
    std::unique_ptr<PyObject *[]> big;
    PyObject **all = small;
    if (total > SMALL) {
        big.reset(new PyObject *[total]);
        all = big.get();
    }
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i)
        all[i] = args[i];
    all[nargs + nkw] = when.ptr();
    return call_func(self, all, nargs, names.ptr());
}

PyObject *timed_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *self = reinterpret_cast<TimedFunction *>(callable);
    return guarded([&]() -> nb::object {
        call_with_time(self, args, nargsf, kwnames);
        return nb::none(); // the wrapped function's result is discarded
    });
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
    Py_VISIT(self->dict);
    Py_VISIT(Py_TYPE(op));
    return 0;
}

int timed_clear(PyObject *op) {
    auto *self = reinterpret_cast<TimedFunction *>(op);
    Py_CLEAR(self->func);
    Py_CLEAR(self->dt_field);
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    timed_slots,
};

// _log_support(f): the wrapper that adds the engine time, dressed as f.
nb::object wrap_with_time(nb::handle func, nb::handle dt_field) {
    auto *self = PyObject_GC_New(TimedFunction, timed_function_type);
    if (!self)
        raise_python_error();
    self->vectorcall = timed_vectorcall;
    self->direct = nullptr;
    if (PyCFunction_CheckExact(func.ptr()) && PyCFunction_GET_FLAGS(func.ptr()) == FAST_FLAGS)
        self->direct = reinterpret_cast<FastFunction>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(func.ptr())));
    self->func = Py_NewRef(func.ptr());
    self->dt_field = Py_NewRef(dt_field.ptr());
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
    struct { const char *text; PyObject *level; } table[] = {
        {"info", S.INFO}, {"warn", S.WARN}, {"error", S.ERROR}};
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
    nb::object cls = make_python_class(module, "Log", nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns);
    set_doc(cls, "记录数据，送入消息中间件");
    return cls;
}

// A timed output method: the plain C function dressed by logtime_support.
nb::object timed_method(nb::handle module, PyMethodDef *def, const char *dt_field, const char *owner) {
    nb::object modname = module.attr("__name__");
    nb::object fn = steal_or_raise(PyCFunction_NewEx(def, nullptr, modname.ptr()));
    nb::object wrapped = wrap_with_time(fn, nb::str(dt_field));
    std::string qualname = std::string(owner) + "." + def->ml_name;
    nb::setattr(wrapped, "__qualname__", nb::str(qualname.c_str()));
    return wrapped;
}

nb::object make_log_subclass(nb::handle module, nb::handle base, const char *name, const char *doc,
                             const char *dt_field, std::initializer_list<PyMethodDef *> defs) {
    nb::dict ns;
    for (PyMethodDef *def : defs)
        ns[def->ml_name] = timed_method(module, def, dt_field, name);
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
    nb::object parent = steal_or_raise(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), cls, self.ptr(), nullptr));
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
    nb::object cls = make_python_class(module, "LogEncoder", nb::make_tuple(json.attr("JSONEncoder")), ns);
    log_encoder_ref = steal_or_raise(PyWeakref_NewRef(cls.ptr(), nullptr)).release();
    return cls;
}

} // namespace

NB_MODULE(recorder, m) {
    init_names();
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

    timed_function_type = reinterpret_cast<PyTypeObject *>(steal_or_raise(PyType_FromSpec(&timed_spec)).release().ptr());

    nb::object log_cls = make_log_class(m);
    m.attr("Log") = log_cls;
    m.def("logtime_support", &logtime_support, nb::arg("dt_field").none());
    m.attr("BacktestLog") = make_log_subclass(m, log_cls, "BacktestLog", "记录内部计算用的日志信息",
                                              "calendar_dt", {&backtest_info_def, &backtest_error_def});
    m.attr("ShowLog") = make_log_subclass(m, log_cls, "ShowLog", "记录外部展示用的日志信息", "trading_dt",
                                          {&showlog_info_def, &showlog_error_def, &showlog_warn_def});
    m.attr("LogEncoder") = make_log_encoder(m);
    m.attr("in_log") = m.attr("BacktestLog")();
    m.attr("log") = m.attr("ShowLog")();
    nb::list all;
    all.append("in_log");
    all.append("log");
    m.attr("__all__") = all;
}
