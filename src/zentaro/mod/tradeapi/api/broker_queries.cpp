// TradeAPI: the account handle, its token lookup and its guarded queries.
//
// The class is built with type() so that its tables are real class
// attributes and its instances take new attributes; its methods are kit
// functions (bound methods compare equal, take weak references and carry a
// signature).

#include <type_traits>

#include "broker_desk_state.hpp"

namespace broker_desk {

// ---- request helpers shared with the push registration ----

void set_item(nb::handle dict, PyObject *key, nb::handle value) {
    zentaro::check(PyDict_SetItem(dict.ptr(), key, value.ptr()));
}

nb::object account_token(nb::handle api) {
    return zentaro::call_method(api, desk().names._get_account_token);
}

nb::dict make_request(long req_type, const char *method, nb::handle params) {
    nb::dict request;
    set_item(request, desk().names.ReqType, nb::int_(req_type));
    if (method)
        set_item(request, desk().names.method, nb::str(method));
    set_item(request, desk().names.params, params);
    return request;
}

namespace {

// What distinguishes the four account queries of the guarded-query frame.
struct AccountQuery {
    const char *method;
    long req_type;
    long fun_id;
    const char *success_tag;
    const char *fail_tag;
    const char *prefix;  // of the message when the answer has no result
    const char *wrapper; // %s template around the formatted traceback
};

const AccountQuery kPortfolioQuery{
    "portfolio",           1201, 500016, "portfolio_success", "portfolio_fail", "账号资金查询失败(",
    "账号资金查询失败: %s"};
const AccountQuery kPositionsQuery{
    "positions",           1202, 500015, "positions_success", "positions_fail", "账号持仓查询失败(",
    "账号持仓查询失败: %s"};
const AccountQuery kTradelogsQuery{
    "get_tradelogs",       1203, 500014, "tradelogs_success", "tradelogs_fail", "账号成交查询失败(",
    "账号成交查询失败: %s"};
const AccountQuery kOrdersQuery{"secondary_orders",    1204,          500013,
                                "orders_success",      "orders_fail", "账号委托查询失败(",
                                "账号委托查询失败: %s"};

constexpr const char *kRateLimitMessage = "该查询函数使用最小间隔为3秒，请稍后重试。";
constexpr const char *kMaskedToken = "***";
// Where this module's frames show in formatted tracebacks.
constexpr const char *kSourceFile = "zentaro/mod/tradeapi/api/broker_queries.cpp";

// template % value
nb::object percent_format(const char *text, nb::handle value) {
    nb::object format = nb::str(text);
    return steal_or_raise(
        into_python([&] { return PyNumber_Remainder(format.ptr(), value.ptr()); }));
}

nb::dict stock_request(nb::handle self, const AccountQuery &q) {
    nb::dict params;
    set_item(params, desk().names.FunID, nb::int_(q.fun_id));
    set_item(params, desk().names.fund_token, account_token(self));
    return make_request(q.req_type, "stockqmx", params);
}

// The request as logged: the same items, the fund token masked so that logs
// never carry a credential of the account.
nb::dict log_extra(const char *status, nb::handle request) {
    nb::dict extra;
    set_item(extra, desk().names.status, nb::str(status));
    Py_ssize_t pos = 0;
    PyObject *raw_key, *raw_value;
    while (PyDict_Next(request.ptr(), &pos, &raw_key, &raw_value)) {
        nb::object key = nb::borrow(raw_key), shown = nb::borrow(raw_value);
        if (key.ptr() == desk().names.params && PyDict_Check(shown.ptr()) &&
            PyDict_Contains(shown.ptr(), desk().names.fund_token) == 1) {
            shown = steal_or_raise(PyDict_Copy(shown.ptr()));
            set_item(shown, desk().names.fund_token, nb::str(kMaskedToken));
        }
        set_item(extra, key.ptr(), shown);
    }
    return extra;
}

void log_query(PyObject *level, const char *tag, const char *status, nb::handle request) {
    nb::object log = get_attr(module_global(desk().names.system_log), level);
    nb::object message = nb::str(tag), extra = log_extra(status, request);
    zentaro::call_with_keywords(log, {message}, {{desk().names.extra, extra}});
}

// The first message of a failed query: prefix, id, "): " and the server's text.
[[noreturn]] void raise_answer_failure(const char *prefix, nb::handle answer) {
    nb::object error = get_or(answer, desk().names.error, nb::dict());
    nb::object message = get_or_none(error, desk().names.message);
    if (!truth(message))
        message = nb::str("参数输入有误");
    raise_trade_exception(join_text({nb::str(prefix), str_of(get_or_none(answer, desk().names.id)),
                                     nb::str("): "), str_of(message)}));
}

// The except branch of a guarded query: log the failure and raise a new
// TradeException around the formatted traceback of the caught error, which
// is the exception being handled meanwhile (what traceback.format_exc reads,
// and the new exception's __context__). No destructor restores the handled
// exception: a thread ended at exit unwinds without the GIL.
[[noreturn]] void wrap_caught_error(const char *fail_tag, const char *wrapper, nb::handle request) {
    nb::object caught = zentaro::fetch_error();
    nb::object previous = nb::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(caught.ptr());
    try {
        log_query(desk().names.error, fail_tag, "fail", request);
        nb::object text =
            zentaro::call_method(module_global(desk().names.traceback), desk().names.format_exc);
        nb::object message = percent_format(wrapper, text);
        raise_object(call(module_global(desk().names.TradeException), message));
    } catch (nb::python_error &) {
        PyErr_SetHandledException(previous.ptr());
        throw;
    }
}

// Runs `body` inside the guard of a query: any error of the Exception family
// is logged and re-raised wrapped; other errors pass untouched.
template <class Body>
nb::object guard_query(const char *method, const char *fail_tag, const char *wrapper,
                       nb::handle request, Body &&body) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        e.restore();
        // The method's own frame, as the traceback of a Python method has it.
        zentaro::compat::traceback_add(method, kSourceFile, 0);
    }
    wrap_caught_error(fail_tag, wrapper, request);
}

// The guarded query shared by the four account queries; `convert` turns the
// answer into the method's result.
template <class Convert>
nb::object account_query(nb::handle self, const AccountQuery &q, Convert &&convert) {
    nb::dict request = stock_request(self, q);
    nb::object rpc = client_of(self);
    return guard_query(q.method, q.fail_tag, q.wrapper, request, [&]() -> nb::object {
        nb::object answer = zentaro::call_method(rpc, desk().names.call_rpc_json, request);
        if (!truth(get_or_none(answer, desk().names.result)))
            raise_answer_failure(q.prefix, answer);
        log_query(desk().names.info, q.success_tag, "success", request);
        return convert(answer);
    });
}

// Walks result[list_key] (missing: empty), converting each record; `each`
// may also take the list itself.
template <class Each> void for_each_record(nb::handle answer, PyObject *list_key, Each &&each) {
    nb::object records = get_or(get_item(answer, desk().names.result), list_key, nb::list());
    nb::object it = iterate(records);
    while (PyObject *raw = next_item(it)) {
        if constexpr (std::is_invocable_v<Each, nb::object, nb::handle>)
            each(nb::steal(raw), records);
        else
            each(nb::steal(raw));
    }
    if (PyErr_Occurred())
        raise_python_error();
}

// The hooks are resolved on the first record, as the per-record
// lookups would be.
class LazyHooks {
  public:
    explicit LazyHooks(nb::handle api) : api_(api) {}
    const RecordHooks &get() {
        if (!resolved_) {
            hooks_ = resolve_hooks(api_, false);
            resolved_ = true;
        }
        return hooks_;
    }

  private:
    nb::handle api_;
    RecordHooks hooks_;
    bool resolved_ = false;
};

template <class Convert>
nb::object record_list(nb::handle self, nb::handle answer, Convert &&convert, RecordTimes times) {
    nb::list out;
    LazyHooks hooks(self);
    TimeBatchScope batch;
    bool opened = false;
    for_each_record(answer, desk().names.Array, [&](nb::object item, nb::handle records) {
        if (!opened) { // fresh timestamps of this list are boxed together
            batch.open(hooks.get(), records, times);
            opened = true;
        }
        out.append(convert(hooks.get(), item));
    });
    batch.finish();
    return out;
}

// ---- TradeAPI methods ----

void trade_api_init(nb::handle self, nb::handle account_id) {
    set_attr(self, desk().names.account_id, account_id);
    set_attr(self, desk().names._trader_rpc, call(module_global(desk().names.TraderRPC)));
    set_attr(self, desk().names.timeout, nb::int_(6));
    set_attr(self, desk().names._trade_type, nb::str("0"));
    set_attr(self, desk().names._account_token, nb::none());
}

bool equals(nb::handle a, nb::handle b) {
    return truth(
        steal_or_raise(into_python([&] { return PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ); })));
}

nb::object fetch_account_token(nb::handle self) {
    nb::dict params;
    set_item(params, desk().names.action, nb::str("getOnlineAccount"));
    nb::dict request = make_request(kOnlineAccountsReqType, nullptr, params);
    nb::object answer = zentaro::call_method(client_of(self), desk().names.call_rpc_json, request);
    nb::object accounts =
        get_or(get_or(answer, desk().names.result, nb::dict()), desk().names.Accounts, nb::list());
    nb::object it = iterate(accounts);
    while (PyObject *raw = next_item(it)) {
        nb::object account = nb::steal(raw);
        if (equals(get_item(account, desk().names.AccountID),
                   get_attr(self, desk().names.account_id)) &&
            equals(get_item(account, desk().names.TradeType),
                   get_attr(self, desk().names._trade_type))) {
            nb::object token = get_item(account, desk().names.fund_token);
            set_attr(self, desk().names._account_token, token);
            return token;
        }
    }
    if (PyErr_Occurred())
        raise_python_error();
    nb::object message =
        get_or_none(get_or(answer, desk().names.error, nb::dict()), desk().names.message);
    if (!truth(message))
        message = nb::str("该账户不存在!");
    nb::object text = zentaro::call_method(nb::str("获取账户({})：失败({})."), desk().names.format,
                                           get_or_none(answer, desk().names.id), message);
    raise_trade_exception(text);
}

nb::object get_account_token(nb::handle self, nb::handle force) {
    if (truth(force) || get_attr(self, desk().names._account_token).is_none())
        return fetch_account_token(self);
    return get_attr(self, desk().names._account_token);
}

void trade_api_del(nb::handle self) {
    if (into_python([&] { return PyObject_DelAttr(self.ptr(), desk().names._trader_rpc); }) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            raise_python_error();
        PyErr_Clear();
    }
}

nb::object portfolio(nb::handle self) {
    return account_query(self, kPortfolioQuery, [&](nb::handle answer) {
        nb::object records = get_item(get_item(answer, desk().names.result), desk().names.Array);
        nb::object item = get_item(records, nb::int_(0).ptr());
        return convert_funds(resolve_hooks(self, false), item);
    });
}

nb::object positions(nb::handle self) {
    return account_query(self, kPositionsQuery, [&](nb::handle answer) -> nb::object {
        nb::dict out;
        LazyHooks hooks(self);
        for_each_record(answer, desk().names.Array, [&](nb::object item) {
            nb::object symbol;
            nb::object record = convert_position(hooks.get(), item, &symbol);
            set_item(out, symbol.ptr(), record);
        });
        return out;
    });
}

nb::object get_tradelogs(nb::handle self) {
    return account_query(self, kTradelogsQuery, [&](nb::handle answer) {
        return record_list(self, answer, convert_trade, RecordTimes::Trades);
    });
}

nb::object secondary_orders(nb::handle self) {
    return account_query(self, kOrdersQuery, [&](nb::handle answer) {
        return record_list(self, answer, convert_broker_order, RecordTimes::BrokerOrders);
    });
}

nb::object day_time_text(nb::handle moment) {
    nb::object stamp =
        call(get_attr(module_global(desk().names.pd), desk().names.Timestamp), moment);
    return zentaro::call_method(stamp, desk().names.strftime, nb::str("%Y-%m-%d %H:%M:%S"));
}

[[noreturn]] void raise_orders_failure(nb::handle answer) {
    nb::object msg = get_or_none(answer, desk().names.msg);
    if (!truth(msg))
        msg = nb::str("参数输入有误");
    raise_trade_exception(percent_format("委托查询失败: %s", msg));
}

nb::object get_orders(nb::handle self, nb::handle order_id, nb::handle start_time,
                      nb::handle end_time) {
    nb::dict params;
    set_item(params, desk().names.action, nb::str("query"));
    set_item(params, desk().names.instructionid, order_id);
    set_item(params, desk().names.fund_token, account_token(self));
    set_item(params, desk().names.type, nb::int_(1));
    nb::dict request = make_request(kInstructionsReqType, "new_instmanage", params);
    if (truth(start_time) && truth(end_time)) {
        set_item(params, desk().names.startdate, day_time_text(start_time));
        set_item(params, desk().names.enddate, day_time_text(end_time));
    }
    nb::object rpc = client_of(self);
    return guard_query(
        "get_orders", "get_orders_fail", "委托查询失败: %s", request, [&]() -> nb::object {
            nb::object answer = zentaro::call_method(rpc, desk().names.call_rpc_json, request);
            if (!truth(get_or_none(answer, desk().names.result)))
                raise_orders_failure(answer);
            log_query(desk().names.info, "get_orders_success", "success", request);
            nb::list out;
            for_each_record(answer, desk().names.orders, [&](nb::object item) {
                nb::object owner = get_item(item, desk().names.fund_token);
                if (zentaro::compare(owner, account_token(self), Py_NE))
                    return;
                out.append(zentaro::call_method(self, desk().names._trans_inst, item));
            });
            return out;
        });
}

nb::object trans_inst(nb::handle self, nb::handle item) {
    return convert_instruction(resolve_hooks(self, true), item);
}

nb::object trans_order(nb::handle self, nb::handle item) {
    return convert_pushed_order(resolve_hooks(self, false), item);
}

// The method's documentation, to the character: a line break and eight
// spaces follow the text.
constexpr const char *kPushDoc = "注册推送回调\n        ";

} // namespace

void install_trader(nb::module_ &m) {
    m.attr("TraderRPC") = make_trader_rpc(m);
    nb::object limited =
        call(make_rate_limit(m), nb::int_(1), nb::int_(3), nb::str(kRateLimitMessage));
    m.attr("TradeAPI") =
        zentaro::ClassBuilder(m, "TradeAPI")
            .attr("SIDE", m.attr("SIDE"))
            .attr("MARKET", m.attr("MARKET"))
            .attr("PRICETYPE", m.attr("PRICETYPE"))
            .def<trade_api_init>("__init__(self, account_id)",
                                 "Bind the handle to an account id; no request is made.")
            .def<get_account_token>("_get_account_token(self, force=False)",
                                    "Return the account's fund token, looked up once per object "
                                    "(again when force is true).")
            .def<trade_api_del>("__del__(self)",
                                "Drop this object's reference to the shared broker client.")
            .property<portfolio>("portfolio", "The account's funds, as one record.")
            .property<positions>("positions",
                                 "The account's positions, a dict from symbol to record.")
            .def<get_tradelogs>("get_tradelogs(self)",
                                "Return the account's trades as a list of records.")
            .def<secondary_orders>("secondary_orders(self)",
                                   "Return the account's broker orders as a list of records "
                                   "(at most one call every 3 seconds in the process).")
            .wrap("secondary_orders", limited)
            .def<trans_inst>("_trans_inst(self, item)",
                             "Convert one order-instruction record into a record.")
            .def<get_orders>("get_orders(self, order_id=None, start_time=None, end_time=None)",
                             "Return the account's order instructions as a list of records: "
                             "all, one by id, or those of a time range.")
            .def<trans_order>("_trans_order(self, item)",
                              "Convert one pushed order record into a record.")
            .def<register_push>("register_push(self, orderpush=None)", kPushDoc)
            .finish("Handle on one live brokerage account served by the trading RPC.");
}

} // namespace broker_desk
