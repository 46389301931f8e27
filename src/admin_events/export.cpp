// Export: the module's configuration files written into a gzip-compressed
// tar archive through Python's tarfile, in a temporary file beside the
// archive that is renamed into place only when complete.
#include "archive_format.hpp"
#include "files.hpp"
#include "transfer.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <vector>

namespace zelta::transfer {

using rooted::Fd;
using rooted::raise_os_error;
using rooted::Root;
using rooted::same_file;

namespace {

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
    // The descriptor stays file's to close, whatever the stream does with it.
    Ref stream = Ref::steal(PyFile_FromFd(file.get(), nullptr, "rb", -1, nullptr, nullptr, nullptr, 0));
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

}  // namespace

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
        read_listing(listing.get(), root.display(fragment_dir), [&](const dirent& entry) {
            std::string_view name(entry.d_name);
            if (name.starts_with(fragment_prefix)) names.emplace_back(name);
        });
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

}  // namespace zelta::transfer
