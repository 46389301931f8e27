"""The layer every front end of the administration module shares.

The command ``zelta-admin-events``, the Ansible modules and any other front
end make their changes through :func:`change`, which takes the front ends'
own lock, plans the change with the checks of the operation plus those of
this layer, refuses a change whose plan has an error, does nothing at all
when there is nothing to change, and otherwise applies the change and
restarts the daemons when it needs it::

    from zelta_admin_events import frontend

    cls = frontend.for_root("/tmp/host-copy")        # or for_root() for this host
    admin = frontend.administrator(cls, ["file-opened"], [])
    outcome = frontend.change(admin, "enable")
    if outcome["error"] is not None:
        print(outcome["error"])                       # refused: nothing written

:func:`plan` gives the same plan without changing anything. The values
that configure the logging daemon are checked whichever operation sets
them: the syslog facility and priority of an event (``set_facility``,
``set_priority`` and the parameters ``message-syslog-facility`` and
``message-syslog-priority`` of section "" in ``set_properties``) must be
syslog names and are stored in one spelling (aliases such as ``warn`` are
stored as the names they stand for); ``enabled`` is true or false (and is
switched as ``enable`` and ``disable`` switch it); ``message-audit-rules``
is derived from the paths to watch and is never set directly.

Importing this module is cheap: the compiled module is loaded by the
functions that need it.
"""

import contextlib
import gettext
import os
import sys

PROG = "zelta-admin-events"

# ---- messages ---------------------------------------------------------------------

# The module's translation domain, which the front ends' own messages share.
DOMAIN = "zelta_admin_events"
# Where a system package installs the catalogues, and where the module looks.
SYSTEM_LOCALEDIR = "/usr/share/locale"
# The catalogues a wheel carries inside the package.
PACKAGE_LOCALEDIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "locale")
# The environment that decides the language of messages.
_LANGUAGE_VARIABLES = ("LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG")

# The language comes from the environment of the moment; what was found for
# one setting of it is kept: (catalogue directory, translation).
_catalogues: dict = {}


def _catalogue():
    key = tuple(os.environ.get(name) for name in _LANGUAGE_VARIABLES)
    if key not in _catalogues:
        # The system's catalogues when they have the user's language, else the package's own.
        localedir = SYSTEM_LOCALEDIR
        if gettext.find(DOMAIN, SYSTEM_LOCALEDIR) is None and gettext.find(DOMAIN, PACKAGE_LOCALEDIR):
            localedir = PACKAGE_LOCALEDIR
        _catalogues[key] = localedir, gettext.translation(DOMAIN, localedir, fallback=True)
    return _catalogues[key]


def localedir():
    """The directory of the message catalogues in use for the current language."""
    return _catalogue()[0]


def translation():
    """The gettext translation of the domain for the current language."""
    return _catalogue()[1]


def _(message):
    return translation().gettext(message)


def ngettext(singular, plural, count):
    return translation().ngettext(singular, plural, count)


def N_(message):
    """Marks a message that is translated where it is shown."""
    return message


class NoColor:
    """Stands in for the module's Color when output is plain text."""

    GREY = ""
    END = ""


# ---- syslog names ---------------------------------------------------------------------

# The syslog names (as syslog.h lists them, less the internal "mark" and
# "none"), aliases included; a value is checked case-insensitively.
FACILITIES = ("auth", "authpriv", "cron", "daemon", "ftp", "kern", "lpr", "mail", "news", "security", "syslog",
              "user", "uucp") + tuple(f"local{n}" for n in range(8))
PRIORITIES = ("emerg", "panic", "alert", "crit", "err", "error", "warning", "warn", "notice", "info", "debug")
# Each alias is stored as the name it stands for, so that a value has one spelling.
ALIASES = {"security": "auth", "panic": "emerg", "error": "err", "warn": "warning"}


def syslog_name(value, names):
    """The name value stands for among names (FACILITIES or PRIORITIES), in
    lower case with an alias resolved; None when it is none of them."""
    if not isinstance(value, str) or value.lower() not in names:
        return None
    return ALIASES.get(value.lower(), value.lower())


# TRANSLATORS: {value} is what the user gave, {names} the list of valid names.
FACILITY_ERROR = N_("unknown facility {value}; choose from {names}")
PRIORITY_ERROR = N_("unknown priority {value}; choose from {names}")


def syslog_error(value, names):
    """The line that refuses value as a name of names."""
    message = FACILITY_ERROR if names is FACILITIES else PRIORITY_ERROR
    return _(message).format(value=_quoted(value), names=", ".join(names))


def _quoted(value):
    """A value as a message shows it: a string quoted, anything else as JSON."""
    if isinstance(value, str):
        return repr(value)
    import json

    return json.dumps(value, ensure_ascii=False)


# ---- the administrator class for a tree -------------------------------------------------

# The class's constants that name places on the system, relocated for a root.
ROOT_CONSTANTS = (
    "_ZeltaAdminEvents__default_config_dir",
    "_ZeltaAdminEvents__current_config_file",
    "_ZeltaAdminEvents__param_ru_translations_file",
)
# The events library reads the tree it works on from this variable.
ROOT_VARIABLE = "ZELTA_EVENTS_ROOT"

_rooted: dict = {}


def _module():
    from zelta_admin_events import admin_events

    return admin_events


def for_root(path=None):
    """The administrator class bound to the system tree below path.

    None: the class itself, which works on this host and restarts its
    daemons. Otherwise a subclass whose files lie below path and whose
    restart_daemons() restarts nothing: when a restart is due it prints one
    line saying it was skipped, and it returns [] (no unit failed). The
    events library is pointed at the same tree through the process
    environment (ZELTA_EVENTS_ROOT).
    """
    base = _module().ZeltaAdminEvents
    if path is None:
        return base
    import pathlib

    root = pathlib.Path(os.path.abspath(path))
    os.environ[ROOT_VARIABLE] = str(root)
    key = (base, root)
    if key not in _rooted:
        constants = {}
        for name in ROOT_CONSTANTS:
            default = pathlib.Path(getattr(base, name))
            constants[name] = root / default.relative_to(default.anchor)
        constants["_ZeltaAdminEvents__root_dir"] = root
        constants["restart_daemons"] = _skipped_restart
        constants["restarts_daemons"] = False
        _rooted[key] = type(base.__name__, (base,), constants)
    return _rooted[key]


def _skipped_restart(self):
    if self._ZeltaAdminEvents__need_daemon_restart:
        root = type(self)._ZeltaAdminEvents__root_dir
        print(_("Restart of syslog-ng and auditd skipped: --root {root} is in use.").format(root=root))
    return []


def administrator(cls, events, groups):
    """An object of cls for the named IDs, with the constructor's lines about
    unknown IDs kept off standard output: get_unknown_ids() has them."""
    with contextlib.redirect_stdout(_Discard()):
        return cls(list(events), list(groups))


class _Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


# ---- the front ends' lock --------------------------------------------------------------

LOCK_DIRECTORY = ("run", "lock")
LOCK_NAME = "zelta-admin-events.lock"

# The locks this process holds, by (path, thread): [descriptor, depth]. A
# thread of its own opens the file again, and waits as another process would.
_held: dict = {}


def lock_path(cls):
    """Where the lock of the tree cls works on lies."""
    return os.path.join(str(cls._ZeltaAdminEvents__root_dir), *LOCK_DIRECTORY, LOCK_NAME)


@contextlib.contextmanager
def lock(cls):
    """Holds the front ends' exclusive lock of the tree cls works on, so that
    changes made through this layer never interleave. Taken again by the
    same thread, it is already held. The lock file (mode 0600) and its
    directory are created when missing; no symbolic link is followed on the
    way. A process that must wait says so on standard error."""
    import _thread

    path = lock_path(cls)
    key = (path, _thread.get_ident())
    if key in _held:
        _held[key][1] += 1
        try:
            yield
        finally:
            _held[key][1] -= 1
        return
    fd = _open_lock(cls)
    try:
        import fcntl

        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(f"{PROG}: " + _("waiting for another change to finish ({path} is locked)").format(path=path),
                  file=sys.stderr, flush=True)
            fcntl.flock(fd, fcntl.LOCK_EX)
        _held[key] = [fd, 1]
        try:
            yield
        finally:
            del _held[key]
    finally:
        os.close(fd)


def _open_lock(cls):
    import stat

    root = str(cls._ZeltaAdminEvents__root_dir)
    directory_flags = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
    try:
        fd = os.open(root, directory_flags)
        try:
            for name in LOCK_DIRECTORY:
                with contextlib.suppress(FileExistsError):
                    os.mkdir(name, 0o755, dir_fd=fd)
                inner = os.open(name, directory_flags | os.O_NOFOLLOW, dir_fd=fd)
                os.close(fd)
                fd = inner
            lock_fd = os.open(LOCK_NAME, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                              0o600, dir_fd=fd)
        finally:
            os.close(fd)
        if not stat.S_ISREG(os.fstat(lock_fd).st_mode):
            os.close(lock_fd)
            raise OSError(0, _("not a regular file"))
    except OSError as error:
        reason = error.strerror or str(error)
        raise ChangeFailed(_("cannot take the lock {path}: {reason}").format(path=lock_path(cls), reason=reason),
                           None) from error
    return lock_fd


# ---- plans and changes -------------------------------------------------------------------

# Each changing operation of the class and the method that plans it.
PLANS = {
    "enable": "plan_enable",
    "disable": "plan_disable",
    "set_facility": "plan_set_facility",
    "set_priority": "plan_set_priority",
    "set_properties": "plan_set_properties",
    "import_config": "plan_import_config",
}

# Parameters of section "" that configure the logging daemon, and what they must be.
FACILITY_PARAMETER = "message-syslog-facility"
PRIORITY_PARAMETER = "message-syslog-priority"
AUDIT_RULES_PARAMETER = "message-audit-rules"
ENABLED_PARAMETER = "enabled"


class Refused(Exception):
    """A value this layer refuses before anything is planned; its text is the line."""


class ChangeFailed(Exception):
    """A change failed after it had begun: something may have been written.

    outcome holds what was planned, with "error" the one-line failure (None
    when the failure came before the plan). The failure it comes from is
    its __cause__.
    """

    def __init__(self, message, outcome):
        super().__init__(message)
        self.outcome = outcome


_JSON_KINDS = (
    (bool, N_("true or false")),
    ((int, float), N_("a number")),
    (type(None), N_("null")),
)


def _checked(admin, operation, args):
    """The operation and arguments to plan and apply: syslog names resolved,
    values of the daemon's parameters checked. Raises Refused."""
    if operation == "set_facility" or operation == "set_priority":
        names = FACILITIES if operation == "set_facility" else PRIORITIES
        name = syslog_name(args[0], names)
        if name is None:
            raise Refused(syslog_error(args[0], names))
        return admin, operation, (name,)
    if operation != "set_properties":
        return admin, operation, tuple(args)
    import json

    section, parameter, value = args
    try:
        decoded = json.loads(value)
    except (ValueError, TypeError):  # the operation's own check reports it
        return admin, operation, tuple(args)
    if section == "":
        if parameter == AUDIT_RULES_PARAMETER:
            raise Refused(_("{parameter} is derived from the paths to watch and cannot be set directly")
                          .format(parameter=parameter))
        if parameter == ENABLED_PARAMETER:
            if not isinstance(decoded, bool):
                raise Refused(_("{parameter} takes true or false").format(parameter=parameter))
            # Switched as enable and disable switch it, on the named events alone.
            events = admin._ZeltaAdminEvents__event_id_list or []
            return administrator(type(admin), events, []), "enable" if decoded else "disable", ()
        if parameter in (FACILITY_PARAMETER, PRIORITY_PARAMETER):
            names = FACILITIES if parameter == FACILITY_PARAMETER else PRIORITIES
            name = syslog_name(decoded, names)
            if name is None:
                raise Refused(f"{parameter}: " + syslog_error(decoded, names))
            return admin, operation, (section, parameter, json.dumps(name))
    for kinds, description in _JSON_KINDS:
        if isinstance(decoded, kinds):
            raise Refused(_module()._("Invalid VALUE") + ": "
                          + _("{kind}; give a string, an array or an object").format(kind=_(description)))
    return admin, operation, tuple(args)


def _sorted(plan):
    """The plan with its parameter changes in the order listings use: by
    event ID, each event's changes in the order they are made."""
    changes = plan["changes"]
    if changes and "event" in changes[0]:
        plan = dict(plan, changes=sorted(changes, key=lambda change: change["event"]))
    return plan


def _refusal(line):
    return {"changed": False, "changes": [], "error": line}


def plan(admin, operation, *args, texts=False):
    """{"changed", "changes", "error"} (and "skipped" for an import, when the
    module reports members it would skip): what change(admin, operation,
    *args) would do now, with the checks of this layer; writes nothing."""
    try:
        admin, operation, args = _checked(admin, operation, args)
    except Refused as refusal:
        return _refusal(str(refusal))
    return _plan(admin, operation, args, texts)


def _plan(admin, operation, args, texts=False):
    method = getattr(admin, PLANS[operation])
    if operation == "import_config" and texts:
        return _sorted(method(*args, texts=True))
    return _sorted(method(*args))


def change(admin, operation, *args, recorder=None, command=None, argv=None, restart=True, narrow=False,
           verify=False, report=None):
    """Makes the change operation (a key of PLANS) with args on admin.

    Under the lock of the tree: plans; returns the refusal when the plan
    has an error, and the empty plan when there is nothing to change, in
    both cases without writing, restarting or printing anything. Otherwise
    calls recorder.before(command, argv, plan), applies the operation,
    restarts the daemons when the change needs it (unless restart is
    false), and calls recorder.after(outcome).

    Returns the outcome: the plan's keys ("changed", "changes", "error",
    "skipped" when the import reports skipped members) with "failed_units",
    the units whose restart failed, and "restarted", whether the daemons
    were restarted. A failure while applying raises ChangeFailed, whose
    outcome has "error" set; recorder.after has seen it, and the daemons
    were restarted for what was written.

    narrow: the operation runs on an object of the events the plan lists
    alone (imports excepted), so that nothing else is touched; admin then
    knows a restart is due as well. verify: the change is planned again
    afterwards and fails when anything is left to change (an import that
    the module reports only in print is always verified). report(line)
    receives the lines the class prints while restarting (and while
    importing), which are diagnostics; by default they go to standard error.
    """
    if report is None:
        def report(line):
            print(line, file=sys.stderr)

    with lock(type(admin)):
        try:
            target, operation, args = _checked(admin, operation, args)
        except Refused as refusal:
            return dict(_refusal(str(refusal)), failed_units=[], restarted=False)
        planned = _plan(target, operation, args)
        outcome = dict(planned, failed_units=[], restarted=False)
        if planned["error"] is not None or not planned["changes"]:
            return outcome
        worker = target
        if (narrow or target is not admin) and operation != "import_config":
            events = list(dict.fromkeys(change["event"] for change in planned["changes"]))
            worker = administrator(type(admin), events, [])
        if recorder is not None:
            recorder.before(command, argv, planned)
        def attempt():
            result = _apply(worker, operation, args, report, "skipped" in planned)
            if isinstance(result, dict):
                outcome.update(result, failed_units=[], restarted=False)
            left = _plan(target, operation, args) if verify or result is _UNREPORTED else None
            if left is not None and (left["error"] is not None or left["changes"]):
                raise ChangeFailed(_("The change was not made completely: {output}").format(
                    output=left["error"] or ", ".join(_change_name(c) for c in left["changes"])), None)

        def restart_due():
            due = worker._ZeltaAdminEvents__need_daemon_restart
            if due and worker is not admin:
                admin._ZeltaAdminEvents__need_daemon_restart = True
            if due and restart:
                outcome["failed_units"] = restart_daemons(worker, report)
                outcome["restarted"] = getattr(worker, "restarts_daemons", True)

        failure = carry_out(attempt, outcome, _one_line, restart_due, recorder)
        if failure is not None:
            if isinstance(failure, ChangeFailed):
                failure.outcome = outcome
                raise failure
            if not isinstance(failure, Exception):
                raise failure
            raise ChangeFailed(outcome["error"], outcome) from failure
        return outcome


def carry_out(attempt, outcome, describe_error, restart_due, recorder):
    """Runs attempt(), then, whatever it met, restart_due() and the record of
    outcome (a restart that raises leaves the change recorded). Returns what
    attempt raised, None when nothing, its text set as outcome's "error"."""
    failure = None
    try:
        attempt()
    except BaseException as error:  # noqa: B036 -- the restart and the record happen whatever went wrong
        failure = error
        outcome["error"] = _("interrupted") if isinstance(error, KeyboardInterrupt) else describe_error(error)
    finally:
        try:
            restart_due()
        finally:
            if recorder is not None:
                recorder.after(outcome)
    return failure


def parameter_name(section, parameter):
    """A parameter as plans and messages name it: SECTION/PARAMETER, or
    PARAMETER alone outside a section."""
    return f"{section}/{parameter}" if section else parameter


def _change_name(change):
    if "file" in change:
        return change["file"]
    return f"{change['event']} {parameter_name(change['section'], change['parameter'])}"


def _apply(worker, operation, args, report, skips_planned=False):
    """Runs the operation; an import's own outcome, when the module returns one.
    An import's lines about skipped members are left out when its plan lists
    them (skips_planned): the front end reports them from the plan."""
    if operation != "import_config":
        getattr(worker, operation)(*args)
        return None
    archive = getattr(worker, "import_config_archive", None)
    if archive is not None:
        return archive(*args)
    module = _module()
    import io

    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        worker.import_config(*args)
    imported, failed = module._("Configuration imported"), module._("Error importing configuration") + ": "
    unsupported = module._("Unsupported file type") + ": "
    lines = printed.getvalue().splitlines()
    for line in lines:
        if line != imported and not line.startswith(failed) and not (skips_planned and line.startswith(unsupported)):
            report(line)
    failure = next((line for line in lines if line.startswith(failed)), None)
    if failure is not None:
        raise ChangeFailed(failure, None)
    return _UNREPORTED


# An operation whose failure only its printed lines tell.
_UNREPORTED = object()


def restart_daemons(admin, report):
    """Restarts through admin; the lines of failed restarts go to report. The
    line of a tree's skipped restart is a report of its own, printed."""
    if not getattr(admin, "restarts_daemons", True):
        return list(admin.restart_daemons())
    import io

    printed = io.StringIO()
    sys.stdout.flush()
    with contextlib.redirect_stdout(printed):
        failed = admin.restart_daemons()
    for line in printed.getvalue().splitlines():
        report(line)
    return list(failed)


def _one_line(error):
    """A failure as one line: its file first when a note names it."""
    if isinstance(error, KeyError) and error.args:
        text = _("unknown key {key}").format(key=_quoted(error.args[0]))
    elif isinstance(error, OSError) and error.strerror:
        text = error.strerror + (f": {error.filename}" if error.filename is not None else "")
    else:
        text = str(error)
    notes = getattr(error, "__notes__", ())
    if notes and isinstance(notes[0], str):
        text = f"{notes[0]}: {text}"
    text = " ".join(text.split())
    return text or _("unexpected failure; run with --debug for details")


describe = _one_line
