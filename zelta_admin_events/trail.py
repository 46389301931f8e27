"""The trail of changes: a record in the system log before and after each
change, a history of the changes made on the host, and their undoing.

Every front end (the command, the Ansible modules) hands a Recorder to the
one function through which changes pass: ``before(command, argv, plan)`` runs
once the plan succeeded and is not empty, right before the change is applied;
``after(outcome)`` once it was applied and the daemons restarted, also when
applying failed.

The history lies below the system root, in ``var/lib/zelta-admin-events``:
``history.jsonl`` holds one JSON object per line, oldest first, and
``kept/ID/SHA256`` the previous content of each file an entry replaced or
removed. Appends take the events library's lock on the configuration file.
"""

import contextlib
import errno
import fcntl
import hashlib
import io
import json
import os
import shlex
import socket
import stat
import sys
import time
import unicodedata

from zelta_admin_events import frontend

IDENTITY = "zelta-admin-events"
LOG_SOCKET_ENV = "ZELTA_ADMIN_EVENTS_LOG_SOCKET"
LOG_SOCKET = "/dev/log"
# authpriv, as syslog.h numbers it; the priorities notice and warning.
FACILITY_AUTHPRIV = 10
NOTICE, WARNING = 5, 4
LOGINUID_FILE = "/proc/self/loginuid"
_NO_LOGINUID = 4294967295

HISTORY_DIR = "var/lib/zelta-admin-events"
HISTORY_FILE = "history.jsonl"
KEPT_DIR = "kept"
LOCK_FILE = "etc/zelta-syslog.conf.lock"
CONFIG_FILE = "etc/zelta-syslog.conf"
MAX_ENTRIES = 100
MAX_KEPT_BYTES = 64 * 1024 * 1024
# A value in a log record is cut after this many characters; a record lists
# changes until it reaches RECORD_LIMIT characters.
VALUE_LIMIT = 200
RECORD_LIMIT = 4000

_DIR_MODE = 0o700
_FILE_MODE = 0o600
_PARENT_MODE = 0o755
_MAX_LINKS = 40
_MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")


def _(message):
    return frontend._(message)


def N_(message):
    return message


class TrailError(Exception):
    """The history cannot be read or written as asked."""


def root_of(cls):
    """The system root the administrator class works on."""
    return str(getattr(cls, "_ZeltaAdminEvents__root_dir", "/"))


# ---- files inside the root ---------------------------------------------------------

class Root:
    """A system tree whose paths are resolved inside it: an absolute link
    target counts from the root and ".." stops there, so no link leads out."""

    def __init__(self, path="/"):
        self.path = os.path.abspath(path)

    def display(self, relative):
        return os.path.join(self.path, relative)

    def relative(self, path):
        """A path of a plan (below the root, or relative already) made relative to the root."""
        if os.path.isabs(path):
            path = os.path.normpath(path)
            if self.path != "/" and not path.startswith(self.path + "/"):
                raise TrailError(f"{path} is not below {self.path}")
            path = path[len(self.path):]
        return path.lstrip("/")

    def locate(self, relative, create=False, follow=True):
        """(descriptor of the parent directory, last name) of relative.

        Directories on the way are opened with O_NOFOLLOW and links followed
        by hand; create makes missing directories (never group- or
        world-writable); follow resolves a link in the last component too.
        The caller closes the descriptor.
        """
        todo = [part for part in reversed(relative.split("/")) if part not in ("", ".")]
        if not todo:
            raise TrailError(f"no file name in {relative!r}")
        stack = [os.open(self.path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)]
        links = 0
        try:
            while True:
                part = todo.pop()
                if part == "..":
                    if len(stack) > 1:
                        os.close(stack.pop())
                    if not todo:
                        raise TrailError(f"no file name in {relative!r}")
                    continue
                if part == ".":
                    continue
                target = self._link_target(stack[-1], part) if (todo or follow) else None
                if target is not None:
                    links += 1
                    if links > _MAX_LINKS:
                        raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), self.display(relative))
                    if target.startswith("/"):
                        while len(stack) > 1:
                            os.close(stack.pop())
                    todo.extend(p for p in reversed(target.split("/")) if p not in ("", "."))
                    if not todo:  # a link to the root itself
                        raise TrailError(f"no file name in {relative!r}")
                    continue
                if not todo:
                    parent = stack.pop()
                    return parent, part
                try:
                    fd = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=stack[-1])
                except FileNotFoundError:
                    if not create:
                        raise
                    try:
                        os.mkdir(part, _PARENT_MODE, dir_fd=stack[-1])
                    except FileExistsError:
                        pass
                    fd = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=stack[-1])
                stack.append(fd)
        finally:
            for fd in stack:
                os.close(fd)

    @staticmethod
    def _link_target(directory, name):
        try:
            return os.readlink(name, dir_fd=directory)
        except OSError as error:
            if error.errno in (errno.EINVAL, errno.ENOENT, errno.ENOTDIR):
                return None
            raise

    def open(self, relative, flags, mode=_FILE_MODE, create_parents=False, follow=True):
        parent, name = self.locate(relative, create=create_parents, follow=follow)
        try:
            return os.open(name, flags | os.O_NOFOLLOW | os.O_CLOEXEC, mode, dir_fd=parent)
        finally:
            os.close(parent)

    def stat(self, relative):
        """The status of relative (links resolved inside the root); None when it is not there."""
        try:
            parent, name = self.locate(relative)
        except (FileNotFoundError, NotADirectoryError):
            return None
        try:
            return os.stat(name, dir_fd=parent, follow_symlinks=False)
        except FileNotFoundError:
            return None
        finally:
            os.close(parent)

    def read(self, relative, follow=True):
        """(content, status) of a regular file; None when it is not there."""
        try:
            fd = self.open(relative, os.O_RDONLY | os.O_NONBLOCK, follow=follow)
        except (FileNotFoundError, NotADirectoryError):
            return None
        with os.fdopen(fd, "rb") as file:
            status = os.fstat(file.fileno())
            if not stat.S_ISREG(status.st_mode):
                raise TrailError(f"{self.display(relative)} is not a regular file")
            return file.read(), status


@contextlib.contextmanager
def library_lock(root):
    """The events library's lock on the configuration file, which every writer
    of the configuration takes; a lock file that is a link is refused."""
    try:
        fd = root.open(LOCK_FILE, os.O_RDWR | os.O_CREAT | os.O_NONBLOCK, _FILE_MODE, follow=False)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise TrailError(_("refusing the lock file {path}: it is a symbolic link")
                             .format(path=root.display(LOCK_FILE))) from None
        raise
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise TrailError(_("refusing the lock file {path}: it is not a regular file")
                             .format(path=root.display(LOCK_FILE)))
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _write_file(directory, name, data, flags):
    """Writes data to a new file name in the directory held open (flags add
    O_EXCL or O_TRUNC; a link there is never followed) and syncs it."""
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC | flags, _FILE_MODE, dir_fd=directory)
    try:
        _write_all(fd, data)
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_dir(fd):
    try:
        os.fsync(fd)
    except OSError as error:  # some file systems cannot sync a directory
        if error.errno not in (errno.EINVAL, errno.ENOTSUP):
            raise


# ---- who changes --------------------------------------------------------------------

def _user_name(uid):
    import pwd

    try:
        return pwd.getpwuid(uid).pw_name
    except (KeyError, OverflowError):
        return str(uid)


def current_user():
    """The login user of the session (the kernel's login UID, else the login
    name of the terminal), the user the command runs as, and the user who
    invoked sudo, if it did."""
    login = None
    try:
        with open(LOGINUID_FILE, encoding="ascii") as file:
            uid = int(file.read().strip())
        if uid != _NO_LOGINUID:
            login = _user_name(uid)
    except (OSError, ValueError):
        pass
    if login is None:
        try:
            login = os.getlogin()
        except OSError:
            login = None
    user = {"login": login, "uid": os.geteuid(), "name": _user_name(os.geteuid())}
    sudo_user, sudo_uid = os.environ.get("SUDO_USER"), os.environ.get("SUDO_UID")
    if sudo_user or sudo_uid:
        user["sudo_user"] = sudo_user
        user["sudo_uid"] = sudo_uid
    return user


def describe_user(user):
    words = [f"user={user.get('login') or '?'}", f"uid={user.get('uid')}({user.get('name')})"]
    if "sudo_user" in user:
        words.append(f"sudo_user={user.get('sudo_user') or '?'}({user.get('sudo_uid') or '?'})")
    return " ".join(words)


# ---- the system log -------------------------------------------------------------------

_ESCAPED_CATEGORIES = ("Cc", "Cf", "Cs", "Zl", "Zp")


def escape(text):
    """Control and format characters as visible escapes, so no value can start
    a log line of its own or hide what follows it."""
    out = []
    for char in text:
        if unicodedata.category(char) in _ESCAPED_CATEGORIES:
            code = ord(char)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
        else:
            out.append(char)
    return "".join(out)


def bound(text, limit=VALUE_LIMIT):
    """text, or its first limit characters marked with its length and digest."""
    if len(text) <= limit:
        return text
    digest = hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()
    return f"{text[:limit]}...[cut: {len(text)} chars, sha256 {digest}]"


def _value(value):
    return bound(json.dumps(value, ensure_ascii=False, sort_keys=True))


def describe_change(change):
    """One change as the log and the history listing show it."""
    if "file" in change:
        kind = "directory " if change.get("type") == "directory" else ""
        before = change.get("before_sha256")
        after = change.get("after_sha256")
        return (f"{change.get('action')} {kind}{bound(change['file'])}"
                + ("" if kind else f": {'sha256:' + before if before else 'absent'} -> "
                                   f"{'sha256:' + after if after else 'absent'}"))
    name = frontend.parameter_name(change.get("section"), change["parameter"])
    return f"{bound(change['event'])} {bound(name)}: {_value(change.get('before'))} -> {_value(change.get('after'))}"


def before_record(user, argv, plan):
    changes = plan.get("changes") or []
    head = f"change: {describe_user(user)} command={bound(shlex.join(argv), 400)} changes={len(changes)}:"
    text = escape(head)
    for shown, change in enumerate(changes):
        item = " " + escape(describe_change(change)) + ";"
        if len(text) + len(item) > RECORD_LIMIT:
            text += f" ...and {len(changes) - shown} more (in the history)"
            break
        text += item
    return text.rstrip(";")


def after_record(user, argv, status, detail, entry_id):
    text = f"changed: {describe_user(user)} command={bound(shlex.join(argv), 400)} outcome={status}"
    if detail:
        text += f": {bound(detail, 400)}"
    text += f" history={entry_id if entry_id is not None else 'none'}"
    return escape(text)


def send_log(message, priority=NOTICE):
    """Sends one record to the system log's local datagram socket; raises OSError when it cannot."""
    path = os.environ.get(LOG_SOCKET_ENV) or LOG_SOCKET
    now = time.localtime()
    stamp = f"{_MONTHS[now.tm_mon - 1]} {now.tm_mday:2d} {now.tm_hour:02d}:{now.tm_min:02d}:{now.tm_sec:02d}"
    data = f"<{FACILITY_AUTHPRIV * 8 + priority}>{stamp} {IDENTITY}[{os.getpid()}]: {message}"
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC) as sock:
        sock.settimeout(5)  # a log daemon that does not read never holds the change up for long
        sock.connect(path)
        sock.send(data.encode("utf-8", "replace"))


# ---- the history ------------------------------------------------------------------------

def _entry_lines(data):
    """The entries of the history file's content; a line that is not a whole
    entry (a crash mid-append) is passed over."""
    entries = []
    for line in data.split(b"\n"):
        if not line.strip():
            continue
        try:
            entry = json.loads(line)
        except ValueError:
            continue
        if isinstance(entry, dict) and isinstance(entry.get("id"), int):
            entries.append(entry)
    return entries


def _entry_line(entry):
    """An entry as one line of the history file. Text that is no valid UTF-8
    (a lone surrogate from an undecodable argument) is written escaped."""
    return (json.dumps(entry, separators=(",", ":")) + "\n").encode("ascii")


class History:
    """The history of changes below a root."""

    def __init__(self, root):
        self.root = root if isinstance(root, Root) else Root(root)

    def _path(self, *names):
        return "/".join((HISTORY_DIR,) + names)

    def entries(self):
        """Every entry, oldest first; none when there is no history yet."""
        try:
            found = self.root.read(self._path(HISTORY_FILE), follow=False)
        except NotADirectoryError:
            found = None
        return [] if found is None else _entry_lines(found[0])

    def entry(self, entry_id):
        for entry in self.entries():
            if entry["id"] == entry_id:
                return entry
        raise TrailError(_("no change {id} in the history").format(id=entry_id))

    def kept(self, entry_id, digest):
        """The kept content of a file, checked against its digest."""
        found = self.root.read(self._path(KEPT_DIR, str(entry_id), digest), follow=False)
        if found is None or hashlib.sha256(found[0]).hexdigest() != digest:
            raise TrailError(_("the previous content of a file of change {id} is missing or damaged")
                             .format(id=entry_id))
        return found[0]

    def append(self, entry, kept=None):
        """Adds entry (given its ID here) with the kept file contents (digest ->
        bytes) under the library's lock; returns the ID."""
        with library_lock(self.root):
            directory = self._open_dir(HISTORY_DIR)
            try:
                fd = os.open(HISTORY_FILE, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, _FILE_MODE,
                             dir_fd=directory)
                try:
                    data = self._read_whole(fd)
                    # A crash mid-append may have left part of a line: the new entry
                    # starts a line of its own, and the reader passes over the part.
                    tail = b"\n" if data and not data.endswith(b"\n") else b""
                    entries = _entry_lines(data)
                    entry = dict(entry, id=max((e["id"] for e in entries), default=0) + 1)
                    if kept:
                        self._keep(directory, entry["id"], kept)
                    os.lseek(fd, 0, os.SEEK_END)
                    _write_all(fd, tail + _entry_line(entry))
                    os.fsync(fd)
                finally:
                    os.close(fd)
                self._prune(directory, entries + [entry])
            finally:
                os.close(directory)
        return entry["id"]

    def _open_dir(self, relative):
        parent, name = self.root.locate(relative, create=True)
        try:
            try:
                os.mkdir(name, _DIR_MODE, dir_fd=parent)
            except FileExistsError:
                pass
            return os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=parent)
        finally:
            os.close(parent)

    @staticmethod
    def _read_whole(fd):
        chunks = []
        while chunk := os.read(fd, 1 << 20):
            chunks.append(chunk)
        return b"".join(chunks)

    @staticmethod
    def _subdir(directory, name, create=True):
        if create:
            try:
                os.mkdir(name, _DIR_MODE, dir_fd=directory)
            except FileExistsError:
                pass
        return os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=directory)

    def _keep(self, directory, entry_id, kept):
        kept_dir = self._subdir(directory, KEPT_DIR)
        try:
            _remove_tree(kept_dir, str(entry_id))  # left by an append that did not finish
            os.mkdir(str(entry_id), _DIR_MODE, dir_fd=kept_dir)
            entry_dir = self._subdir(kept_dir, str(entry_id), create=False)
            try:
                for digest, content in kept.items():
                    _write_file(entry_dir, digest, content, os.O_EXCL)
                _fsync_dir(entry_dir)
            finally:
                os.close(entry_dir)
            _fsync_dir(kept_dir)
        finally:
            os.close(kept_dir)

    def _prune(self, directory, entries):
        """Keeps the newest entries and kept files within their bounds, and
        removes kept files of no entry."""
        keep = entries[-MAX_ENTRIES:]
        rewrite = len(keep) < len(entries)
        total = 0
        for entry in reversed(keep):
            size = entry.get("kept_bytes", 0)
            if size and not entry.get("kept_pruned"):
                if total + size > MAX_KEPT_BYTES:
                    entry["kept_pruned"] = True
                    rewrite = True
                else:
                    total += size
        if rewrite:
            text = b"".join(_entry_line(e) for e in keep)
            temporary = f".{HISTORY_FILE}.{os.getpid()}.tmp"
            _write_file(directory, temporary, text, os.O_TRUNC)
            os.rename(temporary, HISTORY_FILE, src_dir_fd=directory, dst_dir_fd=directory)
            _fsync_dir(directory)
        wanted = {str(e["id"]) for e in keep if "kept_bytes" in e and not e.get("kept_pruned")}
        try:
            kept_dir = self._subdir(directory, KEPT_DIR, create=False)
        except FileNotFoundError:
            return
        try:
            for name in os.listdir(kept_dir):
                if name not in wanted:
                    _remove_tree(kept_dir, name)
        finally:
            os.close(kept_dir)


def _remove_tree(directory, name):
    """Removes name below the directory descriptor, never following a link."""
    try:
        fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=directory)
    except FileNotFoundError:
        return
    except OSError as error:
        if error.errno not in (errno.ENOTDIR, errno.ELOOP):
            raise
        os.unlink(name, dir_fd=directory)
        return
    try:
        for child in os.listdir(fd):
            _remove_tree(fd, child)
    finally:
        os.close(fd)
    os.rmdir(name, dir_fd=directory)


# ---- recording a change ----------------------------------------------------------------------

def outcome_status(outcome):
    """(status, detail, priority) of an outcome: done, refused, failed or
    restart failed, with what failed."""
    error = outcome.get("error")
    if error is not None:
        if outcome.get("changed"):
            return "failed", str(error), WARNING
        return "refused", str(error), WARNING
    units = outcome.get("failed_units") or []
    if units:
        return "restart failed", ", ".join(units), WARNING
    return "done", "", NOTICE


class Recorder:
    """Records one change: in the system log before and after it, and in the
    history once it was applied. Failures to record never stop the change:
    they are said on standard error."""

    def __init__(self, root="/", undoes=None, warn=None):
        self.root = root if isinstance(root, Root) else Root(root)
        self.undoes = undoes
        self.entry_id = None
        self._warn = warn or _warn
        self._started = None
        self._log_failed = False

    def before(self, command, argv, plan):
        self._started = (time.time(), current_user(), command, list(argv or ()), plan)
        self._kept, self._kept_meta = {}, {}
        for change in plan.get("changes") or ():
            if change.get("action") in ("replace", "remove") and "file" in change:
                try:
                    relative = self.root.relative(change["file"])
                except TrailError as error:
                    self._warn(str(error))
                    continue
                self._capture(relative, change.get("type") == "directory")
        self._log(before_record(self._started[1], self._started[3], plan), NOTICE)

    def _capture(self, relative, directory=False):
        try:
            if directory:  # its owner and mode, to make it again as it was
                status = self.root.stat(relative)
                if status is not None:
                    self._kept_meta[relative] = {"mode": stat.S_IMODE(status.st_mode), "uid": status.st_uid,
                                                 "gid": status.st_gid}
                return
            found = self.root.read(relative)
        except (OSError, TrailError) as error:
            self._warn(_("the previous content of {file} could not be kept: {error}")
                       .format(file=relative, error=error))
            return
        if found is None:
            return
        content, status = found
        digest = hashlib.sha256(content).hexdigest()
        self._kept[digest] = content
        self._kept_meta[relative] = {"sha256": digest, "size": len(content), "mode": stat.S_IMODE(status.st_mode),
                                     "uid": status.st_uid, "gid": status.st_gid}

    def after(self, outcome):
        if self._started is None:
            return
        started, user, command, argv, plan = self._started
        status, detail, priority = outcome_status(outcome)
        stored_plan = {"changed": plan.get("changed"), "error": plan.get("error"),
                       "changes": [{k: v for k, v in c.items() if k not in ("before_text", "after_text")}
                                   for c in plan.get("changes") or ()]}
        entry = {"id": 0, "time": _iso(started), "user": user, "command": command, "argv": argv,
                 "plan": stored_plan, "outcome": status, "detail": detail or None,
                 "failed_units": list(outcome.get("failed_units") or []),
                 "restarted": outcome.get("restarted")}
        if outcome.get("skipped"):
            entry["skipped"] = outcome["skipped"]
        if self.undoes is not None:
            entry["undoes"] = self.undoes
        if self._kept_meta:
            entry["kept"] = self._kept_meta
        if self._kept:
            entry["kept_bytes"] = sum(len(c) for c in self._kept.values())
        try:
            self.entry_id = History(self.root).append(entry, self._kept)
        except Exception as error:  # the change is made: a history that cannot take it must not hide that
            self._warn(_("the change could not be added to the history: {error}").format(error=error))
        self._log(after_record(user, argv, status, detail, self.entry_id), priority)
        self._started = None

    def _log(self, message, priority):
        try:
            send_log(message, priority)
        except OSError as error:
            if not self._log_failed:
                self._log_failed = True
                self._warn(_("the change could not be recorded in the system log: {error}").format(
                    error=error.strerror or error))


def _warn(message):
    print(f"{IDENTITY}: " + escape(_("warning: {message}").format(message=message)), file=sys.stderr)


def _iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


# ---- undo ---------------------------------------------------------------------------------

_MISSING = object()
# The outcomes after which a change has taken effect, whole or in part.
_TOOK_EFFECT = ("done", "restart failed", "failed")


def _same(a, b):
    """Whether two JSON values are one value (true is not 1, key order aside)."""
    return json.dumps(a, sort_keys=True) == json.dumps(b, sort_keys=True)


def undone_by(entries):
    """Change ID -> the ID of the undo that reverted it."""
    return {e["undoes"]: e["id"] for e in entries
            if e.get("undoes") is not None and e.get("outcome") in ("done", "restart failed")}


def pick_entry(entries, entry_id=None, passed=()):
    """The entry to undo: the one named, else the newest change that is no
    undo and was not undone (and whose ID is not among passed)."""
    undone = undone_by(entries)
    if entry_id is None:
        for entry in reversed(entries):
            if entry.get("undoes") is None and entry["id"] not in undone and entry["id"] not in passed \
                    and entry.get("outcome") in _TOOK_EFFECT:
                return entry
        raise TrailError(_("nothing to undo: the history holds no change that is not undone"))
    for entry in entries:
        if entry["id"] == entry_id:
            break
    else:
        raise TrailError(_("no change {id} in the history").format(id=entry_id))
    if entry["id"] in undone:
        raise TrailError(_("change {id} was undone already by change {undo}").format(id=entry_id,
                                                                                   undo=undone[entry["id"]]))
    if entry.get("outcome") not in _TOOK_EFFECT:
        raise TrailError(_("change {id} changed nothing: there is nothing to undo").format(id=entry_id))
    return entry


def _quiet(make):
    """Calls make with what it prints (unknown ID lines) kept off standard output."""
    with contextlib.redirect_stdout(io.StringIO()):
        return make()


class Undo:
    """The inverse of one change of the history: planned and checked when
    made, applied by apply().

    plan has the keys of the class's plans ("changed", "changes", "error")
    and "undoes" (the ID) and "differs" (what no longer has the value the
    change left: each {"event", "section", "parameter", "expected", "current"}
    or {"file", "expected_sha256", "current_sha256"}).
    """

    def __init__(self, cls, entry_id=None):
        self.cls = cls
        self.root = Root(root_of(cls))
        self.history = History(self.root)
        entries = self.history.entries()
        passed = set()
        while True:
            # A failed change that wrote nothing is passed over when no ID is named.
            self.entry = pick_entry(entries, entry_id, passed)
            if self._make_plan() or entry_id is not None:
                break
            passed.add(self.entry["id"])

    def _make_plan(self):
        """Plans the inverse of self.entry; false when the entry left nothing to undo."""
        self.admins = []  # the objects that apply the inverse, whose restart flag tells
        self.differs = []
        self._steps = []
        self._removals = []
        self._archive = None
        changes = self.entry["plan"]["changes"]
        changes_plan = []
        error = None
        try:
            if any("file" in c for c in changes):
                changes_plan = self._plan_files(changes)
            else:
                changes_plan = self._plan_parameters(changes)
        except TrailError as refusal:
            error = str(refusal)
        if self.differs:
            error = _("change {id} cannot be undone: something changed since").format(id=self.entry["id"])
        took_effect = error is not None or bool(changes_plan)
        if not took_effect:
            error = _("change {id} changed nothing: there is nothing to undo").format(id=self.entry["id"])
        if error is not None:
            changes_plan = []
        self.plan = {"changed": bool(changes_plan), "changes": changes_plan, "error": error,
                     "undoes": self.entry["id"], "differs": self.differs}
        return took_effect

    # -- parameters

    def _plan_parameters(self, changes):
        failed = self.entry.get("outcome") == "failed"
        events = list(dict.fromkeys(c["event"] for c in changes))
        current = self._current_values(events)
        wanted = {}
        for change in changes:
            key = (change["event"], change["section"], change["parameter"])
            now = current(*key)
            if failed and _same(None if now is _MISSING else now, change["before"]):
                continue  # a failed change that did not come this far
            if now is _MISSING or not _same(now, change["after"]):
                self.differs.append({"event": key[0], "section": key[1], "parameter": key[2],
                                     "expected": change["after"], "current": None if now is _MISSING else now})
            wanted[key] = change["before"]
        if self.differs:
            return []
        steps = {}
        for (event, section, parameter), before in wanted.items():
            step = self._inverse_step(event, section, parameter, before, wanted)
            if step is not None:
                steps.setdefault(step, []).append(event)
        planned = []
        for (operation, args), step_events in steps.items():
            admin = _quiet(lambda: self.cls(list(dict.fromkeys(step_events)), []))
            plan = getattr(admin, "plan_" + operation)(*args)
            if plan["error"] is not None:
                raise TrailError(plan["error"])
            self._steps.append((admin, operation, args))
            planned.extend(plan["changes"])
        made = {(c["event"], c["section"], c["parameter"]): c["after"] for c in planned}
        for key, before in wanted.items():
            if key not in made or not _same(made[key], before):
                raise TrailError(_("{event} {parameter} cannot be set back to {value} by the operations "
                                   "of the module").format(
                    event=key[0], parameter=frontend.parameter_name(key[1], key[2]),
                    value=json.dumps(before, ensure_ascii=False)))
        for key in made:
            if key not in wanted:
                raise TrailError(_("undoing would also change {event} {parameter}, which the change did not "
                                   "touch").format(event=key[0], parameter=frontend.parameter_name(key[1], key[2])))
        return planned

    def _current_values(self, events):
        admin = _quiet(lambda: self.cls(list(events), []))
        unknown = set(admin.get_unknown_ids()["events"])
        settings = {e["id"]: e for e in admin.get_event_settings()} if len(unknown) < len(events) else {}

        def value(event, section, parameter):
            if event in unknown or event not in settings:
                return _MISSING
            if section == "" and parameter == "enabled":
                return settings[event]["enabled"]
            values = settings[event]["settings"]
            if section:
                values = values.get(section)
                if not isinstance(values, dict):
                    return _MISSING
            return values.get(parameter, _MISSING)

        return value

    @staticmethod
    def _inverse_step(event, section, parameter, before, wanted):
        if section == "" and parameter == "enabled" and isinstance(before, bool):
            return ("enable" if before else "disable", ())
        if section == "" and parameter in ("message-syslog-facility", "message-syslog-priority") \
                and isinstance(before, str):
            return ("set_" + parameter.rsplit("-", 1)[1], (before,))
        if section == "" and parameter == "message-audit-rules" \
                and any(k[0] == event and k[2] != "message-audit-rules" for k in wanted):
            return None  # derived again from the parameter set back with it
        if isinstance(before, (str, list, dict)):
            return ("set_properties", (section, parameter, json.dumps(before, ensure_ascii=False)))
        raise TrailError(_("{event} {parameter} had no value the module can set ({value}): the change cannot "
                           "be undone").format(event=event, parameter=frontend.parameter_name(section, parameter),
                                               value=json.dumps(before)))

    # -- files

    def _plan_files(self, changes):
        kept = self.entry.get("kept") or {}
        failed = self.entry.get("outcome") == "failed"
        restore, make_dirs, remove_files, remove_dirs = {}, [], [], []
        for change in changes:
            relative, kind, action = self.root.relative(change["file"]), change.get("type"), change.get("action")
            status = self.root.stat(relative)
            if kind == "directory":
                present = status is not None and stat.S_ISDIR(status.st_mode)
                if failed and present == (action != "create"):
                    continue  # a failed change that did not come this far
                if action == "create":
                    if not present:
                        self._differ(relative, "directory", None)
                    remove_dirs.append(relative)
                elif status is not None:
                    self._differ(relative, None, "present")
                else:
                    make_dirs.append(relative)
                continue
            current = self._digest(relative)
            expected = change.get("after_sha256")
            if failed and current == change.get("before_sha256") and current != expected:
                continue  # a failed change that did not come this far
            if current != expected:
                self._differ(relative, expected, current)
                continue
            if action == "create":
                remove_files.append((relative, current))
            else:
                meta = kept.get(relative)
                if meta is None or self.entry.get("kept_pruned"):
                    raise TrailError(_("the previous content of {file} was not kept: change {id} cannot be "
                                       "undone").format(file=relative, id=self.entry["id"]))
                restore[relative] = self.history.kept(self.entry["id"], meta["sha256"])
        if self.differs:
            return []
        planned = []
        if restore or make_dirs:
            if CONFIG_FILE not in restore:
                # An archive carries the configuration file: its content as it stands.
                found = self.root.read(CONFIG_FILE)
                if found is None:
                    raise TrailError(_("{file} is missing: the files cannot be put back").format(file=CONFIG_FILE))
                restore = dict(restore, **{CONFIG_FILE: found[0]})
            self._archive = (make_dirs, restore)
            admin = _quiet(lambda: self.cls([], []))
            with self._archive_file() as path:
                plan = admin.plan_import_config(path)
            if plan["error"] is not None:
                raise TrailError(plan["error"])
            for change in plan["changes"]:
                relative = self.root.relative(change["file"])
                if change["type"] == "file" and (relative not in restore or change["after_sha256"]
                                                  != hashlib.sha256(restore[relative]).hexdigest()):
                    raise TrailError(_("undoing would also change {file}").format(file=change["file"]))
            self._steps.append((admin, "import", ()))
            planned.extend(plan["changes"])
        for relative, digest in remove_files:
            planned.append({"file": self.root.display(relative), "type": "file", "action": "remove",
                            "before_sha256": digest,
                            "after_sha256": None})
        for relative in sorted(remove_dirs, key=lambda p: -p.count("/")):
            planned.append({"file": self.root.display(relative), "type": "directory", "action": "remove",
                            "before_sha256": None, "after_sha256": None})
        self._removals = [c for c in planned if c["action"] == "remove"]
        return planned

    def _differ(self, relative, expected, current):
        self.differs.append({"file": relative, "expected_sha256": expected, "current_sha256": current})

    def _digest(self, relative):
        """The SHA-256 of a regular file; None when absent, "other" for another kind of file."""
        try:
            found = self.root.read(relative)
        except TrailError:
            return "other"
        return None if found is None else hashlib.sha256(found[0]).hexdigest()

    @contextlib.contextmanager
    def _archive_file(self):
        """The archive of what the files get back, laid out as an export lays
        them out, in a private temporary directory."""
        import tarfile
        import tempfile

        make_dirs, restore = self._archive
        top = f"undo-{self.entry['id']}"
        with tempfile.TemporaryDirectory(prefix="zelta-undo-") as directory:
            path = os.path.join(directory, top + ".tar.gz")
            with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as archive:
                for relative in sorted(make_dirs, key=lambda p: p.count("/")):
                    info = tarfile.TarInfo(f"{top}/{relative}")
                    info.type, info.mode, info.mtime = tarfile.DIRTYPE, 0o755, int(time.time())
                    archive.addfile(info)
                for relative, content in restore.items():
                    info = tarfile.TarInfo(f"{top}/{relative}")
                    info.size, info.mode, info.mtime = len(content), 0o644, int(time.time())
                    archive.addfile(info, io.BytesIO(content))
            yield path

    # -- applying

    def apply(self):
        """Applies the inverse; raises on a failure. Returns the objects used,
        whose restart flag says whether the daemons need a restart."""
        if self.plan["error"] is not None:
            raise TrailError(self.plan["error"])
        for admin, operation, args in self._steps:
            self.admins.append(admin)
            if operation != "import":
                getattr(admin, operation)(*args)
                continue
            with self._archive_file() as path:
                importer = getattr(admin, "import_config_archive", None)
                if importer is not None:
                    importer(path)
                else:
                    with contextlib.redirect_stdout(io.StringIO()) as printed:
                        admin.import_config(path)
                    if admin.plan_import_config(path)["changed"]:
                        raise TrailError(_("the files of change {id} could not be put back")
                                         .format(id=self.entry["id"]) + ": " + " ".join(printed.getvalue().split()))
        self._restore_owners()
        if self._removals:
            self._remove()
        return self.admins

    def _restore_owners(self):
        """Gives what the import made again the owner and mode it had when removed."""
        kept = self.entry.get("kept") or {}
        for change in self.entry["plan"]["changes"]:
            relative = self.root.relative(change["file"]) if "file" in change else None
            if change.get("action") != "remove" or relative not in kept:
                continue
            meta = kept[relative]
            parent, name = self.root.locate(relative, follow=False)
            try:
                status = os.stat(name, dir_fd=parent, follow_symlinks=False)
                if (status.st_uid, status.st_gid) != (meta["uid"], meta["gid"]):
                    os.chown(name, meta["uid"], meta["gid"], dir_fd=parent, follow_symlinks=False)
                if stat.S_IMODE(status.st_mode) != meta["mode"]:
                    # Through a descriptor: chmod would follow a link put in its place.
                    fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=parent)
                    try:
                        os.fchmod(fd, meta["mode"] & ~0o022)
                    finally:
                        os.close(fd)
            finally:
                os.close(parent)

    def _remove(self):
        """Removes the files and directories the change created, under the library's lock."""
        with library_lock(self.root):
            for change in self._removals:
                parent, name = self.root.locate(self.root.relative(change["file"]), follow=False)
                try:
                    if change["type"] == "directory":
                        try:
                            os.rmdir(name, dir_fd=parent)
                        except FileNotFoundError:
                            pass  # gone already; one that holds files since is a failure
                    else:
                        os.unlink(name, dir_fd=parent)
                    _fsync_dir(parent)
                finally:
                    os.close(parent)
        admin = self.admins[-1] if self.admins else _quiet(lambda: self.cls([], []))
        if not self.admins:
            self.admins.append(admin)
        admin._ZeltaAdminEvents__need_daemon_restart = True


# ---- listing -------------------------------------------------------------------------------

def summary(entry, undone):
    """An entry as the history listing shows it, without its plan."""
    user = entry.get("user") or {}
    return {"id": entry["id"], "time": entry.get("time"), "user": user, "command": entry.get("command"),
            "argv": entry.get("argv"), "changes": len(entry["plan"]["changes"]), "outcome": entry.get("outcome"),
            "failed_units": entry.get("failed_units", []), "undoes": entry.get("undoes"),
            "undone_by": undone.get(entry["id"])}


def history_lines(entries, limit=None):
    """The listing, newest first: one line per entry."""
    undone = undone_by(entries)
    lines = []
    for entry in list(reversed(entries))[:limit]:
        item = summary(entry, undone)
        user = item["user"].get("login") or item["user"].get("name") or "?"
        if item["user"].get("sudo_user"):
            user += f" (sudo {item['user']['sudo_user']})"
        note = ""
        if item["undoes"] is not None:
            note += "  " + _("undoes change {id}").format(id=item["undoes"])
        if item["undone_by"] is not None:
            note += "  " + _("undone by change {id}").format(id=item["undone_by"])
        lines.append(escape(f"{item['id']:>4}  {(item['time'] or '').replace('T', ' ')}  {user}  "
                            f"{bound(shlex.join(item['argv'] or []), 120)}  {item['outcome']}{note}"))
    return lines


# ---- undoing as a change ---------------------------------------------------------------------

def undo_change(cls, entry_id=None, argv=("undo",), restart=None, warn=None):
    """Undoes a change of the history as any change is made: under the front
    ends' lock, planned and checked first; refused (nothing written) when
    the plan has an error; recorded in the log and the history; restart(admin)
    restarts the daemons when the undo needs it and returns the units whose
    restart failed.

    Returns (undo, outcome), outcome as the shared change function gives it.
    A failure while applying raises ChangeFailed (with the outcome, "error"
    set), an interruption itself, after the restart and the record.
    """
    with frontend.lock(cls):
        undo = Undo(cls, entry_id)
        outcome = {"changed": undo.plan["changed"], "changes": undo.plan["changes"], "error": undo.plan["error"],
                   "failed_units": [], "restarted": False}
        if undo.plan["error"] is not None or not undo.plan["changes"]:
            return undo, outcome
        recorder = Recorder(undo.root, undoes=undo.entry["id"], warn=warn)
        recorder.before("undo", list(argv), undo.plan)

        def restart_due():
            due = [admin for admin in undo.admins if admin._ZeltaAdminEvents__need_daemon_restart]
            if due and restart is not None:
                outcome["failed_units"] = list(restart(due[-1]))
                outcome["restarted"] = getattr(due[-1], "restarts_daemons", True)

        failure = frontend.carry_out(undo.apply, outcome, frontend.describe, restart_due, recorder)
        outcome["history"] = recorder.entry_id
        if failure is not None:
            if not isinstance(failure, Exception):
                raise failure
            raise frontend.ChangeFailed(outcome["error"], dict(outcome, undoes=undo.entry["id"])) from failure
        return undo, outcome


def entry_document(entries, entry_id):
    """One entry whole, with the undo that reverted it ("undone_by", or None)."""
    for entry in entries:
        if entry["id"] == entry_id:
            return dict(entry, undone_by=undone_by(entries).get(entry_id))
    raise TrailError(_("no change {id} in the history").format(id=entry_id))


def history_document(entries, limit=None):
    """{"entries": [summary, ...]}, newest first."""
    undone = undone_by(entries)
    return {"entries": [summary(entry, undone) for entry in list(reversed(entries))[:limit]]}


def plan_lines(changes):
    """The changes of a plan, one line each, as the log shows them."""
    return [escape(describe_change(change)) for change in changes]


def entry_lines(entry):
    """An entry as 'history show' prints it: what, who, when, how it ended, and its changes."""
    user = entry.get("user") or {}
    lines = [_("change {id}").format(id=entry["id"]),
             _("time: {time}").format(time=entry.get("time")),
             _("user: {user}").format(user=describe_user(user)),
             _("command: {command}").format(command=shlex.join(entry.get("argv") or [])),
             _("outcome: {outcome}").format(outcome=entry.get("outcome")
                                            + (f": {entry['detail']}" if entry.get("detail") else ""))]
    if entry.get("undoes") is not None:
        lines.append(_("undoes change {id}").format(id=entry["undoes"]))
    if entry.get("undone_by") is not None:
        lines.append(_("undone by change {id}").format(id=entry["undone_by"]))
    lines.append(_("changes:"))
    lines.extend("  " + line for line in plan_lines(entry["plan"]["changes"]))
    return [escape(line) for line in lines]


def differs_lines(differs):
    """What no longer has the value a change left, one line each."""
    lines = []
    for item in differs:
        if "file" in item:
            expected = "sha256:" + item["expected_sha256"] if item["expected_sha256"] else _("absent")
            current = item["current_sha256"]
            current = _("absent") if current is None else current if current == "other" else "sha256:" + current
            lines.append(_("{name}: the change left {expected}, now {current}").format(
                name=bound(item["file"]), expected=expected, current=current))
        else:
            lines.append(_("{name}: the change left {expected}, now {current}").format(
                name=f"{item['event']} {frontend.parameter_name(item['section'], item['parameter'])}",
                expected=_value(item["expected"]), current=_value(item["current"])))
    return [escape(line) for line in lines]


# ---- the commands history and undo -----------------------------------------------------------

def run_history(cls, show_id=None, limit=None, as_json=False, write_json=None):
    """The command history: the listing, or one entry with show_id; the exit status."""
    entries = History(root_of(cls)).entries()
    if show_id is not None:
        document = entry_document(entries, show_id)
        if as_json:
            write_json(document)
        else:
            print("\n".join(entry_lines(document)))
        return 0
    if as_json:
        write_json(history_document(entries, limit))
        return 0
    lines = history_lines(entries, limit)
    print("\n".join(lines) if lines else _("No change recorded yet."))
    return 0


def run_undo(cls, entry_id=None, dry_run=False, as_json=False, argv=("undo",), write_json=None, restart=None,
             diagnose=None, quiet_output=None, warn=None):
    """The command undo: its inverse with dry_run, else the undo itself; the
    exit status. quiet_output(as_json) is the context in which the class's
    own lines are printed (standard error while a JSON document is due).
    With as_json, a document is written also when the undo raises."""
    try:
        if dry_run:
            undo = Undo(cls, entry_id)
        else:
            with quiet_output(as_json) if quiet_output is not None else contextlib.nullcontext():
                undo, outcome = undo_change(cls, entry_id, argv, restart, warn)
    except TrailError as refusal:  # nothing to undo: nothing written
        if as_json:
            write_json(dict(frontend._refusal(str(refusal)),
                            **({} if dry_run else {"failed_units": [], "restarted": False}),
                            undoes=entry_id, differs=[]))
        raise
    except frontend.ChangeFailed as failure:
        if as_json:
            write_json(dict(failure.outcome, differs=[]))
        raise
    if dry_run:
        if as_json:
            write_json(undo.plan)
        elif undo.plan["error"] is None:
            print("\n".join(plan_lines(undo.plan["changes"])))
        return _undo_refused(undo.plan, diagnose) if undo.plan["error"] is not None else 0
    document = dict(outcome, undoes=undo.entry["id"], differs=undo.differs)
    if as_json:
        write_json(document)
    if outcome["error"] is not None:
        return _undo_refused(document, diagnose)
    if not as_json:
        print(_("Change {id} undone.").format(id=undo.entry["id"]))
    return 1 if outcome["failed_units"] else 0


def _undo_refused(plan, diagnose):
    diagnose(plan["error"])
    for line in differs_lines(plan.get("differs") or ()):
        diagnose("  " + line)
    return 1
