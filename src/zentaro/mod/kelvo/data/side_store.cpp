// SideStore: results of server-side SQL queries cached as feather files, one
// file per SQL text, named by the MD5 of the text's Base64 form.
//
// Every module the store uses is a module attribute read at call time, so a
// caller (or a test) can replace `kl_api`, `feather`, `os`, ... A miss writes
// the server's frame to a temporary file in the cache directory and renames
// it into place: readers in other processes see either no file or a whole
// one, and a failed write leaves nothing behind.

#include <nanobind/nanobind.h>

#include <atomic>
#include <random>

#include <unistd.h>

#include "zentaro/pyutil.hpp"

namespace nb = nanobind;
using namespace zentaro;

namespace {

constexpr const char *kDoc = "\n    根据sql获取数据，将pg里面的基本信息存储为hdf文件\n    ";

// The module itself. Single-phase extension modules stay alive until the
// interpreter shuts down, so a borrowed pointer serves call-time lookups and
// avoids a reference cycle through the methods.
PyObject *g_module = nullptr;

nb::object mod(const char *name) {
    return module_attr(g_module, name);
}

// A name the module's code uses without importing it (open): the module's
// own attribute if someone set one, else the builtin, as in Python code.
nb::object global(const char *name) {
    PyObject *hit = PyDict_GetItemString(PyModule_GetDict(g_module), name);
    if (!hit)
        hit = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    if (!hit) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        raise_python_error();
    }
    return nb::borrow(hit);
}

nb::object join_path(nb::handle dir, nb::handle name) {
    return mod("os").attr("path").attr("join")(dir, name);
}

// Runs a clean-up step while another error is on its way out; its own
// failure must not replace that error.
template <typename Step> void quietly(Step &&step) {
    try {
        step();
    } catch (nb::python_error &) {
    }
}

// ---- reading ---------------------------------------------------------------

// The cached frame, or an empty object when there is no file (the only
// failure that counts as a miss; anything else propagates untouched).
nb::object read_cached(nb::handle key) {
    nb::object file;
    try {
        file = global("open")(key, "rb");
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError))
            return nb::object();
        throw;
    }
    nb::object frame;
    try {
        frame = mod("feather").attr("read_feather")(file);
    } catch (nb::python_error &e) {
        quietly([&] { file.attr("close")(); });
        if (e.matches(PyExc_FileNotFoundError))
            return nb::object();
        throw;
    }
    file.attr("close")();
    return frame;
}

// ---- writing ---------------------------------------------------------------

// A name no other writer uses at the same time: process, thread and a
// per-process random sequence. The leading dot keeps it apart from the
// 32-digit cache names.
nb::object temp_name(nb::handle name) {
    static std::atomic<unsigned long> counter{std::random_device{}()};
    unsigned long serial = counter.fetch_add(1);
    return steal_or_raise(PyUnicode_FromFormat(".%S.%ld.%lu.%lx.tmp", name.ptr(),
                                               static_cast<long>(getpid()),
                                               PyThread_get_thread_ident(), serial));
}

// Writes the frame under `key` through a temporary file and a rename. The
// directory is created first, so a store used outside a `with` block keeps
// the server's answer instead of losing it.
void store(nb::handle dir, nb::handle name, nb::handle key, nb::handle frame) {
    nb::object os = mod("os");
    os.attr("makedirs")(dir, nb::arg("exist_ok") = true);
    nb::object temp = join_path(dir, temp_name(name));
    nb::object file = global("open")(temp, "wb");
    try {
        mod("feather").attr("write_feather")(frame, file);
        file.attr("close")();
        os.attr("replace")(temp, key);
    } catch (...) {
        quietly([&] { file.attr("close")(); });
        quietly([&] { mod("os").attr("remove")(temp); });
        throw;
    }
}

// ---- SideStore -------------------------------------------------------------

void store_init(nb::handle self) {
    nb::object info_path = mod("setting").attr("INFO_PATH");
    nb::setattr(self, "path", join_path(info_path, nb::str("extra_store.h5")));
}

nb::handle store_enter(nb::handle self) {
    // Looked up before the call: an attribute accessor handed to a call is
    // read inside a noexcept conversion, where a failed lookup aborts.
    nb::object path = self.attr("path");
    mod("os").attr("makedirs")(path, nb::arg("exist_ok") = true);
    return self;
}

void store_exit(nb::handle, nb::handle, nb::handle, nb::handle) {}

nb::object store_read(nb::handle self, nb::handle sql) {
    nb::object bsql = mod("base64").attr("b64encode")(sql.attr("encode")());
    nb::object name = mod("hashlib").attr("md5")(bsql).attr("hexdigest")();
    nb::object dir = self.attr("path");
    nb::object key = join_path(dir, name);
    nb::object frame = read_cached(key);
    if (frame.is_valid())
        return frame;
    frame = mod("kl_api").attr("side_store")(nb::arg("sql") = bsql.attr("decode")());
    store(dir, name, key, frame);
    return frame;
}

nb::object make_store_class(nb::module_ &m) {
    nb::dict ns;
    ns["__init__"] = method(store_init, nb::name("__init__"));
    ns["__enter__"] = method(store_enter, nb::name("__enter__"));
    ns["__exit__"] = method(store_exit, nb::name("__exit__"), nb::arg("exc_type").none(),
                            nb::arg("exc_val").none(), nb::arg("exc_tb").none());
    ns["read"] = method(store_read, nb::name("read"), nb::arg("sql").none());
    nb::object cls = make_python_class(m, "SideStore", nb::make_tuple(), ns);
    set_doc(cls, kDoc);
    return cls;
}

// `from <package> import <name>`, with the import error Python gives when
// the name is missing.
nb::object import_from(const char *package, const char *name) {
    nb::object fromlist = nb::make_tuple(name);
    nb::object module =
        steal_or_raise(PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.ptr(), 0));
    PyObject *value = PyObject_GetAttrString(module.ptr(), name);
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
        raise_python_error();
    }
    return nb::steal(value);
}

} // namespace

NB_MODULE(side_store, m) {
    g_module = m.ptr();
    m.attr("os") = nb::module_::import_("os");
    m.attr("base64") = nb::module_::import_("base64");
    m.attr("hashlib") = nb::module_::import_("hashlib");
    m.attr("feather") = nb::module_::import_("pyarrow.feather");
    m.attr("setting") = import_from("zentaro.mod.kelvo", "setting");
    m.attr("kl_api") = import_from("zentaro.mod.kelvo.utils.platform_rpc", "kl_api");
    m.attr("SideStore") = make_store_class(m);
}
