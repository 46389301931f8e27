"""The layer the front ends share: the class for a tree, the checks, the lock
and the one path of every change, in-process against the fake library."""

import os
import pathlib
import subprocess
import sys
import time

import pytest

from conftest import snapshot
from zelta_admin_events import frontend

RESTARTS = ["systemctl restart syslog-ng.service", "systemctl restart auditd"]
FRONT_END = pathlib.Path(sys.executable).with_name("zelta-admin-events")
SAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "sample-system"


class Recorder:
    def __init__(self):
        self.calls = []

    def before(self, command, argv, plan):
        self.calls.append(("before", command, argv, plan["changes"]))

    def after(self, outcome):
        self.calls.append(("after", outcome))


@pytest.fixture
def admin_of(Admin, catalogue, tree):
    tree.write_json(tree.current_config, {})
    return lambda events=(), groups=(): frontend.administrator(Admin, events, groups)


def test_for_root_binds_the_class_to_the_tree_and_skips_the_restart(module, tmp_path, monkeypatch, commands,
                                                                     capsys):
    monkeypatch.delenv("ZELTA_EVENTS_ROOT", raising=False)
    cls = frontend.for_root(tmp_path)
    assert issubclass(cls, module.ZeltaAdminEvents) and frontend.for_root(str(tmp_path)) is cls
    assert cls._ZeltaAdminEvents__current_config_file == tmp_path / "etc/zelta-syslog.conf"
    assert os.environ["ZELTA_EVENTS_ROOT"] == str(tmp_path)
    assert frontend.for_root() is module.ZeltaAdminEvents
    admin = cls.__new__(cls)
    for due, said in ((False, ""), (True, f"Restart of syslog-ng and auditd skipped: --root {tmp_path} is in use.\n")):
        admin._ZeltaAdminEvents__need_daemon_restart = due
        assert admin.restart_daemons() == []
        assert capsys.readouterr().out == said
    assert commands == []


def test_package_offers_for_root_without_loading_it_at_import(tmp_path):
    code = ("import sys, zelta_admin_events as z\nassert 'zelta_admin_events.frontend' not in sys.modules\n"
            "from zelta_admin_events import frontend\nassert z.for_root is frontend.for_root\n")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("operation, args, error", [
    ("enable", (), None),
    ("set_priority", ("warn",), None),
    ("set_priority", ("loud",), "unknown priority 'loud'; choose from emerg, panic, alert"),
    ("set_properties", ("", "message-syslog-priority", '"Warn"'), None),
    ("set_properties", ("", "message-syslog-facility", '"local9"'), "message-syslog-facility: unknown facility"),
    ("set_properties", ("", "enabled", "1"), "enabled takes true or false"),
    ("set_properties", ("", "message-audit-rules", '[]'), "message-audit-rules is derived from the paths"),
    ("set_properties", ("s", "p", "true"), "Invalid VALUE: true or false; give a string, an array or an object"),
    ("set_properties", ("s", "p", "NaN"), "Invalid VALUE: a number; give"),
])
def test_plan_checks_and_sorts_by_event(admin_of, lib, tree, operation, args, error):
    lib.add_event("a-event")
    tree.group("auth", ["a-event"])
    plan = frontend.plan(admin_of(["logout", "a-event"]), operation, *args)
    if error:
        assert plan["changes"] == [] and plan["error"].startswith(error)
    else:
        assert plan["error"] is None
        assert [change["event"] for change in plan["changes"]] == ["a-event", "logout"]
        assert {change["after"] for change in plan["changes"]} <= {True, "warning"}
    assert not {"set_event_param", "enable_event"} & {call[0] for call in lib.calls}


def test_change_applies_restarts_and_records(admin_of, lib, commands, tree):
    recorder = Recorder()
    admin = admin_of(["logout", "login"])
    outcome = frontend.change(admin, "set_priority", "warn", recorder=recorder, command="set-priority",
                              argv=["set-priority", "warn"])
    assert outcome["changed"] and outcome["error"] is None
    assert (outcome["failed_units"], outcome["restarted"]) == ([], True)
    assert [p[3] for p in lib.params] == ['"warning"', '"warning"']
    before, after = recorder.calls
    assert before == ("before", "set-priority", ["set-priority", "warn"], outcome["changes"])
    assert after == ("after", outcome)
    assert commands == RESTARTS
    assert (tree.root / "run/lock/zelta-admin-events.lock").stat().st_mode & 0o777 == 0o600


@pytest.mark.parametrize("operation, args", [("enable", ()), ("set_priority", ("bogus",))])
def test_no_op_and_refusal_touch_nothing(admin_of, lib, commands, capsys, operation, args):
    recorder = Recorder()
    admin = admin_of(["login"])  # enabled already
    outcome = frontend.change(admin, operation, *args, recorder=recorder)
    assert not outcome["changed"] and outcome["changes"] == []
    assert (outcome["error"] is None) == (operation == "enable")
    assert recorder.calls == [] and commands == [] and capsys.readouterr() == ("", "")
    assert not {"set_event_param", "enable_event"} & {call[0] for call in lib.calls}


@pytest.mark.parametrize("error, raised, line", [
    (OSError(28, "No space left on device"), frontend.ChangeFailed, "No space left on device"),
    (KeyboardInterrupt(), KeyboardInterrupt, "interrupted"),
])
def test_failed_change_is_recorded_restarted_and_raised(admin_of, lib, commands, monkeypatch, error, raised, line):
    def broken(event_id):
        raise error

    monkeypatch.setattr(sys.modules["zelta_events"], "enable_event", broken)
    recorder = Recorder()
    admin = admin_of(["logout"])
    admin._ZeltaAdminEvents__need_daemon_restart = True  # as a change written before the failure leaves it
    with pytest.raises(raised) as failure:
        frontend.change(admin, "enable", recorder=recorder)
    assert recorder.calls[-1][1]["error"] == line
    if raised is frontend.ChangeFailed:
        assert str(failure.value) == line and recorder.calls[-1] == ("after", failure.value.outcome)
    assert commands == RESTARTS


def test_restart_that_raises_leaves_the_change_recorded(admin_of, lib, monkeypatch):
    def broken(admin, report):
        raise OSError(12, "Cannot allocate memory")

    monkeypatch.setattr(frontend, "restart_daemons", broken)
    recorder = Recorder()
    with pytest.raises(OSError):
        frontend.change(admin_of(["logout"]), "enable", recorder=recorder)
    assert [call[0] for call in recorder.calls] == ["before", "after"]


def test_error_with_a_note_names_the_file():
    error = ValueError("Expecting value: line 1 column 1 (char 0)")
    error.add_note("/etc/zelta-syslog.conf")
    assert frontend.describe(error) == "/etc/zelta-syslog.conf: Expecting value: line 1 column 1 (char 0)"


def test_lock_is_no_link(admin_of, tree, commands):
    (tree.root / "run/lock").mkdir(parents=True)
    (tree.root / "run/lock/zelta-admin-events.lock").symlink_to(tree.root / "elsewhere")
    with pytest.raises(frontend.ChangeFailed, match="cannot take the lock"):
        frontend.change(admin_of(["logout"]), "enable")
    assert not (tree.root / "elsewhere").exists() and commands == []


def test_second_change_waits_for_the_first(tmp_path):
    root = tmp_path / "sample"
    import shutil

    shutil.copytree(SAMPLE, root, symlinks=True)
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys\nfrom zelta_admin_events import frontend\n"
         f"with frontend.lock(type('C', (), {{'_ZeltaAdminEvents__root_dir': {str(root)!r}}})):\n"
         "    print('held', flush=True)\n    sys.stdin.read()\n"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=tmp_path)
    try:
        assert holder.stdout.readline() == "held\n"
        before = snapshot(root)
        waiting = subprocess.Popen([FRONT_END, "--root", root, "enable", "-e", "connection-opened"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path)
        said = waiting.stderr.readline()
        time.sleep(0.2)
        assert said.startswith("zelta-admin-events: waiting for another change to finish (")
        assert waiting.poll() is None and snapshot(root) == before  # it waits, and has changed nothing
    finally:
        holder.communicate("")
    out, err = waiting.communicate(timeout=60)
    assert (waiting.returncode, err) == (0, "")
    assert out.startswith("connection-opened") and snapshot(root) != before


def test_lock_is_held_again_by_its_thread_and_waited_for_by_another(admin_of, tree, capfd):
    import threading

    cls, order = type(admin_of()), []

    def other():
        with frontend.lock(cls):
            order.append("other")

    with frontend.lock(cls), frontend.lock(cls):  # taken again: already held
        thread = threading.Thread(target=other)
        thread.start()
        thread.join(0.5)
        order.append("first")
    thread.join(10)
    assert order == ["first", "other"]
    assert "waiting for another change to finish" in capfd.readouterr().err
