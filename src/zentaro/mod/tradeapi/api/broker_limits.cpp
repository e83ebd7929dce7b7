// rate_limit: the decorator of the rate-limited query. One limiter per
// decorated method, shared by every object and thread; the wrapper consumes
// the keywords raise_on_limit and sleep_on_limit.
//
// A forked child renews the limiters' locks (renew_limiter_locks).
//
// raise_on_limit is the setting of one call, not of the limiter: the
// limiter's raise_on_limit attribute holds a CallSetting whose truth value is
// the flag of the call running in the current context (a context variable),
// so concurrent callers never see each other's flag.

#include "broker_desk_state.hpp"

namespace broker_desk {

namespace {

// ---- the per-call setting ----

nb::object setting_value(nb::handle setting) {
    nb::object var = get_attr(setting, desk().names._var);
    PyObject *value = nullptr;
    if (PyContextVar_Get(var.ptr(), nullptr, &value) < 0)
        raise_python_error();
    return nb::steal(value);
}

bool setting_bool(nb::handle self) {
    return truth(setting_value(self));
}

nb::object setting_repr(nb::handle self) {
    nb::object value = setting_value(self);
    nb::object text = steal_or_raise(into_python([&] { return PyObject_Repr(value.ptr()); }));
    return steal_or_raise(PyUnicode_FromFormat("<setting of the running call: %U>", text.ptr()));
}

nb::object make_setting_class(nb::module_ &m) {
    return zentaro::ClassBuilder(m, "CallSetting")
        .def<setting_bool>("__bool__(self)", "The flag of the call running in this context.")
        .def<setting_repr>("__repr__(self)", "Show the flag of the running call.")
        .finish("A limiter setting that belongs to one call at a time.");
}

// Sets the context variable for the length of one call. It is reset on
// return and on error, not by a destructor: a thread that the interpreter
// ends at exit unwinds through here without the GIL.
nb::object with_setting(nb::handle var, nb::handle value, nb::handle fn, nb::handle args,
                        nb::handle kwargs) {
    nb::object token = steal_or_raise(PyContextVar_Set(var.ptr(), value.ptr()));
    PyObject *result =
        into_python([&] { return PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()); });
    if (!result) {
        nb::object failure = zentaro::fetch_error();
        zentaro::quietly([&] { zentaro::check(PyContextVar_Reset(var.ptr(), token.ptr())); });
        zentaro::raise_again(failure);
    }
    nb::object kept = nb::steal(result);
    zentaro::check(PyContextVar_Reset(var.ptr(), token.ptr()));
    return kept;
}

// kwargs.pop(key, default) on the wrapper's own keyword dict.
nb::object pop_keyword(nb::handle kwargs, PyObject *key, PyObject *dflt) {
    PyObject *found = PyDict_GetItemWithError(kwargs.ptr(), key);
    if (!found) {
        if (PyErr_Occurred())
            raise_python_error();
        return nb::borrow(dflt);
    }
    nb::object value = nb::borrow(found);
    zentaro::check(PyDict_DelItem(kwargs.ptr(), key));
    return value;
}

// ---- limiters and fork ----

// A forked child gives each limiter a new lock (renew_limiter_locks).
void remember_limiter(nb::handle limiter) {
    PyObject *&limiters = desk().limiters;
    if (!limiters)
        limiters = steal_or_raise(PyList_New(0)).release().ptr();
    PyObject *ref = PyWeakref_NewRef(limiter.ptr(), nullptr);
    if (!ref) { // a limiter that takes no weak references is not reset
        PyErr_Clear();
        return;
    }
    nb::object keep = nb::steal(ref);
    zentaro::check(PyList_Append(limiters, ref));
}

// ---- the wrapper and the decorator ----

// `limited` holds (limiter, f, context variable).
nb::object limited_call(zentaro::Closure limited, nb::handle self, nb::handle args,
                        nb::handle kwargs) {
    nb::tuple parts = nb::borrow<nb::tuple>(limited.data);
    nb::object limiter = parts[0], f = parts[1], var = parts[2];
    nb::object raise_on_limit = pop_keyword(kwargs, desk().names.raise_on_limit, Py_True);
    nb::object sleep_on_limit = pop_keyword(kwargs, desk().names.sleep_on_limit, Py_False);
    nb::object fn = call(limiter, f);
    if (truth(sleep_on_limit))
        fn = call(module_global(desk().names.sleep_and_retry), fn);
    Py_ssize_t n = PyTuple_GET_SIZE(args.ptr());
    nb::object all = steal_or_raise(PyTuple_New(n + 1));
    PyTuple_SET_ITEM(all.ptr(), 0, Py_NewRef(self.ptr()));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(all.ptr(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args.ptr(), i)));
    return with_setting(var, raise_on_limit, fn, all, kwargs);
}

// `settings` holds (calls, period, raise_message, CallSetting).
nb::object decorate(zentaro::Closure settings, nb::handle f) {
    nb::tuple parts = nb::borrow<nb::tuple>(settings.data);
    const InternedNames &name = desk().names;
    nb::object calls = parts[0], period = parts[1], message = parts[2];
    nb::object limiter = zentaro::call_with_keywords(
        module_global(name.limits), {},
        {{name.calls, calls}, {name.period, period}, {name.raise_message, message}});
    // The limiter's own setting (if it has one) stays the default of calls
    // that pass none.
    nb::object own = zentaro::optional_attr(limiter, name.raise_on_limit);
    nb::object fallback = own.is_valid() ? own : nb::borrow(Py_True);
    nb::object var = steal_or_raise(PyContextVar_New("raise_on_limit", fallback.ptr()));
    nb::object setting = call(parts[3]);
    set_attr(setting, desk().names._var, var);
    set_attr(limiter, desk().names.raise_on_limit, setting);
    remember_limiter(limiter);
    nb::object wrapper = zentaro::make_function<limited_call>(
        "wrapper(self, *args, **kwargs)", nullptr, module_name(),
        "rate_limit.<locals>.decorator.<locals>.wrapper",
        nb::make_tuple(limiter, nb::borrow(f), var));
    wrapper = call(call(module_global(desk().names.wraps), f), wrapper);
    // Reachable so that the shared window can be inspected.
    set_attr(wrapper, desk().names._limiter, limiter);
    return wrapper;
}

nb::object rate_limit(zentaro::Closure setting_class, nb::handle calls, nb::handle period,
                      nb::handle raise_message) {
    return zentaro::make_function<decorate>(
        "decorator(f)",
        "Wrap method f with one limiter shared by all its calls; each call may pass "
        "raise_on_limit and sleep_on_limit.",
        module_name(), "rate_limit.<locals>.decorator",
        nb::make_tuple(nb::borrow(calls), nb::borrow(period), nb::borrow(raise_message),
                       nb::borrow(setting_class.data)));
}

} // namespace

namespace {

// limiter.lock = type(limiter.lock)(), when the limiter has a lock.
void renew_lock(nb::handle limiter) {
    nb::object lock = zentaro::optional_attr(limiter, desk().names.lock);
    if (!lock.is_valid())
        return;
    set_attr(limiter, desk().names.lock, call(lock.type()));
}

} // namespace

void renew_limiter_locks() {
    PyObject *limiters = desk().limiters;
    if (!limiters)
        return;
    nb::object refs = steal_or_raise(PyList_GetSlice(limiters, 0, PyList_GET_SIZE(limiters)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(refs.ptr()); ++i) {
        nb::object limiter =
            nb::steal(zentaro::compat::weakref_get(PyList_GET_ITEM(refs.ptr(), i)));
        if (limiter.is_valid()) // one limiter's odd lock must not spare the others
            zentaro::quietly([&] { renew_lock(limiter); });
    }
}

nb::object make_rate_limit(nb::module_ &m) {
    nb::object fn = zentaro::make_function<rate_limit>(
        "rate_limit(calls=1, period=3, raise_message=None)",
        "Return a decorator that lets a method through at most `calls` times in any "
        "`period` seconds, reporting a refused call with raise_message.",
        m.attr("__name__"), nullptr, make_setting_class(m));
    m.attr("rate_limit") = fn;
    return fn;
}

} // namespace broker_desk
