"""Reference-leak loop: every operation, on success and on its failure paths,
repeated in one process, must leave the interpreter where it was. Two
measures: the block count (a leaked new object per call) and the reference
counts of the long-lived objects an operation touches (a leaked reference to
self, the class, an argument, None, ...)."""

import io
import sys

import pytest

from conftest import _records, assert_no_leak

ROUNDS = 2000


class Sink(io.TextIOBase):
    """A stdout that forgets what it is given."""

    def write(self, text):
        return len(text)


def fresh(value):
    """A new object equal to value, so that a reference kept to it leaks memory."""
    if isinstance(value, str) and len(value) > 1:
        return "".join(list(value))
    if isinstance(value, list):
        return [fresh(v) for v in value]
    return value


@pytest.fixture
def quiet_library(monkeypatch, catalogue):
    """The catalogue's library, pager and shell without the call records, which grow by design."""
    import zelta_events

    events, groups = catalogue.events, catalogue.groups
    event_records, group_records = _records(events), _records(groups)
    monkeypatch.setattr(zelta_events, "get_event_ids", lambda: list(events))
    monkeypatch.setattr(zelta_events, "get_group_ids", lambda: list(groups))
    monkeypatch.setattr(zelta_events, "get_event_ids_ex", lambda kind: list(event_records))
    monkeypatch.setattr(zelta_events, "get_group_ids_ex", lambda kind: list(group_records))
    monkeypatch.setattr(zelta_events, "is_event_enabled", lambda event_id: events[event_id]["enabled"])
    monkeypatch.setattr(zelta_events, "enable_event", lambda event_id: None)
    monkeypatch.setattr(zelta_events, "disable_event", lambda event_id: None)
    monkeypatch.setattr(zelta_events, "set_event_param", lambda *args: None)
    monkeypatch.setattr(sys, "stdout", Sink())
    import os
    import pydoc
    monkeypatch.setattr(pydoc, "pipepager", lambda text, command: None)
    monkeypatch.setattr(os, "system", lambda command: 0)
    return catalogue


def raising(exception_type):
    def fail(*args):
        raise exception_type("library failure")  # a fresh one: a reused one grows its traceback
    return fail


def system_files(tree, tmp_path):
    """Settings, translations and the files an export collects; an archive of them."""
    import json

    tree.write_json(tree.current_config, {"login": {"message": {"template": "x"}, "enabled": True}})
    tree.write_json(tree.translations, {"message": {"ru": "Сообщение"}})
    for relative in ("etc/audit/rules.d/zelta-syslog.rules", "etc/logrotate.d/syslog-ng-mod-zelta",
                     "etc/syslog-ng/conf.d/mod-zelta.conf", "root/.config/zelta-event-watcher.notifyrc"):
        (tree.root / relative).parent.mkdir(parents=True, exist_ok=True)
        (tree.root / relative).write_text("setting = 1\n")
    (tree.settings / "auth" / "login").write_text(json.dumps({"message": {"program": "zelta"}}))
    hostile = tmp_path / "hostile.tar.gz"
    import tarfile
    with tarfile.open(hostile, "w:gz") as tar:
        info = tarfile.TarInfo("T/../../etc/passwd")
        tar.addfile(info, io.BytesIO(b""))
    return {"archive": str(tmp_path / "backup.tar.gz"), "hostile": str(hostile),
            "broken": str(tmp_path / "no-such.tar.gz"), "out": str(tmp_path / "out" / "again")}


SETTINGS = {"b": [1, "it's", {"z": None}], "a": {"y": 1.5, "x": {"w": True}}}
# Values the outline writes through their own str() or repr().
LOOP = [1]
LOOP.append(LOOP)
OTHER_VALUES = {"s": type("S", (str,), {})("x"), "n": 10**30, "l": [LOOP, (1, "a"), object, 2.5e-7, {"k": "ü"}]}
ENABLE, DISABLE = "zelta_events.enable_event", "zelta_events.disable_event"

# name -> (on the class or an object, method, arguments, patches, rounds).
# Arguments given as a key of system_files() stand for that path; a string
# in ENABLE/DISABLE stands for the library function, read at call time.
CASES = {
    "construct": ("class", None, (["login", "nope"], ["fs", "zz"]), {}),
    "construct, wrong type": ("class", None, (1, []), {}),
    "construct, missing argument": ("class", None, ([],), {}),
    "construct, library fails": ("class", None, ([], []), {"get_group_ids_ex": raising(RuntimeError)}),
    "construct, short record": ("class", None, ([], []), {"get_event_ids_ex": lambda kind: ["a,b"]}),
    "prepare events": ("object", "_ZeltaAdminEvents__prepare_events", (), {}),
    "prepare groups": ("object", "_ZeltaAdminEvents__prepare_groups", (), {}),
    "descriptions": ("class", "_ZeltaAdminEvents__get_all_group_description", (), {}),
    "event descriptions": ("class", "_ZeltaAdminEvents__get_all_event_description", (), {}),
    "events by group": ("class", "_ZeltaAdminEvents__get_events_by_group_id", ("fs",), {}),
    "events by group, missing directory": ("class", "_ZeltaAdminEvents__get_events_by_group_id", ("zz",), {}),
    "events by group, wrong type": ("class", "_ZeltaAdminEvents__get_events_by_group_id", (1,), {}),
    "events by group, library fails": ("class", "_ZeltaAdminEvents__get_events_by_group_id", ("fs",),
                                       {"get_event_ids": raising(OSError)}),
    "grouped events": ("object", "_ZeltaAdminEvents__get_grouped_events", (["fs", "auth", "fs"],), {}),
    "grouped events, none": ("object", "_ZeltaAdminEvents__get_grouped_events", (None,), {}),
    "event group": ("object", "_ZeltaAdminEvents__get_event_group", ("logout",), {}),
    "event group, none found": ("object", "_ZeltaAdminEvents__get_event_group", ("elsewhere",), {}),
    "event config": ("object", "_ZeltaAdminEvents__get_event_config", ("login",), {}),
    "event config, no current member": ("object", "_ZeltaAdminEvents__get_event_config", ("logout",), {}),
    "event config, no group": ("object", "_ZeltaAdminEvents__get_event_config", ("elsewhere",), {}),
    "event config, none": ("object", "_ZeltaAdminEvents__get_event_config", (None,), {}),
    "event config, invalid json": ("object", "_ZeltaAdminEvents__get_event_config", ("login",),
                                   {"broken_current": True}),
    "sort nested dict": ("class", "_ZeltaAdminEvents__sort_nested_dict", (SETTINGS,), {}),
    "sort nested dict, wrong type": ("class", "_ZeltaAdminEvents__sort_nested_dict", ([],), {}),
    "sort nested dict, other keys": ("class", "_ZeltaAdminEvents__sort_nested_dict",
                                     ({3: {"b": 1, "a": [2]}, 1: None},), {}),
    "sort nested dict, keys not comparable": ("class", "_ZeltaAdminEvents__sort_nested_dict", ({"a": 1, 2: 1},),
                                              {}),
    "load translations": ("object", "_ZeltaAdminEvents__load_event_section_translations", (),
                          {"LANG": "name_ru"}),
    "section translation": ("object", "_ZeltaAdminEvents__get_event_section_translation", ("message",), {}),
    "config string": ("object", "_ZeltaAdminEvents__get_event_config_string", (SETTINGS, 1), {}),
    "config string, bad key": ("object", "_ZeltaAdminEvents__get_event_config_string", ({1: {}},), {}),
    "config string, other values": ("object", "_ZeltaAdminEvents__get_event_config_string", (OTHER_VALUES,), {}),
    "show event": ("object", "show_event", (), {"LANG": "name_ru"}),
    "show event, invalid json": ("object", "show_event", (), {"broken_current": True}),
    "show event, repeated": ("object", "show_event", (), {"events": ["login", "logout", "login"]}),
    "show event, one in no group": ("object", "show_event", (), {"events": ["login", "elsewhere"]}),
    "show groups": ("object", "show_groups", (), {}),
    "show all groups": ("object", "show_all_groups", (), {}),
    "show groups, private": ("object", "_ZeltaAdminEvents__show_groups", (), {}),
    "multiple string": ("object", "_ZeltaAdminEvents__get_multiple_string", (["login", "logout"],), {}),
    "multiple string, status": ("object", "_ZeltaAdminEvents__get_multiple_string", (["fs"], 0), {}),
    "multiple string, unknown": ("object", "_ZeltaAdminEvents__get_multiple_string", (["nope"],), {}),
    "group string": ("object", "_ZeltaAdminEvents__get_group_string", ("fs",), {}),
    "enable": ("object", "enable", (), {}),
    "disable": ("object", "disable", (), {}),
    "enable, library fails": ("object", "enable", (), {"is_event_enabled": raising(RuntimeError)}),
    "process ids": ("object", "_ZeltaAdminEvents__process_ids", (DISABLE,), {}),
    "process group": ("object", "_ZeltaAdminEvents__process_group", ("fs", ENABLE), {}),
    "process event": ("object", "_ZeltaAdminEvents__process_event", ("login", DISABLE), {}),
    "restart daemons": ("object", "restart_daemons", (), {"need_restart": True}),
    "set facility": ("object", "set_facility", ("local0",), {}),
    "set priority": ("object", "set_priority", ("warn\"ing",), {}),
    "syslog param, library fails": ("object", "_ZeltaAdminEvents__set_syslog_message_param",
                                    ("facility", "x"), {"set_event_param": raising(RuntimeError)}),
    "set properties": ("object", "set_properties", ("audit", "paths", '["/a b", "/c"]'), {"special": True}),
    "set properties, not json": ("object", "set_properties", ("s", "p", "abc"), {}),
    "set properties, wrong kind": ("object", "set_properties", ("s", "p", "5"), {}),
    "set properties, bad path": ("object", "set_properties", ("s", "p", '["/a\\nb"]'), {"special": True}),
    "set properties, not finite": ("object", "set_properties", ("s", "p", '{"a": [1e999]}'), {}),
    "set properties, too deep": ("object", "set_properties", ("s", "p", "[" * 300 + "]" * 300), {}),
    "process path value": ("object", "_ZeltaAdminEvents__process_path_value", ("file-opened", ["/a b"]), {}),
    "process path value, bad item": ("object", "_ZeltaAdminEvents__process_path_value",
                                     ("modifying-file", ["/a", 1]), {}),
    "export": ("class", "export_config", ("archive",), {"rounds": 200}),
    "export, refused name": ("class", "export_config", ("out",), {}),
    "export, no top-level name": ("class", "export_config", ("",), {}),
    "import": ("object", "import_config", ("archive",), {"rounds": 200, "exported": True}),
    "import, hostile": ("object", "import_config", ("hostile",), {}),
    "import, missing archive": ("object", "import_config", ("broken",), {}),
    "unknown ids": ("object", "get_unknown_ids", (), {}),
    "status": ("object", "get_status", (), {}),
    "status, all groups": ("object", "get_status", (True,), {}),
    "event settings": ("object", "get_event_settings", (), {}),
    "event settings, invalid json": ("object", "get_event_settings", (), {"broken_current": True}),
    "plan enable": ("object", "plan_enable", (), {}),
    "plan disable, library fails": ("object", "plan_disable", (), {"is_event_enabled": raising(RuntimeError)}),
    "plan facility": ("object", "plan_set_facility", ("local0",), {}),
    "plan priority, invalid json": ("object", "plan_set_priority", ("x",), {"broken_current": True}),
    "plan properties": ("object", "plan_set_properties", ("audit", "paths", '["/a b"]'), {"special": True}),
    "plan properties, refused": ("object", "plan_set_properties", ("s", "p", "abc"), {}),
    "plan properties, library refuses": ("object", "plan_set_properties", ("message", "", '"x"'), {}),
    "plan import": ("object", "plan_import_config", ("archive", True), {"rounds": 200, "exported": True}),
    "plan import, hostile": ("object", "plan_import_config", ("hostile",), {}),
    "import archive": ("object", "import_config_archive", ("archive",), {"rounds": 200, "exported": True}),
    "import archive, hostile": ("object", "import_config_archive", ("hostile",), {}),
    "write archive": ("class", "write_config_archive", ("archive",), {"rounds": 200}),
    "write archive, refused name": ("class", "write_config_archive", ("out",), {}),
}


def prepare(case, Admin, module, monkeypatch, tree, tmp_path):
    """The call to repeat, the long-lived objects it must not hold on to, and
    how many rounds to run."""
    import zelta_events

    target, method, args, patches = case
    patches = dict(patches)
    rounds = patches.pop("rounds", ROUNDS)
    files = system_files(tree, tmp_path)
    if patches.pop("broken_current", False):
        tree.current_config.write_text("{broken")
    args = tuple(files.get(a, a) if isinstance(a, str) else a for a in args)
    if patches.pop("exported", False):
        Admin.export_config(files["archive"])
    events = ["modifying-file", "file-opened"] if patches.pop("special", False) else ["login"]
    watched = [None, True, False, Admin, module.ZeltaAdminEvents, module, zelta_events,
               *args, *zelta_events.get_group_ids(), *zelta_events.get_event_ids()]
    receiver = Admin
    if target == "object":
        receiver = Admin(events, ["fs"])
        if patches.pop("need_restart", False):
            receiver._ZeltaAdminEvents__need_daemon_restart = True
        if "events" in patches:  # as named, unknown IDs included
            receiver._ZeltaAdminEvents__event_id_list = patches.pop("events")
        watched.append(receiver)
    if "LANG" in patches:
        monkeypatch.setattr(module, "LANG", patches.pop("LANG"))
    for name, replacement in patches.items():
        monkeypatch.setattr(zelta_events, name, replacement)
    function = getattr(receiver, method) if method else receiver

    def resolve(argument):
        if argument in (ENABLE, DISABLE):
            return getattr(zelta_events, argument.split(".")[1])
        return fresh(argument)

    return (lambda: function(*[resolve(a) for a in args])), watched, rounds


@pytest.mark.parametrize("case", list(CASES))
def test_operation_leaves_no_references_behind(quiet_library, Admin, module, monkeypatch, tree, tmp_path, case):
    function, watched, rounds = prepare(CASES[case], Admin, module, monkeypatch, tree, tmp_path)
    assert_no_leak(function, watched, rounds)


def test_every_operation_is_covered(module):
    """A new operation of the module's table needs its case above."""
    covered = {case[1] or "ZeltaAdminEvents" for case in CASES.values()}
    operations = {operation[0] for operation in module._operations}
    assert operations <= covered, sorted(operations - covered)


KEPT = []
CANARY = object()


@pytest.mark.parametrize("leak, message", [
    (lambda: KEPT.append([]), "blocks left behind"),  # a new object kept per call
    (lambda: KEPT.append(CANARY), "references to <object"),  # a reference kept per call
])
def test_the_loop_catches_a_leak(leak, message):
    """The measures themselves, under whatever allocator this run uses."""
    with pytest.raises(AssertionError, match=message):
        assert_no_leak(leak, [CANARY], rounds=500)
    KEPT.clear()
