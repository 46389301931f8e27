// Configuration transfer: export of the module's configuration files into a
// gzip-compressed tar archive and import of such an archive onto the root.
//
// Both run as root on production hosts. Export writes the archive to a
// temporary file that is renamed into place only when complete. Import
// checks the whole archive against the layout export writes and against
// the tree as it stands before it writes anything, and replaces each file
// atomically.
#include "transfer.hpp"
#include "module.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace zelta::transfer {

// ---- Archive layout and member policy ---------------------------------------

std::string_view archive_top_name(std::string_view archive_path) {
    size_t slash = archive_path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? archive_path : archive_path.substr(slash + 1);
    return last.substr(0, last.find('.'));
}

std::string_view member_top_name(std::string_view first_member) {
    return first_member.substr(0, first_member.find('/'));
}

bool is_plain_relative(std::string_view name) {
    if (name.empty() || name.find('\0') != std::string_view::npos) return false;
    size_t start = 0;
    for (;;) {
        size_t end = name.find('/', start);
        std::string_view component = name.substr(start, end == std::string_view::npos ? end : end - start);
        if (component.empty() || component == "." || component == "..") return false;
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

std::optional<std::string_view> path_below_top(std::string_view name, std::string_view top) {
    if (name == top) return std::string_view{};
    if (name.size() > top.size() && name.starts_with(top) && name[top.size()] == '/')
        return name.substr(top.size() + 1);
    return std::nullopt;
}

bool is_exported_path(std::string_view relative, bool directory) {
    for (std::string_view file : config_files)
        if (relative == file) return true;
    if (relative == notifyrc_dir || relative == notifyrc) return true;
    if (relative.starts_with(fragment_dir)) {
        std::string_view file = relative.substr(fragment_dir.size());
        if (file.starts_with(fragment_prefix) && file.find('/') == std::string_view::npos) return true;
    }
    if (!directory) return false;
    static constexpr std::string_view ancestors[] = {
        "", "etc", "etc/audit", "etc/audit/rules.d", "etc/logrotate.d", "etc/syslog-ng", "etc/syslog-ng/conf.d", "root",
    };
    for (std::string_view ancestor : ancestors)
        if (relative == ancestor) return true;
    return false;
}

}  // namespace zelta::transfer

namespace zelta {
namespace {

using namespace transfer;

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

// Raises the OSError subclass of errno value err, naming path, as os functions do.
[[noreturn]] void raise_os_error(int err, std::string_view path) {
    Ref filename = fs_text(path);
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    throw PyError{};
}

// ---- Paths ------------------------------------------------------------------

std::string join_path(std::string_view base, std::string_view relative) {
    std::string joined(base);
    if (relative.empty()) return joined;
    if (!joined.empty() && joined.back() != '/') joined += '/';
    joined.append(relative);
    return joined;
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

// Flushes a directory's entries to disk, so that a rename into it survives a
// crash. Best effort: the file's own data was flushed before the rename.
void sync_directory(const std::string& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    Py_BEGIN_ALLOW_THREADS
    ::fsync(fd);
    ::close(fd);
    Py_END_ALLOW_THREADS
}

// ---- Temporary files --------------------------------------------------------

std::string random_name() {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    std::random_device source;
    std::uniform_int_distribution<size_t> pick(0, sizeof letters - 2);
    std::string name = ".zelta-";
    for (int i = 0; i < 10; ++i) name += letters[pick(source)];
    return name + ".tmp";
}

// A new file beside its destination that replaces the destination only when
// it is complete; otherwise it is removed when the scope ends. It is
// readable by its owner alone until its final mode is set.
class TempFile {
public:
    TempFile(std::string directory, std::string destination)
        : directory_(std::move(directory)), destination_(std::move(destination)) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = join_path(directory_, random_name());
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

    void write_all(const char* data, size_t size) {
        while (size > 0) {
            ssize_t written = 0;
            Py_BEGIN_ALLOW_THREADS
            written = ::write(fd_, data, size);
            Py_END_ALLOW_THREADS
            if (written < 0) {
                if (errno != EINTR) raise_os_error(errno, destination_);
                check(PyErr_CheckSignals());
                continue;
            }
            data += written;
            size -= static_cast<size_t>(written);
        }
    }

    // Gives the file an owner (when it differs) and its final mode, flushes it
    // to disk and renames it over target.
    void replace(const std::string& target, mode_t mode, const struct stat* owner = nullptr) {
        struct stat own;
        if (::fstat(fd_, &own) != 0) raise_os_error(errno, destination_);
        if (owner && (owner->st_uid != own.st_uid || owner->st_gid != own.st_gid) &&
            ::fchown(fd_, owner->st_uid, owner->st_gid) != 0)
            raise_os_error(errno, target);
        // After the owner: a change of owner clears the set-ID bits.
        if (::fchmod(fd_, mode) != 0) raise_os_error(errno, target);
        int rc = 0;
        Py_BEGIN_ALLOW_THREADS
        rc = ::fsync(fd_);
        Py_END_ALLOW_THREADS
        if (rc != 0) raise_os_error(errno, target);
        rc = ::close(std::exchange(fd_, -1));
        if (rc != 0) raise_os_error(errno, target);
        if (::rename(path_.c_str(), target.c_str()) != 0) raise_os_error(errno, target);
        moved_ = true;
        sync_directory(directory_);
    }

private:
    std::string directory_, destination_, path_;
    int fd_ = -1;
    bool moved_ = false;
};

// ---- Failure report ---------------------------------------------------------

// Runs the work of export or import. An ordinary error (Exception) ends it
// with the one report line; other exceptions pass through to the caller.
template <typename Work>
void reporting_failure(Ctx c, const char* msgid, Work&& work) {
    try {
        work();
        return;
    } catch (...) {
        set_error_from_current_exception();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError{};
    Ref error = take_exception();
    print_message(c, msgid, to_str(error));
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

// Adds one source as found on disk: a symbolic link stays a link. A file that
// tarfile would record as a hard link to an earlier member (two sources are
// one file) is stored with its content again, since import restores only
// regular files and would otherwise lose it.
void add_source(Ctx c, Borrowed tar, const std::string& source, Borrowed member_name) {
    State& st = c.st;
    Ref info = call_method(tar, st.gettarinfo, fs_text(source), member_name);
    if (info.view().is_none()) return;  // a socket, which tar cannot hold; TarFile.add skips it too
    bool hard_link = truth(call_method(info, st.islnk));
    if (!hard_link && !truth(call_method(info, st.isreg))) {
        call_method(tar, st.addfile, info);
        return;
    }
    // Not following a link: the source was examined as a regular file.
    int fd = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) raise_os_error(errno, source);
    Ref file = Ref::steal_or_null(PyFile_FromFd(fd, nullptr, "rb", -1, nullptr, nullptr, nullptr, 1));
    if (!file) {
        ::close(fd);
        throw PyError{};
    }
    Closing close_file(file, st.close);
    struct stat opened;
    if (::fstat(fd, &opened) != 0) raise_os_error(errno, source);
    if (!S_ISREG(opened.st_mode))
        raise_format(PyExc_OSError, "%R was replaced while it was archived", fs_text(source).get());
    if (hard_link) {
        setattr(info, st.type, getattr(lazy_module(c, LazyModule::tarfile), st.regtype));
        setattr(info, st.linkname, st.empty);
    }
    // The size of the file that is read, so header and content agree.
    setattr(info, st.size, Ref::steal(PyLong_FromLongLong(opened.st_size)));
    call_method(tar, st.addfile, info, file);
    close_file.close_now();
}

// Whether two stat results name one file.
bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void export_configuration(Ctx c, Borrowed cls, Borrowed file_path) {
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
    auto member_name = [&](Borrowed relative) { return add(member_prefix, relative); };
    std::string root = fs_bytes(getattr(cls, st.root_dir));

    // An earlier archive at the path that is also a fragment is not archived
    // into its successor.
    struct stat previous;
    bool had_previous = ::stat(archive_path.c_str(), &previous) == 0;

    // The archive, written to a temporary file beside its final name.
    Borrowed tarfile = lazy_module(c, LazyModule::tarfile);
    TempFile output(parent_directory(archive_path), archive_path);
    PendingArchive pending(st, Ref::steal(PyFile_FromFd(output.fd(), nullptr, "wb", -1, nullptr, nullptr, nullptr, 0)));
    pending.set_tar(call_keywords(getattr(tarfile, st.tar_open), {archive, str("w:gz"), pending.stream()},
                                  {{st.format, getattr(tarfile, st.pax_format)}, {st.compresslevel, integer(6)}}));
    Borrowed tar = pending.tar();

    // The configuration files that are always archived.
    for (std::string_view file : config_files) add_source(c, tar, join_path(root, file), member_name(str(file)));

    // The module's syslog-ng fragments, in directory listing order.
    Ref fragment_member_dir = member_name(str(fragment_dir));
    Ref prefix = str(fragment_prefix);
    Ref scandir = getattr(lazy_module(c, LazyModule::os), st.scandir);
    Ref entries = to_list(call(scandir, fs_text(join_path(root, fragment_dir))));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Borrowed entry = PyList_GET_ITEM(entries.get(), i);
        Ref name = getattr(entry, st.name);
        Py_ssize_t prefixed = PyUnicode_Tailmatch(name.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
        if (prefixed < 0) throw PyError{};
        if (!prefixed || !truth(call_method(entry, st.is_file))) continue;
        std::string source = fs_bytes(getattr(entry, st.path));
        struct stat found;
        if (had_previous && ::stat(source.c_str(), &found) == 0 && same_file(found, previous)) continue;
        add_source(c, tar, source, add(fragment_member_dir, name));
    }

    // The notification settings directory itself, without its contents.
    call_method(tar, st.tar_add, fs_text(join_path(root, notifyrc_dir)), member_name(str(notifyrc_dir)), Py_False);

    // The notification settings, when present (a dangling link is absent).
    std::string settings = join_path(root, notifyrc);
    struct stat settings_stat;
    if (::stat(settings.c_str(), &settings_stat) == 0) add_source(c, tar, settings, member_name(str(notifyrc)));

    // Close the archive, then put it in place with the mode of a new file.
    pending.complete();
    output.replace(archive_path, 0666 & ~current_umask());

    print_message(c, "Configuration exported");
}

// ---- Import -------------------------------------------------------------------

enum class MemberKind { directory, file, unsupported };

// A member that passed the checks, with its path below the top-level name.
struct PlannedMember {
    Ref info;
    MemberKind kind;
    std::string relative;
};

// Raises ValueError("<what>: <repr of the member name>").
[[noreturn]] void refuse_member(const char* what, Borrowed name) {
    raise_format(PyExc_ValueError, "%s: %R", what, name.get());
}

// The destination a file member replaces: a symbolic link is replaced at the
// file it resolves to.
std::string resolve_destination(Ctx c, const std::string& destination) {
    struct stat st;
    if (::lstat(destination.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return destination;
    Ref os_path = getattr(lazy_module(c, LazyModule::os), c.st.path);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(destination.data(), static_cast<Py_ssize_t>(destination.size())));
    return fs_bytes(call(getattr(os_path, c.st.realpath), bytes));
}

// Replays the planned members against the tree as it stands, with what the
// earlier members would create laid over it, and raises the error the real
// step would meet. So an archive that cannot be imported whole changes nothing.
class Replay {
public:
    Replay(Ctx c, std::string root) : c_(c), root_(std::move(root)) {
        Found found = probe(root_);
        if (found != Found::directory) raise_os_error(found == Found::missing ? ENOENT : ENOTDIR, root_);
    }

    void directory(std::string_view relative) {
        std::string destination = join_path(root_, relative);
        std::vector<std::string> missing = check_ancestors(relative, destination);
        Found found = probe(destination);
        if (found == Found::other) raise_os_error(EEXIST, destination);
        if (found == Found::missing) missing.push_back(destination);
        for (std::string& path : missing) created_[std::move(path)] = Found::directory;
    }

    void file(std::string_view relative) {
        std::string destination = join_path(root_, relative);
        std::vector<std::string> missing = check_ancestors(relative, destination);
        if (!missing.empty()) raise_os_error(ENOENT, destination);
        std::string target = resolve_destination(c_, destination);
        if (probe(target) == Found::directory) raise_os_error(EISDIR, target);
        if (target != destination) {
            Found parent = probe(parent_directory(target));
            if (parent != Found::directory) raise_os_error(parent == Found::missing ? ENOENT : ENOTDIR, target);
        }
        created_[destination] = Found::other;
    }

private:
    enum class Found { missing, directory, other };

    Found probe(const std::string& path) const {
        auto created = created_.find(path);
        if (created != created_.end()) return created->second;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) return Found::missing;
            raise_os_error(errno, path);
        }
        // A link to a directory is one; a dangling link is in the way.
        if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) return Found::other;
        return S_ISDIR(st.st_mode) ? Found::directory : Found::other;
    }

    // Every ancestor of the destination below the root that exists must be a
    // directory; returns those that are missing, outermost first.
    std::vector<std::string> check_ancestors(std::string_view relative, const std::string& destination) const {
        std::vector<std::string> missing;
        size_t slash = relative.find('/');
        while (slash != std::string_view::npos) {
            std::string ancestor = join_path(root_, relative.substr(0, slash));
            Found found = probe(ancestor);
            if (found == Found::other) raise_os_error(ENOTDIR, destination);
            if (found == Found::missing) missing.push_back(std::move(ancestor));
            slash = relative.find('/', slash + 1);
        }
        return missing;
    }

    Ctx c_;
    std::string root_;
    std::map<std::string, Found> created_;
};

// Checks every member before anything is written: names, the layout export
// writes, and a replay against the tree. Returns the members to import.
std::vector<PlannedMember> plan_import(Ctx c, Borrowed members, const std::string& root) {
    State& st = c.st;
    Py_ssize_t count = PyList_GET_SIZE(members.get());
    if (count == 0) raise(PyExc_ValueError, "the archive has no members");
    std::vector<PlannedMember> plan;
    std::string top;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Borrowed info = PyList_GET_ITEM(members.get(), i);
        Ref name = getattr(info, st.name);
        std::string bytes = fs_bytes(name);
        if (!is_plain_relative(bytes)) refuse_member("unsafe member name", name);
        if (i == 0) top = member_top_name(bytes);
        std::optional<std::string_view> relative = path_below_top(bytes, top);
        if (!relative) refuse_member("member outside the top-level directory", name);
        MemberKind kind = truth(call_method(info, st.isdir))   ? MemberKind::directory
                          : truth(call_method(info, st.isreg)) ? MemberKind::file
                                                               : MemberKind::unsupported;
        if (!is_exported_path(*relative, kind == MemberKind::directory))
            refuse_member("member not part of the configuration", name);
        plan.push_back({Ref::borrow(info), kind, std::string(*relative)});
    }
    Replay replay(c, root);
    for (const PlannedMember& member : plan) {
        if (member.kind == MemberKind::directory) replay.directory(member.relative);
        if (member.kind == MemberKind::file) replay.file(member.relative);
    }
    return plan;
}

// Creates a directory member's destination with the member's permission bits
// (the umask applies) and missing parents with default permissions; an
// existing directory is left as it is.
void make_directory(const std::string& root, std::string_view relative, mode_t mode) {
    if (relative.empty()) return;  // the top-level directory maps to the root itself
    size_t end = 0;
    do {
        end = relative.find('/', end + 1);
        bool leaf = end == std::string_view::npos;
        std::string path = join_path(root, relative.substr(0, end));
        if (::mkdir(path.c_str(), leaf ? mode : 0777) == 0) {
            sync_directory(parent_directory(path));
            continue;
        }
        int err = errno;
        struct stat st;
        if (err != EEXIST || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) raise_os_error(err, path);
    } while (end != std::string_view::npos);
}

// Replaces a file member's destination with the member's content, keeping the
// existing file's owner and permission bits (a new file gets the default ones).
void write_file(Ctx c, Borrowed tar, Borrowed info, const std::string& destination) {
    State& st = c.st;
    std::string target = resolve_destination(c, destination);
    struct stat existing;
    bool exists = ::stat(target.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT) raise_os_error(errno, target);

    TempFile output(parent_directory(target), target);
    Ref content = call_method(tar, st.extractfile, info);
    Closing close_content(content, st.close);
    Ref chunk_size = integer(1 << 20);
    long long expected = PyLong_AsLongLong(getattr(info, st.size).get());
    if (expected == -1 && PyErr_Occurred()) throw PyError{};
    long long written = 0;
    for (;;) {
        Ref chunk = call_method(content, st.read, chunk_size);
        char* data = nullptr;
        Py_ssize_t size = 0;
        check(PyBytes_AsStringAndSize(chunk.get(), &data, &size));
        if (size == 0) break;
        output.write_all(data, static_cast<size_t>(size));
        written += size;
    }
    close_content.close_now();
    if (written != expected) {
        PyErr_SetString(getattr(lazy_module(c, LazyModule::tarfile), st.read_error).get(), "unexpected end of data");
        throw PyError{};
    }
    if (exists)
        output.replace(target, existing.st_mode & 07777, &existing);
    else
        output.replace(target, 0666 & ~current_umask());
}

// The archive opened for reading as one gzip stream. The gzip file is kept
// so that the stream can be read to its end, which checks its CRC.
Ref open_archive(Ctx c, Borrowed compressed) {
    Borrowed tarfile = lazy_module(c, LazyModule::tarfile);
    try {
        return call(getattr(tarfile, c.st.tar_open), none(), str("r:"), compressed);
    } catch (const PyError&) {
        // As tarfile reports a stream that gzip cannot read.
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        PyErr_Clear();
        PyErr_SetString(getattr(tarfile, c.st.read_error).get(), "not a gzip file");
        throw;
    }
}

void import_configuration(Ctx c, Borrowed self, Borrowed input_file) {
    State& st = c.st;
    // The archive, as one gzip stream holding a tar stream.
    Ref compressed = call(getattr(lazy_module(c, LazyModule::gzip), st.gzip_file), input_file, str("rb"));
    Closing close_compressed(compressed, st.close);
    Ref tar = open_archive(c, compressed);
    Closing close_tar(tar, st.close);

    // Read the whole member list, then the rest of the stream, so that a
    // damaged archive is refused before anything is written.
    Ref members = to_list(call_method(tar, st.getmembers));
    Ref chunk_size = integer(1 << 20);
    for (;;) {
        Ref rest = call_method(compressed, st.read, chunk_size);
        if (!PyBytes_Check(rest.get()) || PyBytes_GET_SIZE(rest.get()) == 0) break;
    }
    std::string root = fs_bytes(getattr(self, st.root_dir));
    std::vector<PlannedMember> plan = plan_import(c, members, root);

    // Import member by member, in archive order.
    for (const PlannedMember& member : plan) {
        switch (member.kind) {
            case MemberKind::directory: {
                long mode = PyLong_AsLong(getattr(member.info, st.mode).get());
                if (mode == -1 && PyErr_Occurred()) throw PyError{};
                make_directory(root, member.relative, static_cast<mode_t>(mode & 07777));
                break;
            }
            case MemberKind::file:
                write_file(c, tar, member.info, join_path(root, member.relative));
                break;
            case MemberKind::unsupported: {
                Ref type = Ref::steal(PyObject_Repr(getattr(member.info, st.type).get()));
                print_message(c, "Unsupported file type", type);
                break;
            }
        }
    }

    // Both streams closed, then the restart is requested and the import reported.
    close_tar.close_now();
    close_compressed.close_now();
    setattr(self, st.need_daemon_restart, Py_True);
    print_message(c, "Configuration imported");
}

}  // namespace

ZELTA_OPERATION(export_config) {
    reporting_failure(c, N_("Error exporting configuration"), [&] { export_configuration(c, self, a.file_path); });
    return none();
}

ZELTA_OPERATION(import_config) {
    reporting_failure(c, N_("Error importing configuration"), [&] { import_configuration(c, self, a.input_file); });
    return none();
}

}  // namespace zelta
