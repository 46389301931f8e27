# -*- coding: utf-8 -*-
"""The administration module as the collection's modules use it.

Every call into ``zelta_admin_events.admin_events`` goes through here: the
host tree (``root``), the administrator object, its plans, the operations that
carry a plan out, archive writing and the daemon restart. The modules work on
plain data only.
"""

from __future__ import annotations

import contextlib
import gettext
import io
import os
import pathlib
import subprocess
import traceback

try:
    from zelta_admin_events import admin_events as _admin_events
    from zelta_admin_events import cli as _cli
except ImportError:
    _admin_events = _cli = None
    IMPORT_ERROR = traceback.format_exc()
else:
    IMPORT_ERROR = None

LIBRARY = "zelta_admin_events"

# The events library of the host reads its tree from this variable.
ROOT_VARIABLE = "ZELTA_EVENTS_ROOT"

# Each changing operation of the administrator object and the method that plans it.
PLANS = {
    "enable": "plan_enable",
    "disable": "plan_disable",
    "set_facility": "plan_set_facility",
    "set_priority": "plan_set_priority",
    "set_properties": "plan_set_properties",
    "import_config": "plan_import_config",
}


def _(message):
    """The message in the host's language, as the front end shows it."""
    return _cli._(message) if _cli is not None else message


class Failure(Exception):
    """A change went wrong after it had begun, so something may have changed;
    details are more results for the task."""

    def __init__(self, message, **details):
        super().__init__(message)
        self.details = details


def root_error(root):
    """Why root cannot be worked on, or None."""
    if root is not None and not os.path.isdir(root):
        return _("root: {directory}: not a directory").format(directory=root)
    return None


def describe(error):
    """An error of the module or the events library as one line."""
    return "{0}: {1}".format(type(error).__name__, error) if str(error) else type(error).__name__


def prepare(root):
    """Sets up the module's process: the events library works below root, and
    the lines the operations print are plain text (they are kept as data) in
    the language of the collection's own messages."""
    if root is not None:
        os.environ[ROOT_VARIABLE] = os.path.abspath(root)
    _admin_events.Color = _cli._NoColor
    gettext.bindtextdomain(_cli.DOMAIN, _cli._localedir())


class System:
    """The administration module working on the tree below root ("/" when None)."""

    def __init__(self, root=None):
        self.root = None if root is None else pathlib.Path(os.path.abspath(root))
        cls = _admin_events.ZeltaAdminEvents
        self.cls = cls if self.root is None else _cli._rooted_class(cls, self.root)

    def open(self, events, groups):
        """An administrator object for the IDs; unknown ones are left out."""
        with _captured():
            return self.cls(list(events), list(groups))

    def unknown_ids(self, admin):
        """{"events": [...], "groups": [...]}: the IDs the object left out."""
        return admin.get_unknown_ids()

    def plan(self, admin, operation, *args, texts=False):
        """{"changed", "changes", "error"}: what the operation would do now."""
        method = getattr(admin, PLANS[operation])
        if operation == "import_config":
            return method(*args, texts=texts)
        return method(*args)

    def apply(self, admin, operation, *args):
        """Plans the operation and carries the plan out: the operation runs on the
        events the plan lists (on the whole object for an import), and afterwards
        nothing may be left to change. Returns the plan and the object that ran
        it (None when there was nothing to do), which knows a restart is due."""
        plan = self.plan(admin, operation, *args)
        if plan["error"] or not plan["changes"]:
            return plan, None
        if operation == "import_config":
            worker = admin
        else:
            worker = self.open(_unique(change["event"] for change in plan["changes"]), [])
        with _captured() as printed:
            getattr(worker, operation)(*args)
        after = self.plan(admin, operation, *args)
        if after["changes"] or after["error"]:
            reason = after["error"] or printed.getvalue().strip()
            raise Failure(_("The change was not made completely: {output}").format(output=reason),
                          remaining=after["changes"])
        return plan, worker

    def write_archive(self, path):
        """Writes the configuration archive at path; returns the file written."""
        return self.cls.write_config_archive(str(path))

    def restart(self, admin):
        """Restarts the daemons through admin (which has made a change), running
        each command quietly; a command that fails fails the restart."""
        failed = []

        def system(command):
            done = subprocess.run(command, shell=True, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, errors="replace", check=False)
            if done.returncode:
                failed.append({"command": command, "rc": done.returncode, "output": done.stdout})
            # os.system's result: the wait status of the shell
            return done.returncode << 8 if done.returncode >= 0 else -done.returncode

        saved = os.system
        os.system = system
        try:
            with _captured():
                admin.restart_daemons()
        finally:
            os.system = saved
        if failed:
            raise Failure(_("Restart of the daemons failed: {commands}").format(
                commands="; ".join("{0} ({1})".format(f["command"], f["rc"]) for f in failed)),
                failed_commands=failed)


@contextlib.contextmanager
def _captured():
    """Keeps what the operations print off the module's standard output, which
    carries its result to Ansible."""
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        yield output


def _unique(items):
    return list(dict.fromkeys(items))
