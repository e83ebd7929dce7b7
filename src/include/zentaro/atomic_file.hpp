// Files in folders that others share: the one routine the kit uses for every
// file it writes there (the token, the notice, cache entries), the one way it
// opens such a file for reading, and the clean-up of temporary files that
// killed writers left behind.
//
// The data goes to a temporary file beside the target, created with
// O_CREAT | O_EXCL | O_NOFOLLOW under an unpredictable name (nobody can plant
// a symlink or a file there in advance), is flushed to disk, and is renamed
// over the target, after which the folder is flushed too: readers see the old
// file or the whole new one, never a part, and after a power loss the name
// holds the old file or the whole new one, never an empty file. A write that
// fails removes the temporary file.
#pragma once

#include <nanobind/nanobind.h>

#include <ctime>
#include <string>
#include <string_view>

namespace zentaro {

namespace nb = nanobind;

// A filesystem path (str, bytes or os.PathLike) as the bytes the OS sees.
std::string fs_path(nb::handle path);

// OSError for errno and `path`.
[[noreturn]] void raise_os_error(const std::string &path);

// OSError(code, text, path): the subclass that `code` selects, with our text.
[[noreturn]] void raise_os_error(int code, const char *text, const std::string &path);

// Opens `path` for reading without blocking, so that a FIFO planted at the
// name cannot hang the reader, and refuses anything but a regular file (a
// folder as IsADirectoryError, anything else as an OSError that names it).
// Returns the descriptor, or -errno when open(2) itself failed: the caller
// decides which failures mean "no file".
int open_regular_file(const std::string &path);

class AtomicFile {
  public:
    // `mode` is applied exactly (fchmod), whatever the process umask; pass
    // -1 for the usual 0666 & ~umask.
    AtomicFile(std::string target, int mode);
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;
    ~AtomicFile() { discard(); }

    // A copy of the descriptor, for a Python file object that closes it; the
    // original stays here, so that commit() flushes whatever went through it.
    int dup_fd();

    void write(std::string_view data);

    // Flushes the file to disk, renames it into place and flushes the folder.
    // Whatever was written through a dup_fd() copy must be flushed out of
    // its Python buffers (the file closed) first.
    void commit();

  private:
    void sync_folder();
    static std::string random_tag();
    void discard();

    std::string target_;
    std::string temp_;
    int fd_ = -1;
};

// Temporary files of AtomicFile are named "." + target + "." + 24 hex digits +
// ".tmp". Removes those in `dir` whose target name is `target_hex` lower-case
// hex digits and that are regular files untouched for `max_age` seconds or
// more: what writers killed before their rename left behind. Nothing else in
// the folder is touched, and nothing here fails the caller.
void remove_stale_temporaries(const std::string &dir, size_t target_hex, time_t max_age);

} // namespace zentaro
