// The token and notice files of platform_rpc's APIClient: written like
// credentials, read without ever hanging on what sits at the name.

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform_rpc_client.hpp"
#include "platform_rpc_state.hpp"
#include "zentaro/atomic_file.hpp"
#include "zentaro/state.hpp"

namespace zentaro::platform_rpc {
namespace {

// The token is a credential; the notice file is written the same way.
constexpr int kOwnerOnly = 0600;

// The descriptor of the token file, or -1 when there is none. Opened without
// blocking and checked to be a plain file: a FIFO or a folder at the name
// must not hang or break the import that builds kl_api.
int open_token_file(const std::string &path) {
    int fd = open_regular_file(path);
    if (fd == -ENOENT || fd == -ENOTDIR)
        return -1;
    if (fd < 0) {
        errno = -fd;
        raise_os_error(path);
    }
    return fd;
}

nb::object read_token_file(nb::handle path) {
    const RpcNames &names = rpc().names;
    int fd = open_token_file(fs_path(path));
    if (fd < 0)
        return nb::none();
    // open() owns the descriptor from here on, and closes it if it fails.
    nb::object file = call(module_global(names.open), nb::int_(fd));
    OnFailure close_file([&] { call_method(file, names.close); });
    nb::object text = call_method(file, names.read);
    call_method(file, names.close);
    close_file.dismiss();
    return text;
}

} // namespace

// Text written as open(path, "w") would write it, but through a temporary
// file renamed into place: owner-only whatever the umask, never through a
// link planted at the name, and never half written.
void write_text_file(nb::handle path, nb::handle text) {
    const RpcNames &names = rpc().names;
    AtomicFile target(fs_path(path), kOwnerOnly);
    nb::object file = call(module_global(names.open), nb::int_(target.dup_fd()), nb::str("w"));
    OnFailure close_file([&] { call_method(file, names.close); });
    call_method(file, names.write, text);
    call_method(file, names.flush);
    call_method(module_attr(names.os), names.fsync, call_method(file, names.fileno));
    call_method(file, names.close);
    close_file.dismiss();
    target.commit();
}

// A token file that cannot be read (not a file, unreadable, not text in the
// default encoding) counts as no login, with a line in the system log.
nb::object stored_token(nb::handle path) {
    const RpcNames &names = rpc().names;
    try {
        return read_token_file(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError))
            throw;
        // The error's text may quote bytes of the token: only its type is logged.
        nb::object kind = get_attr(e.type(), names.dunder_name);
        nb::object message = call_method(nb::str("令牌文件 {} 无法读取({}), 按未登录处理"),
                                         names.format, path, kind);
        quietly([&] { call_method(module_attr(names.system_log), names.warning, message); });
        return nb::none();
    }
}

} // namespace zentaro::platform_rpc
