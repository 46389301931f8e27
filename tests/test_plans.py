"""The data interface: states, effective settings, unknown IDs and the plans
of the changing operations, which must read and never write."""

import hashlib
import tarfile

import pytest

from conftest import snapshot

CHANGING = {"enable_event", "disable_event", "set_event_param"}


def change(event, section, parameter, before, after):
    return {"event": event, "section": section, "parameter": parameter, "before": before, "after": after}


def plan(*changes, error=None):
    return {"changed": bool(changes) and error is None, "changes": list(changes), "error": error}


def only_read(lib):
    assert not CHANGING & {call[0] for call in lib.calls}


@pytest.mark.parametrize("events, groups, unknown", [
    (["x", "login", "x"], ["zz", "fs"], {"events": ["x", "x"], "groups": ["zz"]}),
    (None, None, {"events": [], "groups": []}),
    (["login"], [], {"events": [], "groups": []}),
])
def test_unknown_ids(catalogue, Admin, capsys, events, groups, unknown):
    assert Admin(events, groups).get_unknown_ids() == unknown


def test_status_holds_what_the_listing_shows(catalogue, Admin, pager, module):
    admin = Admin(["logout", "login"], ["fs", "auth", "fs"])
    status = admin.get_status()
    admin.show_groups()
    listing = [line.split() for line in pager[0][0].replace("\x1b[90m", " ").splitlines() if line]
    shown = [(words[0], words[1] == "1") for words in listing if words[0] in catalogue.events]
    assert [(e["id"], e["enabled"]) for g in status["groups"] for e in g["events"]] == shown
    assert [g["id"] for g in status["groups"]] == ["auth", "fs"]
    assert status["groups"][0]["name"] == "Authentication"
    assert status["events"] == [{"id": "logout", "name": "Event logout", "enabled": False},
                                {"id": "login", "name": "Event login", "enabled": True}]
    module.LANG, saved = "name_ru", module.LANG
    try:
        assert admin.get_status()["groups"][1]["name"] == "Файловая система"
    finally:
        module.LANG = saved
    everything = Admin(None, None).get_status(all_groups=True)
    assert [g["id"] for g in everything["groups"]] == ["auth", "fs"] and everything["events"] == []
    assert admin._ZeltaAdminEvents__group_id_list == ["fs", "auth", "fs"]
    only_read(catalogue)


def test_event_settings_are_the_merged_settings(catalogue, Admin, tree):
    tree.group("fs", ["modifying-file"], {"audit": {"paths": ["/a"], "x": 1}, "message-syslog-facility": "local5"})
    tree.write_json(tree.current_config, {"modifying-file": {"audit": {"paths": ["/b"]}, "enabled": True}})
    catalogue.add_event("orphan")
    admin = Admin(["modifying-file", "logout", "orphan"], None)
    data = admin.get_event_settings()
    assert data == [
        {"id": "modifying-file", "name": "Event modifying-file", "enabled": True, "group": "fs",
         "settings": admin._ZeltaAdminEvents__get_event_config("modifying-file")},
        {"id": "logout", "name": "Event logout", "enabled": False, "group": "auth", "settings": {}},
        {"id": "orphan", "name": "Event orphan", "enabled": False, "group": None, "settings": {}}]
    assert data[0]["settings"]["audit"] == {"paths": ["/b"], "x": 1}


@pytest.mark.parametrize("operation, events, groups, states, expected", [
    # An event met twice (named and in a named group) switches once.
    ("enable", ["file-opened"], ["fs"], {}, [("file-opened", 0), ("modifying-directory", 0)]),
    ("disable", ["login", "login"], ["auth"], {}, [("login", 1)]),
    # True counts as 1; a state that is neither 0 nor 1 is left alone.
    ("disable", ["file-opened", "logout"], [], {"file-opened": True, "logout": 2}, [("file-opened", 1)]),
    ("enable", ["file-opened"], [], {"file-opened": None}, []),
    ("enable", None, None, {}, []),
])
def test_switch_plans(catalogue, Admin, operation, events, groups, states, expected):
    for event_id, state in states.items():
        catalogue.events[event_id]["enabled"] = state
    admin = Admin(events, groups)
    enabling = operation == "enable"
    result = getattr(admin, "plan_" + operation)()
    assert result == plan(*[change(e, "", "enabled", not enabling, enabling) for e, _ in expected])
    only_read(catalogue)
    getattr(admin, operation)()
    switched = catalogue.names("enable_event" if enabling else "disable_event")
    assert switched == [(e,) for e, _ in expected]


def test_syslog_parameter_plans_compare_with_the_merged_settings(catalogue, Admin, tree):
    tree.group("auth", ["login", "logout"], {"message-syslog-facility": "local5", "message-syslog-priority": "info"})
    tree.write_json(tree.current_config, {"login": {"message-syslog-facility": "local3"}})
    admin = Admin(["login", "login"], ["auth"])
    assert admin.plan_set_facility("local3") == plan(change("logout", "", "message-syslog-facility", "local5", "local3"))
    assert admin.plan_set_priority('say "hi"') == plan(
        change("login", "", "message-syslog-priority", "info", 'say "hi"'),
        change("logout", "", "message-syslog-priority", "info", 'say "hi"'))
    assert Admin(["login"], None).plan_set_facility("local3") == plan()
    assert Admin(["file-opened"], None).plan_set_facility("local3") == plan(
        change("file-opened", "", "message-syslog-facility", None, "local3"))
    tree.current_config.unlink()  # the library writes the first change into a new file
    catalogue.add_event("orphan")  # in no group: no defaults
    assert Admin(["login", "orphan"], None).plan_set_facility("local3") == plan(
        change("login", "", "message-syslog-facility", "local5", "local3"),
        change("orphan", "", "message-syslog-facility", None, "local3"))
    only_read(catalogue)


@pytest.mark.parametrize("value, error", [
    ("abc", "The VALUE should be in JSON format"),
    ("5", "Invalid VALUE: 5 (<class 'int'>)"),
    ('["relative"]', "Invalid path in VALUE: 'relative'"),
    ('{"/a": [1e999]}', "Invalid VALUE: Infinity is not a finite number"),
    ('{"/a": "\\udc80"}', "Invalid VALUE: the lone surrogate \\udc80 has no UTF-8 form"),
    ("[" * 300 + "]" * 300, "Invalid VALUE: nested more than 253 levels deep"),
])
def test_refused_property_values_give_the_operation_line(catalogue, Admin, capsys, value, error):
    admin = Admin(["modifying-file"], None)
    assert admin.plan_set_properties("audit", "paths", value) == plan(error=error)
    admin.set_properties("audit", "paths", value)
    assert capsys.readouterr().out == error + "\n"


@pytest.mark.parametrize("current, section, parameter, error", [
    ({"login": {"audit": 5}}, "audit", "paths",
     "The section 'audit' of event 'login' in {file} is not a JSON object"),
    ({"logout": {}, "login": {"audit": None}}, "audit", "paths",
     "The section 'audit' of event 'login' in {file} is not a JSON object"),
    ({}, "audit", "", "The parameter name must not be empty"),
    ({}, "", "enabled", 'Invalid VALUE: "enabled" takes only true or false'),
])
def test_property_plans_refuse_what_the_library_refuses(catalogue, Admin, tree, current, section, parameter, error):
    tree.write_json(tree.current_config, current)
    plan_made = Admin(["logout", "login"], None).plan_set_properties(section, parameter, '["/a"]')
    assert plan_made == plan(error=error.format(file=tree.current_config))
    only_read(catalogue)


@pytest.mark.parametrize("depth", [300, 5000])
@pytest.mark.parametrize("operation, arguments", [
    ("get_event_settings", ()), ("plan_set_properties", ("s", "p", '"x"')), ("plan_set_facility", ("local5",))])
def test_deeply_nested_settings_fail_cleanly(catalogue, Admin, tree, depth, operation, arguments):
    deep = "[" * depth + "]" * depth
    tree.write_json(tree.current_config, '{"login": {"s": {"p": %s}, "q": %s}}' % (deep, deep))
    try:
        getattr(Admin(["login"], None), operation)(*arguments)
    except RecursionError as error:  # deeper than the JSON decoder goes
        assert depth > 1000 and error.__notes__ == [str(tree.current_config)]


def test_property_plan_with_audit_rules(catalogue, Admin, tree):
    tree.group("fs", ["modifying-file"], {"audit": {"paths": ["/a"]}})
    tree.group("auth", ["logout"], {"message": {"x": [1]}})
    tree.write_json(tree.current_config, {"modifying-file": {"message-audit-rules": ["-w /a -p wa -k /a"]}})
    admin = Admin(["modifying-file", "login"], None)
    assert admin.plan_set_properties("audit", "paths", '["/a", "/b c"]') == plan(
        change("modifying-file", "audit", "paths", ["/a"], ["/a", "/b c"]),
        change("modifying-file", "", "message-audit-rules", ["-w /a -p wa -k /a"],
               ["-w /a -p wa -k /a", "-w /b\\ c -p wa -k /b\\ c"]),
        change("login", "audit", "paths", None, ["/a", "/b c"]))
    # The same value again changes nothing but the events without it.
    tree.write_json(tree.current_config, {"modifying-file": {
        "audit": {"paths": ["/a", "/b c"]}, "message-audit-rules": ["-w /a -p wa -k /a", "-w /b\\ c -p wa -k /b\\ c"]}})
    assert Admin(["modifying-file"], None).plan_set_properties("audit", "paths", '["/a", "/b c"]') == plan()
    # A section "" parameter that names a section merges into it, as the settings do.
    assert Admin(["logout"], None).plan_set_properties("", "message", '{"y": true}')["changes"] == [
        change("logout", "message", "y", None, True)]
    # 1 and true, 1 and 1.0 are different values.
    assert Admin(["logout"], None).plan_set_properties("message", "x", "[true]")["changes"] == [
        change("logout", "message", "x", [1], [True])]
    with pytest.raises(TypeError, match="section and parameter must be str, not NoneType"):
        Admin(["logout"], None).plan_set_properties(None, "x", "[]")
    only_read(catalogue)


# ---- Import plans ---------------------------------------------------------------

CONFIG, NOTIFY_DIR, NOTIFYRC = "etc/zelta-syslog.conf", "root/.config", "root/.config/zelta-event-watcher.notifyrc"


def import_plan(*changes, error=None):
    return {**plan(*changes, error=error), "skipped": []}


def archive(path, members):
    import io
    with tarfile.open(path, "w:gz") as tar:
        for name, content in members:
            info = tarfile.TarInfo(name)
            if content is None:
                info.type, info.mode = tarfile.DIRTYPE, 0o700
            else:
                info.size = len(content)
            tar.addfile(info, None if content is None else io.BytesIO(content))
    return str(path)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def test_import_plan_lists_what_would_change_and_writes_nothing(Admin, lib, tree, tmp_path, capsys):
    (tree.root / "etc").mkdir(parents=True)
    (tree.root / CONFIG).write_bytes(b'{"a": 1}\n')
    (tree.root / "etc/logrotate.d").mkdir()
    (tree.root / "etc/logrotate.d/syslog-ng-mod-zelta").write_bytes(b"same\n")
    path = archive(tmp_path / "a.tar.gz", [
        ("T/" + CONFIG, b"{}"), ("T/etc/logrotate.d/syslog-ng-mod-zelta", b"same\n"),
        ("T/" + NOTIFY_DIR, None), ("T/" + NOTIFYRC, b"n\xff\n"), ("T/" + CONFIG, b'{"a": 2}\n')])
    admin = Admin([], [])
    before = snapshot(tmp_path)
    result = admin.plan_import_config(path, texts=True)
    assert snapshot(tmp_path) == before and capsys.readouterr().out == ""
    root = str(tree.root)
    assert result == import_plan(
        {"file": f"{root}/{CONFIG}", "action": "replace", "type": "file", "before_sha256": sha(b'{"a": 1}\n'),
         "after_sha256": sha(b'{"a": 2}\n'), "before_text": '{"a": 1}\n', "after_text": '{"a": 2}\n'},
        {"file": f"{root}/root", "action": "create", "type": "directory", "before_sha256": None,
         "after_sha256": None, "before_text": None, "after_text": None},
        {"file": f"{root}/{NOTIFY_DIR}", "action": "create", "type": "directory", "before_sha256": None,
         "after_sha256": None, "before_text": None, "after_text": None},
        {"file": f"{root}/{NOTIFYRC}", "action": "create", "type": "file", "before_sha256": None,
         "after_sha256": sha(b"n\xff\n"), "before_text": None, "after_text": "n\ufffd\n"})
    assert "before_text" not in admin.plan_import_config(path)["changes"][0]
    admin.import_config(path)
    assert admin.plan_import_config(path) == import_plan()


def test_refused_archive_gives_the_import_line(Admin, lib, tree, tmp_path, capsys):
    path = archive(tmp_path / "a.tar.gz", [("T/etc/passwd", b"x")])
    admin = Admin([], [])
    result = admin.plan_import_config(path)
    admin.import_config(path)
    assert result == import_plan(error=capsys.readouterr().out.rstrip("\n"))
    assert result["error"] == "Error importing configuration: member not part of the configuration: 'T/etc/passwd'"


def test_write_config_archive_returns_the_name_and_raises(Admin, tree, tmp_path, capsys, monkeypatch):
    for relative in (CONFIG, "etc/audit/rules.d/zelta-syslog.rules", "etc/logrotate.d/syslog-ng-mod-zelta"):
        (tree.root / relative).parent.mkdir(parents=True, exist_ok=True)
        (tree.root / relative).write_text("x\n")
    (tree.root / "etc/syslog-ng/conf.d").mkdir(parents=True)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError, match="root/.config"):
        Admin.write_config_archive("backup")
    (tree.root / NOTIFY_DIR).mkdir(parents=True)
    assert Admin.write_config_archive("backup") == "backup.tar.gz"
    assert (tmp_path / "backup.tar.gz").is_file() and capsys.readouterr().out == ""
    with pytest.raises(TypeError):
        Admin.write_config_archive(file_path="backup")
