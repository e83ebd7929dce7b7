#include "zentaro/atomic_file.hpp"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zentaro/errors.hpp"
#include "zentaro/exit_guard.hpp"

namespace zentaro {

std::string fs_path(nb::handle path) {
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &bytes))
        raise_python_error();
    std::string out(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

void raise_os_error(const std::string &path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    raise_python_error();
}

void raise_os_error(int code, const char *text, const std::string &path) {
    nb::object name = steal_or_raise(PyUnicode_DecodeFSDefaultAndSize(path.data(), path.size()));
    nb::object error = steal_or_raise(into_python(
        [&] { return PyObject_CallFunction(PyExc_OSError, "isO", code, text, name.ptr()); }));
    raise_object(error);
}

int open_regular_file(const std::string &path) {
    int fd;
    Py_BEGIN_ALLOW_THREADS;
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    Py_END_ALLOW_THREADS;
    if (fd < 0)
        return -errno;
    struct stat info;
    if (::fstat(fd, &info) < 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        raise_os_error(path);
    }
    if (S_ISREG(info.st_mode)) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    ::close(fd);
    mode_t kind = info.st_mode & S_IFMT;
    raise_os_error(kind == S_IFDIR ? EISDIR : EINVAL,
                   kind == S_IFDIR    ? "is a folder, not a regular file"
                   : kind == S_IFIFO  ? "is a FIFO, not a regular file; refusing to read it"
                   : kind == S_IFSOCK ? "is a socket, not a regular file; refusing to read it"
                                      : "is a device, not a regular file; refusing to read it",
                   path);
}

AtomicFile::AtomicFile(std::string target, int mode) : target_(std::move(target)) {
    std::string dir = ".", base = target_;
    size_t slash = target_.rfind('/');
    if (slash != std::string::npos) {
        dir = slash == 0 ? "/" : target_.substr(0, slash);
        base = target_.substr(slash + 1);
    }
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        temp_ = (dir == "/" ? "" : dir) + "/." + base + "." + random_tag() + ".tmp";
        int fd;
        Py_BEGIN_ALLOW_THREADS;
        fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    mode < 0 ? 0666 : 0600);
        Py_END_ALLOW_THREADS;
        if (fd < 0 && errno != EEXIST)
            raise_os_error(temp_);
        fd_ = fd;
    }
    if (fd_ < 0)
        raise_os_error(temp_);
    if (mode >= 0 && ::fchmod(fd_, static_cast<mode_t>(mode)) < 0) {
        discard();
        raise_os_error(temp_);
    }
}

int AtomicFile::dup_fd() {
    int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        raise_os_error(temp_);
    return fd;
}

void AtomicFile::write(std::string_view data) {
    const char *p = data.data();
    size_t left = data.size();
    while (left) {
        ssize_t n;
        Py_BEGIN_ALLOW_THREADS;
        n = ::write(fd_, p, left);
        Py_END_ALLOW_THREADS;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            raise_os_error(temp_);
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void AtomicFile::commit() {
    int status;
    Py_BEGIN_ALLOW_THREADS;
    status = ::fsync(fd_);
    Py_END_ALLOW_THREADS;
    if (status < 0 || ::close(fd_) < 0) {
        fd_ = -1;
        raise_os_error(temp_);
    }
    fd_ = -1;
    if (::rename(temp_.c_str(), target_.c_str()) < 0)
        raise_os_error(target_);
    temp_.clear();
    sync_folder();
}

// The rename reaches the disk only with the folder. A file system that
// cannot flush a folder (EINVAL) has nothing more to offer.
void AtomicFile::sync_folder() {
    std::string dir = target_.substr(0, target_.rfind('/') + 1);
    int status = 0, error = 0;
    Py_BEGIN_ALLOW_THREADS;
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) < 0) {
        status = -1;
        error = errno;
    }
    if (fd >= 0)
        ::close(fd);
    Py_END_ALLOW_THREADS;
    if (status < 0 && error != EINVAL) {
        errno = error;
        raise_os_error(dir.empty() ? "." : dir);
    }
}

std::string AtomicFile::random_tag() {
    unsigned char bytes[12];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            raise_os_error("getrandom");
        got += static_cast<size_t>(n);
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

void AtomicFile::discard() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temp_.empty())
        ::unlink(temp_.c_str());
    temp_.clear();
}

void remove_stale_temporaries(const std::string &dir, size_t target_hex, time_t max_age) {
    auto all_hex = [](std::string_view text) {
        for (char c : text)
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
                return false;
        return true;
    };
    auto own = [&](std::string_view name) {
        size_t tag = 2 + target_hex;
        return name.size() == tag + 24 + 4 && name[0] == '.' && name[1 + target_hex] == '.' &&
               name.substr(tag + 24) == ".tmp" && all_hex(name.substr(1, target_hex)) &&
               all_hex(name.substr(tag, 24));
    };
    Py_BEGIN_ALLOW_THREADS;
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *folder = dfd < 0 ? nullptr : ::fdopendir(dfd);
    if (!folder && dfd >= 0)
        ::close(dfd);
    if (folder) {
        time_t now = ::time(nullptr);
        while (struct dirent *entry = ::readdir(folder)) {
            struct stat info;
            if (own(entry->d_name) &&
                ::fstatat(dfd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(info.st_mode) && now - info.st_mtime >= max_age)
                ::unlinkat(dfd, entry->d_name, 0);
        }
        ::closedir(folder);
    }
    Py_END_ALLOW_THREADS;
}

} // namespace zentaro
