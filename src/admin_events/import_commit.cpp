// The commit of an import. carry_out() and what it calls run in the helper
// process, after fork() in a process that may have other threads: system
// calls only, no allocation, nothing of Python. run_commit() runs in the
// caller.
#include "import_commit.hpp"
#include "files.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace zelta::transfer {

using rooted::Fd;
using rooted::raise_os_error;

namespace {

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
// earlier ones: the tree ends wholly old or wholly new. The helper's copy
// of the read end goes first: once the caller is gone, a report meets a
// closed pipe instead of filling it and waiting for ever, lock held.
[[noreturn]] void carry_out(std::vector<CommitOp>& ops, int reader, int report) {
    ::close(reader);
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

// The signals a closed terminal or a stopping service sends the whole
// process group; the helper holds them off for its short run.
sigset_t held_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) sigaddset(&set, signal);
    return set;
}

}  // namespace

CommitOutcome run_commit(std::vector<CommitOp>& ops, std::string_view root) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) raise_os_error(errno, root);
    Fd reader(ends[0]), writer(ends[1]);
    // Blocked before the fork, so that the helper never runs without.
    sigset_t held = held_signals(), previous;
    ::pthread_sigmask(SIG_BLOCK, &held, &previous);
    pid_t helper = ::fork();
    if (helper == 0) carry_out(ops, reader.get(), writer.get());
    int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (helper < 0) raise_os_error(fork_error, root);
    writer.reset();
    CommitOutcome outcome;
    OpResult result;
    size_t filled = 0;
    for (;;) {
        ssize_t got = uninterrupted(
            [&] { return ::read(reader.get(), reinterpret_cast<char*>(&result) + filled, sizeof result - filled); });
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
    uninterrupted([&] { return ::waitpid(helper, &outcome.status, 0); });
    return outcome;
}

}  // namespace zelta::transfer
