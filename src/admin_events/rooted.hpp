// File-system access below a system root: every path is resolved inside the
// root, as openat2(RESOLVE_IN_ROOT) does (an absolute link target counts from
// the root, ".." stops there), so that a tree that is not the running system
// cannot make the module read or import write a file of the host.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelta::rooted {

// An owned file descriptor, closed when the owner goes.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    void reset() noexcept;

private:
    int fd_ = -1;
};

// Ways of working that the kernel or the file system may not offer; tests
// force the fallbacks through the environment variable
// ZELTA_ADMIN_EVENTS_FALLBACK ("walk", "named-temp", or both, comma-separated).
struct Fallbacks {
    bool walk = false;        // resolve component by component instead of openat2
    bool named_temp = false;  // stage files under a temporary name instead of O_TMPFILE
};
Fallbacks forced_fallbacks();

// Whether two stat results name one file.
inline bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A relative path's parent directory, open, and its last component.
struct Located {
    Fd parent;
    std::string name;  // "." when the path names a directory itself
};

// A system tree, opened once. With the running system's own root every call
// resolves paths exactly as the plain system calls do.
class Root {
public:
    // Raises OSError when path is no directory.
    Root(std::string path, Fallbacks fallbacks);

    const std::string& path() const noexcept { return path_; }
    // Whether the tree is the running system's own root directory.
    bool is_system_root() const noexcept { return system_; }
    // The path below the root as the user sees it, for messages.
    std::string display(std::string_view relative) const;

    // openat() of a path below the root; -1 with errno set on failure.
    int try_open(std::string_view relative, int flags, mode_t mode = 0) const;
    // As try_open, raising OSError naming the path.
    Fd open(std::string_view relative, int flags, mode_t mode = 0) const;
    // The parent directory (opened O_PATH) and last component of a path below
    // the root; with follow, a last component that is a symbolic link is
    // replaced by its target, inside the root, until it is none. Raises
    // OSError naming the path when the parent cannot be reached.
    Located locate(std::string_view relative, bool follow) const;

private:
    int walk(std::string_view relative, int flags, mode_t mode) const;

    std::string path_;
    Fd fd_;
    struct stat stat_ {};
    bool system_ = false;
    bool walk_ = false;
};

// Joins a relative path onto a directory path with one "/".
std::string join_path(std::string_view base, std::string_view relative);

// Raises the OSError subclass of errno value err, naming path, as os
// functions do.
[[noreturn]] void raise_os_error(int err, std::string_view path);
// The same with a text of its own in place of the system's for err.
[[noreturn]] void raise_os_error(int err, const char* text, std::string_view path);

// A directory's listing over a descriptor of its own, closed with it; null,
// with errno set, when the directory cannot be listed.
struct CloseListing {
    void operator()(DIR* listing) const noexcept { ::closedir(listing); }
};
using Listing = std::unique_ptr<DIR, CloseListing>;

Listing open_listing(int directory);

// Hands each entry of a listing to visit, in the order the file system
// gives them; raises OSError naming path when the listing cannot be read
// to its end.
template <typename Visit>
void read_listing(DIR* listing, std::string_view path, Visit&& visit) {
    for (;;) {
        errno = 0;  // readdir() alone tells the end from a failure
        const dirent* entry = ::readdir(listing);
        if (!entry) break;
        visit(*entry);
    }
    if (errno != 0) raise_os_error(errno, path);
}

// A file or directory the module reads, named by a path. When the path lies
// below a system tree other than the running system's own, it is resolved
// inside that tree, so that a link in the tree cannot make the module read a
// file of the host; any other path is opened as the system resolves it.
class ReadPlace {
public:
    // path and root as file-system bytes; "below" means below root
    // lexically (root itself included).
    ReadPlace(std::string path, std::string_view root, Fallbacks fallbacks);

    // The path as given, for messages.
    const std::string& path() const noexcept { return path_; }
    // open() of the path, or of a name below it when below is not empty;
    // -1 with errno set on failure.
    int try_open(std::string_view below, int flags) const;

private:
    std::string path_;
    std::string relative_;  // the path below the root, when it is read inside one
    std::optional<Root> root_;
};

// The whole content of an open file: refused unless it is a regular file of
// at most limit bytes. At most limit + 1 bytes are read, so a file that grows
// past the limit meanwhile is caught too. Errors are raised as OSError
// naming display.
std::string read_regular_file(int fd, std::string_view display, uint64_t limit);

// The names of the regular files in a directory, a symbolic link counting as
// what it resolves to (inside the root where the directory is read inside
// one), in the order the file system lists them. Raises OSError naming the
// directory when it cannot be listed.
std::vector<std::string> regular_files(const ReadPlace& directory);

}  // namespace zelta::rooted
