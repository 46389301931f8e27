"""Events library of syslog-ng-mod-zelta, kept in plain files.

The catalogue (which events and groups exist, their English and Russian names,
the group order and each event's default enabled state) is read from
``<root>/usr/share/syslog-ng-mod-zelta/events-catalogue.json``::

    {"groups": [{"id": ..., "name_en": ..., "name_ru": ...}, ...],
     "events": [{"id": ..., "name_en": ..., "name_ru": ..., "enabled": true}, ...]}

Changes go to the current configuration file ``<root>/etc/zelta-syslog.conf``:
a JSON object whose members are event IDs, each holding that event's settings
(section name -> section object -> parameter -> value; a parameter set with the
section "" lies directly under the event).  The enabled state is the event's
top-level parameter "enabled" there and overrides the catalogue default.

``<root>`` is "/" unless the environment variable ZELTA_EVENTS_ROOT names
another system tree.  It is read at every call, so it may be set after import.

Every writer of the configuration file follows one convention: it takes an
exclusive ``flock`` on ``zelta-syslog.conf.lock`` beside the file (creating it,
mode 0600, when missing; a lock file that is a symbolic link is refused),
re-reads the file under the lock, and replaces it atomically (a temporary file
in the same directory, flushed, given the old file's owner, mode and extended
attributes, renamed over it, the directory flushed) before it lets the lock
go.  So concurrent changes are never lost and a crash never leaves half a
file.  The administration module's import holds the same lock.  A file the
library creates is never group- or world-writable, whatever the umask: a new
configuration file gets mode 0644.

Files are reached through descriptors from the root down and no path is
resolved twice: an operation opens the directory the configuration file's
name lies in once, and takes the lock, reads and replaces the file in that
directory (in the directory of its target, opened once, when the file is a
symbolic link).  Below a root other than "/" each directory is opened from
the one before without following links, and links are followed by hand
inside the root: an absolute target counts from the root, ".." stops there,
and more than 40 links fail with ELOOP.  So a system tree cannot make the
library read or write a file of the host, even while it is being changed.
With the root "/" paths are resolved as the system resolves them.

Files are read without blocking and only when they are regular files of at
most 64 MiB: a FIFO, a device or a directory is refused, never waited on or
read without end.

The configuration counts as empty only when no entry of its name exists in
its directory (a fresh tree).  One that cannot be reached (its directory
missing or replaced, a symbolic link to a file that is not there) is an error,
never an empty configuration: a tree changing under a writer cannot make it
drop the other events' settings.
"""

import _thread
import errno
import fcntl
import json
import math
import os
import stat

__all__ = [
    "get_event_ids", "get_group_ids", "get_event_ids_ex", "get_group_ids_ex",
    "is_event_enabled", "enable_event", "disable_event", "set_event_param",
    "UnknownEventError", "InvalidValueError", "ConfigurationError",
]

ROOT_ENV = "ZELTA_EVENTS_ROOT"
_CATALOGUE_FILE = "usr/share/syslog-ng-mod-zelta/events-catalogue.json"
_CONFIG_FILE = "etc/zelta-syslog.conf"
_RECORD_FORMAT = 2
_LOCK_FILE = _CONFIG_FILE + ".lock"
_NEW_CONFIG_MODE = 0o644
# Files read are refused above this size; the administration module's import
# takes no larger archive member.
_MAX_FILE_SIZE = 64 << 20
# Symbolic links followed in one resolution before ELOOP, as the kernel counts.
_MAX_LINKS = 40
_DIRECTORY_FLAGS = os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC

# Threads of one process take turns here before they take the file lock (the
# low-level lock: threading itself is not worth its import here).
_thread_lock = _thread.allocate_lock()


class UnknownEventError(LookupError):
    """The event ID is not in the catalogue."""


class InvalidValueError(ValueError):
    """A value handed to the library is not acceptable; nothing was written."""


class ConfigurationError(ValueError):
    """The catalogue or the current configuration file cannot be used as it stands."""


def get_event_ids():
    """Return the IDs of all events, in catalogue order."""
    return list(_catalogue()[1])


def get_group_ids():
    """Return the IDs of all groups, in catalogue order."""
    return list(_catalogue()[0])


def get_event_ids_ex(record_format):
    """Return one text record per event: ID,"English name","Russian name".

    record_format is the version of the record layout; only 2 (the layout
    above) is provided.
    """
    _check_record_format(record_format)
    return [_record(entry) for entry in _catalogue()[1].values()]


def get_group_ids_ex(record_format):
    """Return one text record per group, laid out as get_event_ids_ex does."""
    _check_record_format(record_format)
    return [_record(entry) for entry in _catalogue()[0].values()]


def is_event_enabled(event_id):
    """Return 1 when the event is enabled, 0 when it is disabled."""
    entry = _known_event(event_id)
    path = _config_path()
    with _Root() as root:
        config = _read_config(root, root.locate(_CONFIG_FILE, follow=False)[0])[0]
    enabled = _event_settings(config, event_id, path).get("enabled", entry["enabled"])
    if not isinstance(enabled, bool):
        raise ConfigurationError(f'{path}: "enabled" of event {event_id!r} is {enabled!r}, not true or false')
    return int(enabled)


def enable_event(event_id):
    """Enable the event in the current configuration."""
    _update_event(event_id, lambda settings: settings.__setitem__("enabled", True))


def disable_event(event_id):
    """Disable the event in the current configuration."""
    _update_event(event_id, lambda settings: settings.__setitem__("enabled", False))


def set_event_param(event_id, section, parameter, value):
    """Store the JSON text value as the event's parameter in section ("" for none)."""
    for name, argument in (("section", section), ("parameter", parameter), ("value", value)):
        if not isinstance(argument, str):
            raise TypeError(f"{name} must be a string, not {type(argument).__name__}")
    if not parameter:
        raise InvalidValueError("the parameter name must not be empty")
    decoded = _decode_value(value)
    if section == "" and parameter == "enabled" and not isinstance(decoded, bool):
        raise InvalidValueError(f'"enabled" must be true or false, not {value!r}')

    def change(settings):
        target = settings if section == "" else settings.setdefault(section, {})
        if not isinstance(target, dict):
            raise ConfigurationError(
                f"{_config_path()}: section {section!r} of event {event_id!r} "
                f"holds {json.dumps(target)}, not an object; refusing to change it")
        target[parameter] = decoded

    _update_event(event_id, change)


def _root():
    return os.environ.get(ROOT_ENV) or "/"


def _config_path():
    return os.path.join(_root(), _CONFIG_FILE)


def _components(path):
    """The components of path, last first, so that the next one is at the end."""
    return [part for part in reversed(path.split("/")) if part not in ("", ".")]


class _Root:
    """The system tree of one operation: the root opened once, and every
    descriptor the operation opens below it, all closed when it ends."""

    def __init__(self):
        self.path = _root()
        self.fd = os.open(self.path, _DIRECTORY_FLAGS)
        self.fds = [self.fd]
        self.id = _identity(self.fd)
        system = os.stat("/")
        self.system = self.id == (system.st_dev, system.st_ino)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        while self.fds:
            os.close(self.fds.pop())

    def display(self, relative):
        """A path below the root as the user sees it, for messages."""
        return os.path.join(self.path, relative)

    def open(self, name, flags, directory, relative, mode=0o600):
        """os.open of name in the open directory; an error names relative."""
        try:
            fd = os.open(name, flags | os.O_CLOEXEC, mode, dir_fd=directory)
        except OSError as error:
            raise OSError(error.errno, error.strerror, self.display(relative)) from None
        self.fds.append(fd)
        return fd

    def locate(self, relative, follow, directory=None):
        """Return (directory fd, name): the open directory holding the last
        component of relative, and that component ("." for a directory).

        directory, when given, is the open directory of relative's last
        component, so only that component is resolved.  With follow, a last
        component that is a symbolic link is replaced by its target until it
        is none.  Below a root other than "/" every directory is opened from
        the one before with O_NOFOLLOW and links are followed by hand: ".."
        stops at the root, an absolute target starts again from the root.
        """
        if directory is None:
            todo = _components(relative)
            current = os.open(".", _DIRECTORY_FLAGS, dir_fd=self.fd)
        else:
            todo = [os.path.basename(relative)]
            current = os.open(".", _DIRECTORY_FLAGS, dir_fd=directory)
        links = 0
        try:
            while todo:
                name = todo.pop()
                last = not todo
                if name != ".." and (follow if last else not self.system):
                    try:
                        target = os.readlink(name, dir_fd=current)
                    except OSError as error:  # EINVAL: no link; ENOENT: nothing there
                        if error.errno not in (errno.EINVAL, errno.ENOENT):
                            raise
                    else:
                        links += 1
                        if links > _MAX_LINKS:
                            raise OSError(errno.ELOOP, os.strerror(errno.ELOOP))
                        if target.startswith("/"):
                            current = _step(current, os.open(".", _DIRECTORY_FLAGS, dir_fd=self.fd))
                        todo += _components(target)
                        continue
                if last and name != "..":
                    self.fds.append(current)
                    return current, name
                if name == ".." and _identity(current) == self.id:
                    continue
                # A directory that became a link since it was read fails here (ENOTDIR).
                flags = _DIRECTORY_FLAGS | (0 if self.system else os.O_NOFOLLOW)
                current = _step(current, os.open(name, flags, dir_fd=current))
        except OSError as error:
            os.close(current)
            raise OSError(error.errno, error.strerror, self.display(relative)) from None
        except BaseException:
            os.close(current)
            raise
        self.fds.append(current)
        return current, "."


def _identity(fd):
    status = os.fstat(fd)
    return status.st_dev, status.st_ino


def _step(previous, fd):
    os.close(previous)
    return fd


def _read_file(root, directory, name, relative):
    """Return (fd, content) of a regular file of at most _MAX_FILE_SIZE bytes.

    It is opened without blocking and without following a link, so a FIFO,
    a device or a file grown past the limit is refused, never waited on or
    read without end."""
    fd = root.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW, directory, relative)
    if _check_regular(root, fd, relative).st_size > _MAX_FILE_SIZE:
        _too_large(root, relative)
    chunks, size = [], 0
    while size <= _MAX_FILE_SIZE:
        chunk = os.read(fd, min(1 << 20, _MAX_FILE_SIZE + 1 - size))
        if not chunk:
            break
        chunks.append(chunk)
        size += len(chunk)
    if size > _MAX_FILE_SIZE:
        _too_large(root, relative)
    return fd, b"".join(chunks)


def _check_regular(root, fd, relative):
    """Return the file's status; one that is no regular file is refused."""
    status = os.fstat(fd)
    if not stat.S_ISREG(status.st_mode):
        raise ConfigurationError(f"{root.display(relative)}: not a regular file")
    return status


def _too_large(root, relative):
    raise ConfigurationError(f"{root.display(relative)}: larger than the limit of {_MAX_FILE_SIZE >> 20} MiB")


def _catalogue():
    """Return (groups, events): maps from ID to catalogue entry, in file order."""
    with _Root() as root:
        path = root.display(_CATALOGUE_FILE)
        _fd, data = _read_file(root, *root.locate(_CATALOGUE_FILE, follow=True), _CATALOGUE_FILE)
    try:
        catalogue = json.loads(data.decode("utf-8"))
    except json.JSONDecodeError as error:
        raise ConfigurationError(f"{path}: not valid JSON: {error}") from None
    groups = _catalogue_entries(catalogue, "groups", path)
    events = _catalogue_entries(catalogue, "events", path)
    for event_id, entry in events.items():
        if not isinstance(entry.get("enabled"), bool):
            raise ConfigurationError(f'{path}: event {event_id!r} needs "enabled": true or false')
    return groups, events


def _catalogue_entries(catalogue, kind, path):
    entries = catalogue.get(kind) if isinstance(catalogue, dict) else None
    if not isinstance(entries, list):
        raise ConfigurationError(f'{path}: "{kind}" must be a list of entries')
    table = {}
    for entry in entries:
        entry_id = entry.get("id") if isinstance(entry, dict) else None
        # IDs are record fields and file names in the group directories.
        if (not isinstance(entry_id, str) or entry_id in ("", ".", "..")
                or any(c in entry_id for c in ",/\0")):
            raise ConfigurationError(f"{path}: {kind} entry {entry!r} has no usable ID")
        if entry_id in table:
            raise ConfigurationError(f"{path}: {kind} ID {entry_id!r} appears twice")
        for key in ("name_en", "name_ru"):
            name = entry.get(key)
            if not isinstance(name, str) or "," in name:
                raise ConfigurationError(
                    f"{path}: {key} of {entry_id!r} must be a string without \",\" "
                    f"(records separate their fields by \",\"), got {name!r}")
        table[entry_id] = entry
    return table


def _check_record_format(record_format):
    if type(record_format) is not int or record_format != _RECORD_FORMAT:
        raise ValueError(
            f"unsupported record format {record_format!r}: only format {_RECORD_FORMAT} "
            '(ID,"English name","Russian name") is provided')


def _record(entry):
    return f'{entry["id"]},"{entry["name_en"]}","{entry["name_ru"]}"'


def _known_event(event_id):
    try:
        return _catalogue()[1][event_id]
    except (KeyError, TypeError):
        raise UnknownEventError(f"unknown event ID: {event_id!r}") from None


def _decode_value(value):
    def refuse_constant(name):
        raise InvalidValueError(f"{name} in {value!r} is not allowed: the configuration file holds strict JSON")

    def finite(text):
        # 1e999 decodes to infinity, which would be written as Infinity.
        number = float(text)
        if not math.isfinite(number):
            refuse_constant(text)
        return number

    try:
        return json.loads(value, parse_constant=refuse_constant, parse_float=finite)
    except json.JSONDecodeError as error:
        raise InvalidValueError(f"value is not JSON text ({error}): {value!r}") from None


def _read_config(root, directory):
    """Return (configuration, its directory fd, its name, its fd or None).

    directory is the open directory the configuration file's name lies in.
    Only no entry of that name there counts as an empty configuration; a
    symbolic link to a missing file is an error."""
    parent, name = root.locate(_CONFIG_FILE, follow=True, directory=directory)
    try:
        fd, data = _read_file(root, parent, name, _CONFIG_FILE)
    except FileNotFoundError:
        if name != os.path.basename(_CONFIG_FILE) or _identity(parent) != _identity(directory):
            raise ConfigurationError(f"{root.display(_CONFIG_FILE)}: a symbolic link to a missing file; "
                                     "refusing to take the configuration for empty") from None
        return {}, parent, name, None
    text = data.decode("utf-8")
    if not text.strip():
        return {}, parent, name, fd
    try:
        config = json.loads(text)
    except json.JSONDecodeError as error:
        raise ConfigurationError(f"{root.display(_CONFIG_FILE)}: not valid JSON: {error}") from None
    if not isinstance(config, dict):
        raise ConfigurationError(f"{root.display(_CONFIG_FILE)}: must hold a JSON object of event IDs")
    return config, parent, name, fd


def _event_settings(config, event_id, path):
    settings = config.get(event_id)
    if settings is None:
        return {}
    if not isinstance(settings, dict):
        raise ConfigurationError(f"{path}: settings of event {event_id!r} are {json.dumps(settings)}, not an object")
    return settings


def _update_event(event_id, change):
    """Apply change to the event's settings under the writers' lock and save them."""
    _known_event(event_id)
    path = _config_path()
    with _thread_lock, _Root() as root:
        directory, lock_name = root.locate(_LOCK_FILE, follow=False)
        _lock(root, directory, lock_name)
        config, parent, name, fd = _read_config(root, directory)
        settings = _event_settings(config, event_id, path)
        change(settings)
        config[event_id] = settings
        _replace(root, parent, name, fd, (json.dumps(config, indent=2) + "\n").encode("utf-8"))


def _lock(root, directory, name):
    """Take the writers' lock on the lock file name in directory (created
    when missing); it is held until the operation's descriptors close."""
    flags = os.O_RDWR | os.O_NONBLOCK | os.O_NOFOLLOW
    try:
        fd = root.open(name, flags | os.O_CREAT | os.O_EXCL, directory, _LOCK_FILE, 0o600)
        os.fchmod(fd, 0o600)  # the umask may have taken the owner's bits
    except FileExistsError:
        try:
            fd = root.open(name, flags, directory, _LOCK_FILE)
        except OSError as error:
            if error.errno != errno.ELOOP:
                raise
            raise ConfigurationError(f"{root.display(_LOCK_FILE)}: a symbolic link; "
                                     "refusing to follow it to take the writers' lock") from None
    _check_regular(root, fd, _LOCK_FILE)
    fcntl.flock(fd, fcntl.LOCK_EX)


def _copy_attributes(source, fd):
    """Give the new file the old one's extended attributes (security labels,
    ACLs, user attributes); one the file system refuses raises."""
    try:
        names = os.listxattr(source)
    except OSError as error:
        if error.errno in (errno.ENOTSUP, errno.EOPNOTSUPP):
            return
        raise
    for name in names:
        try:
            value = os.getxattr(source, name)
        except OSError as error:
            if error.errno == errno.ENODATA:
                continue
            raise
        os.setxattr(fd, name, value)


def _replace(root, directory, name, old, data):
    """Replace the file name in directory by data, all or nothing: a new file
    beside it, written, given the old file's (fd old, None when there is none)
    owner, mode and extended attributes, flushed, renamed over it."""
    temporary = f".{name}.{os.urandom(6).hex()}.tmp"
    fd = root.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, directory, _CONFIG_FILE)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        if old is None:
            os.fchmod(fd, _NEW_CONFIG_MODE)
        else:
            existing, created = os.fstat(old), os.fstat(fd)
            if (created.st_uid, created.st_gid) != (existing.st_uid, existing.st_gid):
                os.fchown(fd, existing.st_uid, existing.st_gid)
            os.fchmod(fd, stat.S_IMODE(existing.st_mode))
            _copy_attributes(old, fd)
        os.fsync(fd)
        os.replace(temporary, name, src_dir_fd=directory, dst_dir_fd=directory)
    except BaseException:
        try:
            os.unlink(temporary, dir_fd=directory)
        except FileNotFoundError:
            pass
        raise
    os.fsync(root.open(".", os.O_RDONLY | os.O_DIRECTORY, directory, _CONFIG_FILE))
