// Import: each member of the archive checked against the layout and the
// tree as it stands, each file staged beside its destination, then all put
// in place by the commit; or, for a plan, the same checks with the content
// noted instead of staged.
#include "archive_format.hpp"
#include "archive_reader.hpp"
#include "files.hpp"
#include "import_commit.hpp"
#include "transfer.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace zelta::transfer {

using rooted::Fd;
using rooted::Located;
using rooted::raise_os_error;
using rooted::Root;

namespace {

enum class MemberKind { directory, file, unsupported };

// Replays the members against the tree as it stands, with what the earlier
// members would create laid over it, and raises the error the real step
// would meet. So an archive that cannot be imported whole changes nothing.
class Replay {
public:
    explicit Replay(const Root& root) : root_(root) {}

    // Returns the directories the member makes, outermost first: the
    // missing parents and itself, unless an earlier member makes them.
    std::vector<std::string> directory(const std::string& relative) {
        bool pending = false;
        std::vector<std::string> missing = check_ancestors(relative, pending);
        Found found = probe(relative);
        if (found == Found::other) raise_os_error(EEXIST, root_.display(relative));
        if (found == Found::missing) missing.push_back(relative);
        for (const std::string& path : missing) created_[path] = Found::directory;
        return missing;
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

// A file member's content, written and closed beside its destination under
// a temporary name, which is removed unless it was renamed into place.
// Staging holds no descriptor per member: the directory is the importer's.
struct Staged {
    int directory = -1;
    std::string temp_name;
    std::string name;  // the destination's name in directory, when that exists already

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
    std::vector<std::string> made{};   // the directories a directory member makes, outermost first
    char type = 0;                     // an unsupported member's type flag
    std::unique_ptr<Staged> staged{};  // a file member's content
    std::vector<std::string> notes{};  // extended attributes the file system refused
    Ref digest{};                      // for a report: the SHA-256 of a file member's content
    std::string text{};                // for a plan with texts: the content itself
};

// The walk over the members of an archive: each member checked against the
// layout and the tree as it stands, its file content handed to the sink
// that stages it (the import) or lets it pass (a plan).
class Importer : public MemberSink {
public:
    // Checks one member and hands its content to the sink; the stream stands
    // at the member's content, of which the walk reads exactly size bytes.
    void member(const std::string& name, char type, mode_t mode, uint64_t size, bool has_content,
                TarStream& stream) override {
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
                step.made = replay_.directory(step.relative);
                step.mode = mode & 07777;  // a directory member carries no content
                break;
            case MemberKind::file: {
                bool directory_exists = replay_.file(step.relative);
                // What reads the content besides the sink: the check of the
                // configuration file, the digest and the text of a plan.
                std::optional<JsonWorker> json;
                if (step.relative == config_files[0]) json.emplace(static_cast<size_t>(size));
                Ref update = digests_ ? start_digest(step) : Ref();
                content(step, directory_exists, mode, size, stream, [&](const char* data, size_t length) {
                    if (json) json->append(data, length);
                    if (texts_) step.text.append(data, length);
                    if (update)
                        call(update, Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(length))));
                });
                if (update) step.digest = call_method(step.digest, c_.st.hexdigest);
                if (json) {
                    JsonCheck check = json->finish();
                    check_configuration(name, check, json->take());
                }
                break;
            }
            case MemberKind::unsupported:
                step.type = type;
                if (has_content) stream.skip(size);
                break;
        }
        steps_.push_back(std::move(step));
    }

    bool empty() const noexcept override { return steps_.empty(); }

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
        std::set<std::string, std::less<>> listed;
        for (const Step& step : steps_) {
            if (step.kind == MemberKind::directory) {
                for (const std::string& directory : step.made)
                    check(PyList_Append(result.get(), file_change(directory, nullptr, Existing{}).get()));
            } else if (step.kind == MemberKind::file && listed.insert(step.relative).second) {
                const Step& last = *files[file_index.find(step.relative)->second];
                Existing before = read_existing(step.relative);
                Ref before_digest = before.content ? sha256_hex(c_, *before.content) : Ref();
                if (before_digest && equal(before_digest, last.digest)) continue;  // the same bytes
                Ref change = file_change(step.relative, &last, before);
                if (before_digest) set_item(change, "before_sha256", before_digest);
                check(PyList_Append(result.get(), change.get()));
            }
        }
        return result;
    }

    // {"member", "type"} of each member the import skips, in archive order.
    Ref skipped() const {
        Ref skipped = Ref::steal(PyList_New(0));
        for (const Step& step : steps_) {
            if (step.kind != MemberKind::unsupported) continue;
            Ref entry = Ref::steal(PyDict_New());
            set_item(entry, "member", fs_text(step.member));
            set_item(entry, "type", type_name(step.type));
            append(skipped, entry);
        }
        return skipped;
    }

protected:
    // digests: each file's SHA-256 is kept, for the changes; texts: its content too.
    Importer(Ctx c, const Root& root, bool digests, bool texts)
        : c_(c), root_(root), replay_(root), digests_(digests), texts_(texts) {}

    using Chunks = std::function<void(const char*, size_t)>;
    // Takes size bytes of a file member's content from the stream, handing
    // each chunk to read as it passes.
    virtual void content(Step& step, bool directory_exists, mode_t mode, uint64_t size, TarStream& stream,
                         const Chunks& read) = 0;

    // A directory the import works in, held once however many files it
    // takes; returns its descriptor.
    int hold_directory(Fd directory, std::string_view display) {
        struct stat found;
        if (::fstat(directory.get(), &found) != 0) raise_os_error(errno, display);
        auto [held, added] = directories_.try_emplace({found.st_dev, found.st_ino});
        if (added) held->second = std::move(directory);
        return held->second.get();
    }

    // The events library's lock file, beside the configuration file: the
    // import takes the lock before it stages its first file.
    static std::string lock_relative() { return std::string(config_files[0]) + ".lock"; }
    bool has_files() const {
        for (const Step& step : steps_)
            if (step.kind == MemberKind::file) return true;
        return false;
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

    // A new SHA-256 digest of the step's content, kept in step.digest; returns its update method.
    Ref start_digest(Step& step) {
        step.digest = call(getattr(lazy_module(c_, LazyModule::hashlib), c_.st.sha256));
        return getattr(step.digest, c_.st.update);
    }

    // The destination as the commit would replace it (a link's target,
    // inside the root): whether there is one, and its content when it is a
    // regular file no larger than a member. Anything else there is replaced
    // as it stands, and is never opened for reading.
    struct Existing {
        bool found = false;
        std::optional<std::string> content{};
    };
    Existing read_existing(const std::string& relative) const {
        std::string display = root_.display(relative);
        Fd entry(root_.try_open(relative, O_PATH));
        if (!entry) {
            if (errno == ENOENT) return {};
            raise_os_error(errno, display);
        }
        struct stat found;
        if (::fstat(entry.get(), &found) != 0) raise_os_error(errno, display);
        if (!S_ISREG(found.st_mode) || static_cast<uint64_t>(found.st_size) > Limits::max_member_size) return {true};
        Fd file = root_.open(relative, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        return {true, rooted::read_regular_file(file.get(), display, Limits::max_member_size)};
    }

    static Ref sha256_hex(Ctx c, std::string_view bytes) {
        Ref data = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        Ref digest = call(getattr(lazy_module(c, LazyModule::hashlib), c.st.sha256), data);
        return call_method(digest, c.st.hexdigest);
    }

    static Ref text_of(std::string_view bytes) {
        return Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
    }

    // {"file", "action", "type", "before_sha256", "after_sha256"} of a
    // destination: a directory to make (no step), or a file member's content.
    Ref file_change(const std::string& relative, const Step* file, const Existing& before) {
        Ref change = Ref::steal(PyDict_New());
        set_item(change, "file", fs_text(root_.display(relative)));
        set_item(change, "action", str(before.found ? "replace" : "create"));
        set_item(change, "type", str(file ? "file" : "directory"));
        set_item(change, "before_sha256", Py_None);
        set_item(change, "after_sha256", file ? file->digest.view() : Borrowed(Py_None));
        if (texts_) {
            set_item(change, "before_text", before.content ? text_of(*before.content) : none());
            set_item(change, "after_text", file ? text_of(file->text) : none());
        }
        return change;
    }

    // The configuration file must be a JSON object, or every later command
    // would fail on it. The parser's own error is reported.
    void check_configuration(std::string_view name, JsonCheck result, std::string text) {
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
            // json.loads read what the check refused: an integer longer
            // than Python converts by default, the limit raised here alone.
            if (parsed)
                raise_format(PyExc_ValueError, "configuration file with an integer of more than %zu digits: %R",
                             Limits::max_json_integer_digits, fs_text(name).get());
        }
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
        Ref error = take_exception();
        raise_format(PyExc_ValueError, "configuration file that is not JSON (%S): %R", error.get(),
                     fs_text(name).get());
    }

protected:
    Ctx c_;
    const Root& root_;
    Replay replay_;
    // The directories files are staged and renamed in, by device and inode;
    // before the steps, whose staged files are removed through them.
    std::map<std::pair<dev_t, ino_t>, Fd> directories_;
    std::vector<Step> steps_;

private:
    std::string top_;
    bool digests_, texts_;
};

// The import: every file staged beside its destination under the events
// library's lock, then all renamed into place by the commit.
class StagingImport final : public Importer {
public:
    // quiet: nothing printed, the digests kept for the changes made.
    StagingImport(Ctx c, const Root& root, bool quiet) : Importer(c, root, quiet, false), quiet_(quiet) {}

    // Renames the staged files into place in archive order, creating the
    // directory members first where they come. On a failure every change
    // made is undone before the error passes on; should undoing fail as
    // well, the restart flag is set and what stays changed is named.
    void commit(Borrowed self) {
        sync_staged();
        std::vector<CommitOp> ops = plan_commit();
        if (!quiet_)
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
            if (outcome.failure || !outcome.end || *outcome.end != 0) report_failure(self, ops, outcome, quiet_);
        }
        lock_.reset();
    }

    // The notes of what import_config prints besides its last line, as data.
    Ref notes() const {
        Ref notes = Ref::steal(PyList_New(0));
        for (const Step& step : steps_)
            for (const std::string& note : step.notes) append(notes, fs_text(note));
        return notes;
    }

private:
    // Raises the error the commit met: an op that failed and was undone,
    // the flush after all the ops, or the end of the helper part-way. Should
    // some changes have stayed, the restart flag is set and they are named:
    // printed, or, when the import prints nothing, added to the exception
    // as a note.
    [[noreturn]] void report_failure(Borrowed self, const std::vector<CommitOp>& ops, const CommitOutcome& outcome,
                                     bool quiet) {
        // What stays changed, in archive order: the ops not undone after a
        // failed op (reported last undone first), else every op carried out.
        std::vector<size_t> changed =
            outcome.failure ? std::vector<size_t>(outcome.kept.rbegin(), outcome.kept.rend()) : outcome.done;
        try {
            if (outcome.failure)
                raise_os_error(outcome.failure->error, ops[static_cast<size_t>(outcome.failure->index)].display);
            if (outcome.end) raise_os_error(*outcome.end, root_.path());
            if (WIFSIGNALED(outcome.status))
                raise_format(PyExc_OSError,
                             "the process that renames the files into place ended early (killed by signal %d)",
                             WTERMSIG(outcome.status));
            raise_format(PyExc_OSError, "the process that renames the files into place ended early (status %d)",
                         WEXITSTATUS(outcome.status));
        } catch (const PyError&) {
            if (changed.empty()) throw;
            PendingError saved;
            setattr(self, c_.st.need_daemon_restart, Py_True);
            std::string list;
            for (size_t index : changed) list.append(list.empty() ? "" : ", ").append(ops[index].display);
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
        std::string relative = lock_relative();
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
        if (interruptible([&] { return ::flock(fd.get(), LOCK_EX); }) != 0)
            raise_os_error(errno, root_.display(relative));
        lock_ = std::move(fd);
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

    // Writes the content to a new file beside the destination, with the
    // owner, mode and extended attributes it is to have, flushed once the
    // whole archive has passed.
    void content(Step& step, bool directory_exists, mode_t member_mode, uint64_t size, TarStream& stream,
                 const Chunks& read) override {
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
        staged->name = name;
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
        // Writeback starts every few MiB, so that the flush at the end finds
        // little left to write.
        uint64_t written = 0, flushed = 0;
        stream.pass(size, [&](const char* data, size_t length) {
            read(data, length);
            write_all(fd, data, length, display);
            written += length;
            if (written - flushed >= (4U << 20)) {
                ::sync_file_range(fd, static_cast<off_t>(flushed), static_cast<off_t>(written - flushed),
                                  SYNC_FILE_RANGE_WRITE);
                flushed = written;
            }
        });

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

    // The changes of the commit, in archive order: the directories to make
    // (with the member's permission bits, the umask applying, and missing
    // parents with default ones) and the staged files to rename over their
    // destinations (a link's target), in the directory each was staged in.
    // The directories new ones go into are resolved now, inside the root;
    // what the commit makes, by the op that makes it.
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
            for (const std::string& path : step.made) {
                CommitOp op{CommitOp::Kind::make_directory};
                in_directory(op, parent_of(path));
                op.name = base_of(path);
                // Never writable by group or others, whatever the umask.
                op.mode = path == step.relative ? step.mode & 0755 : 0755;
                op.display = root_.display(path);
                op.step = index;
                made[path] = static_cast<int>(ops.size());
                ops.push_back(std::move(op));
            }
            if (step.kind != MemberKind::file) continue;
            Staged& staged = *step.staged;
            CommitOp op{CommitOp::Kind::rename};
            std::string directory = parent_of(step.relative);
            if (made.count(directory)) {
                in_directory(op, directory);
                op.name = base_of(step.relative);
            } else {
                // The destination as located when the file was staged beside
                // it: a link changed since moves nothing elsewhere.
                op.directory = staged.directory;
                op.name = staged.name;
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

    bool quiet_;
    Fd lock_;
    std::set<std::pair<dev_t, ino_t>> cleaned_;
};

// A plan of the import: every member checked alike, the content let pass;
// nothing staged, no lock taken, nothing written.
class ImportPlan final : public Importer {
public:
    ImportPlan(Ctx c, const Root& root, bool texts) : Importer(c, root, true, texts) {}

    // The lock file as lock() would open it (read-write, links not
    // followed), when the import takes the lock: the error it would meet.
    void check_lock() const {
        if (!has_files()) return;
        std::string relative = lock_relative();
        Located located = root_.locate(relative, false);
        struct stat found;
        int error = 0;
        if (::fstatat(located.parent.get(), located.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0)
            error = errno == ENOENT ? 0 : errno;  // a missing one is created
        else if (S_ISLNK(found.st_mode))
            error = ELOOP;
        else if (S_ISDIR(found.st_mode))
            error = EISDIR;
        else if (S_ISSOCK(found.st_mode))
            error = ENXIO;
        if (error) raise_os_error(error, root_.display(relative));
    }

private:
    void content(Step&, bool, mode_t, uint64_t size, TarStream& stream, const Chunks& read) override {
        stream.pass(size, read);
    }
};

// Reads the archive once, checking every member as the import does, and
// hands the walk that read it to done.
template <typename Walk, typename Done>
void read_checked_archive(Ctx c, Borrowed self, Borrowed input_file, bool option, Done&& done) {
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

    // Every member checked, and its content staged (an import) or let pass (a plan).
    Root root(fs_bytes(getattr(self, st.root_dir)), rooted::forced_fallbacks());
    Walk importer(c, root, option);
    read_archive(stream, importer);
    close_compressed.close_now();
    close_raw.close_now();
    done(importer);
}

}  // namespace

void import_configuration(Ctx c, Borrowed self, Borrowed input_file) {
    State& st = c.st;
    read_checked_archive<StagingImport>(c, self, input_file, false,
                                        [&](StagingImport& importer) { importer.commit(self); });

    // The restart is requested and the import reported.
    setattr(self, st.need_daemon_restart, Py_True);
    print_message(c, "Configuration imported");
}

ImportResult import_reporting(Ctx c, Borrowed self, Borrowed input_file) {
    ImportResult result;
    read_checked_archive<StagingImport>(c, self, input_file, true, [&](StagingImport& importer) {
        result.changes = importer.changes();  // before the commit changes the tree
        importer.commit(self);
        result.skipped = importer.skipped();
        result.notes = importer.notes();
    });
    return result;
}

ImportResult plan_import(Ctx c, Borrowed self, Borrowed input_file, bool texts) {
    ImportResult result;
    read_checked_archive<ImportPlan>(c, self, input_file, texts, [&](ImportPlan& importer) {
        importer.check_lock();
        result.changes = importer.changes();
        result.skipped = importer.skipped();
    });
    return result;
}
}  // namespace zelta::transfer
