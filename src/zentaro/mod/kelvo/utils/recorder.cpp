// The recorder: a keyed, limited log base and the two logs of a back-test run
// (`in_log` for result records, `log` for the lines users see).
//
// The five output methods sit on the hot path of every engine log line. Each
// is a kit function dressed by logtime_support; the dressing forwards the
// caller's arguments untouched and, when it wraps one of our own output
// methods, runs its body straight away: no tuple, no dict, no second dispatch,
// and no "datetime" keyword, which those bodies ignore.

#include "zentaro/function.hpp"
#include "zentaro/state.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace zentaro;

namespace {

constexpr const char *kModuleDoc = "记录中间数据、日志数据的接口";
constexpr const char *kLogDoc = "记录数据，送入消息中间件";
constexpr const char *kBacktestLogDoc = "记录内部计算用的日志信息";
constexpr const char *kShowLogDoc = "记录外部展示用的日志信息";
constexpr const char *kNotice = "日志条数超过限制,以下日志省略";
constexpr const char *kEncodeFailed = "回测标示编码失败！";

// Read on every log line; replacing either (as tests and runners do) is seen
// at once.
CachedAttr environment_attr("Environment");
CachedAttr user_log_attr("user_normal_log");

PyObject *empty_bytes() {
    static PyObject *const empty = steal_or_raise(PyBytes_FromStringAndSize("", 0)).release().ptr();
    return empty;
}

// ---- state tests -------------------------------------------------------------

nb::object level(nb::handle self, PyObject *name) {
    nb::object table = get_attr(self, ZT_NAME("LIMIT_MSG"));
    return steal_or_raise(into_python([&] { return PyObject_GetItem(table.ptr(), name); }));
}

// A message of this level is dropped when the threshold is above it.
bool below_threshold(nb::handle self, PyObject *level_name) {
    nb::object limited = get_attr(self, ZT_NAME("limited"));
    return compare(limited, level(self, level_name), Py_GT);
}

// Keyed means: key differs from b"" (a str key, even empty, is keyed).
bool is_keyed(nb::handle self) {
    nb::object key = get_attr(self, ZT_NAME("key"));
    if (PyBytes_CheckExact(key.ptr()))
        return PyBytes_GET_SIZE(key.ptr()) != 0;
    return !compare(key, empty_bytes(), Py_EQ);
}

// user_normal_log.<method>(message).
void write_user_line(PyObject *method, nb::handle message) {
    call_method(user_log_attr.get(), method, message);
}

// The text of the positional arguments joined by single spaces.
nb::object joined(PyObject *const *parts, Py_ssize_t count) {
    if (count == 1)
        return text_of(parts[0]);
    nb::object texts = steal_or_raise(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(texts.ptr(), i, text_of(parts[i]).release().ptr());
    return steal_or_raise(PyUnicode_Join(ZT_NAME(" "), texts.ptr()));
}

// ---- re-raising the handled exception -------------------------------------------

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

// The keyed error path: the first call sets the flag, then re-raises the
// handled exception if there is one. Outside an except block there is
// nothing to re-raise, and an engine error line must not end the back-test.
void flag_and_reraise_once(nb::handle self) {
    if (truth(get_attr(self, ZT_NAME("has_error"))))
        return;
    set_attr(self, ZT_NAME("has_error"), Py_True);
    nb::object exc = handled_exception();
    if (exc.is_valid())
        reraise(exc);
}

// ---- the bodies of the five output methods ----------------------------------------

void show_info(nb::handle self, PyObject *const *parts, Py_ssize_t count) {
    if (below_threshold(self, ZT_NAME("INFO")))
        return;
    nb::object message = joined(parts, count);
    if (truth(get_attr(self, ZT_NAME("is_limit")))) {
        nb::object written = get_attr(self, ZT_NAME("log_num"));
        nb::object cap = get_attr(self, ZT_NAME("LOG_LIMIT_NUM"));
        if (compare(written, cap, Py_GT))
            return;
        bool at_cap = compare(written, cap, Py_EQ);
        nb::object one = steal_or_raise(PyLong_FromLong(1));
        nb::object next =
            steal_or_raise(into_python([&] { return PyNumber_Add(written.ptr(), one.ptr()); }));
        set_attr(self, ZT_NAME("log_num"), next);
        if (at_cap)
            message = nb::borrow(ZT_NAME(kNotice));
    }
    if (!is_keyed(self))
        write_user_line(ZT_NAME("info"), message);
}

void show_warn(nb::handle self, PyObject *const *parts, Py_ssize_t count) {
    if (below_threshold(self, ZT_NAME("WARN")))
        return;
    nb::object message = joined(parts, count);
    if (!is_keyed(self))
        write_user_line(ZT_NAME("warn"), message);
}

void show_error(nb::handle self, PyObject *const *parts, Py_ssize_t count) {
    if (below_threshold(self, ZT_NAME("ERROR")))
        return;
    nb::object message = joined(parts, count);
    if (is_keyed(self)) {
        flag_and_reraise_once(self);
        return;
    }
    write_user_line(ZT_NAME("error"), message);
    nb::object exc = handled_exception();
    if (exc.is_valid())
        reraise(exc);
}

void backtest_info(nb::handle self, nb::handle message) {
    if (!is_keyed(self))
        write_user_line(ZT_NAME("info"), message);
}

void backtest_error(nb::handle self, nb::handle message) {
    if (is_keyed(self))
        flag_and_reraise_once(self);
    else
        write_user_line(ZT_NAME("error"), message);
}

// ---- the output methods as kit functions --------------------------------------------

PyObject *const *items_of(nb::handle tuple) {
    return PySequence_Fast_ITEMS(tuple.ptr());
}

// Each method first checks that its module still exists, so that a log kept
// past its module raises on every path, keyed or not.
void require_module() {
    module_state().live_dict();
}

void show_info_method(nb::handle self, nb::handle args, nb::handle) {
    require_module();
    show_info(self, items_of(args), PyTuple_GET_SIZE(args.ptr()));
}

void show_warn_method(nb::handle self, nb::handle args, nb::handle) {
    require_module();
    show_warn(self, items_of(args), PyTuple_GET_SIZE(args.ptr()));
}

void show_error_method(nb::handle self, nb::handle args, nb::handle) {
    require_module();
    show_error(self, items_of(args), PyTuple_GET_SIZE(args.ptr()));
}

void backtest_info_method(nb::handle self, nb::handle message, nb::handle, nb::handle) {
    require_module();
    backtest_info(self, message);
}

void backtest_error_method(nb::handle self, nb::handle message, nb::handle, nb::handle) {
    require_module();
    backtest_error(self, message);
}

// ---- logtime_support ---------------------------------------------------------------

// Keyword names come interned from compiled code, so identity usually decides.
bool same_name(PyObject *name, PyObject *interned_name) {
    return name == interned_name ||
           (PyUnicode_Check(name) &&
            PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(interned_name) &&
            PyUnicode_Compare(name, interned_name) == 0);
}

// The keywords of a call that the wrapper looks at.
struct Keywords {
    bool datetime = false;
    bool binds_self_or_message = false; // a plain call must bind them positionally
};

Keywords keywords_of(PyObject *kwnames) {
    Keywords found;
    Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (same_name(name, ZT_NAME("datetime")))
            found.datetime = true;
        else if (same_name(name, ZT_NAME("self")) || same_name(name, ZT_NAME("message")))
            found.binds_self_or_message = true;
    }
    return found;
}

// cls.name for a plain class whose metaclass is `type`: the metaclass has no
// such attribute, so the class's own lookup decides; anything else takes the
// full attribute protocol.
nb::object class_attr(nb::handle cls, PyObject *name) {
    if (Py_IS_TYPE(cls.ptr(), &PyType_Type)) {
        PyObject *found = compat::type_lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), name);
        if (found && !Py_TYPE(found)->tp_descr_get)
            return nb::borrow(found);
    }
    return get_attr(cls, name);
}

// getattr(Environment._env, dt_field, None): only a missing attribute on the
// environment object becomes None.
nb::object engine_time(nb::handle dt_field) {
    nb::object env = class_attr(environment_attr.get(), ZT_NAME("_env"));
    PyObject *value = nullptr;
    int found = into_python([&] { return compat::lookup_attr(env.ptr(), dt_field.ptr(), &value); });
    if (found < 0)
        raise_python_error();
    return found ? nb::steal(value) : nb::none();
}

// The output methods whose bodies the wrapper runs straight away.
enum class Body { kNone, kShowInfo, kShowWarn, kShowError, kBacktestInfo, kBacktestError };

Body body_of(nb::handle func) {
    if (!is_kit_function(func))
        return Body::kNone;
    if (is_function_for<show_info_method>(func))
        return Body::kShowInfo;
    if (is_function_for<show_warn_method>(func))
        return Body::kShowWarn;
    if (is_function_for<show_error_method>(func))
        return Body::kShowError;
    if (is_function_for<backtest_info_method>(func))
        return Body::kBacktestInfo;
    if (is_function_for<backtest_error_method>(func))
        return Body::kBacktestError;
    return Body::kNone;
}

// Runs the body of the wrapped output method when the call binds plainly;
// false when the call must go through the wrapped function itself (which
// then reports any binding error).
template <Body kBody>
bool run_output_body(const ForwardedCall &call, const Keywords &keywords) {
    if constexpr (kBody == Body::kNone) {
        return false;
    } else {
        if (call.nargs < 1 || keywords.binds_self_or_message)
            return false;
        nb::handle self = call.args[0];
        PyObject *const *rest = call.args + 1;
        Py_ssize_t count = call.nargs - 1;
        if constexpr (kBody == Body::kShowInfo)
            show_info(self, rest, count);
        else if constexpr (kBody == Body::kShowWarn)
            show_warn(self, rest, count);
        else if constexpr (kBody == Body::kShowError)
            show_error(self, rest, count);
        else if (count < 1)
            return false;
        else if constexpr (kBody == Body::kBacktestInfo)
            backtest_info(self, rest[0]);
        else
            backtest_error(self, rest[0]);
        return true;
    }
}

// func(*args, **kwargs, datetime=when)
nb::object call_adding_time(nb::handle func, const ForwardedCall &call, nb::handle when) {
    Py_ssize_t keywords = call.kwnames ? PyTuple_GET_SIZE(call.kwnames) : 0;
    nb::object names = steal_or_raise(PyTuple_New(keywords + 1));
    std::vector<PyObject *> values(call.args, call.args + call.nargs + keywords);
    for (Py_ssize_t i = 0; i < keywords; ++i)
        PyTuple_SET_ITEM(names.ptr(), i, Py_NewRef(PyTuple_GET_ITEM(call.kwnames, i)));
    PyTuple_SET_ITEM(names.ptr(), keywords, Py_NewRef(ZT_NAME("datetime")));
    values.push_back(when.ptr());
    return steal_or_raise(into_python(
        [&] { return PyObject_Vectorcall(func.ptr(), values.data(), call.nargs, names.ptr()); }));
}

// The wrapper that logtime_support puts around a log method, made for the
// Body of the wrapped function so that the hot path has nothing to decide.
// Its closure is (func, dt_field); the function's result is discarded.
template <Body kBody> void call_with_time(Closure closure, ForwardedCall call) {
    // The wrapper's own immutable closure: alive for the call, as its arguments are.
    nb::handle func = PyTuple_GET_ITEM(closure.data.ptr(), 0);
    nb::handle dt_field = PyTuple_GET_ITEM(closure.data.ptr(), 1);
    Keywords keywords = keywords_of(call.kwnames);
    if (keywords.datetime) {
        require_module(); // the other path checks it on reading the engine time
        if (!run_output_body<kBody>(call, keywords))
            steal_or_raise(into_python([&] {
                return PyObject_Vectorcall(func.ptr(), call.args, call.nargs, call.kwnames);
            }));
        return;
    }
    nb::object when = engine_time(dt_field);
    if (!run_output_body<kBody>(call, keywords))
        call_adding_time(func, call, when);
}

template <Body kBody> nb::object make_wrapper(nb::handle module_name, nb::handle closure) {
    return make_function<call_with_time<kBody>>(
        "wrapped(*args, **kwargs)", nullptr, module_name,
        "logtime_support.<locals>._log_support.<locals>.wrapped", closure);
}

nb::object make_wrapper(Body body, nb::handle module_name, nb::handle closure) {
    switch (body) {
    case Body::kShowInfo:
        return make_wrapper<Body::kShowInfo>(module_name, closure);
    case Body::kShowWarn:
        return make_wrapper<Body::kShowWarn>(module_name, closure);
    case Body::kShowError:
        return make_wrapper<Body::kShowError>(module_name, closure);
    case Body::kBacktestInfo:
        return make_wrapper<Body::kBacktestInfo>(module_name, closure);
    case Body::kBacktestError:
        return make_wrapper<Body::kBacktestError>(module_name, closure);
    default:
        return make_wrapper<Body::kNone>(module_name, closure);
    }
}

// _log_support(f): `wrapped`, dressed as f by functools.wraps.
nb::object wrap_with_time(nb::handle func, nb::handle dt_field) {
    // Interned, the environment's attribute lookup finds the name by identity.
    PyObject *field = Py_NewRef(dt_field.ptr());
    if (PyUnicode_CheckExact(field))
        PyUnicode_InternInPlace(&field);
    nb::object closure = nb::make_tuple(func, nb::steal(field));
    nb::object module_name = get_attr(module_state().module(), ZT_NAME("__name__"));
    nb::object wrapped = make_wrapper(body_of(func), module_name, closure);
    return call(call(module_attr(ZT_NAME("wraps")), func), wrapped);
}

nb::object log_support(Closure closure, nb::handle f) {
    return wrap_with_time(f, closure.data);
}

nb::object logtime_support(nb::handle dt_field) {
    nb::object module_name = get_attr(module_state().module(), ZT_NAME("__name__"));
    return make_function<log_support>(
        "_log_support(f)", "Wrap a log method so that each call receives the engine time.",
        module_name, "logtime_support.<locals>._log_support", dt_field);
}

// ---- class Log -----------------------------------------------------------------------

void log_init(nb::handle self) {
    set_attr(self, ZT_NAME("key"), empty_bytes());
    set_attr(self, ZT_NAME("limited"), level(self, ZT_NAME("ALL")));
    set_attr(self, ZT_NAME("log_num"), steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, ZT_NAME("is_limit"), Py_True);
}

// Reported on the system log, then raised as a plain Exception in the
// context of the encoding error, as a raise inside the except block would.
[[noreturn]] void encode_failed(nb::handle cause) {
    call_method(module_attr(ZT_NAME("system_log")), ZT_NAME("error"), ZT_NAME(kEncodeFailed));
    nb::object error = call(PyExc_Exception, ZT_NAME(kEncodeFailed));
    PyException_SetContext(error.ptr(), Py_NewRef(cause.ptr()));
    PyErr_SetObject(PyExc_Exception, error.ptr());
    raise_python_error();
}

// key.encode("utf-8"), or an empty object with the error pending. Not a C++
// exception: the failure path calls into Python, which must not happen while
// a caught exception is alive (a thread ended at exit unwinds through it).
nb::object encoded(nb::handle key) {
    PyObject *args[2] = {key.ptr(), ZT_NAME("utf-8")};
    return nb::steal(into_python([&] {
        return PyObject_VectorcallMethod(ZT_NAME("encode"), args,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

void log_set_key(nb::handle self, nb::handle key) {
    set_attr(self, ZT_NAME("log_num"), steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, ZT_NAME("is_limit"), Py_True);
    nb::object stored = nb::borrow(key);
    if (!PyBytes_Check(key.ptr())) {
        stored = encoded(key);
        if (!stored.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                raise_python_error();
            encode_failed(fetch_error());
        }
    }
    set_attr(self, ZT_NAME("key"), stored);
}

void log_set_limited(nb::handle self, nb::handle values, nb::handle is_limit) {
    nb::object name = call_method(values, ZT_NAME("lower"));
    set_attr(self, ZT_NAME("is_limit"), is_limit);
    const std::pair<PyObject *, PyObject *> levels[] = {
        {ZT_NAME("info"), ZT_NAME("INFO")},
        {ZT_NAME("warn"), ZT_NAME("WARN")},
        {ZT_NAME("error"), ZT_NAME("ERROR")},
    };
    for (const auto &[lowered, level_name] : levels) {
        if (compare(name, lowered, Py_EQ)) {
            set_attr(self, ZT_NAME("limited"), level(self, level_name));
            return;
        }
    }
}

nb::object log_set_tofile(nb::handle self, nb::handle filename) {
    if (is_keyed(self))
        return nb::bool_(false);
    nb::object log_tofile = module_attr(ZT_NAME("log_tofile"));
    return call(log_tofile, module_attr(ZT_NAME("user_normal_log")), filename);
}

void abstract_info(nb::handle, nb::handle, nb::handle, nb::handle) {
    raise(PyExc_NotImplementedError, "log.info");
}

void abstract_error(nb::handle, nb::handle, nb::handle, nb::handle) {
    raise(PyExc_NotImplementedError, "log.error");
}

nb::object level_table() {
    nb::dict limits;
    limits["ALL"] = 0;
    limits["INFO"] = 1;
    limits["WARN"] = 2;
    limits["ERROR"] = 3;
    return limits;
}

nb::object make_log_class(nb::module_ &m) {
    return ClassBuilder(m, "Log")
        .attr("topic", nb::str("Log"))
        .attr("has_error", nb::bool_(false))
        .attr("LIMIT_MSG", level_table())
        .attr("LOG_LIMIT_NUM", nb::int_(10000))
        .def<log_init>("__init__(self)", "Start not keyed, with threshold ALL and counting on.")
        .def<log_set_key>("set_key(self, key)",
                          "Set the back-test key (UTF-8 bytes) and restart the line count.")
        .def<log_set_limited>("set_limited(self, values, is_limit=True)",
                              "Set the level threshold by name and switch counting on or off.")
        .def<log_set_tofile>("set_tofile(self, filename)",
                             "Also write the user log to a file; False when the log is keyed.")
        .def<abstract_info>("info(self, message, *args, **kwargs)",
                            "Write an info message; subclasses implement it.")
        .def<abstract_error>("error(self, message, *args, **kwargs)",
                             "Write an error message; subclasses implement it.")
        .finish(kLogDoc);
}

// An output method: the kit function for `Fn`, dressed by logtime_support.
template <auto Fn>
void add_output_method(ClassBuilder &cls, nb::module_ &m, const char *owner, const char *signature,
                       const char *doc, const char *dt_field) {
    std::string name(signature, std::strcspn(signature, "("));
    std::string qualname = std::string(owner) + "." + name;
    nb::object module_name = m.attr("__name__");
    nb::object plain = make_function<Fn>(signature, doc, module_name, qualname.c_str());
    cls.attr(name.c_str(), wrap_with_time(plain, nb::str(dt_field)));
}

nb::object make_backtest_log(nb::module_ &m, nb::handle base) {
    ClassBuilder cls(m, "BacktestLog", nb::make_tuple(base));
    add_output_method<backtest_info_method>(
        cls, m, "BacktestLog", "info(self, message, *args, **kwargs)",
        "Hand the record to the engine's user log unless the log is keyed.", "calendar_dt");
    add_output_method<backtest_error_method>(
        cls, m, "BacktestLog", "error(self, message, *args, **kwargs)",
        "Write the record as an error; keyed, re-raise the handled error once.", "calendar_dt");
    return cls.finish(kBacktestLogDoc);
}

nb::object make_show_log(nb::module_ &m, nb::handle base) {
    ClassBuilder cls(m, "ShowLog", nb::make_tuple(base));
    add_output_method<show_info_method>(
        cls, m, "ShowLog", "info(self, *args, **kwargs)",
        "Write the arguments as one line, within the threshold and line limit.", "trading_dt");
    add_output_method<show_error_method>(
        cls, m, "ShowLog", "error(self, *args, **kwargs)",
        "Write the arguments as an error line, then re-raise the handled error.", "trading_dt");
    add_output_method<show_warn_method>(cls, m, "ShowLog", "warn(self, *args, **kwargs)",
                                        "Write the arguments as a warning line.", "trading_dt");
    return cls.finish(kShowLogDoc);
}

// ---- LogEncoder ------------------------------------------------------------------

// `cell` holds the class once it exists: super() needs it, as a method's
// __class__ cell gives it in Python.
nb::object encoder_default(Closure cell, nb::handle self, nb::handle obj) {
    nb::object cls = steal_or_raise(PySequence_GetItem(cell.data.ptr(), 0));
    nb::object parent = call(builtin_type(&PySuper_Type), cls, self);
    try {
        return call_method(parent, ZT_NAME("default"), obj);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
    return text_of(obj);
}

nb::object make_log_encoder(nb::module_ &m) {
    nb::list cell;
    nb::object json_encoder = get_attr(module_attr(ZT_NAME("json")), ZT_NAME("JSONEncoder"));
    nb::object cls = ClassBuilder(m, "LogEncoder", nb::make_tuple(json_encoder))
                         .def<encoder_default>("default(self, obj)",
                                               "Encode what JSON can, else the object's str.", cell)
                         .finish("JSON encoder that writes unknown objects as their text.");
    cell.append(cls);
    return cls;
}

} // namespace

ZT_MODULE(recorder, m) {
    module_state().init(m);
    set_doc(m, kModuleDoc);
    m.attr("json") = import("json");
    m.attr("wraps") = import_from("functools", "wraps");
    m.attr("Environment") = import_from("corvane.environment", "Environment");
    m.attr("system_log") = import_from("corvane.utils.logger", "system_log");
    m.attr("user_normal_log") = import_from("corvane.utils.logger", "user_normal_log");
    m.attr("log_tofile") = import_from("corvane.utils.logger", "log_tofile");

    nb::object log_cls = make_log_class(m);
    m.attr("Log") = log_cls;
    def_function<logtime_support>(m, "logtime_support(dt_field)",
                                  "Decorator adding the engine's current time as `datetime`.");
    m.attr("BacktestLog") = make_backtest_log(m, log_cls);
    m.attr("ShowLog") = make_show_log(m, log_cls);
    m.attr("LogEncoder") = make_log_encoder(m);
    m.attr("in_log") = m.attr("BacktestLog")();
    m.attr("log") = m.attr("ShowLog")();
    nb::list all;
    all.append("in_log");
    all.append("log");
    m.attr("__all__") = all;
}
