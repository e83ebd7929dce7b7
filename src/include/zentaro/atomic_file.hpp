// Atomic file writes: the one routine the kit uses for every file it writes
// into a folder that others share (the token, the notice, cache entries).
//
// The data goes to a temporary file beside the target, created with
// O_CREAT | O_EXCL | O_NOFOLLOW under an unpredictable name (nobody can plant
// a symlink or a file there in advance), is flushed to disk, and is renamed
// over the target: readers see the old file or the whole new one, never a
// part. A write that fails removes the temporary file.
#pragma once

#include "zentaro/pyutil.hpp"

#include <cerrno>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zentaro {

// A filesystem path (str, bytes or os.PathLike) as the bytes the OS sees.
inline std::string fs_path(nb::handle path) {
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &bytes))
        raise_python_error();
    std::string out(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

[[noreturn]] inline void raise_os_error(const std::string &path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    raise_python_error();
}

class AtomicFile {
  public:
    // `mode` is applied exactly (fchmod), whatever the process umask; pass
    // -1 for the usual 0666 & ~umask.
    AtomicFile(std::string target, int mode) : target_(std::move(target)) {
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
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;
    ~AtomicFile() { discard(); }

    const std::string &temp_path() const { return temp_; }

    // The descriptor, handed over (for a Python file object that closes it).
    int release_fd() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    void write(std::string_view data) {
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

    // Flushes to disk and renames into place. After a release_fd(), the
    // caller has closed the file (and flushed it with os.fsync if it wants).
    void commit() {
        if (fd_ >= 0) {
            int status;
            Py_BEGIN_ALLOW_THREADS;
            status = ::fsync(fd_);
            Py_END_ALLOW_THREADS;
            if (status < 0 || ::close(fd_) < 0) {
                fd_ = -1;
                raise_os_error(temp_);
            }
            fd_ = -1;
        }
        if (::rename(temp_.c_str(), target_.c_str()) < 0)
            raise_os_error(target_);
        temp_.clear();
    }

  private:
    static std::string random_tag() {
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

    void discard() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        if (!temp_.empty())
            ::unlink(temp_.c_str());
        temp_.clear();
    }

    std::string target_;
    std::string temp_;
    int fd_ = -1;
};

// Writes `data` to `path` atomically; `mode` as for AtomicFile.
inline void write_file_atomically(nb::handle path, std::string_view data, int mode) {
    AtomicFile file(fs_path(path), mode);
    file.write(data);
    file.commit();
}

} // namespace zentaro
