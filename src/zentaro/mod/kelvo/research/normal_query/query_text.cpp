// Query text builder: table and field objects whose comparisons return the
// text of the research query language instead of booleans.
//
// Field reads, comparisons and query construction run on every query, so
// the three classes come from type specs whose slots do that work directly;
// a class made by type() would route each of them through Python's generic
// slot functions (for a __getattr__, one AttributeError built and discarded
// per field read). They still behave like plain Python classes: instances
// take attributes, class attributes can be replaced (Python then puts its
// generic slot in place and calls the replacement), no hash next to __eq__.
// The named methods are kit functions. Everything a method reads from the
// module or from an object is looked up at call time, as Python code would.
//
// The classes are in query_fields.cpp (StrModelAttr), query_tables.cpp
// (StrModel) and query_builder.cpp (StrQuery); the value encoding of the
// condition builders in query_encode.cpp.

#include "query_text.hpp"

namespace query_text {

namespace {

constexpr const char *kTables[] = {
    "bonus",         "valuation",       "balance",    "cashflow",     "income",
    "profit_report", "profit_forecast", "operating",  "debtrepay",    "profit",
    "growth",        "cashflow_sq",     "income_sq",  "profit_sq",    "growth_sq",
    "asharevalue",   "ashareoperate",   "asharedebt", "ashareprofit",
};

// Dropped from atexit, while the interpreter still runs: past this point every
// fast path steps aside and the methods go through Python's own lookups.
void release_natives() {
    Py_CLEAR(query_state().natives.attr_cls);
    Py_CLEAR(query_state().natives.attr_init);
    Py_CLEAR(query_state().natives.attr_str);
    Py_CLEAR(query_state().natives.encode);
    Py_CLEAR(query_state().natives.model_getattr);
    Py_CLEAR(query_state().natives.std_number);
    Py_CLEAR(query_state().natives.std_iterable);
}

} // namespace

} // namespace query_text

using namespace query_text;

ZT_MODULE(query_text, m) {
    module_state().init(m);

    nb::object numbers = import("numbers");
    m.attr("numbers") = numbers;
    nb::object iterable = import_from("collections.abc", "Iterable");
    m.attr("Iterable") = iterable;
    query_state().natives.std_number =
        get_attr(numbers, query_state().names.Number).release().ptr();
    query_state().natives.std_iterable = iterable.release().ptr();

    m.attr("StrModelAttr") = make_field_class(m);
    nb::object model_cls = make_table_class();
    m.attr("StrModel") = model_cls;
    m.attr("StrQuery") = make_query_class(m);

    nb::list all;
    for (const char *table : kTables) {
        m.attr(table) = call(model_cls, nb::str(table));
        all.append(table);
    }
    m.attr("__all__") = all;

    nb::object release = make_function<release_natives>(
        "_release_query_text_natives()", "Drop the fast paths' references before exit.",
        m.attr("__name__"));
    call_method(import("atexit"), query_state().names.register_, release);
}
