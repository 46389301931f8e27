# -*- coding: utf-8 -*-
"""The administration module as the collection's modules use it.

Every call into ``zelta_admin_events`` goes through here: the host tree
(``root``), the administrator object, its plans, the operations that carry a
plan out (through the front ends' shared layer ``zelta_admin_events.frontend``,
which checks the values, takes the lock and changes only what the plan lists),
archive writing and the daemon restart. The modules work on plain data only.
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
    from zelta_admin_events import frontend as _frontend
except ImportError:
    _admin_events = _frontend = None
    IMPORT_ERROR = traceback.format_exc()
else:
    IMPORT_ERROR = None

LIBRARY = "zelta_admin_events"


def _(message):
    """The message in the host's language, as the front end shows it."""
    return _frontend._(message) if _frontend is not None else message


class Failure(Exception):
    """A change went wrong after it had begun, so something may have changed;
    details are more results for the task."""

    def __init__(self, message, **details):
        super().__init__(message)
        self.details = details


class Refused(Exception):
    """A change refused when it was planned again under the lock: nothing of
    it was written."""


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
        _frontend.for_root(root)
    _admin_events.Color = _frontend.NoColor
    gettext.bindtextdomain(_frontend.DOMAIN, _frontend.localedir())


class System:
    """The administration module working on the tree below root ("/" when None)."""

    def __init__(self, root=None):
        self.root = None if root is None else pathlib.Path(os.path.abspath(root))
        self.cls = _frontend.for_root(self.root)
        self._unrecorded = []

    def open(self, events, groups):
        """An administrator object for the IDs; unknown ones are left out."""
        return _frontend.administrator(self.cls, events, groups)

    def unknown_ids(self, admin):
        """{"events": [...], "groups": [...]}: the IDs the object left out."""
        return admin.get_unknown_ids()

    def plan(self, admin, operation, *args, texts=False):
        """{"changed", "changes", "error"}: what the operation would do now, with
        the checks every front end applies."""
        return _frontend.plan(admin, operation, *args, texts=texts)

    def lock(self):
        """The front ends' lock of the tree, for changes that belong together."""
        return _frontend.lock(self.cls)

    def apply(self, admin, operation, *args):
        """Plans the operation and carries the plan out: the operation runs on the
        events the plan lists (on the whole object for an import), and afterwards
        nothing may be left to change. Returns the plan, with "notes", the lines
        the operation reported besides, and the object that ran it (None when
        there was nothing to do), which knows a restart is due. Raises Refused
        when the plan made under the lock has an error, Failure when the change
        failed; its detail "remaining" is what is left to change."""
        notes = []
        try:
            with _captured():
                outcome = _frontend.change(admin, operation, *args, restart=False, narrow=True,
                                           verify=True, report=notes.append, **self._trail(admin, operation, args))
        except _frontend.ChangeFailed as error:
            raise Failure(str(error), remaining=self._remaining(admin, operation, args), notes=notes) from error
        if outcome["error"] is not None:
            raise Refused(outcome["error"])
        plan = {key: outcome[key] for key in ("changed", "changes", "error")}
        plan["notes"] = list(outcome.get("notes") or ()) + notes
        return plan, admin if outcome["changes"] else None

    def _remaining(self, admin, operation, args):
        """What a change that failed left to change, planned again; None when
        that plan fails too."""
        try:
            plan = self.plan(admin, operation, *args)
        except Exception:  # pylint: disable=broad-except
            return None
        return plan["changes"] if plan["error"] is None else None

    def _trail(self, admin, operation, args):
        """What records the change in the system log and the history of the
        tree, and the command line that would make it."""
        from zelta_admin_events import trail

        command = {"import_config": "import"}.get(operation, operation.replace("_", "-"))
        argv = ["ansible", command, *map(str, args)]
        named = (("-e", admin._ZeltaAdminEvents__event_id_list), ("-g", admin._ZeltaAdminEvents__group_id_list))
        for option, ids in named:
            for identifier in ids or ():
                argv += [option, identifier]
        recorder = _Deferred(trail.Recorder(trail.root_of(self.cls)))
        self._unrecorded.append(recorder)
        return dict(recorder=recorder, command=command, argv=argv)

    def record(self, failed_units=(), restarted=False):
        """Records the changes made so far with the outcome of the restart
        that followed them (none by default). The modules call it once their
        changes and their restart are over, also when they failed."""
        unrecorded, self._unrecorded = self._unrecorded, []
        for recorder in unrecorded:
            recorder.record(list(failed_units), restarted)

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
        failed_units = None
        try:
            with _captured():
                failed_units = list(admin.restart_daemons())
        finally:
            os.system = saved
            self.record(failed_units or [], restarted=failed_units is not None)
        if failed:
            raise Failure(_("Restart of the daemons failed: {commands}").format(
                commands="; ".join("{0} ({1})".format(f["command"], f["rc"]) for f in failed)),
                failed_commands=failed)


class _Deferred:
    """A recorder whose record of the outcome waits for the restart the
    module makes after its changes, so that the history tells how it went."""

    def __init__(self, recorder):
        self._recorder = recorder
        self._outcome = None

    def before(self, command, argv, plan):
        self._recorder.before(command, argv, plan)

    def after(self, outcome):
        self._outcome = outcome

    def record(self, failed_units, restarted):
        if self._outcome is not None:
            self._recorder.after(dict(self._outcome, failed_units=failed_units, restarted=restarted))


@contextlib.contextmanager
def _captured():
    """Keeps what the operations print off the module's standard output, which
    carries its result to Ansible."""
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        yield output

