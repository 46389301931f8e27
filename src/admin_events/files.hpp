// File-system helpers of the configuration transfer: names as the file
// system gives them, flushes, listings, temporary files, and the loops that
// run a system call again when a signal interrupted it.
#pragma once

#include "py.hpp"
#include "rooted.hpp"

#include <dirent.h>
#include <errno.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace zelta::transfer {

// Text of file-system bytes, decoded as os.fsdecode does.
Ref fs_text(std::string_view bytes);
// A path argument as the bytes the file system sees, as os.fsencode gives them.
std::string fs_bytes(Borrowed path);
std::string parent_directory(std::string_view path);
// The process's file-creation mask, left as it is.
mode_t current_umask();

// Runs a system call without the GIL, again while a signal interrupts it;
// with run_handlers, Python's signal handlers run in between.
template <bool run_handlers, typename Call>
auto retried_without_gil(Call&& call) {
    for (;;) {
        decltype(call()) rc{};
        Py_BEGIN_ALLOW_THREADS
        rc = call();
        Py_END_ALLOW_THREADS
        if (rc >= 0 || errno != EINTR) return rc;
        if constexpr (run_handlers) check(PyErr_CheckSignals());
    }
}

// A system call that KeyboardInterrupt (or another handler's exception) ends.
template <typename Call>
auto interruptible(Call&& call) {
    return retried_without_gil<true>(std::forward<Call>(call));
}

// A wait that must see its end whatever signal comes: the handlers run once
// the caller returns to Python.
template <typename Call>
auto uninterrupted(Call&& call) {
    return retried_without_gil<false>(std::forward<Call>(call));
}

// fsync(), raising OSError naming path.
void sync_fd(int fd, std::string_view path);
// Flushes a directory's entries to disk, so that a rename into it survives a
// crash. A file system that cannot flush directories (EINVAL) needs none.
void sync_directory_fd(int directory, std::string_view path);
void sync_directory(const std::string& directory);

using rooted::Listing;
using rooted::open_listing;
using rooted::read_listing;

// Writes all of data, raising OSError naming path.
void write_all(int fd, const char* data, size_t size, std::string_view path);

// Temporary names: export's archive beside its final name, and import's
// staged files, which a crashed import may leave and the next one removes.
inline constexpr std::string_view export_temp_prefix = ".zelta-";
inline constexpr std::string_view import_temp_prefix = ".zelta-import-";
inline constexpr std::string_view temp_suffix = ".tmp";

// A name of prefix, ten random letters and the suffix.
std::string random_name(std::string_view prefix);

// A new file beside its destination that replaces the destination only when
// it is complete; otherwise it is removed when the scope ends. It is
// readable by its owner alone until its final mode is set.
class TempFile {
public:
    TempFile(std::string directory, std::string destination);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const noexcept { return fd_; }

    // Gives the file its final mode, flushes it to disk and renames it over
    // target, then flushes the directory.
    void replace(const std::string& target, mode_t mode);

private:
    std::string directory_, destination_, path_;
    int fd_ = -1;
    bool moved_ = false;
};

}  // namespace zelta::transfer
