// SideStore: results of server-side SQL queries cached as feather files, one
// file per SQL text, named by the MD5 of the text's Base64 form.
//
// Every module the store uses is a module attribute read at call time, so a
// caller (or a test) can replace `kl_api`, `feather`, `os`, ... A miss writes
// the server's frame through the kit's atomic writer (zentaro/atomic_file.hpp):
// readers in other processes see either no file or a whole one, a failed write
// leaves nothing behind, and after a power loss no empty file stands under a
// query's name. Cache files are opened without blocking and must be regular
// files: a FIFO planted at a query's name is refused instead of hanging every
// read of that query.

#include "side_store_state.hpp"
#include "zentaro/atomic_file.hpp"
#include "zentaro/function.hpp"
#include "zentaro/state.hpp"

namespace nb = nanobind;
using namespace zentaro;
using namespace side_store;

namespace {

constexpr const char *kDoc = "\n    根据sql获取数据，将pg里面的基本信息存储为hdf文件\n    ";

nb::object os_path() {
    return get_attr(module_attr(store_state().names.os), store_state().names.path);
}

nb::object join_path(nb::handle dir, nb::handle name) {
    return call_method(os_path(), store_state().names.join, dir, name);
}

// ---- reading ---------------------------------------------------------------

// The cached frame, or an empty object when there is no file (the only
// failure that counts as a miss; anything else propagates untouched).
nb::object read_cached(nb::handle key) {
    const StoreNames &names = store_state().names;
    std::string path = fs_path(key);
    int fd = open_regular_file(path);
    if (fd == -ENOENT)
        return nb::object();
    if (fd < 0) {
        errno = -fd;
        raise_os_error(path);
    }
    // open() owns the descriptor from here on, and closes it if it fails.
    nb::object file = call(module_global(names.open), nb::int_(fd), nb::str("rb"));
    nb::object frame;
    try {
        frame = call_method(module_attr(names.feather), names.read_feather, file);
    } catch (nb::python_error &e) {
        quietly([&] { call_method(file, names.close); });
        if (e.matches(PyExc_FileNotFoundError))
            return nb::object();
        throw;
    }
    call_method(file, names.close);
    return frame;
}

// ---- writing ---------------------------------------------------------------

// What pyarrow.feather.write_feather accepts. Anything else is refused before
// pyarrow sees it: some values (None among them) crash the library.
void check_frame(nb::handle frame) {
    nb::object data_frame = get_attr(import("pandas"), store_state().names.DataFrame);
    nb::object table = get_attr(import("pyarrow"), store_state().names.Table);
    nb::object types = nb::make_tuple(data_frame, table);
    int accepted = PyObject_IsInstance(frame.ptr(), types.ptr());
    check(accepted);
    if (!accepted) {
        PyErr_Format(PyExc_TypeError,
                     "the server answered the side-store query with %.200s, not a data frame; "
                     "nothing was stored",
                     Py_TYPE(frame.ptr())->tp_name);
        raise_python_error();
    }
}

// Writes the frame under `key` through a temporary file and a rename. The
// directory is created first, so a store used outside a `with` block keeps
// the server's answer instead of losing it.
void store(nb::handle dir, nb::handle key, nb::handle frame) {
    const StoreNames &names = store_state().names;
    check_frame(frame);
    nb::object os = module_attr(names.os);
    os.attr("makedirs")(dir, nb::arg("exist_ok") = true);
    AtomicFile target(fs_path(key), -1);
    nb::object file = call(module_global(names.open), nb::int_(target.dup_fd()), nb::str("wb"));
    OnFailure close_file([&] { call_method(file, names.close); });
    call_method(module_attr(names.feather), names.write_feather, frame, file);
    call_method(file, names.close);
    close_file.dismiss();
    target.commit();
}

// ---- SideStore -------------------------------------------------------------

void store_init(nb::handle self) {
    const StoreNames &names = store_state().names;
    nb::object info_path = get_attr(module_attr(names.setting), names.INFO_PATH);
    set_attr(self, names.path, join_path(info_path, nb::str("extra_store.h5")));
}

// Temporary files of writers killed before their rename are removed after an
// hour without a write: no live writer pauses that long.
constexpr time_t kStaleTemporary = 3600;
constexpr size_t kNameDigits = 32; // an MD5 in hex

nb::handle store_enter(nb::handle self) {
    nb::object path = get_attr(self, store_state().names.path);
    module_attr(store_state().names.os).attr("makedirs")(path, nb::arg("exist_ok") = true);
    remove_stale_temporaries(fs_path(path), kNameDigits, kStaleTemporary);
    return self;
}

void store_exit(nb::handle, nb::handle, nb::handle, nb::handle) {}

nb::object store_read(nb::handle self, nb::handle sql) {
    const StoreNames &names = store_state().names;
    if (!PyUnicode_Check(sql.ptr())) {
        PyErr_Format(PyExc_TypeError, "SideStore.read() argument 'sql' must be str, not %.200s",
                     Py_TYPE(sql.ptr())->tp_name);
        raise_python_error();
    }
    nb::object encoded = call_method(sql, names.encode);
    nb::object bsql = call_method(module_attr(names.base64), names.b64encode, encoded);
    nb::object digest = call_method(module_attr(names.hashlib), names.md5, bsql);
    nb::object name = call_method(digest, names.hexdigest);
    nb::object dir = get_attr(self, names.path);
    nb::object key = join_path(dir, name);
    nb::object frame = read_cached(key);
    if (frame.is_valid())
        return frame;
    nb::object side_store = get_attr(module_attr(names.kl_api), names.side_store);
    frame = side_store(nb::arg("sql") = call_method(bsql, names.decode));
    store(dir, key, frame);
    return frame;
}

nb::object make_store_class(nb::module_ &m) {
    return ClassBuilder(m, "SideStore")
        .def<store_init>("__init__(self)", "Point the store at its folder under INFO_PATH.")
        .def<store_enter>("__enter__(self)", "Create the cache folder and return the store.")
        .def<store_exit>("__exit__(self, exc_type, exc_val, exc_tb)", "Do nothing.")
        .def<store_read>("read(self, sql)",
                         "Return the frame of `sql`, from the cache or else from the server.")
        .finish(kDoc);
}

constexpr zentaro::ImportEntry kImports[] = {
    {"os", "os", nullptr},
    {"base64", "base64", nullptr},
    {"hashlib", "hashlib", nullptr},
    {"feather", "pyarrow.feather", nullptr},
    {"setting", "zentaro.mod.kelvo", "setting"},
    {"kl_api", "zentaro.mod.kelvo.utils.platform_rpc", "kl_api"},
};

} // namespace

ZT_MODULE(side_store, m) {
    module_state().init(m);
    bind_imports(m, kImports);
    m.attr("SideStore") = make_store_class(m);
}
