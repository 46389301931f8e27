"""Stand-in events library and the bundled sample system."""

import fcntl
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import pytest

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
