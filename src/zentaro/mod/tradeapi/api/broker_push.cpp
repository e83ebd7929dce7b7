// TradeAPI.register_push: subscribe the account to the broker's order push
// and hand every pushed order, converted, to the user's callback.
//
// The broker client is shared for the life of the process and offers no way
// to take a handler back, so a handler must not be what keeps a TradeAPI
// alive: it holds the object weakly, forgets the callback once the object is
// gone and does nothing from then on. Registering an equal callback again on
// the same object and client adds no second handler, so one pushed order
// reaches the callback once.

#include "broker_desk.hpp"

namespace broker_desk {

namespace {

// A registration's state, the data of its handler: the list [weak reference
// to the TradeAPI, callback, client]. Kept a list so that the callback can be
// let go when the object dies.
constexpr Py_ssize_t kObject = 0, kCallback = 1, kClient = 2;

// Weak references to the handlers registered so far, so that registering
// again can be recognised; a handler the client lets go drops out.
PyObject *registry = nullptr;

nb::object state_item(nb::handle state, Py_ssize_t index) {
    return nb::borrow(PyList_GET_ITEM(state.ptr(), index));
}

nb::object registered_object(nb::handle state) {
    nb::object ref = state_item(state, kObject);
    return nb::steal(zentaro::compat::weakref_get(ref.ptr()));
}

// The state a handler was made with (its closure data): the registry holds
// only the handler, weakly, so the state lives exactly as long as it.
nb::object state_of(nb::handle handler) {
    return nb::borrow(reinterpret_cast<zentaro::FunctionObject *>(handler.ptr())->data);
}

// Weak-reference callback: the TradeAPI is gone, so is the callback.
void forget_callback(zentaro::Closure state, nb::handle) {
    zentaro::check(PyList_SetItem(state.data.ptr(), kCallback, Py_NewRef(Py_None)));
}

// Called by the broker client for every pushed order event.
nb::object push_handler(zentaro::Closure state, nb::handle, nb::handle event) {
    nb::object api = registered_object(state.data);
    if (!api.is_valid())
        return nb::none();
    nb::object orderpush = state_item(state.data, kCallback);
    nb::object record =
        zentaro::call_method(api, ZT_NAME("_trans_order"), getitem(event, ZT_NAME("params")));
    if (truth(orderpush))
        return call(orderpush, record);
    return orderpush;
}

// The handlers still registered for a live object; the registry keeps only
// these (no Python code runs while it is rebuilt).
nb::object live_handlers() {
    if (!registry)
        registry = steal_or_raise(PyList_New(0)).release().ptr();
    nb::object refs = steal_or_raise(PyList_New(0));
    nb::object handlers = steal_or_raise(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(registry); ++i) {
        nb::object ref = nb::borrow(PyList_GET_ITEM(registry, i));
        nb::object handler = nb::steal(zentaro::compat::weakref_get(ref.ptr()));
        if (!handler.is_valid() || !registered_object(state_of(handler)).is_valid())
            continue;
        zentaro::check(PyList_Append(refs.ptr(), ref.ptr()));
        zentaro::check(PyList_Append(handlers.ptr(), handler.ptr()));
    }
    nb::object old = nb::steal(registry);
    registry = refs.release().ptr();
    return handlers;
}

bool already_registered(nb::handle api, nb::handle client, nb::handle orderpush) {
    nb::object handlers = live_handlers();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.ptr()); ++i) {
        nb::object state = state_of(PyList_GET_ITEM(handlers.ptr(), i));
        if (!state_item(state, kClient).is(client) || !registered_object(state).is(api))
            continue;
        if (zentaro::compare(state_item(state, kCallback), orderpush, Py_EQ))
            return true;
    }
    return false;
}

nb::object make_handler(nb::handle api, nb::handle orderpush, nb::handle client) {
    nb::object state = steal_or_raise(PyList_New(3));
    PyList_SET_ITEM(state.ptr(), kObject, Py_NewRef(Py_None));
    PyList_SET_ITEM(state.ptr(), kCallback, Py_NewRef(orderpush.ptr()));
    PyList_SET_ITEM(state.ptr(), kClient, Py_NewRef(client.ptr()));
    nb::object name = module_name();
    nb::object forget = zentaro::make_function<forget_callback>(
        "forget(ref)", "Let the callback go with the object.", name,
        "TradeAPI.register_push.<locals>.forget", state);
    nb::object ref = steal_or_raise(PyWeakref_NewRef(api.ptr(), forget.ptr()));
    zentaro::check(PyList_SetItem(state.ptr(), kObject, ref.release().ptr()));
    return zentaro::make_function<push_handler>(
        "handler(m, d)", "Convert a pushed order and hand it to the registered callback.", name,
        "TradeAPI.register_push.<locals>.handler", state);
}

[[noreturn]] void raise_subscription_failure(nb::handle answer, nb::handle error) {
    nb::object message = get_or_none(error, ZT_NAME("message"));
    if (!truth(message))
        message = nb::str("参数输入有误");
    raise_trade_exception(join_text({nb::str("委托推送注册失败("),
                                     zentaro::text_of(get_or_none(answer, ZT_NAME("id"))),
                                     nb::str("): "), zentaro::text_of(message)}));
}

} // namespace

nb::object register_push(nb::handle self, nb::handle orderpush) {
    nb::dict params;
    set_item(params, ZT_NAME("action"), nb::str("subscribe"));
    set_item(params, ZT_NAME("Subkey"), nb::str("entrustret"));
    set_item(params, ZT_NAME("fund_token"), account_token(self));
    nb::dict request = make_request(1601, nullptr, params);
    nb::object answer = zentaro::call_method(client_of(self), ZT_NAME("call_rpc_json"), request);
    nb::object error = get_or_none(answer, ZT_NAME("error"));
    if (truth(error))
        raise_subscription_failure(answer, error);
    nb::object client = client_of(self);
    if (already_registered(self, client, orderpush))
        return nb::none();
    nb::object handler = make_handler(self, orderpush, client);
    zentaro::call_method(client, ZT_NAME("register_callback"), handler);
    nb::object ref = steal_or_raise(PyWeakref_NewRef(handler.ptr(), nullptr));
    live_handlers();
    zentaro::check(PyList_Append(registry, ref.ptr()));
    return nb::none();
}

} // namespace broker_desk
