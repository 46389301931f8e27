// Configuration transfer: export of the module's configuration files into a
// gzip-compressed tar archive and import of such an archive onto the root.
//
// Both run as root on production hosts, and every path below the root is
// resolved inside it. Export writes the archive to a temporary file that is
// renamed into place only when complete. Import reads the archive once, as
// one stream: each member is checked against the limits, the layout export
// writes and the tree as it stands, and each file is staged, unnamed, beside
// its destination. Only when the whole archive has passed are the staged
// files renamed into place, one after the other, under the events library's
// lock on the configuration file.
#include "archive_format.hpp"
#include "module.hpp"
#include "rooted.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zelta {
namespace {

using namespace transfer;
using rooted::Fd;
using rooted::join_path;
using rooted::Located;
using rooted::raise_os_error;
using rooted::Root;
using rooted::same_file;

// ---- File-system names and errors -------------------------------------------

// Text of file-system bytes, decoded as os.fsdecode does.
Ref fs_text(std::string_view bytes) {
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// A path argument as the bytes the file system sees, as os.fsencode gives them.
std::string fs_bytes(Borrowed path) {
    Ref fspath = Ref::steal(PyOS_FSPath(path.get()));
    Ref encoded = PyBytes_Check(fspath.get()) ? fspath.copy() : Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    check(PyBytes_AsStringAndSize(encoded.get(), &data, &size));
    std::string bytes(data, static_cast<size_t>(size));
    if (bytes.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
    return bytes;
}

std::string parent_directory(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

// The process's file-creation mask. Linux reports it in /proc, which leaves
// it untouched; elsewhere it is set and put back at once.
mode_t current_umask() {
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found) return static_cast<mode_t>(mask);
    }
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// fsync() without the GIL, raising OSError naming path.
void sync_fd(int fd, std::string_view path) {
    int rc = 0;
    Py_BEGIN_ALLOW_THREADS
    rc = ::fsync(fd);
    Py_END_ALLOW_THREADS
    if (rc != 0) raise_os_error(errno, path);
}

// Flushes a directory's entries to disk, so that a rename into it survives a
// crash. A file system that cannot flush directories (EINVAL) needs none.
void sync_directory_fd(int directory, std::string_view path) {
    Fd readable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!readable) raise_os_error(errno, path);
    int rc = 0;
    Py_BEGIN_ALLOW_THREADS
    rc = ::fsync(readable.get());
    Py_END_ALLOW_THREADS
    if (rc != 0 && errno != EINVAL) raise_os_error(errno, path);
}

void sync_directory(const std::string& directory) {
    Fd fd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) raise_os_error(errno, directory);
    sync_directory_fd(fd.get(), directory);
}

// A directory's listing over a descriptor of its own, closed with it; null,
// with errno set, when the directory cannot be listed.
struct CloseListing {
    void operator()(DIR* listing) const noexcept { ::closedir(listing); }
};
using Listing = std::unique_ptr<DIR, CloseListing>;

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

void write_all(int fd, const char* data, size_t size, std::string_view path) {
    while (size > 0) {
        ssize_t written = 0;
        Py_BEGIN_ALLOW_THREADS
        written = ::write(fd, data, size);
        Py_END_ALLOW_THREADS
        if (written < 0) {
            if (errno != EINTR) raise_os_error(errno, path);
            check(PyErr_CheckSignals());
            continue;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// ---- Temporary files --------------------------------------------------------

// Temporary names: export's archive beside its final name, and import's
// staged files, which a crashed import may leave and the next one removes.
constexpr std::string_view export_temp_prefix = ".zelta-";
constexpr std::string_view import_temp_prefix = ".zelta-import-";
constexpr std::string_view temp_suffix = ".tmp";

std::string random_name(std::string_view prefix) {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    std::random_device source;
    std::uniform_int_distribution<size_t> pick(0, sizeof letters - 2);
    std::string name(prefix);
    for (int i = 0; i < 10; ++i) name += letters[pick(source)];
    return name.append(temp_suffix);
}

// A new file beside its destination that replaces the destination only when
// it is complete; otherwise it is removed when the scope ends. It is
// readable by its owner alone until its final mode is set.
class TempFile {
public:
    TempFile(std::string directory, std::string destination)
        : directory_(std::move(directory)), destination_(std::move(destination)) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = join_path(directory_, random_name(export_temp_prefix));
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd_ >= 0) return;
            if (errno != EEXIST) raise_os_error(errno, destination_);
        }
        raise_os_error(EEXIST, destination_);
    }
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!moved_) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const noexcept { return fd_; }

    // Gives the file its final mode, flushes it to disk and renames it over
    // target, then flushes the directory.
    void replace(const std::string& target, mode_t mode) {
        if (::fchmod(fd_, mode) != 0) raise_os_error(errno, target);
        sync_fd(fd_, target);
        if (::close(std::exchange(fd_, -1)) != 0) raise_os_error(errno, target);
        if (::rename(path_.c_str(), target.c_str()) != 0) raise_os_error(errno, target);
        moved_ = true;
        sync_directory(directory_);
    }

private:
    std::string directory_, destination_, path_;
    int fd_ = -1;
    bool moved_ = false;
};

// ---- Python helpers ---------------------------------------------------------

// An attribute name as one interned string: a fresh string at every call
// would take a new slot of the type attribute cache each time.
Ref interned(const char* name) { return Ref::steal(PyUnicode_InternFromString(name)); }

void set_attr(Borrowed object, const char* name, Borrowed value) { setattr(object, interned(name), value); }

// Raises ValueError("<what>: <repr of the member name>").
[[noreturn]] void refuse_member(const char* what, std::string_view name) {
    raise_format(PyExc_ValueError, "%s: %R", what, fs_text(name).get());
}

// ---- Failure report ---------------------------------------------------------

// Runs the work of export or import. An ordinary error (Exception) ends it
// and gives the one line that reports it; other exceptions pass through to
// the caller. Empty when the work succeeded.
template <typename Work>
Ref failure_line(Ctx c, const char* msgid, Work&& work) {
    try {
        work();
        return Ref();
    } catch (...) {
        set_error_from_current_exception();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError{};
    Ref error = take_exception();
    return message_text(c, msgid, to_str(error));
}

// Runs the work and prints the line of its failure, if any.
template <typename Work>
void reporting_failure(Ctx c, const char* msgid, Work&& work) {
    if (Ref line = failure_line(c, msgid, std::forward<Work>(work))) print_line(line);
}

// ---- Export -------------------------------------------------------------------

// The archive being written. Should the export fail, the gzip stream is ended
// without the tar end-of-archive marker and the file object over the
// temporary file is closed, before that file is removed.
class PendingArchive {
public:
    PendingArchive(State& st, Ref stream) : st_(st), stream_(std::move(stream)) {}
    ~PendingArchive() {
        if (complete_) return;
        PendingError saved;
        if (tar_) {
            Borrowed exception = saved.exception();
            Ref type = exception ? Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception.get()))) : none();
            Ref traceback = exception ? Ref::steal_or_null(PyException_GetTraceback(exception.get())) : Ref();
            Ref ignored = Ref::steal_or_null(PyObject_CallMethodObjArgs(
                tar_.get(), st_.exit_context.get(), type.get(), exception ? exception.get() : Py_None,
                traceback ? traceback.get() : Py_None, nullptr));
            PyErr_Clear();
        }
        Ref ignored = Ref::steal_or_null(PyObject_CallMethodNoArgs(stream_.get(), st_.close.get()));
    }
    PendingArchive(const PendingArchive&) = delete;
    PendingArchive& operator=(const PendingArchive&) = delete;

    Borrowed stream() const noexcept { return stream_; }
    Borrowed tar() const noexcept { return tar_; }
    void set_tar(Ref tar) { tar_ = std::move(tar); }

    // Writes the end-of-archive marker, ends the gzip stream and flushes the
    // file object into the temporary file.
    void complete() {
        call_method(tar_, st_.close);
        call_method(stream_, st_.close);
        complete_ = true;
    }

private:
    State& st_;
    Ref stream_;
    Ref tar_;
    bool complete_ = false;
};

// The name of a user or group ID as tar records it, "" when it has none.
Ref owner_name(uid_t uid) {
    std::vector<char> buffer(4096);
    struct passwd entry, *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return str("");
    return fs_text(found->pw_name);
}
Ref group_name(gid_t gid) {
    std::vector<char> buffer(4096);
    struct group entry, *found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return str("");
    return fs_text(found->gr_name);
}

// A tarfile.TarInfo for a source as stat() found it: permission bits, owner
// and group (numeric and by name), modification time and, for a regular
// file, its size.
Ref tar_info(Ctx c, Borrowed name, const struct stat& found, const char* type) {
    Ref info = call(getattr(lazy_module(c, LazyModule::tarfile), interned("TarInfo")), name);
    setattr(info, c.st.mode, integer(static_cast<long>(found.st_mode & 07777)));
    set_attr(info, "uid", Ref::steal(PyLong_FromUnsignedLong(found.st_uid)));
    set_attr(info, "gid", Ref::steal(PyLong_FromUnsignedLong(found.st_gid)));
    set_attr(info, "uname", owner_name(found.st_uid));
    set_attr(info, "gname", group_name(found.st_gid));
    double mtime = static_cast<double>(found.st_mtim.tv_sec) + static_cast<double>(found.st_mtim.tv_nsec) * 1e-9;
    set_attr(info, "mtime", Ref::steal(PyFloat_FromDouble(mtime)));
    setattr(info, c.st.size, Ref::steal(PyLong_FromLongLong(S_ISREG(found.st_mode) ? found.st_size : 0)));
    setattr(info, c.st.type, Ref::steal(PyBytes_FromString(type)));
    return info;
}

// Adds a regular file, open for reading, with its content. What is not a
// regular file (a FIFO or device swapped in) is refused: it was opened
// non-blocking, so nothing waits on it.
void add_open_file(Ctx c, Borrowed tar, Fd file, std::string_view display, Borrowed member_name) {
    struct stat found;
    if (::fstat(file.get(), &found) != 0) raise_os_error(errno, display);
    if (!S_ISREG(found.st_mode)) raise_format(PyExc_OSError, "not a regular file: %R", fs_text(display).get());
    Ref info = tar_info(c, member_name, found, "0");
    int fd = file.release();
    Ref stream = Ref::steal_or_null(PyFile_FromFd(fd, nullptr, "rb", -1, nullptr, nullptr, nullptr, 1));
    if (!stream) {
        ::close(fd);
        throw PyError{};
    }
    Closing close_stream(stream, c.st.close);
    call_method(tar, c.st.addfile, info, stream);
    close_stream.close_now();
}

// The single-file sources: the content a symbolic link points to is stored,
// found inside the root, as tar -h does, so that import restores it.
void add_single_file(Ctx c, Borrowed tar, const Root& root, std::string_view relative, Borrowed member_name) {
    Fd file = root.open(relative, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    add_open_file(c, tar, std::move(file), root.display(relative), member_name);
}

// Writes the archive and returns its file name.
Ref export_configuration(Ctx c, Borrowed cls, Borrowed file_path) {
    State& st = c.st;
    // The archive file name always ends in ".tar.gz".
    Ref suffix = str(archive_suffix);
    Ref archive = truth(call_method(file_path, st.endswith, suffix)) ? Ref::borrow(file_path) : add(file_path, suffix);
    std::string archive_path = fs_bytes(archive);

    // The top-level name T. An empty T would put the members straight
    // below the archive root, where import cannot tell T from a directory.
    std::string_view top = archive_top_name(archive_path);
    if (top.empty())
        raise_format(PyExc_ValueError,
                     "the archive name %R gives no top-level directory name (its file name begins with '.')",
                     archive.get());
    Ref member_prefix = fs_text(std::string(top) + "/");
    auto member_name = [&](std::string_view relative) { return add(member_prefix, fs_text(relative)); };
    Root root(fs_bytes(getattr(cls, st.root_dir)), rooted::forced_fallbacks());

    // An earlier archive at the path that is also a fragment is not archived
    // into its successor.
    struct stat previous;
    bool had_previous = ::stat(archive_path.c_str(), &previous) == 0;

    // The archive, written to a temporary file beside its final name. Level 5
    // deflates about a fifth faster than 6 for an archive about 2% larger.
    Borrowed tarfile = lazy_module(c, LazyModule::tarfile);
    TempFile output(parent_directory(archive_path), archive_path);
    PendingArchive pending(st, Ref::steal(PyFile_FromFd(output.fd(), nullptr, "wb", -1, nullptr, nullptr, nullptr, 0)));
    pending.set_tar(call_keywords(getattr(tarfile, st.tar_open), {archive, str("w:gz"), pending.stream()},
                                  {{st.format, getattr(tarfile, st.pax_format)}, {st.compresslevel, integer(5)}}));
    Borrowed tar = pending.tar();
    set_attr(tar, "copybufsize", integer(1 << 20));

    // The configuration files that are always archived.
    for (std::string_view file : config_files) add_single_file(c, tar, root, file, member_name(file));

    // The module's syslog-ng fragments, in directory listing order.
    Fd fragments = root.open(fragment_dir, O_RDONLY | O_DIRECTORY);
    std::vector<std::string> names;
    {
        Listing listing = open_listing(fragments.get());
        if (!listing) raise_os_error(errno, root.display(fragment_dir));
        errno = 0;
        while (dirent* entry = ::readdir(listing.get())) {
            std::string_view name(entry->d_name);
            if (name.starts_with(fragment_prefix)) names.emplace_back(name);
        }
        if (errno != 0) raise_os_error(errno, root.display(fragment_dir));
    }
    for (const std::string& name : names) {
        std::string relative = std::string(fragment_dir) + name;
        std::string display = root.display(relative);
        struct stat found;
        if (::fstatat(fragments.get(), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // gone since it was listed
            raise_os_error(errno, display);
        }
        Fd file;
        if (S_ISLNK(found.st_mode)) {
            // Stored with the content it points to inside the root, as the
            // single files are: import skips link members. A link to
            // anything but a regular file is no fragment.
            file = Fd(root.try_open(relative, O_RDONLY | O_NONBLOCK | O_NOCTTY));
            if (!file || ::fstat(file.get(), &found) != 0) continue;
        } else if (S_ISREG(found.st_mode)) {
            file =
                Fd(::openat(fragments.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
            if (!file) raise_os_error(errno, display);
        }
        if (!file || !S_ISREG(found.st_mode) || (had_previous && same_file(found, previous))) continue;
        add_open_file(c, tar, std::move(file), display, member_name(relative));
    }

    // The notification settings directory itself, without its contents.
    {
        Fd directory = root.open(notifyrc_dir, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
        struct stat found;
        if (::fstat(directory.get(), &found) != 0) raise_os_error(errno, root.display(notifyrc_dir));
        call_method(tar, st.addfile, tar_info(c, member_name(notifyrc_dir), found, "5"));
    }

    // The notification settings, when present (a dangling link is absent).
    Fd settings(root.try_open(notifyrc, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!settings && errno != ENOENT) raise_os_error(errno, root.display(notifyrc));
    if (settings) add_open_file(c, tar, std::move(settings), root.display(notifyrc), member_name(notifyrc));

    // Close the archive, then put it in place with the mode of a new file,
    // never writable by group or others.
    pending.complete();
    output.replace(archive_path, 0644 & ~current_umask());
    return archive;
}

// ---- Import: the archive stream ---------------------------------------------

// The tar stream of an archive, decompressed once, in chunks, from the gzip
// file over the one descriptor the archive was opened on.
class TarStream {
public:
    TarStream(Ctx c, Borrowed gzip_file)
        : c_(c),
          gzip_(gzip_file),
          chunk_size_(integer(1 << 20)),
          read1_(interned("read1")),
          bad_gzip_(getattr(lazy_module(c, LazyModule::gzip), interned("BadGzipFile"))) {}

    uint64_t offset() const noexcept { return offset_; }
    bool started() const noexcept { return started_; }

    // Appends exactly n bytes to out. False, with nothing read, when the data
    // ends first; data that ends part-way raises.
    bool read(size_t n, std::string& out) {
        size_t wanted = n;
        while (n > 0) {
            if (!fill()) {
                if (n == wanted) return false;
                truncated();
            }
            size_t take = std::min(n, size_ - pos_);
            out.append(data_ + pos_, take);
            consume(take);
            n -= take;
        }
        return true;
    }

    // Hands the next n bytes to sink(data, size), chunk by chunk.
    template <typename Sink>
    void pass(uint64_t n, Sink&& sink) {
        while (n > 0) {
            if (!fill()) truncated();
            size_t take = static_cast<size_t>(std::min<uint64_t>(n, size_ - pos_));
            sink(data_ + pos_, take);
            consume(take);
            n -= take;
        }
    }
    void skip(uint64_t n) {
        pass(n, [](const char*, size_t) {});
    }

    // After the end-of-archive marker only zeros may follow, up to the limit;
    // reading them to the end also checks the gzip stream's CRC and length.
    void expect_end() {
        uint64_t padding = 0;
        while (fill()) {
            std::string_view rest(data_ + pos_, size_ - pos_);
            if (rest.find_first_not_of('\0') != std::string_view::npos)
                raise(PyExc_ValueError, "data after the end-of-archive marker");
            padding += rest.size();
            if (padding > Limits::max_end_padding)
                raise_format(PyExc_ValueError, "more than %llu KiB of padding after the end-of-archive marker",
                             static_cast<unsigned long long>(Limits::max_end_padding >> 10));
            consume(rest.size());
        }
    }

    [[noreturn]] static void truncated() { raise(PyExc_ValueError, "unexpected end of data"); }

private:
    // A next chunk when the current one is used up; false at the end of data.
    bool fill() {
        if (pos_ < size_) return true;
        if (ended_) return false;
        try {
            // read1: one step of the decompressor, so that the first chunk
            // comes back before any error at the stream's end.
            chunk_ = call_method(gzip_, read1_, chunk_size_);
        } catch (const PyError&) {
            // Only a stream that is not gzip at all from its first byte is
            // "not a gzip file"; later format errors and I/O errors keep their text.
            if (!started_ && PyErr_ExceptionMatches(bad_gzip_.get())) {
                PyErr_Clear();
                raise(PyExc_ValueError, "not a gzip file");
            }
            throw;
        }
        started_ = true;
        char* data = nullptr;
        Py_ssize_t size = 0;
        check(PyBytes_AsStringAndSize(chunk_.get(), &data, &size));
        data_ = data;
        size_ = static_cast<size_t>(size);
        pos_ = 0;
        ended_ = size_ == 0;
        return !ended_;
    }
    void consume(size_t n) {
        pos_ += n;
        offset_ += n;
    }

    Ctx c_;
    Borrowed gzip_;
    Ref chunk_size_, read1_, bad_gzip_, chunk_;
    const char* data_ = nullptr;
    size_t size_ = 0, pos_ = 0;
    uint64_t offset_ = 0;
    bool started_ = false, ended_ = false;
};

// ---- Import: checking against the tree ---------------------------------------

enum class MemberKind { directory, file, unsupported };

// Replays the members against the tree as it stands, with what the earlier
// members would create laid over it, and raises the error the real step
// would meet. So an archive that cannot be imported whole changes nothing.
class Replay {
public:
    explicit Replay(const Root& root) : root_(root) {}

    void directory(const std::string& relative) {
        bool pending = false;
        std::vector<std::string> missing = check_ancestors(relative, pending);
        Found found = probe(relative);
        if (found == Found::other) raise_os_error(EEXIST, root_.display(relative));
        if (found == Found::missing) missing.push_back(relative);
        for (std::string& path : missing) created_[std::move(path)] = Found::directory;
    }

    // Returns whether the destination's directory exists now; otherwise an
    // earlier directory member creates it.
    bool file(const std::string& relative) {
        bool pending = false;
        std::vector<std::string> missing = check_ancestors(relative, pending);
        if (!missing.empty()) raise_os_error(ENOENT, root_.display(relative));
        auto created = created_.find(relative);
        if (created != created_.end() && created->second == Found::directory)
            raise_os_error(EISDIR, root_.display(relative));
        if (!pending) {
            // The destination as import replaces it: a link at its target.
            Located target = root_.locate(relative, true);
            struct stat found;
            if (target.name == "." ||
                (::fstatat(target.parent.get(), target.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISDIR(found.st_mode)))
                raise_os_error(EISDIR, root_.display(relative));
        }
        created_[relative] = Found::other;
        return !pending;
    }

private:
    enum class Found { missing, directory, other };

    Found probe(const std::string& relative) const {
        auto created = created_.find(relative);
        if (created != created_.end()) return created->second;
        Fd entry(root_.try_open(relative, O_PATH | O_NOFOLLOW));
        if (!entry) {
            if (errno == ENOENT) return Found::missing;
            raise_os_error(errno, root_.display(relative));
        }
        struct stat found;
        if (::fstat(entry.get(), &found) != 0) raise_os_error(errno, root_.display(relative));
        // A link to a directory is one; a dangling link is in the way.
        if (S_ISLNK(found.st_mode)) {
            Fd target(root_.try_open(relative, O_PATH));
            if (!target || ::fstat(target.get(), &found) != 0) return Found::other;
        }
        return S_ISDIR(found.st_mode) ? Found::directory : Found::other;
    }

    // Every ancestor of the destination below the root that exists must be a
    // directory; returns those that are missing, outermost first. pending
    // tells whether one exists only as the work of an earlier member.
    std::vector<std::string> check_ancestors(std::string_view relative, bool& pending) const {
        std::vector<std::string> missing;
        size_t slash = relative.find('/');
        while (slash != std::string_view::npos) {
            std::string ancestor(relative.substr(0, slash));
            Found found = probe(ancestor);
            if (found == Found::other) raise_os_error(ENOTDIR, root_.display(relative));
            if (created_.count(ancestor)) pending = true;
            if (found == Found::missing) missing.push_back(std::move(ancestor));
            slash = relative.find('/', slash + 1);
        }
        return missing;
    }

    const Root& root_;
    std::map<std::string, Found> created_;
};

// ---- Import: staging and committing ------------------------------------------

// A file member's content, written and closed beside its destination under
// a temporary name, which is removed unless it was renamed into place.
// Staging holds no descriptor per member: the directory is the importer's.
struct Staged {
    int directory = -1;
    std::string temp_name;

    Staged() = default;
    Staged(const Staged&) = delete;
    Staged& operator=(const Staged&) = delete;
    ~Staged() {
        if (!temp_name.empty()) ::unlinkat(directory, temp_name.c_str(), 0);
    }
};

struct Step {
    MemberKind kind;
    std::string relative;
    std::string member{};              // the member's name in the archive
    mode_t mode = 0;                   // a directory member's permission bits
    char type = 0;                     // an unsupported member's type flag
    std::unique_ptr<Staged> staged{};  // a file member's content
    std::vector<std::string> notes{};  // extended attributes the file system refused
    Ref digest{};                      // for a report: the SHA-256 of a file member's content
    std::string text{};                // for a plan with texts: the content itself
};

// ---- Import: the commit --------------------------------------------------------

// One change of the commit, prepared in full beforehand so that a helper
// process can carry it out with system calls alone.
struct CommitOp {
    enum class Kind { make_directory, rename } kind;
    int directory = -1;     // the directory the change happens in, or
    int directory_op = -1;  // the earlier op that made that directory
    std::string name{};     // the destination's name there
    std::string temp{};     // the staged file's name in its directory
    std::string backup{};   // the second name the replaced file keeps until the end
    int source = -1;        // the staged file's directory
    mode_t mode = 0;
    std::string display{};   // the destination, for messages
    size_t step = 0;         // the member it comes from
    bool flush = false;      // the first op in its directory: the directory is flushed after it
    int made = -1;           // in the helper: the directory made
    bool backed_up = false;  // in the helper: the replaced file has its second name
};

// What the helper reports, in order: a file it could not keep, each op
// carried out (error 0) or failed, each op it could not undo after a
// failure, and the end with the flush of the directories. error 0: done.
enum class Phase : int32_t { keep, apply, restore, end };
struct OpResult {
    Phase phase;
    int32_t index;
    int32_t error;
};

// A report the caller no longer reads (it was killed) does not stop the helper.
void write_result(int report, Phase phase, size_t index, int error) {
    OpResult result{phase, static_cast<int32_t>(index), static_cast<int32_t>(error)};
    const char* data = reinterpret_cast<const char*>(&result);
    size_t left = sizeof result;
    while (left > 0) {
        ssize_t written = ::write(report, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        left -= static_cast<size_t>(written);
    }
}

// The directory an op works in: one held open, or the one an earlier op made.
int op_directory(const std::vector<CommitOp>& ops, const CommitOp& op) {
    return op.directory_op >= 0 ? ops[static_cast<size_t>(op.directory_op)].made : op.directory;
}

// Carries out one op; the error it met, 0 when done. A directory made but
// not opened is removed again.
int apply(std::vector<CommitOp>& ops, CommitOp& op) {
    int directory = op_directory(ops, op);
    if (op.kind == CommitOp::Kind::rename)
        return ::renameat(op.source, op.temp.c_str(), directory, op.name.c_str()) == 0 ? 0 : errno;
    if (::mkdirat(directory, op.name.c_str(), op.mode) != 0) return errno;
    op.made = ::openat(directory, op.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (op.made >= 0) return 0;
    int error = errno;
    ::unlinkat(directory, op.name.c_str(), AT_REMOVEDIR);
    return error;
}

// Undoes an op carried out: the replaced file gets its name back (a new file
// goes), a directory made goes. The error met, 0 when undone.
int undo(const std::vector<CommitOp>& ops, const CommitOp& op) {
    int directory = op_directory(ops, op);
    int rc = op.kind == CommitOp::Kind::make_directory ? ::unlinkat(directory, op.name.c_str(), AT_REMOVEDIR)
             : op.backed_up ? ::renameat(directory, op.backup.c_str(), directory, op.name.c_str())
                            : ::unlinkat(directory, op.name.c_str(), 0);
    return rc == 0 || (op.kind == CommitOp::Kind::rename && !op.backed_up && errno == ENOENT) ? 0 : errno;
}

// The helper process: system calls only, no allocation, as after fork() in
// a process that may have other threads. Every file to be replaced first
// gets a second name, so that a failure at any op can put back all the
// earlier ones: the tree ends wholly old or wholly new.
[[noreturn]] void carry_out(std::vector<CommitOp>& ops, int report) {
    bool failed = false;
    for (size_t i = 0; i < ops.size() && !failed; ++i) {
        CommitOp& op = ops[i];
        if (op.kind != CommitOp::Kind::rename || op.directory_op >= 0) continue;  // nothing there to replace
        if (::linkat(op.directory, op.name.c_str(), op.directory, op.backup.c_str(), 0) == 0)
            op.backed_up = true;
        else if (errno != ENOENT)
            failed = true, write_result(report, Phase::keep, i, errno);
    }
    size_t applied = 0;
    while (!failed && applied < ops.size()) {
        int error = apply(ops, ops[applied]);
        write_result(report, Phase::apply, applied, error);
        if (error != 0)
            failed = true;
        else
            ++applied;
    }
    if (failed)
        for (size_t i = applied; i-- > 0;)
            if (int error = undo(ops, ops[i])) write_result(report, Phase::restore, i, error);
    // The second names go: renamed back, a name is gone already.
    for (const CommitOp& op : ops)
        if (op.backed_up) ::unlinkat(op.directory, op.backup.c_str(), 0);
    // Flush every directory that changed, once, so that the renames survive a crash.
    int error = 0;
    for (size_t i = 0; i < applied; ++i) {
        for (int flushed : {ops[i].flush ? op_directory(ops, ops[i]) : -1, ops[i].made}) {
            if (flushed < 0) continue;
            int readable = ::openat(flushed, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (readable < 0 || (::fsync(readable) != 0 && errno != EINVAL)) error = error ? error : errno;
            if (readable >= 0) ::close(readable);
        }
    }
    write_result(report, Phase::end, 0, error);
    ::_exit(0);
}

// What the helper reported.
struct CommitOutcome {
    std::optional<OpResult> failure;  // the op that failed
    std::vector<size_t> done;         // the ops carried out, in order
    std::vector<size_t> kept;         // of those, the ops still in place after a failure
    std::optional<int> end;           // the flush's error, once the helper got to the end
    int status = 0;
};

// The signals a closed terminal or a stopping service sends the whole
// process group; the helper holds them off for its short run.
sigset_t held_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) sigaddset(&set, signal);
    return set;
}

// Carries the ops out in a helper process. Should the caller be killed
// part-way, the helper still finishes, holding the inherited lock until it
// has: the tree ends wholly old or wholly new, with no staged file left.
CommitOutcome run_commit(std::vector<CommitOp>& ops, std::string_view root) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) raise_os_error(errno, root);
    Fd reader(ends[0]), writer(ends[1]);
    // Blocked before the fork, so that the helper never runs without.
    sigset_t held = held_signals(), previous;
    ::pthread_sigmask(SIG_BLOCK, &held, &previous);
    pid_t helper = ::fork();
    if (helper == 0) carry_out(ops, writer.get());
    int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (helper < 0) raise_os_error(fork_error, root);
    writer.reset();
    CommitOutcome outcome;
    OpResult result;
    size_t filled = 0;
    for (;;) {
        ssize_t got = 0;
        Py_BEGIN_ALLOW_THREADS
        got = ::read(reader.get(), reinterpret_cast<char*>(&result) + filled, sizeof result - filled);
        Py_END_ALLOW_THREADS
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
        if (filled < sizeof result) continue;
        filled = 0;
        size_t index = static_cast<size_t>(result.index);
        if (result.phase == Phase::end) {
            outcome.end = result.error;
        } else if (result.phase == Phase::restore) {
            outcome.kept.push_back(index);
        } else if (result.error != 0) {
            outcome.failure = result;
        } else {
            outcome.done.push_back(index);
        }
    }
    pid_t waited = 0;
    do {
        Py_BEGIN_ALLOW_THREADS
        waited = ::waitpid(helper, &outcome.status, 0);
        Py_END_ALLOW_THREADS
    } while (waited < 0 && errno == EINTR);
    return outcome;
}

class Importer {
public:
    // What reading an archive is for: the import (with or without the
    // changes it makes, as a plan lists them), or a plan of it, which
    // checks every member alike but stages nothing, takes no lock and so
    // writes nothing.
    enum class Purpose { import, import_reporting, plan, plan_with_texts };

    Importer(Ctx c, const Root& root, Purpose purpose = Purpose::import)
        : c_(c), root_(root), replay_(root), purpose_(purpose) {}

    // Checks one member and stages its content; the stream stands at the
    // member's content, of which the importer reads exactly size bytes.
    void member(const std::string& name, char type, mode_t mode, uint64_t size, bool has_content, TarStream& stream) {
        if (!is_plain_relative(name)) refuse_member("unsafe member name", name);
        if (steps_.empty()) top_ = member_top_name(name);
        std::optional<std::string_view> relative = path_below_top(name, top_);
        if (!relative) refuse_member("member outside the top-level directory", name);
        MemberKind kind = type == '5'                                  ? MemberKind::directory
                          : type == '0' || type == '\0' || type == '7' ? MemberKind::file
                                                                       : MemberKind::unsupported;
        Place place = layout_place(*relative);
        if (place == Place::none) refuse_member("member not part of the configuration", name);
        // A directory where a file belongs (or the reverse) would stop every
        // later command that reads the file.
        if ((place == Place::directory) != (kind == MemberKind::directory))
            refuse_member("member of the wrong kind for its place", name);
        Step step{kind, std::string(*relative), name};
        switch (kind) {
            case MemberKind::directory:
                replay_.directory(step.relative);
                step.mode = mode & 07777;
                if (has_content) stream.skip(size);
                break;
            case MemberKind::file: {
                bool directory_exists = replay_.file(step.relative);
                bool configuration = step.relative == config_files[0];
                if (purpose_ == Purpose::import || purpose_ == Purpose::import_reporting)
                    stage(step, directory_exists, stream, size, mode, configuration);
                else
                    note(step, stream, size, configuration);
                if (configuration) check_configuration(name);
                break;
            }
            case MemberKind::unsupported:
                step.type = type;
                if (has_content) stream.skip(size);
                break;
        }
        steps_.push_back(std::move(step));
    }

    bool empty() const noexcept { return steps_.empty(); }

    // The plan: each directory the commit would make, and each file it would
    // create or replace with other content (the last member for a
    // destination wins, as in the commit), in archive order.
    Ref changes() {
        std::vector<const Step*> files;
        std::map<std::string, size_t, std::less<>> file_index;
        for (const Step& step : steps_) {
            if (step.kind != MemberKind::file) continue;
            auto [found, added] = file_index.try_emplace(step.relative, files.size());
            if (added)
                files.push_back(&step);
            else
                files[found->second] = &step;
        }
        Ref result = Ref::steal(PyList_New(0));
        std::set<std::string, std::less<>> made;
        std::set<std::string, std::less<>> listed;
        for (const Step& step : steps_) {
            if (step.kind == MemberKind::directory) {
                // Missing parents are made with the directory itself.
                for (size_t end = step.relative.find('/');; end = step.relative.find('/', end + 1)) {
                    std::string directory = step.relative.substr(0, end);
                    if (!directory.empty() && !made.count(directory)) {
                        Fd found(root_.try_open(directory, O_PATH));
                        if (!found && errno != ENOENT) raise_os_error(errno, root_.display(directory));
                        made.insert(directory);
                        if (!found) check(PyList_Append(result.get(), file_change(directory, nullptr, nullptr).get()));
                    }
                    if (end == std::string::npos) break;
                }
            } else if (step.kind == MemberKind::file && listed.insert(step.relative).second) {
                const Step& last = *files[file_index.find(step.relative)->second];
                std::optional<std::string> before = read_existing(step.relative);
                Ref before_digest = before ? sha256_hex(c_, *before) : Ref();
                if (before_digest && equal(before_digest, last.digest)) continue;  // the same bytes
                Ref change = file_change(step.relative, &last, before ? &*before : nullptr);
                if (before_digest) set_change(change, "before_sha256", before_digest);
                check(PyList_Append(result.get(), change.get()));
            }
        }
        return result;
    }

    // Renames the staged files into place in archive order, creating the
    // directory members first where they come. On a failure every change
    // made is undone before the error passes on; should undoing fail as
    // well, the restart flag is set and what stays changed is named.
    void commit(Borrowed self) {
        bool quiet = purpose_ == Purpose::import_reporting;
        sync_staged();
        std::vector<CommitOp> ops = plan_commit();
        if (!quiet)
            for (const Step& step : steps_) {
                if (step.kind == MemberKind::unsupported) {
                    char flag = step.type;
                    Ref type = Ref::steal(PyObject_Repr(Ref::steal(PyBytes_FromStringAndSize(&flag, 1)).get()));
                    print_message(c_, "Unsupported file type", type);
                }
                for (const std::string& note : step.notes)
                    print_message(c_, "Extended attribute not kept", fs_text(note));
            }
        if (!ops.empty()) {
            CommitOutcome outcome = run_commit(ops, root_.path());
            forget_renamed(ops, outcome.done);
            if (outcome.failure) report_failure(self, ops, outcome, quiet);
            if (!outcome.end)
                raise_format(PyExc_OSError, "the process that renames the files into place ended early (status %d)",
                             outcome.status);
            if (*outcome.end != 0) raise_os_error(*outcome.end, root_.path());
        }
        lock_.reset();
    }

    // The lock file as lock() would open it: a link there fails the import.
    void check_lock() const {
        std::string relative = std::string(config_files[0]) + ".lock";
        Located located = root_.locate(relative, false);
        struct stat found;
        if (::fstatat(located.parent.get(), located.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(found.st_mode))
            raise_os_error(ELOOP, root_.display(relative));
    }

    // The notes of what import_config prints besides its last line, as data.
    Ref notes() const {
        Ref notes = Ref::steal(PyList_New(0));
        for (const Step& step : steps_)
            for (const std::string& note : step.notes) append(notes, fs_text(note));
        return notes;
    }

    // {"member", "type"} of each member the import skips, in archive order.
    Ref skipped() const {
        Ref skipped = Ref::steal(PyList_New(0));
        for (const Step& step : steps_) {
            if (step.kind != MemberKind::unsupported) continue;
            Ref entry = Ref::steal(PyDict_New());
            set_change(entry, "member", fs_text(step.member));
            set_change(entry, "type", type_name(step.type));
            append(skipped, entry);
        }
        return skipped;
    }

private:
    // What a tar type flag stands for, in words.
    static Ref type_name(char type) {
        switch (type) {
            case '1':
                return str("hard link");
            case '2':
                return str("symbolic link");
            case '3':
                return str("character device");
            case '4':
                return str("block device");
            case '6':
                return str("FIFO");
            default: {
                Ref flag = Ref::steal(PyBytes_FromStringAndSize(&type, 1));
                return Ref::steal(PyUnicode_FromFormat("type %R", flag.get()));
            }
        }
    }

    // Raises the error the commit met. Should some changes have stayed, the
    // restart flag is set and they are named: printed, or, when the import
    // prints nothing, added to the exception as a note.
    [[noreturn]] void report_failure(Borrowed self, const std::vector<CommitOp>& ops, const CommitOutcome& outcome,
                                     bool quiet) {
        try {
            raise_os_error(outcome.failure->error, ops[static_cast<size_t>(outcome.failure->index)].display);
        } catch (const PyError&) {
            if (outcome.kept.empty()) throw;
            PendingError saved;
            setattr(self, c_.st.need_daemon_restart, Py_True);
            std::string list;
            for (size_t i = outcome.kept.size(); i-- > 0;)
                list.append(list.empty() ? "" : ", ").append(ops[outcome.kept[i]].display);
            if (quiet)
                call_method(saved.exception(), interned("add_note"),
                            Ref::steal(PyUnicode_FromFormat("Changed before the failure: %U", fs_text(list).get())));
            else
                print_message(c_, "Changed before the failure", fs_text(list));
            throw;
        }
    }

    // Takes the events library's lock on the configuration file (the lock
    // file beside it, created mode 0600 when missing; a link is refused),
    // held until the last rename.
    void lock() {
        if (lock_) return;
        std::string relative = std::string(config_files[0]) + ".lock";
        Located located = root_.locate(relative, false);
        Fd fd;
        while (!fd) {
            fd = Fd(::openat(located.parent.get(), located.name.c_str(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (fd) {
                if (::fchmod(fd.get(), 0600) != 0) raise_os_error(errno, root_.display(relative));
                break;
            }
            if (errno != EEXIST) raise_os_error(errno, root_.display(relative));
            fd = Fd(::openat(located.parent.get(), located.name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
            if (!fd && errno != ENOENT) raise_os_error(errno, root_.display(relative));
        }
        for (;;) {
            int rc = 0;
            Py_BEGIN_ALLOW_THREADS
            rc = ::flock(fd.get(), LOCK_EX);
            Py_END_ALLOW_THREADS
            if (rc == 0) break;
            if (errno != EINTR) raise_os_error(errno, root_.display(relative));
            check(PyErr_CheckSignals());
        }
        lock_ = std::move(fd);
    }

    // A directory the import works in, held once however many files it
    // takes; returns its descriptor.
    int hold_directory(Fd directory, std::string_view display) {
        struct stat found;
        if (::fstat(directory.get(), &found) != 0) raise_os_error(errno, display);
        auto [held, added] = directories_.try_emplace({found.st_dev, found.st_ino});
        if (added) held->second = std::move(directory);
        return held->second.get();
    }

    // Flushes the staged files to disk, once per file system: a flush of
    // each would wait for a journal commit of its own.
    void sync_staged() {
        std::set<dev_t> flushed;
        for (const auto& [id, directory] : directories_) {
            if (!flushed.insert(id.first).second) continue;
            Fd readable(::openat(directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!readable) raise_os_error(errno, root_.path());
            int rc = 0;
            Py_BEGIN_ALLOW_THREADS
            rc = ::syncfs(readable.get());
            Py_END_ALLOW_THREADS
            if (rc != 0) raise_os_error(errno, root_.path());
        }
    }

    // Removes what a crashed import left under a staging name in a directory
    // where it stages; only a holder of the lock stages there.
    void remove_stale(int directory) {
        struct stat found;
        if (::fstat(directory, &found) != 0 || !cleaned_.insert({found.st_dev, found.st_ino}).second) return;
        Listing listing = open_listing(directory);
        if (!listing) return;
        while (dirent* entry = ::readdir(listing.get())) {
            std::string_view name(entry->d_name);
            if (name.starts_with(import_temp_prefix) && name.ends_with(temp_suffix))
                ::unlinkat(::dirfd(listing.get()), entry->d_name, 0);
        }
    }

    // The directory a file is staged in when its own is still to be created:
    // the nearest ancestor that exists, which the new directories go into.
    Fd nearest_directory(std::string_view relative) const {
        std::string ancestor(relative);
        for (;;) {
            size_t slash = ancestor.rfind('/');
            ancestor.resize(slash == std::string::npos ? 0 : slash);
            Fd directory(root_.try_open(ancestor, O_PATH | O_DIRECTORY));
            if (directory || ancestor.empty()) return directory ? std::move(directory) : root_.open("", O_PATH);
        }
    }

    void stage(Step& step, bool directory_exists, TarStream& stream, uint64_t size, mode_t member_mode,
               bool keep_text) {
        lock();
        std::string display = root_.display(step.relative);
        std::string name;
        int directory = -1;
        if (directory_exists) {
            Located target = root_.locate(step.relative, true);
            directory = hold_directory(std::move(target.parent), display);
            name = std::move(target.name);
        } else {
            directory = hold_directory(nearest_directory(step.relative), display);
        }
        remove_stale(directory);
        auto staged = std::make_unique<Staged>();
        staged->directory = directory;
        Fd file;
        for (int attempt = 0; attempt < 100 && !file; ++attempt) {
            std::string temp = random_name(import_temp_prefix);
            file = Fd(::openat(directory, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (file)
                staged->temp_name = std::move(temp);
            else if (errno != EEXIST)
                raise_os_error(errno, display);
        }
        if (!file) raise_os_error(EEXIST, display);
        int fd = file.get();
        std::optional<JsonWorker> json;
        if (keep_text) json.emplace(static_cast<size_t>(size));
        Ref update;
        if (purpose_ == Purpose::import_reporting) update = start_digest(step);
        // Writeback starts every few MiB, so that the flush at the end finds
        // little left to write.
        uint64_t written = 0, flushed = 0;
        stream.pass(size, [&](const char* data, size_t length) {
            if (json) json->append(data, length);
            if (update) call(update, Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(length))));
            write_all(fd, data, length, display);
            written += length;
            if (written - flushed >= (4U << 20)) {
                ::sync_file_range(fd, static_cast<off_t>(flushed), static_cast<off_t>(written - flushed),
                                  SYNC_FILE_RANGE_WRITE);
                flushed = written;
            }
        });
        if (update) step.digest = call_method(step.digest, c_.st.hexdigest);
        if (json) {
            json_ = json->finish();
            text_ = json->take();
        }

        // The existing file's owner, permission bits and extended attributes;
        // a new file gets the member's permission bits, but never write
        // permission for group or others, nor set-ID bits.
        struct stat existing;
        bool exists = directory_exists && ::fstatat(directory, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
        if (exists) {
            struct stat own;
            if (::fstat(fd, &own) != 0) raise_os_error(errno, display);
            if ((existing.st_uid != own.st_uid || existing.st_gid != own.st_gid) &&
                ::fchown(fd, existing.st_uid, existing.st_gid) != 0)
                raise_os_error(errno, display);
        }
        // After the owner: a change of owner clears the set-ID bits.
        if (::fchmod(fd, exists ? existing.st_mode & 07777 : member_mode & 0755) != 0) raise_os_error(errno, display);
        if (exists && S_ISREG(existing.st_mode)) copy_attributes(directory, name, fd, display, step.notes);
        // Written back now, flushed once the whole archive has passed: the
        // flushes then find one journal commit to wait for, not one each.
        ::sync_file_range(fd, static_cast<off_t>(flushed), 0, SYNC_FILE_RANGE_WRITE);
        if (::close(file.release()) != 0) raise_os_error(errno, display);
        step.staged = std::move(staged);
    }

    // A new SHA-256 digest of the step's content, kept in step.digest; returns its update method.
    Ref start_digest(Step& step) {
        step.digest = call(getattr(lazy_module(c_, LazyModule::hashlib), c_.st.sha256));
        return getattr(step.digest, c_.st.update);
    }

    // Copies the extended attributes of the file being replaced (security
    // labels, ACLs, user attributes), as cp --preserve=xattr does; those the
    // file system refuses are noted for the user.
    static void copy_attributes(int directory, const std::string& name, int to, const std::string& display,
                                std::vector<std::string>& notes) {
        Fd from(::openat(directory, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (!from) raise_os_error(errno, display);
        ssize_t size = ::flistxattr(from.get(), nullptr, 0);
        if (size < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP)) return;
        std::string names(static_cast<size_t>(size > 0 ? size : 0), '\0');
        if (size > 0) size = ::flistxattr(from.get(), names.data(), names.size());
        if (size < 0) raise_os_error(errno, display);
        names.resize(static_cast<size_t>(size));
        std::string value;
        for (size_t start = 0; start < names.size();) {
            std::string attribute(names.c_str() + start);
            start += attribute.size() + 1;
            ssize_t length = ::fgetxattr(from.get(), attribute.c_str(), nullptr, 0);
            if (length >= 0) {
                value.assign(static_cast<size_t>(length), '\0');
                length = ::fgetxattr(from.get(), attribute.c_str(), value.data(), value.size());
            }
            if (length < 0) {
                if (errno == ENODATA) continue;  // removed since it was listed
                raise_os_error(errno, display);
            }
            if (::fsetxattr(to, attribute.c_str(), value.data(), static_cast<size_t>(length), 0) != 0)
                notes.push_back(std::string(display)
                                    .append(": ")
                                    .append(attribute)
                                    .append(" (")
                                    .append(std::strerror(errno))
                                    .append(")"));
        }
    }

    // For a plan: the content's digest (and text) as the stream passes,
    // with the same check of the configuration file as staging makes.
    void note(Step& step, TarStream& stream, uint64_t size, bool keep_text) {
        std::optional<JsonWorker> json;
        if (keep_text) json.emplace(static_cast<size_t>(size));
        Ref update = start_digest(step);
        bool texts = purpose_ == Purpose::plan_with_texts;
        stream.pass(size, [&](const char* data, size_t length) {
            if (json) json->append(data, length);
            if (texts) step.text.append(data, length);
            call(update, Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(length))));
        });
        step.digest = call_method(step.digest, c_.st.hexdigest);
        if (json) {
            json_ = json->finish();
            text_ = json->take();
        }
    }

    // The destination's content as the commit would replace it (a link's
    // target, inside the root); nothing when there is no file.
    std::optional<std::string> read_existing(const std::string& relative) const {
        std::string display = root_.display(relative);
        Fd file(root_.try_open(relative, O_RDONLY | O_NONBLOCK | O_NOCTTY));
        if (!file) {
            if (errno == ENOENT) return std::nullopt;
            raise_os_error(errno, display);
        }
        struct stat found;
        if (::fstat(file.get(), &found) != 0) raise_os_error(errno, display);
        if (!S_ISREG(found.st_mode)) raise_format(PyExc_ValueError, "not a regular file: %R", fs_text(display).get());
        std::string content;
        char buffer[1 << 16];
        for (;;) {
            ssize_t n = ::read(file.get(), buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) {
                    check(PyErr_CheckSignals());
                    continue;
                }
                raise_os_error(errno, display);
            }
            if (n == 0) return content;
            content.append(buffer, static_cast<size_t>(n));
        }
    }

    static Ref sha256_hex(Ctx c, std::string_view bytes) {
        Ref data = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        Ref digest = call(getattr(lazy_module(c, LazyModule::hashlib), c.st.sha256), data);
        return call_method(digest, c.st.hexdigest);
    }

    static void set_change(Borrowed change, const char* key, Borrowed value) {
        check(PyDict_SetItemString(change.get(), key, value.get()));
    }

    static Ref text_of(std::string_view bytes) {
        return Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
    }

    // {"file", "action", "type", "before_sha256", "after_sha256"} of a
    // destination: a directory to make (no step), or a file member's content.
    Ref file_change(const std::string& relative, const Step* file, const std::string* before) {
        Ref change = Ref::steal(PyDict_New());
        set_change(change, "file", fs_text(root_.display(relative)));
        set_change(change, "action", str(before ? "replace" : "create"));
        set_change(change, "type", str(file ? "file" : "directory"));
        set_change(change, "before_sha256", Py_None);
        set_change(change, "after_sha256", file ? file->digest.view() : Borrowed(Py_None));
        if (purpose_ == Purpose::plan_with_texts) {
            set_change(change, "before_text", before ? text_of(*before) : none());
            set_change(change, "after_text", file ? text_of(file->text) : none());
        }
        return change;
    }

    // The configuration file must be a JSON object, or every later command
    // would fail on it. The parser's own error is reported.
    void check_configuration(std::string_view name) {
        JsonCheck result = json_;
        std::string text = std::move(text_);
        text_ = std::string();
        if (result == JsonCheck::object) return;
        if (result == JsonCheck::other_value) refuse_member("configuration file that is not a JSON object", name);
        if (result == JsonCheck::too_deep)
            raise_format(PyExc_ValueError, "configuration file nested more than %u levels deep: %R",
                         Limits::max_json_depth, fs_text(name).get());
        Ref decoded =
            Ref::steal_or_null(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
        if (decoded) {
            text.clear();
            text.shrink_to_fit();
            Ref parsed = Ref::steal_or_null(
                PyObject_CallOneArg(getattr(lazy_module(c_, LazyModule::json), c_.st.loads).get(), decoded.get()));
            if (parsed) raise(PyExc_ValueError, "configuration file that json cannot read");
        }
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
        Ref error = take_exception();
        raise_format(PyExc_ValueError, "configuration file that is not JSON (%S): %R", error.get(),
                     fs_text(name).get());
    }

    // The changes of the commit, in archive order: the directories to make
    // (with the member's permission bits, the umask applying, and missing
    // parents with default ones) and the staged files to rename over their
    // destinations (a link's target). What exists is resolved now, inside
    // the root; what the commit makes, by the op that makes it.
    std::vector<CommitOp> plan_commit() {
        std::vector<CommitOp> ops;
        std::map<std::string, int, std::less<>> made;
        auto parent_of = [](std::string_view relative) {
            size_t slash = relative.rfind('/');
            return slash == std::string_view::npos ? std::string() : std::string(relative.substr(0, slash));
        };
        auto base_of = [](std::string_view relative) {
            size_t slash = relative.rfind('/');
            return std::string(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
        };
        auto in_directory = [&](CommitOp& op, const std::string& directory) {
            if (auto found = made.find(directory); found != made.end()) {
                op.directory_op = found->second;
                return;
            }
            op.directory = hold_directory(root_.open(directory, O_PATH | O_DIRECTORY), root_.display(directory));
        };
        for (size_t index = 0; index < steps_.size(); ++index) {
            Step& step = steps_[index];
            if (step.kind == MemberKind::directory) {
                std::string_view relative = step.relative;
                size_t end = 0;
                while (!relative.empty() && end != std::string_view::npos) {
                    end = relative.find('/', end + 1);
                    std::string path(relative.substr(0, end));
                    if (made.count(path)) continue;
                    Fd existing(root_.try_open(path, O_PATH | O_DIRECTORY));
                    if (existing) continue;
                    if (errno != ENOENT) raise_os_error(errno, root_.display(path));
                    CommitOp op{CommitOp::Kind::make_directory};
                    in_directory(op, parent_of(path));
                    op.name = base_of(path);
                    // Never writable by group or others, whatever the umask.
                    op.mode = end == std::string_view::npos ? step.mode & 0755 : 0755;
                    op.display = root_.display(path);
                    op.step = index;
                    made[path] = static_cast<int>(ops.size());
                    ops.push_back(std::move(op));
                }
            }
            if (step.kind != MemberKind::file) continue;
            Staged& staged = *step.staged;
            CommitOp op{CommitOp::Kind::rename};
            std::string directory = parent_of(step.relative);
            if (made.count(directory)) {
                in_directory(op, directory);
                op.name = base_of(step.relative);
            } else {
                Located target = root_.locate(step.relative, true);
                op.directory = hold_directory(std::move(target.parent), root_.display(step.relative));
                op.name = std::move(target.name);
                op.backup = random_name(import_temp_prefix);
            }
            op.source = staged.directory;
            op.temp = staged.temp_name;
            op.display = root_.display(step.relative);
            op.step = index;
            ops.push_back(std::move(op));
        }
        std::set<std::pair<int, int>> directories;
        for (CommitOp& op : ops) op.flush = directories.insert({op.directory, op.directory_op}).second;
        return ops;
    }

    // A staged name that was renamed into place is no longer the importer's
    // to remove.
    void forget_renamed(const std::vector<CommitOp>& ops, const std::vector<size_t>& done) {
        for (size_t index : done)
            if (ops[index].kind == CommitOp::Kind::rename) steps_[ops[index].step].staged->temp_name.clear();
    }

    Ctx c_;
    const Root& root_;
    Replay replay_;
    // The directories files are staged and renamed in, by device and inode;
    // before the steps, whose staged files are removed through them.
    std::map<std::pair<dev_t, ino_t>, Fd> directories_;
    std::string top_;
    std::vector<Step> steps_;
    std::string text_;                     // the configuration file member just staged
    JsonCheck json_ = JsonCheck::invalid;  // and how it stands as JSON
    Purpose purpose_;
    Fd lock_;
    std::set<std::pair<dev_t, ino_t>> cleaned_;
};

// ---- Import: reading the archive ---------------------------------------------

// Applies the records of a pax header; refuses sparse members.
void read_pax(std::string_view records, std::map<std::string, std::string>& into) {
    while (!records.empty()) {
        std::optional<PaxRecord> record = next_pax_record(records);
        if (!record) raise(PyExc_ValueError, "damaged pax extended header");
        if (record->key.starts_with("GNU.sparse.")) raise(PyExc_ValueError, "sparse members are not supported");
        into[std::string(record->key)] = record->value;
    }
}

// Reads the archive member by member, as one stream, and hands each member
// to the importer. The stream must end where its member list ends: in the
// end-of-archive marker (zeros only after it) or in plain end of data.
void read_archive(TarStream& stream, Importer& importer) {
    std::map<std::string, std::string> global_pax, pax;
    std::optional<std::string> long_name;
    std::string block, data;
    uint64_t members = 0, total = 0;
    for (;;) {
        block.clear();
        uint64_t at = stream.offset();
        if (!stream.read(tar_block, block)) {
            if (!stream.started() || at == 0) raise(PyExc_ValueError, "empty file");
            if (long_name || !pax.empty()) TarStream::truncated();
            break;
        }
        if (is_zero_block(block)) {
            if (members == 0) raise(PyExc_ValueError, "the archive has no members");
            if (long_name || !pax.empty()) TarStream::truncated();
            stream.expect_end();
            break;
        }
        std::optional<TarHeader> header = parse_tar_header(block);
        if (!header)
            raise_format(PyExc_ValueError, "damaged tar header at byte %llu", static_cast<unsigned long long>(at));
        char type = header->type;
        if (type == 'x' || type == 'g' || type == 'L' || type == 'K') {
            if (header->size > Limits::max_extended_header)
                raise_format(PyExc_ValueError, "extended header larger than the limit of %llu KiB",
                             static_cast<unsigned long long>(Limits::max_extended_header >> 10));
            data.clear();
            if (!stream.read(static_cast<size_t>(header->size), data)) TarStream::truncated();
            stream.skip(tar_padding(header->size));
            if (type == 'x') read_pax(data, pax);
            if (type == 'g') read_pax(data, global_pax);
            if (type == 'L') long_name = data.substr(0, data.find('\0'));
            continue;
        }
        if (type == 'S') raise(PyExc_ValueError, "sparse members are not supported");
        std::string name = long_name ? std::move(*long_name) : std::move(header->name);
        uint64_t size = header->size;
        for (const auto* records : {&global_pax, &pax}) {
            if (auto path = records->find("path"); path != records->end()) name = path->second;
            if (auto found = records->find("size"); found != records->end()) {
                const std::string& text = found->second;
                if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
                    raise(PyExc_ValueError, "damaged pax extended header");
                size = std::stoull(text);
            }
        }
        pax.clear();
        long_name.reset();
        if (type == '\0' && name.ends_with('/')) type = '5';
        if (type == '5')
            while (name.size() > 1 && name.back() == '/') name.pop_back();
        if (++members > Limits::max_members)
            raise_format(PyExc_ValueError, "more members than the limit of %llu, at: %R",
                         static_cast<unsigned long long>(Limits::max_members), fs_text(name).get());
        // Content follows regular files and types tar does not know; other
        // kinds carry none whatever their size field says.
        bool has_content = type < '1' || type > '6';
        if (has_content) {
            if (size > Limits::max_member_size)
                raise_format(PyExc_ValueError, "member larger than the limit of %llu MiB: %R",
                             static_cast<unsigned long long>(Limits::max_member_size >> 20), fs_text(name).get());
            total += size;
            if (total > Limits::max_total_size)
                raise_format(PyExc_ValueError, "members larger than the limit of %llu MiB in all, at: %R",
                             static_cast<unsigned long long>(Limits::max_total_size >> 20), fs_text(name).get());
        }
        importer.member(name, type, static_cast<mode_t>(header->mode), size, has_content, stream);
        if (has_content) stream.skip(tar_padding(size));
    }
    if (importer.empty()) raise(PyExc_ValueError, "the archive has no members");
}

// Reads the archive once, checking every member as the import does, and
// hands the importer that read it to done.
template <typename Done>
void read_checked_archive(Ctx c, Borrowed self, Borrowed input_file, Importer::Purpose purpose, Done&& done) {
    State& st = c.st;
    // The archive, opened once: everything is read from this descriptor.
    std::string archive_path = fs_bytes(input_file);
    Fd archive(::open(archive_path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!archive) raise_os_error(errno, archive_path);
    Ref raw = Ref::steal(PyFile_FromFd(archive.get(), nullptr, "rb", 0, nullptr, nullptr, nullptr, 0));
    Closing close_raw(raw, st.close);
    Ref compressed = call(getattr(lazy_module(c, LazyModule::gzip), st.gzip_file), none(), str("rb"), integer(9), raw);
    Closing close_compressed(compressed, st.close);
    TarStream stream(c, compressed);

    // Every member checked and its content staged, then all put in place.
    Root root(fs_bytes(getattr(self, st.root_dir)), rooted::forced_fallbacks());
    Importer importer(c, root, purpose);
    read_archive(stream, importer);
    close_compressed.close_now();
    close_raw.close_now();
    done(importer);
}

void import_configuration(Ctx c, Borrowed self, Borrowed input_file) {
    State& st = c.st;
    read_checked_archive(c, self, input_file, Importer::Purpose::import,
                         [&](Importer& importer) { importer.commit(self); });

    // The restart is requested and the import reported.
    setattr(self, st.need_daemon_restart, Py_True);
    print_message(c, "Configuration imported");
}

void set_item(Borrowed dict, const char* key, Borrowed value) {
    check(PyDict_SetItemString(dict.get(), key, value.get()));
}

// {"changed", "changes", "skipped", "error"}: the files and directories the
// import creates or replaces, in archive order, and the members it skips; a
// refused import changes and skips nothing.
Ref import_report(Ref changes, Ref skipped, Borrowed error) {
    Ref report = Ref::steal(PyDict_New());
    set_item(report, "changed", boolean(!error && PyList_GET_SIZE(changes.get()) > 0));
    if (error) changes = Ref::steal(PyList_New(0)), skipped = Ref::steal(PyList_New(0));
    set_item(report, "changes", changes);
    set_item(report, "skipped", skipped);
    set_item(report, "error", error ? error : Borrowed(Py_None));
    return report;
}

}  // namespace

ZELTA_OPERATION(export_config) {
    reporting_failure(c, N_("Error exporting configuration"), [&] {
        export_configuration(c, self, a.file_path);
        print_message(c, "Configuration exported");
    });
    return none();
}

ZELTA_OPERATION(write_config_archive) { return export_configuration(c, self, a.file_path); }

ZELTA_OPERATION(import_config) {
    reporting_failure(c, N_("Error importing configuration"), [&] { import_configuration(c, self, a.input_file); });
    return none();
}

ZELTA_OPERATION(import_config_archive) {
    Ref report;
    read_checked_archive(c, self, a.input_file, Importer::Purpose::import_reporting, [&](Importer& importer) {
        Ref changes = importer.changes();  // before the commit changes the tree
        importer.commit(self);
        report = import_report(std::move(changes), importer.skipped(), {});
        set_item(report, "notes", importer.notes());
    });
    if (truth(dict_get(report, str("changed")))) setattr(self, c.st.need_daemon_restart, Py_True);
    return report;
}

ZELTA_OPERATION(plan_import_config) {
    Importer::Purpose purpose =
        a.texts && truth(a.texts) ? Importer::Purpose::plan_with_texts : Importer::Purpose::plan;
    Ref changes, skipped;
    Ref error = failure_line(c, N_("Error importing configuration"), [&] {
        read_checked_archive(c, self, a.input_file, purpose, [&](Importer& importer) {
            importer.check_lock();
            changes = importer.changes();
            skipped = importer.skipped();
        });
    });
    return import_report(std::move(changes), std::move(skipped), error);
}

}  // namespace zelta
