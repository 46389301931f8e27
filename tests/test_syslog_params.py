"""set_facility, set_priority and the message-syslog-* parameter they write."""

import json
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st


def record_writes_and_output(monkeypatch):
    """Library writes and output lines in one record, to check their interleaving.

    Installed from the test body: pytest replaces sys.stdout after fixture setup.
    """
    record = []
    monkeypatch.setattr(sys.modules["zelta_events"], "set_event_param", lambda *a: record.append(a))

    class Out:
        def write(self, text):
            record.append(text)

    monkeypatch.setattr(sys, "stdout", Out())
    return record


@pytest.fixture
def Grouped(Admin):
    """Group members come from the class at call time; give them a fixed order."""
    members = {"fs": ["file-opened", "modifying-file", "modifying-directory"], "auth": []}
    return type("Grouped", (Admin,), {
        "_ZeltaAdminEvents__get_events_by_group_id": classmethod(lambda cls, g: members[g])})


def test_events_then_groups_with_lines_after_each_write(catalogue, Grouped, monkeypatch):
    admin = Grouped(["login", "modifying-file"], ["fs", "auth"])
    log = record_writes_and_output(monkeypatch)
    admin.set_facility("local0")
    p = lambda e: (e, "", "message-syslog-facility", '"local0"')  # noqa: E731
    assert [x for x in log if x != "\n"] == [
        p("login"), "login\tfacility: local0",
        p("modifying-file"), "modifying-file\tfacility: local0",
        p("file-opened"), p("modifying-file"), p("modifying-directory"), "fs\tfacility: local0",
        "auth\tfacility: local0",  # a group without events still gets its line
    ]
    assert admin._ZeltaAdminEvents__need_daemon_restart is True


@pytest.mark.parametrize("events, groups", [([], []), (None, None), (None, [])])
def test_nothing_named_still_requests_restart(catalogue, Admin, capsys, events, groups):
    admin = Admin(events, groups)
    admin.set_priority("err")
    assert catalogue.params == [] and capsys.readouterr().out == ""
    assert admin._ZeltaAdminEvents__need_daemon_restart is True


@pytest.mark.parametrize("value, text", [
    ("", '""'),
    ('a"b', r'"a\"b"'),
    ("a\\b", r'"a\\b"'),
    ("a\nb\t\x00\x1f", r'"a\nb\t\u0000\u001f"'),
    ("\x7f é 日本 🙂", '"\x7f é 日本 🙂"'),
])
def test_value_is_written_as_a_json_string(catalogue, Admin, capsys, value, text):
    Admin(["login"], None).set_priority(value)
    assert catalogue.params == [("login", "", "message-syslog-priority", text)]
    assert capsys.readouterr().out == f"login\tpriority: {value}\n"


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=st.text())
def test_any_value_round_trips_through_json(catalogue, Admin, value):
    catalogue.params.clear()
    Admin(["login"], None)._ZeltaAdminEvents__set_syslog_message_param("facility", value)
    [(_, _, _, written)] = catalogue.params
    assert written == json.dumps(value, ensure_ascii=False)
    assert json.loads(written) == value


def test_library_failure_leaves_restart_flag_unset(catalogue, Admin, monkeypatch, capsys):
    def fail_on_logout(event_id, *rest):
        if event_id == "logout":
            raise OSError("disk full")
        catalogue.params.append((event_id, *rest))

    monkeypatch.setattr(sys.modules["zelta_events"], "set_event_param", fail_on_logout)
    admin = Admin(["login", "logout"], None)
    with pytest.raises(OSError, match="disk full"):
        admin.set_facility("user")
    assert [p[0] for p in catalogue.params] == ["login"]
    assert admin._ZeltaAdminEvents__need_daemon_restart is False


def test_none_value_writes_nothing(catalogue, Admin):
    admin = Admin(["login"], ["fs"])
    with pytest.raises(TypeError) as raised:
        admin.set_facility(None)
    assert str(raised.value) == 'can only concatenate str (not "NoneType") to str'
    assert catalogue.params == [] and admin._ZeltaAdminEvents__need_daemon_restart is False

