"""set_properties and the audit rules of the file-watching events."""

import json
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

SYSCALL = "-a always,exit -F arch={} -F path={} -S {} -k {}"
RESTART = "_ZeltaAdminEvents__need_daemon_restart"


def audit_rules(lib):
    """The rule lines stored per event, decoded from their JSON array text."""
    return {e: json.loads(v) for e, s, p, v in lib.params if (s, p) == ("", "message-audit-rules")}


@pytest.mark.parametrize("value, line", [
    ("abc", "The VALUE should be in JSON format"),
    ('{"a": 1', "The VALUE should be in JSON format"),
    ("", "The VALUE should be in JSON format"),
    ("5", "Invalid VALUE: 5 (<class 'int'>)"),
    (" 1.5 ", "Invalid VALUE:  1.5  (<class 'float'>)"),
    ("-Infinity", "Invalid VALUE: -Infinity (<class 'float'>)"),
    ("true", "Invalid VALUE: true (<class 'bool'>)"),
    ("null", "Invalid VALUE: null (<class 'NoneType'>)"),
])
def test_rejected_values_write_nothing(catalogue, Admin, capsys, value, line):
    admin = Admin(["login", "modifying-file"], None)
    admin.set_properties("s", "p", value)
    assert capsys.readouterr().out == line + "\n"
    assert catalogue.params == [] and getattr(admin, RESTART) is False


@pytest.mark.parametrize("events", [["login", "logout"], [], None])
def test_ordinary_events_get_the_text_unchanged(catalogue, Admin, capsys, events):
    admin = Admin(events, ["fs"])  # named groups are not used
    admin.set_properties("filter", "users", ' ["root", "a\\"b"] ')
    assert catalogue.params == [(e, "filter", "users", ' ["root", "a\\"b"] ') for e in events or []]
    assert capsys.readouterr().out == "" and getattr(admin, RESTART) is True


def test_special_event_writes_property_then_rules(catalogue, Admin):
    Admin(["modifying-file", "login", "modifying-directory"], None).set_properties("s", "p", '"/etc/my file"')
    rules = r'["-w /etc/my\\ file -p wa -k /etc/my\\ file"]'
    assert catalogue.params == [
        ("modifying-file", "s", "p", '"/etc/my file"'), ("modifying-file", "", "message-audit-rules", rules),
        ("login", "s", "p", '"/etc/my file"'),
        ("modifying-directory", "s", "p", '"/etc/my file"'), ("modifying-directory", "", "message-audit-rules", rules),
    ]


@pytest.mark.parametrize("value, paths", [
    ('["/srv/a", "/srv/b"]', ["/srv/a", "/srv/b"]),
    ('{"/b": 1, "/a": [2], "/b": 3}', ["/b", "/a"]),  # member names, first occurrence counts
    ("[]", []),
    ('"/данные/é"', ["/данные/é"]),
])
def test_watch_rules_follow_the_paths(catalogue, Admin, value, paths):
    Admin(["modifying-directory"], None).set_properties("s", "p", value)
    assert audit_rules(catalogue) == {"modifying-directory": [f"-w {p} -p wa -k {p}" for p in paths]}
    assert "\\u" not in catalogue.params[-1][3]  # non-ASCII is stored as it is


@pytest.mark.parametrize("arch, key, calls", [
    ("x86_64", "x86_64", "open,openat"),
    ("aarch64", "aarch64", "openat"),
    ("armv7l", "armv7l", "open,openat"),
    ("i686", "b64", "open,openat"),
    ("", "b64", "open,openat"),
])
def test_file_opened_rule_per_architecture(catalogue, Admin, arch, key, calls):
    Arch = type("Arch", (Admin,), {"_ZeltaAdminEvents__arch": arch})
    Arch(["file-opened"], None).set_properties("s", "p", '["/x y", "/z"]')
    assert audit_rules(catalogue) == {"file-opened": [SYSCALL.format(key, "/x\\ y", calls, "/x\\ y"),
                                                      SYSCALL.format(key, "/z", calls, "/z")]}


@pytest.mark.parametrize("value, bad", [
    ('"/etc/a\\n-w /etc/shadow -p wa -k x"', "/etc/a\n-w /etc/shadow -p wa -k x"),
    ('["/ok", "relative/path"]', "relative/path"),
    ('{"/ok": 1, "": 2}', ""),
    ('["/ok", 5]', 5),
    ('["/ok", ["/nested"]]', ["/nested"]),
    ('[null]', None),
    ('"/a\\u007f"', "/a\x7f"),
    ('"/a\\tb"', "/a\tb"),
    ('"/a\\u0000"', "/a\x00"),
    (json.dumps("/" + "a" * 4095), "/" + "a" * 4095),
])
@pytest.mark.parametrize("flag", [False, True])
def test_bad_paths_are_refused_before_any_write(catalogue, Admin, capsys, value, bad, flag):
    admin = Admin(["login", "file-opened", "modifying-file"], None)
    setattr(admin, RESTART, flag)
    admin.set_properties("s", "p", value)
    assert capsys.readouterr().out == f"Invalid path in VALUE: {bad!r}\n"
    assert catalogue.params == [] and getattr(admin, RESTART) is flag


def test_longest_accepted_path(catalogue, Admin):
    path = "/" + "a" * 4094
    Admin(["modifying-file"], None).set_properties("s", "p", json.dumps(path))
    assert audit_rules(catalogue) == {"modifying-file": [f"-w {path} -p wa -k {path}"]}


def test_paths_are_not_checked_without_a_special_event(catalogue, Admin):
    Admin(["login"], None).set_properties("s", "p", '["relative", 5]')
    assert catalogue.params == [("login", "s", "p", '["relative", 5]')]


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture], max_examples=200)
@given(path=st.text())
def test_a_path_never_yields_more_than_one_rule_line(catalogue, Admin, capsys, path):
    catalogue.params.clear()
    Admin(["modifying-file"], None).set_properties("s", "p", json.dumps(path))
    if not catalogue.params:
        assert capsys.readouterr().out.startswith("Invalid path in VALUE: ")
        return
    [line] = audit_rules(catalogue)["modifying-file"]
    assert line.startswith("-w /") and not any(ord(ch) < 32 or ord(ch) == 127 for ch in line)
    assert line.split(" -p wa -k ")[0] == "-w " + path.replace(" ", "\\ ")


def test_special_events_and_rule_builders_are_read_from_the_class(catalogue, Admin):
    Sub = type("Sub", (Admin,), {
        "_ZeltaAdminEvents__special_events": frozenset({"login", "file-opened"}),
        "_ZeltaAdminEvents__arch": "riscv64",
        "_ZeltaAdminEvents__audit_rules": {"b64": lambda p: "rule " + p},
    })
    Sub(["login", "file-opened", "modifying-file"], None).set_properties("s", "p", '"/v"')
    assert audit_rules(catalogue) == {"login": ["-w /v -p wa -k /v"], "file-opened": ["rule /v"]}


def test_failing_rule_builder_writes_nothing(catalogue, Admin):
    def builder(path):
        raise RuntimeError("builder broke")

    Sub = type("Sub", (Admin,), {"_ZeltaAdminEvents__audit_rules": {"b64": builder}, "_ZeltaAdminEvents__arch": "?"})
    admin = Sub(["login", "file-opened"], None)
    with pytest.raises(RuntimeError, match="builder broke"):
        admin.set_properties("s", "p", '"/v"')
    assert catalogue.params == [] and getattr(admin, RESTART) is False


def test_library_failure_keeps_earlier_events_whole(catalogue, Admin, monkeypatch):
    def fail_on_second(event_id, *rest):
        if event_id == "modifying-directory":
            raise OSError("read-only")
        catalogue.params.append((event_id, *rest))

    monkeypatch.setattr(sys.modules["zelta_events"], "set_event_param", fail_on_second)
    admin = Admin(["modifying-file", "modifying-directory"], None)
    with pytest.raises(OSError):
        admin.set_properties("s", "p", '"/v"')
    assert [p[:3] for p in catalogue.params] == [("modifying-file", "s", "p"),
                                                 ("modifying-file", "", "message-audit-rules")]
    assert getattr(admin, RESTART) is True


@pytest.mark.parametrize("value", [5, [5], ["/a", None], {"/a": 1, 2: 1}, [["/a"]]])
def test_process_path_value_refuses_non_string_paths(catalogue, Admin, value):
    with pytest.raises(TypeError):
        Admin(None, None)._ZeltaAdminEvents__process_path_value("modifying-file", value)


@pytest.mark.parametrize("args, message", [
    ((1, "p", '"v"'), "Argument 'section' has incorrect type (expected str, got int)"),
    (("s", b"p", '"v"'), "Argument 'parameter' has incorrect type (expected str, got bytes)"),
    (("s", "p", ["/v"]), "Argument 'value' has incorrect type (expected str, got list)"),
])
def test_wrong_argument_types(catalogue, Admin, args, message):
    admin = Admin(["modifying-file"], None)
    with pytest.raises(TypeError) as raised:
        admin.set_properties(*args)
    assert str(raised.value) == message and catalogue.params == []
    with pytest.raises(TypeError, match="Argument 'event_id' has incorrect type"):
        admin._ZeltaAdminEvents__process_path_value(1, "/v")


def test_no_reference_leaks(catalogue, Admin):
    admin = Admin(["file-opened", "login"], None)
    value = "".join(['{"/a": 1, ', '"/b c": 2}'])
    before = sys.getrefcount(value)
    for _ in range(1000):
        admin.set_properties("s", "p", value)
        admin.set_properties("s", "p", "5")
        admin.set_properties("s", "p", '"rel"')
        catalogue.params.clear()
        catalogue.calls.clear()
    assert sys.getrefcount(value) == before
