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
    # What the configuration file cannot hold as strict JSON in UTF-8.
    ('{"/a": [1, NaN]}', "Invalid VALUE: NaN is not a finite number"),
    ('{"/a": 1e999}', "Invalid VALUE: Infinity is not a finite number"),
    ('{"/a": -Infinity}', "Invalid VALUE: -Infinity is not a finite number"),
    ('{"/a": "\\udc80"}', "Invalid VALUE: the lone surrogate \\udc80 has no UTF-8 form"),
    ('{"/a": {"x\\ud800": 1}}', "Invalid VALUE: the lone surrogate \\ud800 has no UTF-8 form"),
    ('{"/a": "\udfff"}', "Invalid VALUE: the lone surrogate \\udfff has no UTF-8 form"),
    # What import would refuse of the file that holds it.
    ('{"/a": ' + "[" * 253 + "]" * 253 + "}", "Invalid VALUE: nested more than 253 levels deep"),
    ("[" * 100_000 + "]" * 100_000, "Invalid VALUE: nested more than 253 levels deep"),
    (json.dumps({"/a": "é" * (1 << 19)}, ensure_ascii=False), "Invalid VALUE: larger than 1048576 bytes of JSON text"),
])
def test_rejected_values_write_nothing(catalogue, Admin, capsys, value, line):
    admin = Admin(["login", "modifying-file"], None)
    admin.set_properties("s", "p", value)
    assert capsys.readouterr().out == line + "\n"
    assert catalogue.params == [] and getattr(admin, RESTART) is False


@pytest.mark.parametrize("section, value, refused", [
    ("s", "[" * 253 + "]" * 253, False),
    ("", "[" * 254 + "]" * 254, False),  # no section object around it
    ("", "[" * 255 + "]" * 255, True),
    # The size as the library writes the value: escaped, indented at its place.
    ("s", json.dumps("a" * ((1 << 20) - 2)), False),  # 1 MiB exactly
    ("s", json.dumps("a" * ((1 << 20) - 1)), True),
    ("s", json.dumps("é" * 174762, ensure_ascii=False), False),  # each written as \u00e9
    ("s", json.dumps("é" * 174763, ensure_ascii=False), True),
    ("s", "[" * 250 + "0," * 2000 + "0" + "]" * 250, True),
    ("", json.dumps([["a" * ((1 << 20) - 34)]]), False),  # 1 MiB exactly, two levels above
    ("s", json.dumps([["a" * ((1 << 20) - 34)]]), True),  # the lines indented one level more
])
def test_values_at_the_limits(catalogue, Admin, capsys, section, value, refused):
    admin = Admin(["login"], None)
    admin.set_properties(section, "p", value)
    assert (catalogue.params == []) is refused and getattr(admin, RESTART) is not refused
    assert capsys.readouterr().out.startswith("Invalid VALUE: ") is refused


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
    ('"/a\\u0085"', "/a\x85"),  # C1 control: a line break to some readers
    ('"/a\\u009f"', "/a\x9f"),
    ('"/a\\\\ b"', "/a\\ b"),  # a backslash makes the escaped space ambiguous
    ('"/a\\udc80"', "/a\udc80"),  # a lone surrogate has no UTF-8 form
    # The escaped path is the rule's key, which auditctl takes up to 256 bytes.
    (json.dumps("/" + "a" * 256), "/" + "a" * 256),
    (json.dumps("/a" + " " * 128), "/a" + " " * 128),
    (json.dumps("/" + "\u00e9" * 128), "/" + "\u00e9" * 128),
    (json.dumps("/" + "a" * 4095), "/" + "a" * 4095),
])
@pytest.mark.parametrize("events", [["login", "file-opened", "modifying-file"], ["modifying-directory"]])
@pytest.mark.parametrize("flag", [False, True])
def test_bad_paths_are_refused_before_any_write(catalogue, Admin, capsys, value, bad, events, flag):
    admin = Admin(events, None)
    setattr(admin, RESTART, flag)
    admin.set_properties("s", "p", value)
    assert capsys.readouterr().out == f"Invalid path in VALUE: {bad!r}\n"
    assert catalogue.params == [] and getattr(admin, RESTART) is flag


@pytest.mark.parametrize("path", ["/" + "a" * 255, "/a" + " " * 127, "/" + "\u00e9" * 127 + "a", "/\u00a0\U0001f600"])
def test_longest_and_widest_accepted_paths(catalogue, Admin, path):
    Admin(["modifying-file"], None).set_properties("s", "p", json.dumps(path))
    escaped = path.replace(" ", "\\ ")
    assert audit_rules(catalogue) == {"modifying-file": [f"-w {escaped} -p wa -k {escaped}"]}


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


# A path that is not a string meets the str method the rule line needs.
@pytest.mark.parametrize("value, error, message", [
    (5, TypeError, "'int' object is not iterable"),
    ([5], AttributeError, "'int' object has no attribute 'replace'"),
    (["/a", None], AttributeError, "'NoneType' object has no attribute 'replace'"),
    ({"/a": 1, 2: 1}, AttributeError, "'int' object has no attribute 'replace'"),
    ([["/a"]], AttributeError, "'list' object has no attribute 'replace'"),
    ([b"/a"], TypeError, "a bytes-like object is required, not 'str'"),
])
@pytest.mark.parametrize("event_id", ["modifying-file", "file-opened"])
def test_process_path_value_with_paths_that_are_not_strings(catalogue, Admin, value, error, message, event_id):
    with pytest.raises(error) as raised:
        Admin(None, None)._ZeltaAdminEvents__process_path_value(event_id, value)
    assert str(raised.value) == message
