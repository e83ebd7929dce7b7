// logtime_support(dt_field): the decorator that hands every call of a log
// method the engine's current time as the keyword "datetime".
//
// The five output methods sit on the hot path of every engine log line. The
// wrapper forwards the caller's arguments untouched and, when it wraps one of
// the recorder's own output methods, runs its body straight away: no tuple,
// no dict, no second dispatch, and no "datetime" keyword, which those bodies
// ignore.

#include <vector>

#include "recorder.hpp"

namespace recorder {

namespace {

// Keyword names come interned from compiled code, so identity usually decides.
bool same_name(PyObject *name, PyObject *interned_name) {
    return name == interned_name ||
           (PyUnicode_Check(name) &&
            PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(interned_name) &&
            PyUnicode_Compare(name, interned_name) == 0);
}

// The keywords of a call that the wrapper looks at.
struct CallKeywords {
    bool datetime = false;
    bool binds_self_or_message = false; // a plain call must bind them positionally
};

CallKeywords scan_keywords(PyObject *kwnames) {
    const RecorderNames &names = recorder_state().names;
    CallKeywords found;
    Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (same_name(name, names.datetime))
            found.datetime = true;
        else if (same_name(name, names.self) || same_name(name, names.message))
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
    nb::object env =
        class_attr(recorder_state().environment_attr.get(), recorder_state().names._env);
    nb::object value = optional_attr(env, dt_field.ptr());
    return value.is_valid() ? value : nb::none();
}

// The output methods whose bodies the wrapper runs straight away.
enum class OutputBody { kNone, kShowInfo, kShowWarn, kShowError, kBacktestInfo, kBacktestError };

OutputBody body_of(nb::handle func) {
    if (!is_kit_function(func))
        return OutputBody::kNone;
    if (is_function_for<show_info_method>(func))
        return OutputBody::kShowInfo;
    if (is_function_for<show_warn_method>(func))
        return OutputBody::kShowWarn;
    if (is_function_for<show_error_method>(func))
        return OutputBody::kShowError;
    if (is_function_for<backtest_info_method>(func))
        return OutputBody::kBacktestInfo;
    if (is_function_for<backtest_error_method>(func))
        return OutputBody::kBacktestError;
    return OutputBody::kNone;
}

// Runs the body of the wrapped output method when the call binds plainly;
// false when the call must go through the wrapped function itself (which
// then reports any binding error).
template <OutputBody kBody>
bool run_output_body(const ForwardedCall &call, const CallKeywords &keywords) {
    if constexpr (kBody == OutputBody::kNone) {
        return false;
    } else {
        if (call.nargs < 1 || keywords.binds_self_or_message)
            return false;
        nb::handle self = call.args[0];
        PyObject *const *rest = call.args + 1;
        Py_ssize_t count = call.nargs - 1;
        if constexpr (kBody == OutputBody::kShowInfo)
            show_info(self, rest, count);
        else if constexpr (kBody == OutputBody::kShowWarn)
            show_warn(self, rest, count);
        else if constexpr (kBody == OutputBody::kShowError)
            show_error(self, rest, count);
        else if (count < 1)
            return false;
        else if constexpr (kBody == OutputBody::kBacktestInfo)
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
    PyTuple_SET_ITEM(names.ptr(), keywords, Py_NewRef(recorder_state().names.datetime));
    values.push_back(when.ptr());
    return steal_or_raise(into_python(
        [&] { return PyObject_Vectorcall(func.ptr(), values.data(), call.nargs, names.ptr()); }));
}

// The wrapper that logtime_support puts around a log method, made for the
// output body of the wrapped function so that the hot path has nothing to decide.
// Its closure is (func, dt_field); the function's result is discarded.
template <OutputBody kBody> void call_with_time(Closure closure, ForwardedCall call) {
    // The wrapper's own immutable closure: alive for the call, as its arguments are.
    nb::handle func = PyTuple_GET_ITEM(closure.data.ptr(), 0);
    nb::handle dt_field = PyTuple_GET_ITEM(closure.data.ptr(), 1);
    CallKeywords keywords = scan_keywords(call.kwnames);
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

template <OutputBody kBody> nb::object make_wrapper(nb::handle module_name, nb::handle closure) {
    return make_function<call_with_time<kBody>>(
        "wrapped(*args, **kwargs)", nullptr, module_name,
        "logtime_support.<locals>._log_support.<locals>.wrapped", closure);
}

nb::object make_wrapper(OutputBody body, nb::handle module_name, nb::handle closure) {
    switch (body) {
    case OutputBody::kShowInfo:
        return make_wrapper<OutputBody::kShowInfo>(module_name, closure);
    case OutputBody::kShowWarn:
        return make_wrapper<OutputBody::kShowWarn>(module_name, closure);
    case OutputBody::kShowError:
        return make_wrapper<OutputBody::kShowError>(module_name, closure);
    case OutputBody::kBacktestInfo:
        return make_wrapper<OutputBody::kBacktestInfo>(module_name, closure);
    case OutputBody::kBacktestError:
        return make_wrapper<OutputBody::kBacktestError>(module_name, closure);
    default:
        return make_wrapper<OutputBody::kNone>(module_name, closure);
    }
}

} // namespace

nb::object wrap_with_time(nb::handle func, nb::handle dt_field) {
    // Interned, the environment's attribute lookup finds the name by identity.
    PyObject *field = Py_NewRef(dt_field.ptr());
    if (PyUnicode_CheckExact(field))
        PyUnicode_InternInPlace(&field);
    nb::object closure = nb::make_tuple(func, nb::steal(field));
    nb::object module_name = get_attr(module_state().module(), recorder_state().names.dunder_name);
    nb::object wrapped = make_wrapper(body_of(func), module_name, closure);
    return call(call(module_attr(recorder_state().names.wraps), func), wrapped);
}

namespace {

// The decorator logtime_support returns; its closure is dt_field.
nb::object log_support(Closure closure, nb::handle f) {
    return wrap_with_time(f, closure.data);
}

} // namespace

nb::object logtime_support(nb::handle dt_field) {
    nb::object module_name = get_attr(module_state().module(), recorder_state().names.dunder_name);
    return make_function<log_support>(
        "_log_support(f)", "Wrap a log method so that each call receives the engine time.",
        module_name, "logtime_support.<locals>._log_support", dt_field);
}

} // namespace recorder
