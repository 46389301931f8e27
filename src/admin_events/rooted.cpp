// Path resolution inside a system root: openat2(RESOLVE_IN_ROOT) where the
// kernel has it, otherwise a walk component by component that opens each
// directory with O_NOFOLLOW and follows links by hand.
#include "rooted.hpp"
#include "py.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

namespace zelta::rooted {

namespace {

// Symbolic links followed in one resolution before ELOOP, as the kernel counts.
constexpr int max_links = 40;

// The components of a relative path, last first, so that the next is at the back.
void push_components(std::vector<std::string>& todo, std::string_view path) {
    size_t end = path.size();
    while (end > 0) {
        size_t slash = path.rfind('/', end - 1);
        size_t start = slash == std::string_view::npos ? 0 : slash + 1;
        if (end > start) todo.emplace_back(path.substr(start, end - start));
        if (slash == std::string_view::npos) break;
        end = slash;
    }
}

// The target of a symbolic link, or nothing when name is no link.
bool read_link(int directory, const std::string& name, std::string& target) {
    char buffer[PATH_MAX];
    ssize_t n = ::readlinkat(directory, name.c_str(), buffer, sizeof buffer);
    if (n < 0) return false;
    if (static_cast<size_t>(n) == sizeof buffer) {
        errno = ENAMETOOLONG;
        return false;
    }
    target.assign(buffer, static_cast<size_t>(n));
    return true;
}

}  // namespace

void Fd::reset() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

Fallbacks forced_fallbacks() {
    Fallbacks fallbacks;
    if (const char* value = std::getenv("ZELTA_ADMIN_EVENTS_FALLBACK")) {
        std::string_view text(value);
        fallbacks.walk = text.find("walk") != std::string_view::npos;
        fallbacks.named_temp = text.find("named-temp") != std::string_view::npos;
    }
    return fallbacks;
}

std::string join_path(std::string_view base, std::string_view relative) {
    std::string joined(base);
    if (relative.empty()) return joined;
    if (!joined.empty() && joined.back() != '/') joined += '/';
    joined.append(relative);
    return joined;
}

void raise_os_error(int err, std::string_view path) {
    Ref filename = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    throw PyError{};
}

void raise_os_error(int err, const char* text, std::string_view path) {
    Ref filename = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", err, text, filename.get()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PyError{};
}

Root::Root(std::string path, Fallbacks fallbacks) : path_(std::move(path)), walk_(fallbacks.walk) {
    fd_ = Fd(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd_ || ::fstat(fd_.get(), &stat_) != 0) raise_os_error(errno, path_);
    struct stat system_root;
    system_ = ::stat("/", &system_root) == 0 && same_file(system_root, stat_);
}

std::string Root::display(std::string_view relative) const { return join_path(path_, relative); }

int Root::try_open(std::string_view relative, int flags, mode_t mode) const {
    std::string path = relative.empty() ? std::string(".") : std::string(relative);
    flags |= O_CLOEXEC;
    bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    if (system_) return ::openat(fd_.get(), path.c_str(), flags, mode);
    if (!walk_) {
        open_how how{};
        how.flags = static_cast<unsigned>(flags);
        how.mode = creates ? mode : 0;
        how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
        for (int attempt = 0; attempt < 16; ++attempt) {
            long fd = ::syscall(SYS_openat2, fd_.get(), path.c_str(), &how, sizeof how);
            if (fd >= 0) return static_cast<int>(fd);
            if (errno != EAGAIN) break;  // a rename raced with ".." resolution: try again
        }
        if (errno != ENOSYS) return -1;
    }
    return walk(path, flags, mode);
}

// Opens path below the root one component at a time. Each directory is
// opened with O_NOFOLLOW; a symbolic link is read and its target put in
// place of the component, an absolute one starting again from the root.
int Root::walk(std::string_view relative, int flags, mode_t mode) const {
    std::vector<std::string> todo;
    push_components(todo, relative);
    Fd current(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!current) return -1;
    int links = 0;
    std::string target;
    while (!todo.empty()) {
        std::string name = std::move(todo.back());
        todo.pop_back();
        bool last = todo.empty();
        if (name == ".") continue;
        if (name == "..") {
            struct stat here;
            if (::fstat(current.get(), &here) != 0) return -1;
            if (same_file(here, stat_)) continue;  // ".." stops at the root
            Fd up(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!up) return -1;
            current = std::move(up);
            continue;
        }
        if (!(last && (flags & O_NOFOLLOW)) && read_link(current.get(), name, target)) {
            if (++links > max_links) {
                errno = ELOOP;
                return -1;
            }
            if (target.starts_with('/')) {
                current = Fd(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
                if (!current) return -1;
            }
            push_components(todo, target);
            continue;
        }
        if (errno == ENAMETOOLONG) return -1;
        if (last) return ::openat(current.get(), name.c_str(), flags | O_NOFOLLOW, mode);
        // A component that became a link since it was read fails here (ENOTDIR).
        Fd next(::openat(current.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return -1;
        current = std::move(next);
    }
    return ::openat(current.get(), ".", flags, mode);
}

Fd Root::open(std::string_view relative, int flags, mode_t mode) const {
    int fd = try_open(relative, flags, mode);
    if (fd < 0) raise_os_error(errno, display(relative));
    return Fd(fd);
}

Located Root::locate(std::string_view relative, bool follow) const {
    std::string path(relative);
    std::string target;
    for (int links = 0; links <= max_links; ++links) {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        size_t slash = path.rfind('/');
        std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash);
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        int parent = try_open(directory, O_PATH | O_DIRECTORY);
        if (parent < 0) raise_os_error(errno, display(relative));
        Located located{Fd(parent), name};
        if (name.empty() || name == "." || name == "..") {
            located.name = ".";
            if (name == "..") {
                located.parent = Fd(try_open(path, O_PATH | O_DIRECTORY));
                if (!located.parent) raise_os_error(errno, display(relative));
            }
            return located;
        }
        if (!follow) return located;
        if (!read_link(located.parent.get(), name, target)) {
            if (errno == ENAMETOOLONG) raise_os_error(errno, display(relative));
            return located;
        }
        size_t start = target.find_first_not_of('/');
        if (target.starts_with('/'))
            path = start == std::string::npos ? std::string(".") : target.substr(start);
        else
            path = directory.empty() ? target : directory.append("/").append(target);
    }
    raise_os_error(ELOOP, display(relative));
}

ReadPlace::ReadPlace(std::string path, std::string_view root, Fallbacks fallbacks) : path_(std::move(path)) {
    std::string_view base = root;
    while (base.size() > 1 && base.back() == '/') base.remove_suffix(1);
    if (base.empty() || base == "/") return;
    std::string_view rest = path_;
    if (!rest.starts_with(base)) return;
    rest.remove_prefix(base.size());
    if (!rest.empty() && rest.front() != '/') return;  // a sibling that shares the root's name as a prefix
    // The root "/" by another name resolves as the system does.
    Root tree{std::string(root), fallbacks};
    if (tree.is_system_root()) return;
    while (rest.starts_with('/')) rest.remove_prefix(1);
    relative_ = rest;
    root_.emplace(std::move(tree));
}

int ReadPlace::try_open(std::string_view below, int flags) const {
    if (root_) return root_->try_open(below.empty() ? relative_ : join_path(relative_, below), flags);
    std::string path = below.empty() ? path_ : join_path(path_, below);
    return ::open(path.c_str(), flags | O_CLOEXEC);
}

std::string read_regular_file(int fd, std::string_view display, uint64_t limit) {
    struct stat found;
    if (::fstat(fd, &found) != 0) raise_os_error(errno, display);
    if (S_ISDIR(found.st_mode)) raise_os_error(EISDIR, display);
    // A FIFO, a device or a socket could block the reader or never end.
    if (!S_ISREG(found.st_mode)) raise_os_error(EINVAL, "Not a regular file", display);
    const uint64_t wanted = limit + 1;
    // The size is a hint only: files of /proc report 0, and a file may grow.
    std::string content(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(found.st_size) + 1, wanted)),
                        '\0');
    size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            if (used >= wanted) break;
            content.resize(static_cast<size_t>(std::min<uint64_t>(wanted, std::max<uint64_t>(used * 2, 1 << 16))));
        }
        PyThreadState* thread = PyEval_SaveThread();  // a slow disk holds up no other thread
        ssize_t n = ::read(fd, content.data() + used, content.size() - used);
        int err = errno;
        PyEval_RestoreThread(thread);
        if (n == 0) break;
        if (n < 0) {
            if (err != EINTR) raise_os_error(err, display);
            if (PyErr_CheckSignals() < 0) throw PyError{};
            continue;
        }
        used += static_cast<size_t>(n);
    }
    if (used > limit) {
        std::string text = "File larger than " + std::to_string(limit) + " bytes";
        raise_os_error(EFBIG, text.c_str(), display);
    }
    content.resize(used);
    return content;
}

Listing open_listing(int directory) {
    int listed = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!listing && listed >= 0) {
        int err = errno;
        ::close(listed);
        errno = err;
    }
    return Listing(listing);
}

std::vector<std::string> regular_files(const ReadPlace& directory) {
    Fd fd(directory.try_open({}, O_RDONLY | O_DIRECTORY));
    if (!fd) raise_os_error(errno, directory.path());
    Listing listing(::fdopendir(fd.get()));  // the listing takes the descriptor over
    if (!listing) raise_os_error(errno, directory.path());
    (void)fd.release();
    std::vector<std::string> names;
    read_listing(listing.get(), directory.path(), [&](const dirent& entry) {
        std::string_view name(entry.d_name);
        bool regular = entry.d_type == DT_REG;
        if ((entry.d_type == DT_LNK || entry.d_type == DT_UNKNOWN) && name != "." && name != "..") {
            Fd target(directory.try_open(name, O_PATH));
            struct stat found;
            regular = target && ::fstat(target.get(), &found) == 0 && S_ISREG(found.st_mode);
        }
        if (regular) names.emplace_back(name);
    });
    return names;
}

}  // namespace zelta::rooted
