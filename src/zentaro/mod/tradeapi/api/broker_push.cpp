// TradeAPI.register_push: subscribe the account to the broker's order push
// and hand every pushed order, converted, to the user's callback.
//
// Each successful call adds one handler to the shared broker client, and the
// handler holds its TradeAPI object and the callback strongly: a user who
// keeps nothing but the registration (`TradeAPI(acc).register_push(cb)`)
// still receives every order. Registering again subscribes again and adds a
// second handler, so each order then reaches both callbacks (the same
// callback twice sees it twice). The client offers no way to take a handler
// back; an object with a registered push lives as long as the client keeps
// its handler.

#include "broker_desk_state.hpp"

namespace broker_desk {

namespace {

// A handler's data: the tuple (TradeAPI object, callback).
constexpr Py_ssize_t kObject = 0, kCallback = 1;

// Called by the broker client for every pushed order event.
nb::object push_handler(zentaro::Closure state, nb::handle, nb::handle event) {
    nb::object api = nb::borrow(PyTuple_GET_ITEM(state.data.ptr(), kObject));
    nb::object orderpush = nb::borrow(PyTuple_GET_ITEM(state.data.ptr(), kCallback));
    nb::object record =
        zentaro::call_method(api, desk().names._trans_order, get_item(event, desk().names.params));
    if (truth(orderpush))
        return call(orderpush, record);
    return orderpush;
}

nb::object make_handler(nb::handle api, nb::handle orderpush) {
    nb::object state = steal_or_raise(PyTuple_Pack(2, api.ptr(), orderpush.ptr()));
    return zentaro::make_function<push_handler>(
        "handler(m, d)", "Convert a pushed order and hand it to the registered callback.",
        module_name(), "TradeAPI.register_push.<locals>.handler", state);
}

[[noreturn]] void raise_subscription_failure(nb::handle answer, nb::handle error) {
    nb::object message = get_or_none(error, desk().names.message);
    if (!truth(message))
        message = nb::str("参数输入有误");
    raise_trade_exception(
        join_text({nb::str("委托推送注册失败("), str_of(get_or_none(answer, desk().names.id)),
                   nb::str("): "), str_of(message)}));
}

} // namespace

nb::object register_push(nb::handle self, nb::handle orderpush) {
    nb::dict params;
    set_item(params, desk().names.action, nb::str("subscribe"));
    set_item(params, desk().names.Subkey, nb::str("entrustret"));
    set_item(params, desk().names.fund_token, account_token(self));
    nb::dict request = make_request(kSubscribeReqType, nullptr, params);
    nb::object answer = zentaro::call_method(client_of(self), desk().names.call_rpc_json, request);
    nb::object error = get_or_none(answer, desk().names.error);
    if (truth(error))
        raise_subscription_failure(answer, error);
    nb::object handler = make_handler(self, orderpush);
    zentaro::call_method(client_of(self), desk().names.register_callback, handler);
    return nb::none();
}

} // namespace broker_desk
