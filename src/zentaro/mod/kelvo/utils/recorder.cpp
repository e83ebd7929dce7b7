// The recorder: a keyed, limited log base and the two logs of a back-test run
// (`in_log` for result records, `log` for the lines users see), with the JSON
// encoder of its records. The output methods are in recorder_output.cpp and
// the decorator that dresses them in recorder_logtime.cpp.

#include <cstring>
#include <string>
#include <utility>

#include "recorder.hpp"

namespace recorder {

namespace {

constexpr const char *kModuleDoc = "记录中间数据、日志数据的接口";
constexpr const char *kLogDoc = "记录数据，送入消息中间件";
constexpr const char *kBacktestLogDoc = "记录内部计算用的日志信息";
constexpr const char *kShowLogDoc = "记录外部展示用的日志信息";

// ---- class Log -----------------------------------------------------------------------

void log_init(nb::handle self) {
    const RecorderNames &names = recorder_state().names;
    set_attr(self, names.key, recorder_state().empty_bytes);
    set_attr(self, names.limited, level_number(self, names.ALL));
    set_attr(self, names.log_num, steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, names.is_limit, Py_True);
}

// Reported on the system log, then raised as a plain Exception in the
// context of the encoding error, as a raise inside the except block would.
[[noreturn]] void encode_failed(nb::handle cause) {
    const RecorderNames &names = recorder_state().names;
    call_method(module_attr(names.system_log), names.error, names.encode_failed);
    nb::object error = call(PyExc_Exception, names.encode_failed);
    PyException_SetContext(error.ptr(), Py_NewRef(cause.ptr()));
    PyErr_SetObject(PyExc_Exception, error.ptr());
    raise_python_error();
}

// key.encode("utf-8"), or an empty object with the error pending. Not a C++
// exception: the failure path calls into Python, which must not happen while
// a caught exception is alive (a thread ended at exit unwinds through it).
nb::object utf8_key(nb::handle key) {
    PyObject *args[2] = {key.ptr(), recorder_state().names.utf_8};
    return nb::steal(into_python([&] {
        return PyObject_VectorcallMethod(recorder_state().names.encode, args,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

void log_set_key(nb::handle self, nb::handle key) {
    const RecorderNames &names = recorder_state().names;
    set_attr(self, names.log_num, steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, names.is_limit, Py_True);
    nb::object stored = nb::borrow(key);
    if (!PyBytes_Check(key.ptr())) {
        stored = utf8_key(key);
        if (!stored.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                raise_python_error();
            encode_failed(fetch_error());
        }
    }
    set_attr(self, names.key, stored);
}

void log_set_limited(nb::handle self, nb::handle values, nb::handle is_limit) {
    const RecorderNames &names = recorder_state().names;
    nb::object name = call_method(values, names.lower);
    set_attr(self, names.is_limit, is_limit);
    const std::pair<PyObject *, PyObject *> levels[] = {
        {names.info, names.INFO},
        {names.warn, names.WARN},
        {names.error, names.ERROR},
    };
    for (const auto &[lowered, level_name] : levels) {
        if (compare(name, lowered, Py_EQ)) {
            set_attr(self, names.limited, level_number(self, level_name));
            return;
        }
    }
}

nb::object log_set_tofile(nb::handle self, nb::handle filename) {
    if (is_keyed(self))
        return nb::bool_(false);
    nb::object log_tofile = module_attr(recorder_state().names.log_tofile);
    return call(log_tofile, module_attr(recorder_state().names.user_normal_log), filename);
}

void abstract_info(nb::handle, nb::handle, nb::handle, nb::handle) {
    raise_error(PyExc_NotImplementedError, "log.info");
}

void abstract_error(nb::handle, nb::handle, nb::handle, nb::handle) {
    raise_error(PyExc_NotImplementedError, "log.error");
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

// A log class whose output methods are kit functions dressed by
// logtime_support with the environment's time field `dt_field`.
class OutputClass {
  public:
    OutputClass(nb::module_ &m, const char *name, nb::handle base, const char *dt_field)
        : cls_(m, name, nb::make_tuple(base)), module_name_(m.attr("__name__")), owner_(name),
          dt_field_(dt_field) {}

    template <auto Fn> OutputClass &add(const SignatureOf<Fn> &signature, const char *doc) {
        std::string name(signature.parsed.name);
        std::string qualname = owner_ + "." + name;
        nb::object plain = make_function<Fn>(signature, doc, module_name_, qualname.c_str());
        cls_.attr(name.c_str(), wrap_with_time(plain, dt_field_));
        return *this;
    }

    nb::object finish(const char *doc) { return cls_.finish(doc); }

  private:
    ClassBuilder cls_;
    nb::object module_name_;
    std::string owner_;
    nb::str dt_field_;
};

nb::object make_backtest_log(nb::module_ &m, nb::handle base) {
    return OutputClass(m, "BacktestLog", base, "calendar_dt")
        .add<backtest_info_method>(
            "info(self, message, *args, **kwargs)",
            "Hand the record to the engine's user log unless the log is keyed.")
        .add<backtest_error_method>(
            "error(self, message, *args, **kwargs)",
            "Write the record as an error; keyed, re-raise the handled error once.")
        .finish(kBacktestLogDoc);
}

nb::object make_show_log(nb::module_ &m, nb::handle base) {
    return OutputClass(m, "ShowLog", base, "trading_dt")
        .add<show_info_method>(
            "info(self, *args, **kwargs)",
            "Write the arguments as one line, within the threshold and line limit.")
        .add<show_error_method>(
            "error(self, *args, **kwargs)",
            "Write the arguments as an error line, then re-raise the handled error.")
        .add<show_warn_method>("warn(self, *args, **kwargs)",
                               "Write the arguments as a warning line.")
        .finish(kShowLogDoc);
}

// ---- LogEncoder ------------------------------------------------------------------

// `cell` holds the class once it exists: super() needs it, as a method's
// __class__ cell gives it in Python.
nb::object encoder_default(Closure cell, nb::handle self, nb::handle obj) {
    nb::object cls =
        steal_or_raise(into_python([&] { return PySequence_GetItem(cell.data.ptr(), 0); }));
    nb::object parent = call(builtin_type(&PySuper_Type), cls, self);
    try {
        return call_method(parent, recorder_state().names.default_, obj);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
    return str_of(obj);
}

nb::object make_log_encoder(nb::module_ &m) {
    nb::list cell;
    nb::object json_encoder =
        get_attr(module_attr(recorder_state().names.json), recorder_state().names.JSONEncoder);
    nb::object cls = ClassBuilder(m, "LogEncoder", nb::make_tuple(json_encoder))
                         .def<encoder_default>("default(self, obj)",
                                               "Encode what JSON can, else the object's str.", cell)
                         .finish("JSON encoder that writes unknown objects as their text.");
    cell.append(cls);
    return cls;
}

} // namespace

} // namespace recorder

using namespace recorder;

namespace {

constexpr zentaro::ImportEntry kImports[] = {
    {"json", "json", nullptr},
    {"wraps", "functools", "wraps"},
    {"Environment", "corvane.environment", "Environment"},
    {"system_log", "corvane.utils.logger", "system_log"},
    {"user_normal_log", "corvane.utils.logger", "user_normal_log"},
    {"log_tofile", "corvane.utils.logger", "log_tofile"},
};

} // namespace

ZT_MODULE(recorder, m) {
    module_state().init(m);
    set_doc(m, kModuleDoc);
    bind_imports(m, kImports);

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
