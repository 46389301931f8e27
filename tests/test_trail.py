"""The trail of changes: system log records, the history on the host, undo."""

import hashlib
import io
import json
import os
import shutil
import socket
import subprocess
import sys
import tarfile
import tempfile

import pytest

from conftest import snapshot
from test_standin import SAMPLE, load_library
from zelta_admin_events import cli, frontend, trail

LIBRARY_FUNCTIONS = ("get_event_ids", "get_group_ids", "get_event_ids_ex", "get_group_ids_ex", "is_event_enabled",
                     "enable_event", "disable_event", "set_event_param")
HISTORY = "var/lib/zelta-admin-events"


@pytest.fixture
def log(monkeypatch):
    """A datagram socket standing in for the system log; log() returns the records received."""
    directory = tempfile.mkdtemp(prefix="zlog")  # short: socket paths are limited
    path = os.path.join(directory, "log")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.setblocking(False)
    monkeypatch.setenv(trail.LOG_SOCKET_ENV, path)

    def received():
        records = []
        while True:
            try:
                records.append(sock.recv(65536).decode())
            except BlockingIOError:
                return records

    yield received
    sock.close()
    shutil.rmtree(directory)


@pytest.fixture
def host(module, tmp_path, monkeypatch, log):
    """The sample system under a scratch root, changed through the stand-in library."""
    root = tmp_path / "host"
    shutil.copytree(SAMPLE, root, symlinks=True)
    library = load_library()
    for name in LIBRARY_FUNCTIONS:
        monkeypatch.setattr(module.zelta_events, name, getattr(library, name))
    monkeypatch.setenv("ZELTA_EVENTS_ROOT", str(root))
    host = frontend.for_root(root)
    host.root = trail.root_of(host)
    return host


def quiet(make):
    with io.StringIO() as out, __import__("contextlib").redirect_stdout(out):
        return make()


def change(cls, operation, *args, events=(), groups=(), argv=("change",), outcome=None):
    """Plans, records and applies one change, as the shared change function does."""
    admin = quiet(lambda: cls(list(events), list(groups)))
    plan = getattr(admin, "plan_" + operation)(*args)
    assert plan["error"] is None and plan["changes"]
    recorder = trail.Recorder(cls.root)
    recorder.before(operation, list(argv), plan)
    quiet(lambda: getattr(admin, operation)(*args))
    recorder.after({**plan, "failed_units": [], "restarted": False, **(outcome or {})})
    return recorder.entry_id


def settings(cls, *events):
    return quiet(lambda: cls(list(events), [])).get_event_settings()


def undo(cls, entry_id=None):
    return quiet(lambda: trail.undo_change(cls, entry_id))[1]


def tree(cls):
    """The host's files, less the history and the locks."""
    return {path: state for path, state in snapshot(cls.root).items()
            if not path.startswith(("var", "run")) and not path.endswith(".lock")}


# ---- records and history ----------------------------------------------------------------

CHANGES = [
    ("enable", (), ["file-opened"], ["filesystem"]),
    ("disable", (), [], ["filesystem"]),
    ("set_facility", ("local3",), ["file-opened", "modifying-file"], []),
    ("set_priority", ("debug",), ["modifying-file"], []),
    ("set_properties", ("audit", "paths", '["/etc/hosts"]'), ["modifying-file", "file-opened"], []),
    ("set_properties", ("message", "program", '"other"'), ["user-login", "sudo-command"], []),
]


@pytest.mark.parametrize("operation, args, events, groups", CHANGES)
def test_change_is_logged_kept_and_undone_and_the_undo_undone(host, log, operation, args, events, groups):
    if operation == "enable":
        change(host, "disable", events=events, groups=groups)
        log()
    before = settings(host, *events, "file-opened", "modifying-file")
    entry_id = change(host, operation, *args, events=events, groups=groups, argv=[operation, *args])
    after = settings(host, *events, "file-opened", "modifying-file")
    assert after != before

    begin, end = log()
    entry = trail.History(host.root).entry(entry_id)
    assert begin.startswith("<85>") and f"command={operation}" in begin
    assert f"changes={len(entry['plan']['changes'])}:" in begin
    first = entry["plan"]["changes"][0]
    assert trail.describe_change(first) in begin
    assert end.startswith("<85>") and end.endswith(f"outcome=done history={entry_id}")
    assert entry["argv"] == [operation, *args] and entry["outcome"] == "done"

    outcome = undo(host)
    assert outcome["error"] is None and settings(host, *events, "file-opened", "modifying-file") == before
    undo_entry = trail.History(host.root).entry(outcome["history"])
    assert undo_entry["undoes"] == entry_id and "command=undo" in log()[0]
    with pytest.raises(trail.TrailError, match="undone already"):
        trail.Undo(host, entry_id)

    assert undo(host, outcome["history"])["error"] is None
    assert settings(host, *events, "file-opened", "modifying-file") == after


@pytest.mark.parametrize("operation, args, events, tamper, refusal", [
    ("set_facility", ("local3",), ["file-opened", "modifying-file"],
     lambda host: host(["modifying-file"], []).set_facility("local6"), "something changed since"),
    ("enable", (), ["user-logout"], lambda host: host(["user-logout"], []).disable(), "something changed since"),
    ("set_properties", ("notification", "desktop", '{"urgency": "low"}'), ["user-login"], None, "had no value"),
])
def test_undo_refused_changes_nothing(host, log, operation, args, events, tamper, refusal):
    quiet(lambda: host(events, []).disable())
    entry_id = change(host, operation, *args, events=events)
    if tamper is not None:
        quiet(lambda: tamper(host))
    state = tree(host)
    log()
    outcome = undo(host)
    assert refusal in outcome["error"] and not outcome["changes"]
    assert tree(host) == state and len(trail.History(host.root).entries()) == 1 and log() == []
    if tamper is not None:
        differs = trail.Undo(host, entry_id).differs
        assert [(d["event"], d["parameter"]) for d in differs] == [
            (change["event"], change["parameter"]) for change in trail.History(host.root).entry(entry_id)
            ["plan"]["changes"] if change["event"] == "modifying-file" or operation == "enable"]


def _archive(path, members):
    with tarfile.open(path, "w:gz") as archive:
        for name, data in members:
            info = tarfile.TarInfo(name)
            if data is None:
                info.type = tarfile.DIRTYPE
                archive.addfile(info)
            else:
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))
    return str(path)


def test_undo_of_an_import_restores_files_byte_for_byte(host, log, tmp_path):
    root = host.root
    os.chmod(os.path.join(root, "etc/syslog-ng/conf.d/mod-zelta.conf"), 0o640)
    shutil.rmtree(os.path.join(root, "root/.config"))
    config = open(os.path.join(root, "etc/zelta-syslog.conf"), "rb").read()
    archive = _archive(tmp_path / "new.tar.gz", [
        ("new/etc/zelta-syslog.conf", b"{}\n"),
        ("new/etc/syslog-ng/conf.d/mod-zelta.conf", b"replaced\n"),
        ("new/etc/syslog-ng/conf.d/mod-zelta-extra.conf", b"created\n"),
        ("new/root/.config", None),
        ("new/root/.config/zelta-event-watcher.notifyrc", b"[n]\n")])
    original = tree(host)
    entry_id = change(host, "import_config", archive, argv=["import", archive])
    imported = tree(host)
    assert imported != original
    entry = trail.History(root).entry(entry_id)
    assert set(entry["kept"]) == {"etc/zelta-syslog.conf", "etc/syslog-ng/conf.d/mod-zelta.conf"}
    begin = log()[0]
    digests = [hashlib.sha256(content).hexdigest() for content in (config, b"{}\n")]
    assert "replace {}/etc/zelta-syslog.conf: sha256:{} -> sha256:{}".format(root, *digests) in begin

    outcome = undo(host)
    assert outcome["error"] is None and tree(host) == original
    assert undo(host, outcome["history"])["error"] is None and tree(host) == imported


def test_undo_of_a_change_that_failed_half_way_reverts_what_was_written(host, log):
    events = ["file-opened", "modifying-file"]
    before = settings(host, *events)
    admin = quiet(lambda: host(events, []))
    plan = admin.plan_set_facility("local3")
    recorder = trail.Recorder(host.root)
    recorder.before("set-facility", ["set-facility", "local3"], plan)
    quiet(lambda: host(events[:1], []).set_facility("local3"))
    recorder.after(dict(plan, error="disk full", failed_units=[], restarted=False))
    assert trail.History(host.root).entries()[-1]["outcome"] == "failed" and log()[1].startswith("<84>")
    outcome = undo(host)
    assert outcome["error"] is None and [c["event"] for c in outcome["changes"]] == events[:1]
    assert settings(host, *events) == before


def _failed_import(host, tmp_path):
    """An import recorded as failed before it wrote anything."""
    archive = _archive(tmp_path / "new.tar.gz", [("new/etc/zelta-syslog.conf", b"{}\n")])
    plan = quiet(lambda: host([], [])).plan_import_config(archive)
    recorder = trail.Recorder(host.root)
    recorder.before("import", ["import", archive], plan)
    recorder.after(dict(plan, error="disk full", failed_units=[], restarted=False))


def _failed_facility(host, tmp_path):
    plan = quiet(lambda: host(["file-opened"], [])).plan_set_facility("local3")
    recorder = trail.Recorder(host.root)
    recorder.before("set-facility", ["set-facility", "local3"], plan)
    recorder.after(dict(plan, error="disk full", failed_units=[], restarted=False))


@pytest.mark.parametrize("fail", [_failed_import, _failed_facility])
def test_failed_change_that_wrote_nothing_is_not_undone_and_passed_over(host, log, tmp_path, fail):
    first = change(host, "set_priority", "debug", events=["modifying-file"])
    fail(host, tmp_path)
    state = tree(host)
    assert "changed nothing" in undo(host, first + 1)["error"] and tree(host) == state
    assert undo(host)["error"] is None
    assert trail.History(host.root).entries()[-1]["undoes"] == first


@pytest.mark.parametrize("break_it, error", [
    ("interrupt", "interrupted"),
    ("fill the directory", "Directory not empty"),
    ("fill the directory, undo --json", "Directory not empty"),
])
def test_undo_that_fails_is_recorded_failed_and_leaves_the_change_to_undo(host, log, tmp_path, monkeypatch, capsys,
                                                                          break_it, error):
    root = host.root
    shutil.rmtree(os.path.join(root, "root/.config"))
    archive = _archive(tmp_path / "new.tar.gz", [
        ("new/etc/zelta-syslog.conf", open(os.path.join(root, "etc/zelta-syslog.conf"), "rb").read()),
        ("new/root/.config", None), ("new/root/.config/zelta-event-watcher.notifyrc", b"[n]\n")])
    entry_id = change(host, "import_config", archive, argv=["import", archive])
    if break_it == "interrupt":
        apply = trail.Undo.apply

        def interrupted(self):
            apply(self)
            raise KeyboardInterrupt

        monkeypatch.setattr(trail.Undo, "apply", interrupted)
    else:
        open(os.path.join(root, "root/.config/extra"), "w").close()
    if break_it.endswith("--json"):
        status, out, _err = run(host, capsys, "undo", "--json")
        document = json.loads(out)
        assert status == 1 and error in document["error"] and document["undoes"] == entry_id
    else:
        with pytest.raises(KeyboardInterrupt if break_it == "interrupt" else frontend.ChangeFailed):
            undo(host)
    entry = trail.History(root).entries()[-1]
    assert (entry["undoes"], entry["outcome"]) == (entry_id, "failed") and error in entry["detail"]
    assert trail.undone_by(trail.History(root).entries()) == {}


def test_restoring_a_mode_follows_no_link(tmp_path):
    outside = tmp_path / "outside"
    outside.write_text("host file")
    os.chmod(outside, 0o644)
    (tmp_path / "root/etc").mkdir(parents=True)
    os.symlink(outside, tmp_path / "root/etc/f")
    undo = object.__new__(trail.Undo)
    undo.root = trail.Root(tmp_path / "root")
    undo.entry = {"plan": {"changes": [{"file": "etc/f", "action": "remove"}]},
                  "kept": {"etc/f": {"uid": os.getuid(), "gid": os.getgid(), "mode": 0o600}}}
    with pytest.raises(OSError):
        undo._restore_owners()
    assert outside.stat().st_mode & 0o777 == 0o644


def test_warnings_are_escaped(capsys):
    trail._warn("a\nforged line\x1b[2J")
    assert capsys.readouterr().err == "zelta-admin-events: warning: a\\x0aforged line\\x1b[2J\n"


@pytest.mark.parametrize("status", [
    {"error": None, "failed_units": []},
    {"error": None, "failed_units": ["auditd"]},
    {"error": "disk full", "changed": True, "failed_units": []},
])
def test_outcome_after_a_failure_is_a_warning(host, log, status):
    entry_id = change(host, "set_priority", "debug", events=["file-opened"], outcome=status)
    end = log()[1]
    expected = ("done", "") if status["error"] is None and not status["failed_units"] else \
        ("restart failed", ": auditd") if status["failed_units"] else ("failed", ": disk full")
    assert end.startswith("<85>" if expected[0] == "done" else "<84>")
    assert f"outcome={expected[0]}{expected[1]} history={entry_id}" in end
    assert trail.History(host.root).entry(entry_id)["outcome"] == expected[0]


@pytest.mark.parametrize("loginuid, getlogin, env, expected", [
    (str(os.getuid()), None, {}, f"user={trail._user_name(os.getuid())} "),
    ("4294967295", "alice", {}, "user=alice "),
    (None, OSError, {}, "user=? "),
    ("4294967295", "alice", {"SUDO_USER": "bob", "SUDO_UID": "1000"}, "sudo_user=bob(1000)"),
    ("4294967295", "alice", {"SUDO_USER": "b\nob"}, "sudo_user=b\\x0aob(?)"),
])
def test_user_names(tmp_path, monkeypatch, loginuid, getlogin, env, expected):
    path = tmp_path / "loginuid"
    if loginuid is not None:
        path.write_text(loginuid)
    monkeypatch.setattr(trail, "LOGINUID_FILE", str(path))

    def fake_getlogin():
        if getlogin is OSError:
            raise OSError("no terminal")
        return getlogin

    monkeypatch.setattr(os, "getlogin", fake_getlogin)
    for name in ("SUDO_USER", "SUDO_UID"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    text = trail.before_record(trail.current_user(), ["enable"], {"changes": []})
    assert expected in text and "\n" not in text
    assert ("sudo_user=" in text) == bool(env)


@pytest.mark.parametrize("value, shown", [
    ("a\nb", '"a\\nb"'),
    ("\x1b[31mred\u2028\x85\u202e", '"\\u001b[31mred\\u2028\\x85\\u202e"'),
    ("x" * 1000, '"' + "x" * 199 + "...[cut: 1002 chars, sha256 "
     + hashlib.sha256(('"' + "x" * 1000 + '"').encode()).hexdigest() + "]"),
])
def test_values_in_a_record_are_bounded_and_escaped(value, shown):
    plan = {"changes": [{"event": "e\r\n<85>forged", "section": "", "parameter": "p", "before": None,
                         "after": value}]}
    text = trail.before_record({"login": "u", "uid": 0, "name": "root"}, ["set-properties", value], plan)
    assert f"e\\x0d\\x0a<85>forged p: null -> {shown}" in text
    assert not any(c in text for c in "\n\r\x1b\x85\u2028\u202e")


def test_record_lists_changes_up_to_its_bound():
    plan = {"changes": [{"event": f"event-{n}", "section": "", "parameter": "enabled", "before": False,
                         "after": True} for n in range(500)]}
    text = trail.before_record({"login": "u", "uid": 0, "name": "root"}, ["enable"], plan)
    assert len(text) <= trail.RECORD_LIMIT + 100 and text.endswith("more (in the history)")


def test_unreachable_log_warns_and_the_change_is_made(host, monkeypatch, capsys):
    monkeypatch.setenv(trail.LOG_SOCKET_ENV, os.path.join(host.root, "no-such-socket"))
    entry_id = change(host, "set_priority", "debug", events=["file-opened"])
    assert settings(host, "file-opened")[0]["settings"]["message-syslog-priority"] == "debug"
    assert capsys.readouterr().err.count("could not be recorded in the system log") == 1
    assert trail.History(host.root).entry(entry_id)["outcome"] == "done"


# ---- the history file ---------------------------------------------------------------------

def test_concurrent_appends_lose_and_tear_nothing(tmp_path):
    (tmp_path / "etc").mkdir()
    code = ("import os\nfrom zelta_admin_events import trail\nfor n in range(25):\n"
            f"    trail.History({str(tmp_path)!r}).append({{'plan': {{'changes': []}}, 'n': n, 'pid': os.getpid()}})")
    writers = [subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path) for _ in range(4)]
    assert [w.wait() for w in writers] == [0] * 4
    lines = (tmp_path / HISTORY / "history.jsonl").read_text().splitlines()
    entries = [json.loads(line) for line in lines]
    assert [e["id"] for e in entries] == list(range(1, 101))
    assert sorted((e["pid"], e["n"]) for e in entries) == sorted((w.pid, n) for w in writers for n in range(25))
    assert oct(os.stat(tmp_path / HISTORY).st_mode & 0o777) == "0o700"


@pytest.mark.parametrize("torn, kept", [
    ('{"id": 2, "plan": {"chan', [1]),  # a crash mid-append
    ('{"id":2,"plan":{"changes":[]}}', [1, 2]),  # a whole entry short of its newline
])
def test_torn_last_line_is_passed_over_and_the_next_append_starts_a_line(tmp_path, torn, kept):
    (tmp_path / "etc").mkdir()
    history = trail.History(tmp_path)
    history.append({"plan": {"changes": []}})
    path = tmp_path / HISTORY / "history.jsonl"
    with open(path, "a") as file:
        file.write(torn)
    assert [e["id"] for e in history.entries()] == kept
    assert history.append({"plan": {"changes": []}}) == len(kept) + 1
    assert [e["id"] for e in history.entries()] == kept + [len(kept) + 1]


@pytest.mark.parametrize("argv, kept", [
    (["enable", "-e", "b\udcffd"], {}),  # an argument that was no UTF-8
    (["import", "empty.tar.gz"], {hashlib.sha256(b"").hexdigest(): b""}),  # every kept file empty
])
def test_append_keeps_what_it_is_given(tmp_path, argv, kept):
    (tmp_path / "etc").mkdir()
    history = trail.History(tmp_path)
    entry_id = history.append({"plan": {"changes": []}, "argv": argv, "kept_bytes": 0}, kept)
    assert history.entry(entry_id)["argv"] == argv
    for digest, content in kept.items():
        assert history.kept(entry_id, digest) == content


def test_pruning_keeps_the_newest_entries_and_kept_bytes(tmp_path, monkeypatch):
    (tmp_path / "etc").mkdir()
    monkeypatch.setattr(trail, "MAX_ENTRIES", 4)
    monkeypatch.setattr(trail, "MAX_KEPT_BYTES", 10)
    history = trail.History(tmp_path)
    for n in range(6):
        content = bytes([n]) * 4
        history.append({"plan": {"changes": []}, "kept_bytes": 4},
                       {hashlib.sha256(content).hexdigest(): content})
    entries = history.entries()
    assert [(e["id"], e.get("kept_pruned", False)) for e in entries] == [
        (3, True), (4, True), (5, False), (6, False)]
    assert sorted(os.listdir(tmp_path / HISTORY / "kept")) == ["5", "6"]


def test_paths_resolve_inside_the_root_and_a_linked_lock_is_refused(tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret").write_text("host file")
    root = tmp_path / "root"
    (root / "etc").mkdir(parents=True)
    (root / "etc/secret").write_text("root file")
    os.symlink(str(outside / "secret"), root / "etc/absolute")
    os.symlink("../../../outside/secret", root / "etc/dotdot")
    inside = trail.Root(root)
    with pytest.raises(trail.TrailError, match="not below"):
        inside.relative(str(outside / "secret"))
    assert inside.read("etc/absolute") is None  # the target counts from the root, where nothing is
    os.symlink("/etc/secret", root / "etc/in-root")
    assert inside.read("etc/dotdot") is None  # ".." stops at the root
    assert inside.read("etc/in-root")[0] == inside.read("../../etc/secret")[0] == b"root file"
    os.symlink(str(outside / "lock"), root / "etc/zelta-syslog.conf.lock")
    with pytest.raises(trail.TrailError, match="symbolic link"):
        trail.History(root).append({"plan": {"changes": []}})
    assert not (outside / "lock").exists()


# ---- the commands --------------------------------------------------------------------------

def run(host, capsys, *argv):
    status = cli.main(["--root", host.root, *argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("argv", [
    ["disable", "-g", "filesystem", "--dry-run"],
    ["enable", "-e", "file-opened"],  # enabled already
    ["set-properties", "audit", "paths", "[1]", "-e", "modifying-file"],  # refused
])
def test_dry_run_no_change_and_refusal_leave_no_trail(host, log, capsys, argv):
    run(host, capsys, *argv)
    assert log() == [] and trail.History(host.root).entries() == []


def test_history_and_undo_commands(host, log, capsys):
    assert run(host, capsys, "disable", "-g", "filesystem")[0] == 0
    assert run(host, capsys, "set-priority", "debug", "-e", "file-opened")[0] == 0
    status, out, _err = run(host, capsys, "history", "--json", "-n", "1")
    entries = json.loads(out)["entries"]
    assert status == 0 and [(e["id"], e["command"], e["changes"], e["undone_by"]) for e in entries] == [
        (2, "set-priority", 1, None)]
    assert entries[0]["argv"] == ["--root", host.root, "set-priority", "debug", "-e", "file-opened"]

    status, out, err = run(host, capsys, "undo", "--json")
    document = json.loads(out)
    assert status == 0 and document["undoes"] == 2 and document["changes"][0]["after"] == "info"
    quiet(lambda: host(["modifying-file"], []).enable())  # drift for change 1
    status, out, err = run(host, capsys, "undo", "--dry-run")
    assert status == 1 and out == "" and "change 1 cannot be undone" in err
    assert "modifying-file enabled: the change left false, now true" in err

    status, out, _err = run(host, capsys, "history")
    assert status == 0 and out.splitlines()[0].endswith("done  undoes change 2")
    status, out, _err = run(host, capsys, "history", "show", "2", "--json")
    assert json.loads(out)["undone_by"] == 3
    assert run(host, capsys, "history", "show", "9")[0] == 1
    assert run(host, capsys, "history", "show")[0] == 2

    quiet(lambda: host(["modifying-file"], []).disable())  # drift gone
    status, out, err = run(host, capsys, "undo")
    assert status == 0 and err == ""  # the skipped restart is reported as after every change
    assert out.splitlines()[-2:] == [f"Restart of syslog-ng and auditd skipped: --root {host.root} is in use.",
                                "Change 1 undone."]


@pytest.mark.parametrize("dry_run", [[], ["--dry-run"]])
def test_undo_json_says_why_nothing_is_undone(host, log, capsys, dry_run):
    status, out, err = run(host, capsys, "undo", "--json", *dry_run)
    assert status == 1 and "nothing to undo" in json.loads(out)["error"] and "nothing to undo" in err


@pytest.mark.parametrize("failed_units, outcome", [([], "done"), (["auditd"], "restart failed")])
def test_ansible_changes_are_recorded_with_the_restart_that_followed(host, log, monkeypatch, failed_units, outcome):
    from test_ansible import collection_module

    system = collection_module("module_utils.backend").System(host.root)
    admin = system.open(["file-opened"], [])
    plan, worker = system.apply(admin, "set_facility", "local3")
    assert worker is not None and len(log()) == 1 and trail.History(host.root).entries() == []
    monkeypatch.setattr(host, "restart_daemons", lambda self: failed_units)
    system.restart(worker)
    entry = trail.History(host.root).entries()[-1]
    assert entry["argv"] == ["ansible", "set-facility", "local3", "-e", "file-opened"]
    assert entry["plan"]["changes"] == plan["changes"]
    assert (entry["outcome"], entry["failed_units"], entry["restarted"]) == (outcome, failed_units, True)
    assert len(log()) == 1


@pytest.mark.parametrize("priority, raised, message", [
    ("loud", "Refused", "unknown priority 'loud'"),  # planned under the lock: refused, nothing written
    ("debug", "Failure", "The change was not made completely: modifying-file message-syslog-priority"),
])
def test_ansible_failures_say_so_once_with_what_is_left(host, log, module, monkeypatch, priority, raised, message):
    from test_ansible import collection_module

    backend = collection_module("module_utils.backend")
    real = module.zelta_events.set_event_param
    monkeypatch.setattr(module.zelta_events, "set_event_param",  # the second event is not written
                        lambda event, *args: None if event == "modifying-file" else real(event, *args))
    system = backend.System(host.root)
    admin = system.open(["file-opened", "modifying-file"], [])
    with pytest.raises(getattr(backend, raised)) as failure:
        system.apply(admin, "set_priority", priority)
    assert str(failure.value).startswith(message) and str(failure.value).count("not made completely") <= 1
    if raised == "Failure":
        assert [c["event"] for c in failure.value.details["remaining"]] == ["modifying-file"]
