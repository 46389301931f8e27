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
mode 0600, when missing), re-reads the file under the lock, and replaces it
atomically (a temporary file in the same directory, flushed, given the old
file's owner, mode and extended attributes, renamed over it) before it lets
the lock go.  So concurrent changes are never lost and a crash never leaves
half a file.  The administration module's import holds the same lock.

Below a root other than "/", paths are resolved inside the root: an absolute
symbolic link target counts from the root and ".." stops there, so a system
tree cannot make the library write a file of the host.
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
_NEW_CONFIG_MODE = 0o644

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
    enabled = _event_settings(_read_config(path), event_id, path).get("enabled", entry["enabled"])
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


def _inside_root(relative):
    """The path of relative below the root with every symbolic link resolved
    inside the root; the root "/" resolves as the system does."""
    root = _root()
    if os.path.samefile(root, "/"):
        return os.path.realpath(os.path.join("/", relative))
    parts, resolved, links = relative.split("/")[::-1], [], 0
    while parts:
        part = parts.pop()
        if part in ("", "."):
            continue
        if part == "..":
            if resolved:
                resolved.pop()
            continue
        path = os.path.join(root, *resolved, part)
        if os.path.islink(path):
            links += 1
            if links > 40:
                raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), os.path.join(root, relative))
            target = os.readlink(path)
            if target.startswith("/"):
                resolved = []
            parts.extend(target.split("/")[::-1])
            continue
        resolved.append(part)
    return os.path.join(root, *resolved)


def _catalogue():
    """Return (groups, events): maps from ID to catalogue entry, in file order."""
    path = os.path.join(_root(), _CATALOGUE_FILE)
    with open(_inside_root(_CATALOGUE_FILE), encoding="utf-8") as file:
        try:
            catalogue = json.load(file)
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


def _read_config(path):
    """Return the current configuration; a missing or blank file counts as empty."""
    try:
        with open(_inside_root(_CONFIG_FILE), encoding="utf-8") as file:
            text = file.read()
    except FileNotFoundError:
        return {}
    if not text.strip():
        return {}
    try:
        config = json.loads(text)
    except json.JSONDecodeError as error:
        raise ConfigurationError(f"{path}: not valid JSON: {error}") from None
    if not isinstance(config, dict):
        raise ConfigurationError(f"{path}: must hold a JSON object of event IDs")
    return config


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
    with _thread_lock:
        lock_fd = os.open(_inside_root(_CONFIG_FILE + ".lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(lock_fd, fcntl.LOCK_EX)
            config = _read_config(path)
            settings = _event_settings(config, event_id, path)
            change(settings)
            config[event_id] = settings
            _replace_file(json.dumps(config, indent=2) + "\n")
        finally:
            os.close(lock_fd)


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


def _replace_file(text):
    """Replace the configuration file (a symbolic link's target, inside the root) by text, all or nothing."""
    target = _inside_root(_CONFIG_FILE)
    directory, name = os.path.split(target)
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        existing = None
    import tempfile  # only writers need it

    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as file:
            file.write(text)
            file.flush()
            if existing is None:
                os.fchmod(file.fileno(), _NEW_CONFIG_MODE)
            else:
                os.fchmod(file.fileno(), stat.S_IMODE(existing.st_mode))
                created = os.fstat(file.fileno())
                if (created.st_uid, created.st_gid) != (existing.st_uid, existing.st_gid):
                    os.fchown(file.fileno(), existing.st_uid, existing.st_gid)
                _copy_attributes(target, file.fileno())
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory_fd)
    finally:
        os.close(directory_fd)
