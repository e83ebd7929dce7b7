// TradeAPI: the account handle, its token lookup, its guarded queries and the
// order push; TraderRPC, the holder of the process's one broker client; and
// rate_limit, the decorator of the rate-limited query.
//
// The classes are built with type() so that their tables are real class
// attributes and their instances take new attributes. Methods are wrapped in
// a small function class: nanobind's function objects carry their signature
// as __doc__ and take no attributes, while these must carry a docstring of
// their own and accept functools.wraps.

#include <type_traits>

#include "broker_desk.hpp"

namespace broker_desk {

namespace {

struct QuerySpec {
    const char *method;
    long req_type;
    long fun_id;
    const char *success_tag;
    const char *fail_tag;
    const char *prefix;  // of the message when the answer has no result
    const char *wrapper; // %s template around the formatted traceback
};

const QuerySpec portfolio_query{
    "portfolio",           1201, 500016, "portfolio_success", "portfolio_fail", "账号资金查询失败(",
    "账号资金查询失败: %s"};
const QuerySpec positions_query{
    "positions",           1202, 500015, "positions_success", "positions_fail", "账号持仓查询失败(",
    "账号持仓查询失败: %s"};
const QuerySpec tradelogs_query{
    "get_tradelogs",       1203, 500014, "tradelogs_success", "tradelogs_fail", "账号成交查询失败(",
    "账号成交查询失败: %s"};
const QuerySpec orders_query{"secondary_orders",    1204,          500013,
                             "orders_success",      "orders_fail", "账号委托查询失败(",
                             "账号委托查询失败: %s"};

const char *const rate_limit_message = "该查询函数使用最小间隔为3秒，请稍后重试。";
const char *const push_doc = "注册推送回调\n        ";
const char *const masked_token = "***";

nb::object call_method(nb::handle obj, const char *method) {
    return steal_or_raise(PyObject_CallMethodNoArgs(obj.ptr(), name(method)));
}

nb::object call_method(nb::handle obj, const char *method, nb::handle arg) {
    return steal_or_raise(PyObject_CallMethodOneArg(obj.ptr(), name(method), arg.ptr()));
}

void set_item(nb::handle dict, const char *key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), name(key), value.ptr()) < 0)
        raise_python_error();
}

nb::object text_of(nb::handle obj) {
    return steal_or_raise(PyObject_Str(obj.ptr()));
}

nb::object join(std::initializer_list<nb::handle> parts) {
    nb::object out = nb::str("");
    for (nb::handle part : parts)
        out = steal_or_raise(PyUnicode_Concat(out.ptr(), part.ptr()));
    return out;
}

nb::object account_token(nb::handle self) {
    return call_method(self, "_get_account_token");
}

// {"ReqType": ..., ["method": ...,] "params": params}
nb::dict make_request(long req_type, const char *method, nb::handle params) {
    nb::dict request;
    set_item(request, "ReqType", nb::int_(req_type));
    if (method)
        set_item(request, "method", nb::str(method));
    set_item(request, "params", params);
    return request;
}

nb::dict stock_request(nb::handle self, const QuerySpec &q) {
    nb::dict params;
    set_item(params, "FunID", nb::int_(q.fun_id));
    set_item(params, "fund_token", account_token(self));
    return make_request(q.req_type, "stockqmx", params);
}

// The request as logged: the same items, the fund token masked so that logs
// never carry a credential of the account.
nb::dict log_extra(const char *status, nb::handle request) {
    nb::dict extra;
    set_item(extra, "status", nb::str(status));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(request.ptr(), &pos, &key, &value)) {
        nb::object shown = nb::borrow(value);
        if (key == KEY("params") && PyDict_Check(value) &&
            PyDict_Contains(value, KEY("fund_token")) == 1) {
            shown = steal_or_raise(PyDict_Copy(value));
            set_item(shown, "fund_token", nb::str(masked_token));
        }
        if (PyDict_SetItem(extra.ptr(), key, shown.ptr()) < 0)
            raise_python_error();
    }
    return extra;
}

void log_query(const char *level, const char *tag, const char *status, nb::handle request) {
    nb::object log = getattr(global("system_log"), name(level));
    nb::dict kwargs;
    set_item(kwargs, "extra", log_extra(status, request));
    nb::object args = nb::make_tuple(nb::str(tag));
    steal_or_raise(PyObject_Call(log.ptr(), args.ptr(), kwargs.ptr()));
}

// The first message of a failed query: prefix, id, "): " and the server's text.
[[noreturn]] void raise_answer_failure(const char *prefix, nb::handle answer) {
    nb::object error = get_or(answer, KEY("error"), nb::dict());
    nb::object message = get_or_none(error, KEY("message"));
    if (!truthy(message))
        message = nb::str("参数输入有误");
    raise_trade_exception(join({nb::str(prefix), text_of(get_or_none(answer, KEY("id"))),
                                nb::str("): "), text_of(message)}));
}

// Sets `exc` as the exception being handled (what traceback.format_exc and an
// implicit __context__ see) for the scope's lifetime.
struct HandlingScope {
    PyObject *previous;
    explicit HandlingScope(nb::handle exc) : previous(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc.ptr());
    }
    ~HandlingScope() {
        PyErr_SetHandledException(previous);
        Py_XDECREF(previous);
    }
};

nb::object fetch_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return nb::steal(value);
}

// The except branch of a guarded query: log the failure and raise a new
// TradeException around the formatted traceback of the caught error.
[[noreturn]] void wrap_caught_error(const char *fail_tag, const char *wrapper, nb::handle request) {
    nb::object caught = fetch_error();
    HandlingScope handling(caught);
    log_query("error", fail_tag, "fail", request);
    nb::object text = call_method(global("traceback"), "format_exc");
    nb::object message = steal_or_raise(PyNumber_Remainder(nb::str(wrapper).ptr(), text.ptr()));
    nb::object exc = call(global("TradeException"), message);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    raise_python_error(); // the handled exception is restored as this unwinds
}

// Where this module's frames show in formatted tracebacks.
const char *const source_file = "zentaro/mod/tradeapi/api/broker_queries.cpp";

template <class Body>
nb::object guarded(const char *method, const char *fail_tag, const char *wrapper,
                   nb::handle request, Body &&body) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        e.restore();
        // The method's own frame, as the traceback of a Python method has it.
        _PyTraceback_Add(method, source_file, 0);
    }
    wrap_caught_error(fail_tag, wrapper, request);
}

// The guarded query shared by the four account queries; `convert` turns the
// answer into the method's result.
template <class Convert>
nb::object account_query(nb::handle self, const QuerySpec &q, Convert &&convert) {
    nb::dict request = stock_request(self, q);
    nb::object rpc = getattr(self, KEY("_trader_rpc"));
    return guarded(q.method, q.fail_tag, q.wrapper, request, [&]() -> nb::object {
        nb::object answer = call_method(rpc, "call_rpc_json", request);
        if (!truthy(get_or_none(answer, KEY("result"))))
            raise_answer_failure(q.prefix, answer);
        log_query("info", q.success_tag, "success", request);
        return convert(answer);
    });
}

nb::object iterate(nb::handle iterable) {
    return steal_or_raise(PyObject_GetIter(iterable.ptr()));
}

// Walks result[list_key] (missing: empty), converting each record; `each`
// may also take the list itself.
template <class Each> void for_each_record(nb::handle answer, const char *list_key, Each &&each) {
    nb::object records = get_or(getitem(answer, KEY("result")), name(list_key), nb::list());
    nb::object it = iterate(records);
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        if constexpr (std::is_invocable_v<Each, nb::object, nb::handle>)
            each(nb::steal(raw), records);
        else
            each(nb::steal(raw));
    }
    if (PyErr_Occurred())
        raise_python_error();
}

template <class Convert>
nb::object record_list(nb::handle self, nb::handle answer, Convert &&convert, RecordTimes times) {
    nb::list out;
    Translators tr;
    TimeBatchScope batch;
    bool resolved = false;
    for_each_record(answer, "Array", [&](nb::object item, nb::handle records) {
        if (!resolved) { // on the first record, as the per-record lookups would
            tr = resolve_translators(self, false);
            resolved = true;
            batch.open(tr, records, times);
        }
        out.append(convert(tr, item));
    });
    batch.finish();
    return out;
}

// ---- TradeAPI methods ----

void trade_api_init(nb::handle self, nb::handle account_id) {
    nb::setattr(self, "account_id", account_id);
    nb::setattr(self, "_trader_rpc", global("TraderRPC")());
    nb::setattr(self, "timeout", nb::int_(6));
    nb::setattr(self, "_trade_type", nb::str("0"));
    nb::setattr(self, "_account_token", nb::none());
}

bool equals(nb::handle a, nb::handle b) {
    return truthy(steal_or_raise(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

nb::object fetch_account_token(nb::handle self) {
    nb::dict params;
    set_item(params, "action", nb::str("getOnlineAccount"));
    nb::dict request = make_request(594177, nullptr, params);
    nb::object answer = call_method(getattr(self, KEY("_trader_rpc")), "call_rpc_json", request);
    nb::object accounts =
        get_or(get_or(answer, KEY("result"), nb::dict()), KEY("Accounts"), nb::list());
    nb::object it = iterate(accounts);
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object account = nb::steal(raw);
        if (equals(getitem(account, KEY("AccountID")), getattr(self, KEY("account_id"))) &&
            equals(getitem(account, KEY("TradeType")), getattr(self, KEY("_trade_type")))) {
            nb::object token = getitem(account, KEY("fund_token"));
            nb::setattr(self, "_account_token", token);
            return token;
        }
    }
    if (PyErr_Occurred())
        raise_python_error();
    nb::object message = get_or_none(get_or(answer, KEY("error"), nb::dict()), KEY("message"));
    if (!truthy(message))
        message = nb::str("该账户不存在!");
    nb::object text =
        nb::str("获取账户({})：失败({}).").format(get_or_none(answer, KEY("id")), message);
    raise_trade_exception(text);
}

nb::object get_account_token(nb::handle self, nb::handle force) {
    if (truthy(force) || getattr(self, KEY("_account_token")).is_none())
        return fetch_account_token(self);
    return getattr(self, KEY("_account_token"));
}

void trade_api_del(nb::handle self) {
    if (PyObject_DelAttr(self.ptr(), KEY("_trader_rpc")) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            raise_python_error();
        PyErr_Clear();
    }
}

nb::object portfolio(nb::handle self) {
    return account_query(self, portfolio_query, [&](nb::handle answer) {
        nb::object item =
            getitem(getitem(getitem(answer, KEY("result")), KEY("Array")), nb::int_(0).ptr());
        Translators tr = resolve_translators(self, false);
        return convert_funds(tr, item);
    });
}

nb::object positions(nb::handle self) {
    return account_query(self, positions_query, [&](nb::handle answer) -> nb::object {
        nb::dict out;
        Translators tr;
        bool resolved = false;
        for_each_record(answer, "Array", [&](nb::object item) {
            if (!resolved) {
                tr = resolve_translators(self, false);
                resolved = true;
            }
            nb::object symbol;
            nb::object record = convert_position(tr, item, &symbol);
            if (PyDict_SetItem(out.ptr(), symbol.ptr(), record.ptr()) < 0)
                raise_python_error();
        });
        return out;
    });
}

nb::object get_tradelogs(nb::handle self) {
    return account_query(self, tradelogs_query, [&](nb::handle answer) {
        return record_list(self, answer, convert_trade, RecordTimes::Trades);
    });
}

nb::object secondary_orders(nb::handle self) {
    return account_query(self, orders_query, [&](nb::handle answer) {
        return record_list(self, answer, convert_broker_order, RecordTimes::BrokerOrders);
    });
}

nb::object day_time_text(nb::handle moment) {
    nb::object stamp = call(getattr(global("pd"), KEY("Timestamp")), moment);
    return call_method(stamp, "strftime", nb::str("%Y-%m-%d %H:%M:%S"));
}

nb::object get_orders(nb::handle self, nb::handle order_id, nb::handle start_time,
                      nb::handle end_time) {
    nb::dict params;
    set_item(params, "action", nb::str("query"));
    set_item(params, "instructionid", order_id);
    set_item(params, "fund_token", account_token(self));
    set_item(params, "type", nb::int_(1));
    nb::dict request = make_request(151553, "new_instmanage", params);
    if (truthy(start_time) && truthy(end_time)) {
        set_item(params, "startdate", day_time_text(start_time));
        set_item(params, "enddate", day_time_text(end_time));
    }
    nb::object rpc = getattr(self, KEY("_trader_rpc"));
    return guarded(
        "get_orders", "get_orders_fail", "委托查询失败: %s", request, [&]() -> nb::object {
            nb::object answer = call_method(rpc, "call_rpc_json", request);
            if (!truthy(get_or_none(answer, KEY("result")))) {
                nb::object msg = get_or_none(answer, KEY("msg"));
                if (!truthy(msg))
                    msg = nb::str("参数输入有误");
                raise_trade_exception(steal_or_raise(
                    PyNumber_Remainder(nb::str("委托查询失败: %s").ptr(), msg.ptr())));
            }
            log_query("info", "get_orders_success", "success", request);
            nb::list out;
            for_each_record(answer, "orders", [&](nb::object item) {
                nb::object owner = getitem(item, KEY("fund_token"));
                if (truthy(steal_or_raise(
                        PyObject_RichCompare(owner.ptr(), account_token(self).ptr(), Py_NE))))
                    return;
                out.append(call_method(self, "_trans_inst", item));
            });
            return out;
        });
}

nb::object trans_inst(nb::handle self, nb::handle item) {
    return convert_instruction(resolve_translators(self, true), item);
}

nb::object trans_order(nb::handle self, nb::handle item) {
    return convert_pushed_order(resolve_translators(self, false), item);
}

// Called by the broker client for every pushed order event.
nb::object push_handler(nb::handle api, nb::handle orderpush, nb::handle, nb::handle event) {
    nb::object record = call_method(api, "_trans_order", getitem(event, KEY("params")));
    if (truthy(orderpush))
        return call(orderpush, record);
    return nb::borrow(orderpush);
}

nb::object register_push(nb::handle self, nb::handle orderpush, nb::handle partial,
                         nb::handle handler_fn) {
    nb::dict params;
    set_item(params, "action", nb::str("subscribe"));
    set_item(params, "Subkey", nb::str("entrustret"));
    set_item(params, "fund_token", account_token(self));
    nb::dict request = make_request(1601, nullptr, params);
    nb::object answer = call_method(getattr(self, KEY("_trader_rpc")), "call_rpc_json", request);
    nb::object error = get_or_none(answer, KEY("error"));
    if (truthy(error)) {
        nb::object message = get_or_none(error, KEY("message"));
        if (!truthy(message))
            message = nb::str("参数输入有误");
        raise_trade_exception(
            join({nb::str("委托推送注册失败("), text_of(get_or_none(answer, KEY("id"))),
                  nb::str("): "), text_of(message)}));
    }
    // A partial keeps the object and the callback where the garbage collector
    // can see them: the client holding the handler is held by the object.
    nb::object handler = steal_or_raise(PyObject_CallFunctionObjArgs(
        partial.ptr(), handler_fn.ptr(), self.ptr(), orderpush.ptr(), nullptr));
    call_method(getattr(self, KEY("_trader_rpc")), "register_callback", handler);
    return nb::none();
}

// ---- rate_limit ----

nb::object limited_call(nb::handle limiter, nb::handle f, nb::args args, nb::kwargs kwargs) {
    if (PyTuple_GET_SIZE(args.ptr()) < 1) {
        PyErr_SetString(PyExc_TypeError,
                        "wrapper() missing 1 required positional argument: 'self'");
        raise_python_error();
    }
    nb::object raise_on_limit = kwargs.contains("raise_on_limit")
                                    ? nb::object(kwargs["raise_on_limit"])
                                    : nb::object(nb::bool_(true));
    if (kwargs.contains("raise_on_limit"))
        PyDict_DelItemString(kwargs.ptr(), "raise_on_limit");
    nb::setattr(limiter, "raise_on_limit", raise_on_limit);
    nb::object sleep_on_limit = kwargs.contains("sleep_on_limit")
                                    ? nb::object(kwargs["sleep_on_limit"])
                                    : nb::object(nb::bool_(false));
    if (kwargs.contains("sleep_on_limit"))
        PyDict_DelItemString(kwargs.ptr(), "sleep_on_limit");
    nb::object fn = call(limiter, f);
    if (truthy(sleep_on_limit))
        fn = call(global("sleep_and_retry"), fn);
    return steal_or_raise(PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()));
}

// A Python-visible function around a C++ callable: a descriptor that binds
// like a function and takes attributes (__doc__, functools.wraps).
nb::object make_function_class(nb::module_ &m) {
    nb::dict ns;
    ns["__slots__"] = nb::make_tuple("_target", "__dict__", "__weakref__");
    ns["__init__"] = zentaro::method(
        [](nb::handle self, nb::handle target) { nb::setattr(self, "_target", target); });
    ns["__call__"] = zentaro::method([](nb::handle self, nb::args args, nb::kwargs kwargs) {
        nb::object target = getattr(self, KEY("_target"));
        return steal_or_raise(PyObject_Call(target.ptr(), args.ptr(), kwargs.ptr()));
    });
    ns["__get__"] = zentaro::method(
        [](nb::handle self, nb::handle obj, nb::handle) -> nb::object {
            if (obj.is_none())
                return nb::borrow(self);
            return steal_or_raise(PyMethod_New(self.ptr(), obj.ptr()));
        },
        nb::arg("obj").none(), nb::arg("objtype").none() = nb::none());
    nb::object base = nb::make_tuple(nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    return zentaro::make_python_class(m, "_CFunction", base, ns);
}

struct FunctionFactory {
    nb::object cls;
    nb::object module_name;
    nb::object make(nb::object target, const char *fn_name, const char *owner,
                    const char *doc = nullptr) const {
        nb::object fn = cls(target);
        nb::setattr(fn, "__name__", nb::str(fn_name));
        std::string qualname = owner ? std::string(owner) + "." + fn_name : std::string(fn_name);
        nb::setattr(fn, "__qualname__", nb::str(qualname.c_str()));
        nb::setattr(fn, "__module__", module_name);
        nb::setattr(fn, "__doc__", doc ? nb::object(nb::str(doc)) : nb::none());
        return fn;
    }
};

nb::object make_rate_limit(FunctionFactory functions) {
    return nb::cpp_function(
        [functions](nb::handle calls, nb::handle period, nb::handle raise_message) {
            nb::object limits = global("limits");
            nb::object wraps = global("wraps");
            nb::object c = nb::borrow(calls), p = nb::borrow(period), r = nb::borrow(raise_message);
            return nb::cpp_function(
                [functions, limits, wraps, c, p, r](nb::handle f) {
                    nb::object limiter =
                        limits(nb::arg("calls").none() = c, nb::arg("period").none() = p,
                               nb::arg("raise_message").none() = r);
                    nb::object keep_f = nb::borrow(f);
                    nb::object call_fn =
                        nb::cpp_function([limiter, keep_f](nb::args args, nb::kwargs kwargs) {
                            return limited_call(limiter, keep_f, args, kwargs);
                        });
                    nb::object wrapper = functions.make(call_fn, "wrapper", nullptr);
                    wrapper = wraps(f)(wrapper);
                    // Reachable so that the shared window can be inspected.
                    nb::setattr(wrapper, "_limiter", limiter);
                    return wrapper;
                },
                nb::name("decorator"), nb::arg("f").none());
        },
        nb::name("rate_limit"), nb::arg("calls").none() = 1, nb::arg("period").none() = 3,
        nb::arg("raise_message").none() = nb::none());
}

// The getter stays a plain nanobind function (stub generators know those);
// the property carries no documentation, like one without a docstring.
nb::object read_only_property(nb::handle property, nb::object getter) {
    nb::object prop = property(getter);
    nb::setattr(prop, "__doc__", nb::none());
    return prop;
}

nb::object object_bases() {
    return nb::make_tuple(nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
}

nb::object make_trader_rpc(nb::module_ &m) {
    nb::dict ns;
    ns["_instance"] = nb::none();
    nb::object new_fn = nb::cpp_function(
        [](nb::handle cls) {
            if (getattr(cls, KEY("_instance")).is_none())
                nb::setattr(cls, "_instance", global("RavineClient")());
            return getattr(cls, KEY("_instance"));
        },
        nb::name("__new__"), nb::arg("cls").none());
    ns["__new__"] = nb::module_::import_("builtins").attr("staticmethod")(new_fn);
    return zentaro::make_python_class(m, "TraderRPC", object_bases(), ns);
}

} // namespace

void install_trader(nb::module_ &m) {
    m.attr("TraderRPC") = make_trader_rpc(m);
    FunctionFactory functions{make_function_class(m), m.attr("__name__")};
    nb::object rate_limit = make_rate_limit(functions);
    m.attr("rate_limit") = rate_limit;

    const char *owner = "TradeAPI";
    nb::object property = nb::module_::import_("builtins").attr("property");
    nb::dict ns;
    ns["SIDE"] = m.attr("SIDE");
    ns["MARKET"] = m.attr("MARKET");
    ns["PRICETYPE"] = m.attr("PRICETYPE");
    ns["__init__"] = functions.make(
        nb::cpp_function(trade_api_init, nb::arg("self").none(), nb::arg("account_id").none()),
        "__init__", owner);
    ns["_get_account_token"] =
        functions.make(nb::cpp_function(get_account_token, nb::arg("self").none(),
                                        nb::arg("force").none() = false),
                       "_get_account_token", owner);
    ns["__del__"] =
        functions.make(nb::cpp_function(trade_api_del, nb::arg("self").none()), "__del__", owner);
    ns["portfolio"] =
        read_only_property(property, zentaro::method(portfolio, nb::name("portfolio")));
    ns["positions"] =
        read_only_property(property, zentaro::method(positions, nb::name("positions")));
    ns["get_tradelogs"] = functions.make(nb::cpp_function(get_tradelogs, nb::arg("self").none()),
                                         "get_tradelogs", owner);
    nb::object orders = functions.make(nb::cpp_function(secondary_orders, nb::arg("self").none()),
                                       "secondary_orders", owner);
    ns["secondary_orders"] = rate_limit(1, 3, nb::str(rate_limit_message))(orders);
    ns["_trans_inst"] =
        functions.make(nb::cpp_function(trans_inst, nb::arg("self").none(), nb::arg("item").none()),
                       "_trans_inst", owner);
    ns["get_orders"] = functions.make(nb::cpp_function(get_orders, nb::arg("self").none(),
                                                       nb::arg("order_id").none() = nb::none(),
                                                       nb::arg("start_time").none() = nb::none(),
                                                       nb::arg("end_time").none() = nb::none()),
                                      "get_orders", owner);
    ns["_trans_order"] = functions.make(
        nb::cpp_function(trans_order, nb::arg("self").none(), nb::arg("item").none()),
        "_trans_order", owner);
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object handler_fn =
        nb::cpp_function(push_handler, nb::name("handler"), nb::arg("api").none(),
                         nb::arg("orderpush").none(), nb::arg("m").none(), nb::arg("d").none());
    ns["register_push"] =
        functions.make(nb::cpp_function(
                           [partial, handler_fn](nb::handle self, nb::handle orderpush) {
                               return register_push(self, orderpush, partial, handler_fn);
                           },
                           nb::arg("self").none(), nb::arg("orderpush").none() = nb::none()),
                       "register_push", owner, push_doc);
    m.attr("TradeAPI") = zentaro::make_python_class(m, owner, object_bases(), ns);
}

} // namespace broker_desk
