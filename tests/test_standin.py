"""Stand-in events library and the bundled sample system."""

import contextlib
import fcntl
import importlib.util
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from conftest import snapshot

pytestmark = pytest.mark.without_module  # the library alone, loaded from its file

REPO = Path(__file__).resolve().parent.parent
LIBRARY = REPO / "events-standin" / "zelta_events.py"
SAMPLE = REPO / "examples" / "sample-system"
SHARE = "usr/share/syslog-ng-mod-zelta"


def load_library(name="zelta_events_standin"):
    # Loaded from its file under its own name, so a fake "zelta_events" that
    # other tests put into sys.modules never stands in for it here.
    spec = importlib.util.spec_from_file_location(name, LIBRARY)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def ev():
    return load_library()


def write_catalogue(root, groups, events):
    path = root / SHARE / "events-catalogue.json"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps({"groups": groups, "events": events}, ensure_ascii=False), encoding="utf-8")


@pytest.fixture
def root(tmp_path, monkeypatch):
    write_catalogue(tmp_path, [{"id": "g1", "name_en": "Files", "name_ru": "Файлы"},
                               {"id": "g0", "name_en": "Users", "name_ru": "Пользователи"}],
                    [{"id": "a", "name_en": "Alpha", "name_ru": "Альфа", "enabled": True},
                     {"id": "b", "name_en": "Beta", "name_ru": "Бета", "enabled": False}])
    (tmp_path / "etc").mkdir()
    monkeypatch.setenv("ZELTA_EVENTS_ROOT", str(tmp_path))
    return tmp_path


def config(root):
    return json.loads((root / "etc/zelta-syslog.conf").read_text())


def test_catalogue_queries_and_records(ev, root):
    assert ev.get_event_ids() == ["a", "b"]
    assert ev.get_group_ids() == ["g1", "g0"]
    assert ev.get_event_ids_ex(2) == ['a,"Alpha","Альфа"', 'b,"Beta","Бета"']
    assert ev.get_group_ids_ex(2) == ['g1,"Files","Файлы"', 'g0,"Users","Пользователи"']
    assert [ev.is_event_enabled(e) for e in ("a", "b")] == [1, 0]


@pytest.mark.parametrize("version", [1, 3, "2", 2.0, True])
def test_other_record_formats_refused(ev, root, version):
    with pytest.raises(ValueError, match="only format 2"):
        ev.get_event_ids_ex(version)


@pytest.mark.parametrize("event, message", [
    ({"id": "a", "name_en": "Alpha, first", "name_ru": "Альфа", "enabled": True}, "name_en of 'a'"),
    ({"id": "a,b", "name_en": "A", "name_ru": "А", "enabled": True}, "no usable ID"),
    ({"id": "../a", "name_en": "A", "name_ru": "А", "enabled": True}, "no usable ID"),
    ({"id": "a", "name_en": "A", "name_ru": "А", "enabled": "yes"}, "'a' needs \"enabled\""),
])
def test_unusable_catalogue_refused(ev, root, event, message):
    write_catalogue(root, [], [event])
    with pytest.raises(ev.ConfigurationError, match=message):
        ev.get_event_ids_ex(2)


def test_root_is_read_at_every_call(ev, root, tmp_path_factory, monkeypatch):
    other = tmp_path_factory.mktemp("other")
    write_catalogue(other, [], [{"id": "x", "name_en": "X", "name_ru": "Х", "enabled": True}])
    assert ev.get_event_ids() == ["a", "b"]
    monkeypatch.setenv("ZELTA_EVENTS_ROOT", str(other))
    assert ev.get_event_ids() == ["x"]


def test_changes_persist_and_keep_each_other(ev, root):
    ev.disable_event("a")
    ev.enable_event("b")
    ev.set_event_param("a", "", "message-syslog-facility", '"local5"')
    ev.set_event_param("a", "audit", "paths", '["/etc/passwd", "/etc/my file"]')
    ev.set_event_param("a", "audit", "permissions", ' "wa" ')
    ev.set_event_param("b", "filter", "limits", '{"burst": 5, "ratio": 0.5}')
    assert config(root) == {
        "a": {"enabled": False, "message-syslog-facility": "local5",
              "audit": {"paths": ["/etc/passwd", "/etc/my file"], "permissions": "wa"}},
        "b": {"enabled": True, "filter": {"limits": {"burst": 5, "ratio": 0.5}}},
    }
    fresh = load_library("zelta_events_fresh")
    assert [fresh.is_event_enabled(e) for e in ("a", "b")] == [0, 1]
    assert (root / "etc/zelta-syslog.conf").stat().st_mode & 0o777 == 0o644


BROKEN = '{"a": {"audit": "watch everything", "enabled": true}}\n'


@pytest.mark.parametrize("text, call, error, message", [
    (BROKEN, ("set_event_param", "nope", "", "p", '"x"'), "UnknownEventError", "unknown event ID: 'nope'"),
    (BROKEN, ("enable_event", "nope"), "UnknownEventError", "'nope'"),
    (BROKEN, ("set_event_param", "a", "", "p", "abc"), "InvalidValueError", "not JSON text"),
    (BROKEN, ("set_event_param", "a", "s", "p", "[1, NaN]"), "InvalidValueError", "NaN"),
    (BROKEN, ("set_event_param", "a", "s", "p", '{"x": 1e999}'), "InvalidValueError", "1e999"),
    (BROKEN, ("set_event_param", "a", "s", "p", "-1E400"), "InvalidValueError", "-1E400"),
    (BROKEN, ("set_event_param", "a", "", "enabled", "1"), "InvalidValueError", "true or false"),
    (BROKEN, ("set_event_param", "a", "audit", "p", "1"), "ConfigurationError", "section 'audit' of event 'a'"),
    ("[1, 2]\n", ("disable_event", "a"), "ConfigurationError", "JSON object of event IDs"),
    ('{"a": [true]}', ("enable_event", "a"), "ConfigurationError", "settings of event 'a'"),
    ('{"a": {', ("enable_event", "a"), "ConfigurationError", "not valid JSON"),
])
def test_refused_change_writes_nothing(ev, root, text, call, error, message):
    path = root / "etc/zelta-syslog.conf"
    path.write_text(text)
    with pytest.raises(getattr(ev, error), match=message):
        getattr(ev, call[0])(*call[1:])
    assert path.read_text() == text
    assert sorted(p.name for p in path.parent.iterdir()) in (
        ["zelta-syslog.conf"], ["zelta-syslog.conf", "zelta-syslog.conf.lock"])


# An absolute target counts from the root and ".." stops there: the host's
# /etc/real.conf is never read or written.
@pytest.mark.parametrize("link", ["real.conf", "/etc/real.conf", "../../../../../../../../etc/real.conf"])
def test_replace_keeps_mode_attributes_and_link_inside_the_root(ev, root, link):
    target = root / "etc/real.conf"
    target.write_text('{"b": {"enabled": true}}')
    target.chmod(0o640)
    os.setxattr(target, "user.label", b"kept")
    (root / "etc/zelta-syslog.conf").symlink_to(link)
    assert ev.is_event_enabled("b") == 1
    ev.set_event_param("a", "", "p", "[]")
    assert (root / "etc/zelta-syslog.conf").is_symlink()
    assert json.loads(target.read_text()) == {"b": {"enabled": True}, "a": {"p": []}}
    assert target.stat().st_mode & 0o777 == 0o640
    assert os.getxattr(target, "user.label") == b"kept"


@pytest.mark.parametrize("link", ["conf", "/conf", "../../conf/", "./../conf/.", "etc"])
def test_directory_links_resolve_inside_the_root(ev, root, link):
    (root / "etc").rename(root / "conf")
    (root / "etc").symlink_to(link)
    if link == "etc":
        with pytest.raises(OSError, match=r"Too many levels of symbolic links: '.*/etc/zelta-syslog.conf.lock'"):
            ev.enable_event("a")
    else:
        ev.enable_event("a")
        assert json.loads((root / "conf/zelta-syslog.conf").read_text()) == {"a": {"enabled": True}}
        assert ev.is_event_enabled("a") == 1


# The scratch tree as the system root of a chrooted process: paths resolve as the system resolves them.
CHROOTED = """
import importlib.util, os, sys
spec = importlib.util.spec_from_file_location("zelta_events_chrooted", sys.argv[1])
events = importlib.util.module_from_spec(spec)
spec.loader.exec_module(events)
os.chroot(sys.argv[2])
os.chdir("/")
events.set_event_param("a", "", "p", "[]")
print(events.is_event_enabled("b"))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="chroot needs privileges")
@pytest.mark.parametrize("link, etc", [("real.conf", None), ("/etc/real.conf", None),
                                       ("../../etc/real.conf", None), ("/etc/real.conf", "conf")])
def test_system_root(root, link, etc):
    if etc:
        (root / "etc").rename(root / etc)
        (root / "etc").symlink_to(etc)
    real = root / (etc or "etc") / "real.conf"
    real.write_text('{"b": {"enabled": true}}')
    (real.parent / "zelta-syslog.conf").symlink_to(link)
    environment = {name: value for name, value in os.environ.items() if name != "ZELTA_EVENTS_ROOT"}
    result = subprocess.run([sys.executable, "-c", CHROOTED, str(LIBRARY), str(root)],
                            env=environment, capture_output=True, text=True, timeout=20)
    assert result.stdout == "1\n", result.stderr
    assert json.loads(real.read_text()) == {"b": {"enabled": True}, "a": {"p": []}}


def test_writers_wait_for_the_flock_on_the_lock_file(ev, root):
    lock = open(root / "etc/zelta-syslog.conf.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    writer = threading.Thread(target=ev.enable_event, args=("b",))
    writer.start()
    writer.join(0.3)
    assert writer.is_alive() and not (root / "etc/zelta-syslog.conf").exists()
    lock.close()
    writer.join()
    assert config(root) == {"b": {"enabled": True}}


WORKER = """
import importlib.util, sys
spec = importlib.util.spec_from_file_location("zelta_events_worker", sys.argv[1])
events = importlib.util.module_from_spec(spec)
spec.loader.exec_module(events)
for i in range(50):
    events.set_event_param("a", "section", f"w{sys.argv[2]}-{i}", str(i))
"""


def test_concurrent_writers_lose_nothing(root):
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, str(LIBRARY), str(n)]) for n in range(4)]
    assert [w.wait(timeout=120) for w in workers] == [0] * 4
    assert config(root)["a"]["section"] == {f"w{n}-{i}": i for n in range(4) for i in range(50)}


def test_sample_system(ev, tmp_path, monkeypatch):
    root = tmp_path / "host"
    shutil.copytree(SAMPLE, root, symlinks=True)
    monkeypatch.setenv("ZELTA_EVENTS_ROOT", str(root))
    events, groups = ev.get_event_ids(), ev.get_group_ids()
    assert len(groups) >= 4 and len(events) >= 15
    assert {"modifying-file", "modifying-directory", "file-opened"} <= set(events)

    settings_dir = root / SHARE / "event-settings"
    assert sorted(p.name for p in settings_dir.iterdir()) == sorted(groups)
    files = sorted(settings_dir.glob("*/*"))
    assert sorted(p.name for p in files) == sorted(events)  # each event in exactly one group
    sections = set()
    for path in files:
        settings = json.loads(path.read_text(encoding="utf-8"))
        assert isinstance(settings, dict), path
        sections |= {key for key, value in settings.items() if isinstance(value, dict)}
    dictionary = json.loads((root / "etc/wex-admin-events/eventsdictionary.json").read_text(encoding="utf-8"))
    assert sections <= set(dictionary)

    for record in ev.get_event_ids_ex(2) + ev.get_group_ids_ex(2):
        fields = record.split(",")
        assert len(fields) == 3 and all(f[0] == f[-1] == '"' and len(f) > 2 for f in fields[1:]), record

    current = config(root)
    assert set(current) <= set(events)
    rules = [line for line in (root / "etc/audit/rules.d/zelta-syslog.rules").read_text().splitlines()
             if line and not line.startswith("#")]
    assert rules == [rule for event in ("modifying-file", "modifying-directory", "file-opened")
                     for rule in current[event]["message-audit-rules"]]
    assert {ev.is_event_enabled(e) for e in events} == {0, 1}

    ev.disable_event("usb-device-connected")
    assert ev.is_event_enabled("usb-device-connected") == 0
    assert config(root)["usb-device-connected"]["notification"]["urgency"] == "critical"



# Swaps the tree's etc for a link to a directory outside the root until killed.
SWAPPER = """
import os, sys
etc, held = sys.argv[1] + "/etc", sys.argv[1] + "/etc.held"
while True:
    os.rename(etc, held); os.symlink(sys.argv[2], etc); os.unlink(etc); os.rename(held, etc)
"""


def test_directory_swapped_for_a_link_never_leads_outside(ev, root, tmp_path_factory):
    outside = tmp_path_factory.mktemp("outside")
    (outside / "zelta-syslog.conf").write_text("{}")
    (root / "etc/zelta-syslog.conf").write_text('{"b": {"enabled": true}}')
    before = snapshot(outside)
    swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, str(root), str(outside)])
    try:
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            for call, args, result in ((ev.set_event_param, ("a", "s", "p", "1"), None), (ev.is_event_enabled, "b", 1)):
                with contextlib.suppress(OSError, ev.ConfigurationError):  # caught mid-swap
                    assert call(*args) == result
    finally:
        swapper.kill()
        swapper.wait()
    assert snapshot(outside) == before
    real = root / "etc.held" if (root / "etc.held").exists() else root / "etc"
    assert json.loads((real / "zelta-syslog.conf").read_text())["b"] == {"enabled": True}


# In a process of its own under a memory limit: a read that blocks or never ends fails instead of hanging.
CALL = """
import importlib.util, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
spec = importlib.util.spec_from_file_location("zelta_events_call", sys.argv[1])
events = importlib.util.module_from_spec(spec)
spec.loader.exec_module(events)
try:
    getattr(events, sys.argv[2])(*sys.argv[3:])
except Exception as error:
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize("kind, reason", [
    ("fifo", "not a regular file"), ("directory", "not a regular file"),
    ("device link", "not a regular file"), ("oversized", "larger than the limit of 64 MiB")])
@pytest.mark.parametrize("relative, call", [
    ("etc/zelta-syslog.conf", ["is_event_enabled", "a"]),
    ("etc/zelta-syslog.conf", ["enable_event", "a"]),
    (SHARE + "/events-catalogue.json", ["get_event_ids"]),
])
def test_unreadable_files_refused_at_once(root, kind, reason, relative, call):
    path = root / relative
    path.write_bytes(b"")
    if kind == "device link":  # absolute, so counted from the root
        try:
            os.mknod(root / "zero", 0o666 | stat.S_IFCHR, os.makedev(1, 5))
        except PermissionError:
            pytest.skip("device nodes need privileges")
    {"fifo": lambda: (path.unlink(), os.mkfifo(path)), "directory": lambda: (path.unlink(), path.mkdir()),
     "device link": lambda: (path.unlink(), path.symlink_to("/zero")),
     "oversized": lambda: os.truncate(path, 64 * 1024 * 1024 + 1)}[kind]()
    # The call loads the stand-in alone: a preloaded sanitizer runtime would only
    # need more address space than the limit leaves.
    environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    result = subprocess.run([sys.executable, "-c", CALL, str(LIBRARY), *call],
                            env=environment, capture_output=True, text=True, timeout=20)
    assert result.stdout == f"ConfigurationError {path}: {reason}\n", result.stderr


def test_file_grown_past_the_limit_after_its_size_was_read(ev, root, monkeypatch):
    (root / "etc/zelta-syslog.conf").write_text(json.dumps({"a": {"pad": "x" * 1000}}))
    fstat = os.fstat
    monkeypatch.setattr(os, "fstat", lambda fd: os.stat_result((*fstat(fd)[:6], 0, *fstat(fd)[7:])))
    monkeypatch.setattr(ev, "_MAX_FILE_SIZE", 500)
    with pytest.raises(ev.ConfigurationError, match="zelta-syslog.conf: larger than the limit"):
        ev.is_event_enabled("a")


# While the writer takes the lock, a directory is moved away and something may take its place.
@pytest.mark.parametrize("link, moved, replacement, error", [
    (None, "etc", "empty", None),  # the directory held stays the configuration's: the change lands there
    (None, "etc", None, None),
    ("../data/real.conf", "data", "empty", "ConfigurationError: .*zelta-syslog.conf: a symbolic link to a missing"),
    ("../data/real.conf", "data", None, "FileNotFoundError: .*zelta-syslog.conf"),
])
def test_configuration_vanishing_under_the_lock(ev, root, monkeypatch, link, moved, replacement, error):
    (root / "data").mkdir()
    (root / "empty").mkdir()
    real = root / ("data/real.conf" if link else "etc/zelta-syslog.conf")
    real.write_text('{"b": {"enabled": true}}')
    if link:
        (root / "etc/zelta-syslog.conf").symlink_to(link)
    flock = fcntl.flock

    def swap_when_locked(fd, operation):
        flock(fd, operation)
        (root / moved).rename(root / "held")
        if replacement:
            (root / moved).symlink_to(replacement)

    monkeypatch.setattr(fcntl, "flock", swap_when_locked)
    try:
        ev.enable_event("a")
        outcome = None
    except Exception as raised:
        outcome = f"{type(raised).__name__}: {raised}"
    assert re.match(error, outcome) if error else outcome is None, outcome
    changed = {} if error else {"a": {"enabled": True}}
    held = root / "held" / real.relative_to(root / moved)
    assert json.loads(held.read_text()) == {"b": {"enabled": True}, **changed}
    assert list((root / "empty").iterdir()) == []


@pytest.mark.parametrize("target", ["zelta-syslog.conf", "/elsewhere.lock"])
def test_lock_file_that_is_a_link_refused(ev, root, target):
    (root / "etc/zelta-syslog.conf").write_text("{}")
    (root / "etc/zelta-syslog.conf.lock").symlink_to(target)
    with pytest.raises(ev.ConfigurationError, match=r"zelta-syslog\.conf\.lock: a symbolic link"):
        ev.enable_event("a")
    assert (root / "etc/zelta-syslog.conf").read_text() == "{}" and not (root / "elsewhere.lock").exists()


@pytest.mark.parametrize("umask", [0o000, 0o277])
def test_created_files_keep_their_modes_whatever_the_umask(ev, root, umask):
    previous = os.umask(umask)
    try:
        ev.enable_event("a")
        created = [(root / "etc" / name).stat().st_mode & 0o777
                   for name in ("zelta-syslog.conf", "zelta-syslog.conf.lock")]
        (root / "etc/zelta-syslog.conf").chmod(0o666)  # the administrator's choice stays
        ev.disable_event("a")
    finally:
        os.umask(previous)
    assert created == [0o644, 0o600] and (root / "etc/zelta-syslog.conf").stat().st_mode & 0o777 == 0o666
