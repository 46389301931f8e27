"""Module setup, class constants, the constructor and argument checking."""

import pathlib
import platform
import subprocess
import sys
import textwrap

import pytest

GREY, END = "\x1b[90m", "\x1b[0m"


def run_python(code, tmp_path):
    """Runs code in a fresh interpreter outside the source tree."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)


FAKE_LIBRARY = """
    import sys, types
    ze = types.ModuleType("zelta_events")
    for name in ("get_event_ids", "get_group_ids"):
        setattr(ze, name, lambda: [])
    for name in ("get_event_ids_ex", "get_group_ids_ex"):
        setattr(ze, name, lambda kind: [])
    sys.modules["zelta_events"] = ze
"""


@pytest.mark.parametrize("current, lang", [
    (("ru_RU", "UTF-8"), "name_ru"),
    (("ru_RU", "KOI8-R"), "name_ru"),
    (("ru_UA", "UTF-8"), "name_en"),
    (("en_US", "UTF-8"), "name_en"),
    ((None, None), "name_en"),
    ("raise", "name_en"),
])
def test_lang_follows_the_character_locale(tmp_path, current, lang):
    result = run_python(FAKE_LIBRARY + f"""
    import locale
    def getlocale(category=locale.LC_CTYPE):
        assert category == locale.LC_CTYPE
        if {current!r} == "raise":
            raise ValueError("unknown locale: xx")
        return {current!r}
    locale.getlocale = getlocale
    from zelta_admin_events import admin_events
    print(admin_events.LANG)
    """, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == lang + "\n"


def test_loading_imports_no_platform_module(tmp_path):
    result = run_python(FAKE_LIBRARY + """
    import os, sys
    from zelta_admin_events import admin_events
    print("platform" in sys.modules, admin_events.ZeltaAdminEvents._ZeltaAdminEvents__arch == os.uname().machine)
    """, tmp_path)
    assert result.stdout == "False True\n", result.stderr


def test_loading_fails_without_the_events_library(tmp_path):
    result = run_python("""
    import sys
    sys.modules["zelta_events"] = None
    try:
        from zelta_admin_events import admin_events
    except ImportError as error:
        print("ImportError", error.name)
    """, tmp_path)
    assert result.stdout == "ImportError zelta_events\n", result.stderr


def test_module_names_and_constants(module):
    cls = module.ZeltaAdminEvents
    assert cls.__bases__ == (object,)
    assert (module.Color.GREY, module.Color.END) == (GREY, END)
    assert module.LANG in ("name_en", "name_ru")
    assert module._("Unknown event ID") == "Unknown event ID"
    assert cls._ZeltaAdminEvents__default_config_dir == pathlib.Path(
        "/usr/share/syslog-ng-mod-zelta/event-settings")
    assert cls._ZeltaAdminEvents__current_config_file == pathlib.Path("/etc/zelta-syslog.conf")
    assert cls._ZeltaAdminEvents__param_ru_translations_file == pathlib.Path(
        "/etc/wex-admin-events/eventsdictionary.json")
    assert cls._ZeltaAdminEvents__root_dir == pathlib.Path("/")
    assert cls._ZeltaAdminEvents__arch == platform.machine()
    assert set(cls._ZeltaAdminEvents__special_events) == {
        "modifying-file", "modifying-directory", "file-opened"}
    assert list(cls._ZeltaAdminEvents__audit_rules) == ["b64", "x86_64", "aarch64", "armv7l"]


@pytest.mark.parametrize("arch, syscalls", [
    ("b64", "open,openat"), ("x86_64", "open,openat"), ("aarch64", "openat"), ("armv7l", "open,openat")])
@pytest.mark.parametrize("path", ["/srv/data", "/etc/my\\ file", "/данные", "/😀\ud800"])
def test_audit_rule_builders(module, arch, syscalls, path):
    build = module.ZeltaAdminEvents._ZeltaAdminEvents__audit_rules[arch]
    assert build(path) == f"-a always,exit -F arch={arch} -F path={path} -S {syscalls} -k {path}"


def test_audit_rule_builder_takes_the_text_form(module):
    build = module.ZeltaAdminEvents._ZeltaAdminEvents__audit_rules["b64"]
    assert build(pathlib.Path("/a")) == "-a always,exit -F arch=b64 -F path=/a -S open,openat -k /a"


def test_construction_sets_fields_in_order(catalogue, Admin):
    events, groups = ["login"], ["fs"]
    admin = Admin(events, groups)
    fields = vars(admin)
    assert list(fields) == [f"_ZeltaAdminEvents__{name}" for name in (
        "event_id_list", "group_id_list", "event_section_translations", "need_daemon_restart",
        "event_description", "group_description")]
    assert fields["_ZeltaAdminEvents__event_id_list"] is events
    assert fields["_ZeltaAdminEvents__group_id_list"] is groups
    assert fields["_ZeltaAdminEvents__event_section_translations"] is None
    assert fields["_ZeltaAdminEvents__need_daemon_restart"] is False
    assert fields["_ZeltaAdminEvents__group_description"]["fs"] == {
        "name_en": "File system", "name_ru": "Файловая система"}


@pytest.mark.parametrize("events, groups, lines, events_after, groups_after", [
    (["x", "login", "x"], [], ["Unknown event ID: x", "Unknown event ID: x"], ["login"], []),
    (["login", "login"], None, [], ["login", "login"], None),
    (["nope"], ["nogroup", "fs"], ["Unknown group ID: nogroup", "Unknown event ID: nope"], [], ["fs"]),
    (["b", "login", "a", "b"], ["fs", "zz", "fs"],
     ["Unknown group ID: zz", "Unknown event ID: b", "Unknown event ID: a", "Unknown event ID: b"],
     ["login"], ["fs", "fs"]),
])
def test_unknown_ids_are_removed_and_reported(catalogue, Admin, capsys, events, groups, lines,
                                              events_after, groups_after):
    Admin(events, groups)
    assert capsys.readouterr().out.splitlines() == lines
    assert events == events_after  # the caller's own list objects are edited
    assert groups == groups_after


@pytest.mark.parametrize("events, groups", [([], []), (None, None), ([], None)])
def test_empty_lists_do_not_ask_for_ids_but_load_descriptions(catalogue, Admin, capsys, events, groups):
    Admin(events, groups)
    assert capsys.readouterr().out == ""
    assert [c[0] for c in catalogue.calls] == ["get_event_ids_ex", "get_group_ids_ex"]
    assert catalogue.calls == [("get_event_ids_ex", 2), ("get_group_ids_ex", 2)]


def test_arguments_by_name(catalogue, Admin):
    admin = Admin(group_id_list=["fs"], event_id_list=["login"])
    assert admin._ZeltaAdminEvents__group_id_list == ["fs"]


def test_library_failure_during_construction_reaches_the_caller(catalogue, Admin, monkeypatch):
    import zelta_events

    def broken(kind):
        raise RuntimeError("catalogue unavailable")

    monkeypatch.setattr(zelta_events, "get_group_ids_ex", broken)
    with pytest.raises(RuntimeError, match="catalogue unavailable"):
        Admin([], [])


def test_malformed_record_fails_construction(lib, Admin):
    lib.add_event("a")
    import zelta_events
    zelta_events_ex = zelta_events.get_event_ids_ex
    try:
        zelta_events.get_event_ids_ex = lambda kind: ["a,only-two"]
        with pytest.raises(IndexError):
            Admin([], [])
    finally:
        zelta_events.get_event_ids_ex = zelta_events_ex


def test_operations_and_globals_are_looked_up_when_used(catalogue, Admin, module, monkeypatch, capsys):
    """Subclass overrides, patched globals and patched library functions are obeyed."""
    calls = []

    class Sub(Admin):
        def _ZeltaAdminEvents__prepare_groups(self):
            calls.append("groups")

        @classmethod
        def _ZeltaAdminEvents__get_all_group_description(cls):
            return {"overridden": True}

    monkeypatch.setattr(module, "_", lambda text: text.upper())
    import zelta_events
    monkeypatch.setattr(zelta_events, "get_event_ids", lambda: ["only-this"])
    admin = Sub(["login"], ["bogus"])
    assert calls == ["groups"]
    assert admin._ZeltaAdminEvents__group_id_list == ["bogus"]  # not validated by the override
    assert admin._ZeltaAdminEvents__group_description == {"overridden": True}
    assert capsys.readouterr().out == "UNKNOWN EVENT ID: login\n"


def test_messages_go_to_the_current_stdout(catalogue, Admin, monkeypatch):
    import io
    sink = io.StringIO()
    monkeypatch.setattr(sys, "stdout", sink)
    Admin(["zz"], [])
    assert sink.getvalue() == "Unknown event ID: zz\n"


def test_instances_in_a_cycle_are_collected(catalogue, Admin, module):
    import gc
    import weakref

    for cls in (module.ZeltaAdminEvents, Admin):
        admin = cls([], [])
        admin.me = admin
        probe = weakref.ref(admin)
        del admin
        gc.collect()
        assert probe() is None


def test_a_checkout_without_a_build_fails_loudly(tmp_path, module):
    import shutil

    (tmp_path / "src" / "admin_events").mkdir(parents=True)
    (tmp_path / "zelta_admin_events").mkdir()
    shutil.copy(pathlib.Path(module.__file__).with_name("__init__.py"), tmp_path / "zelta_admin_events")
    done = run_python("import zelta_admin_events.admin_events", tmp_path)
    assert "ImportError: " + str(tmp_path / "zelta_admin_events") + " is the source folder of a checkout" in done.stderr
