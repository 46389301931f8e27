"""Enabling and disabling events and groups, and the daemon restart."""

import sys

import pytest

GREY, END = "\x1b[90m", "\x1b[0m"
RESTARTS = ["systemctl restart syslog-ng.service", "systemctl restart auditd"]


def line(id_, width, status, name):
    return f"{id_}{' ' * (width - len(id_))}{status} {GREY}{name}{END}"


def flag(admin):
    return admin._ZeltaAdminEvents__need_daemon_restart


# ---- single events ----------------------------------------------------------------

@pytest.mark.parametrize("operation, state, switched", [
    ("enable", 0, True), ("enable", False, True), ("enable", 1, False), ("enable", True, False),
    ("disable", 1, True), ("disable", True, True), ("disable", 0, False), ("disable", False, False),
    ("enable", None, False), ("disable", None, False), ("enable", 2, False), ("disable", 2, False),
    ("enable", "0", False), ("disable", "1", False),
])
def test_event_switched_only_from_the_other_state(Admin, lib, capsys, operation, state, switched):
    lib.add_event("e", state)
    admin = Admin(["e"], [])
    lib.calls.clear()
    getattr(admin, operation)()
    switch = f"{operation}_event"
    assert lib.names(switch) == ([("e",)] if switched else [])
    assert lib.names("is_event_enabled")[0] == ("e",)
    assert flag(admin) is switched
    shown = lib.events["e"]["enabled"]
    assert capsys.readouterr().out == line("e", 11, shown, "Event e") + "\n"


def test_enable_prints_state_reported_after_the_switch(Admin, lib, capsys):
    lib.add_event("a", 0)
    lib.add_event("bb", 1)
    admin = Admin(["a", "bb"], None)
    admin.enable()
    assert capsys.readouterr().out == line("a", 12, 1, "Event a") + "\n" + line("bb", 12, 1, "Event bb") + "\n"
    assert lib.names("enable_event") == [("a",)]


@pytest.mark.parametrize("events, groups", [([], []), (None, None), ([], None)])
@pytest.mark.parametrize("operation", ["enable", "disable"])
def test_nothing_named_does_nothing(Admin, catalogue, capsys, events, groups, operation):
    admin = Admin(events, groups)
    catalogue.calls.clear()
    getattr(admin, operation)()
    assert catalogue.calls == []
    assert capsys.readouterr().out == ""
    assert flag(admin) is False


# ---- groups -----------------------------------------------------------------------

@pytest.mark.parametrize("operation, status, switched", [
    ("enable", 1, [("file-opened",), ("modifying-directory",), ("logout",)]),
    ("disable", 0, [("modifying-file",), ("login",)]),
])
def test_groups_switch_their_events_and_print_group_block(Admin, catalogue, capsys, operation, status, switched):
    admin = Admin([], ["fs", "auth"])
    catalogue.calls.clear()
    getattr(admin, operation)()
    assert sorted(catalogue.names(f"{operation}_event")) == sorted(switched)
    assert flag(admin) is True
    assert capsys.readouterr().out == "\n".join([
        line("fs", 14, status, "File system"), line("auth", 14, status, "Authentication")]) + "\n"


def test_group_block_shows_new_status_even_when_nothing_changed(Admin, lib, tree, capsys):
    lib.add_group("g", "Group")
    lib.add_group("empty", "Nothing")
    lib.add_event("on", 1)
    tree.group("g", ["on"])
    tree.group("empty")
    admin = Admin([], ["g", "empty"])
    admin.enable()
    assert lib.names("enable_event") == []
    assert flag(admin) is False
    assert capsys.readouterr().out == line("g", 15, 1, "Group") + "\n" + line("empty", 15, 1, "Nothing") + "\n"


def test_group_block_gets_new_status_by_keyword(Admin, catalogue, capsys):
    calls = []

    class Sub(Admin):
        def _ZeltaAdminEvents__get_multiple_string(self, *args, **kwargs):
            calls.append((args, kwargs))
            return "block"

    Sub(["login"], ["auth"]).disable()
    assert calls == [((["login"],), {}), ((["auth"],), {"new_status": 0})]
    assert capsys.readouterr().out == "block\nblock\n"


def test_events_block_is_printed_before_any_group_is_processed(Admin, catalogue, capsys):
    seen = []

    class Sub(Admin):
        def _ZeltaAdminEvents__process_group(self, group_id, action):
            seen.append(capsys.readouterr().out)

    Sub(["logout"], ["fs"]).enable()
    assert seen == [line("logout", 16, 1, "Event logout") + "\n"]
    assert capsys.readouterr().out == line("fs", 12, 1, "File system") + "\n"


def test_event_named_and_in_a_group_is_asked_again_not_switched_twice(Admin, catalogue, capsys):
    admin = Admin(["logout"], ["auth"])
    catalogue.calls.clear()
    admin.enable()
    # switched as a named event, shown in the events' block, asked again with its group
    assert catalogue.names("is_event_enabled").count(("logout",)) == 3
    assert catalogue.names("enable_event") == [("logout",)]


def test_process_group_walks_group_events_in_listing_order(Admin, catalogue):
    seen = []

    class Sub(Admin):
        def _ZeltaAdminEvents__get_events_by_group_id(self, group_id):
            return ["z", "a"]

        def _ZeltaAdminEvents__process_event(self, event_id, action):
            seen.append((event_id, action))

    action = object()
    Sub([], [])._ZeltaAdminEvents__process_group("auth", action)
    assert seen == [("z", action), ("a", action)]


# ---- the action --------------------------------------------------------------------

def test_action_other_than_enable_event_counts_as_disabling(Admin, lib):
    lib.add_event("e", 1)
    admin = Admin([], [])
    called = []
    admin._ZeltaAdminEvents__process_event("e", called.append)
    assert called == ["e"]
    assert flag(admin) is True


def test_enable_event_is_looked_up_at_call_time(Admin, lib, monkeypatch):
    lib.add_event("e", 0)
    admin = Admin(["e"], [])
    replaced = []
    monkeypatch.setattr(sys.modules["zelta_events"], "enable_event", replaced.append)
    admin.enable()
    assert replaced == ["e"]


def test_flag_is_set_before_the_failing_switch(Admin, lib, tree, capsys, monkeypatch):
    lib.add_group("g", "Group")
    lib.add_event("e", 0)
    tree.group("g", ["e"])

    def failing(event_id):
        raise RuntimeError("library down")

    monkeypatch.setattr(sys.modules["zelta_events"], "enable_event", failing)
    admin = Admin(["e"], ["g"])
    with pytest.raises(RuntimeError, match="library down"):
        admin.enable()
    assert flag(admin) is True
    assert capsys.readouterr().out == ""


def test_events_block_stands_when_a_group_fails(Admin, catalogue, capsys):
    admin = Admin(["logout"], ["auth"])
    (admin._ZeltaAdminEvents__default_config_dir / "auth").rename(
        admin._ZeltaAdminEvents__default_config_dir / "gone")
    with pytest.raises(FileNotFoundError):
        admin.enable()
    assert capsys.readouterr().out == line("logout", 16, 1, "Event logout") + "\n"
    assert flag(admin) is True


@pytest.mark.parametrize("operation, doc", [
    ("enable", "Enable specified IDs."),
    ("disable", "Disable specified IDs."),
    ("restart_daemons", "Restart daemons if necessary."),
])
def test_documentation(module, operation, doc):
    assert getattr(module.ZeltaAdminEvents, operation).__doc__ == doc


# ---- daemon restart -----------------------------------------------------------------

# Both daemons restart, in order, at every call while the flag is true; nothing clears it.
@pytest.mark.parametrize("events, operation, value, restarts", [
    (["login"], "show_groups", None, False),  # a fresh object
    (["login"], "enable", None, False),  # switched nothing
    (["logout"], "enable", None, True),
    ([], None, 1, True), ([], None, "yes", True), ([], None, [0], True), ([], None, [], False),
])
def test_restart_follows_the_flag(Admin, catalogue, commands, capsys, pager, events, operation, value, restarts):
    admin = Admin(events, ["fs"] if operation == "show_groups" else [])
    if operation:
        getattr(admin, operation)()
    if value is not None:
        admin._ZeltaAdminEvents__need_daemon_restart = value
    admin.restart_daemons()
    admin.restart_daemons()
    assert commands == RESTARTS * 2 * restarts


@pytest.mark.parametrize("statuses, failed, lines", [
    # os.system gives wait statuses: exit code N is N << 8, signal N is N.
    ([0, 0], [], []),
    ([1 << 8, 0], ["syslog-ng.service"], ["Restart of syslog-ng.service failed with exit status 1"]),
    ([0, 127 << 8], ["auditd"], ["Restart of auditd failed with exit status 127"]),
    ([15, -1], ["syslog-ng.service", "auditd"], ["Restart of syslog-ng.service failed with exit status 143",
                                                 "Restart of auditd failed with exit status -1"]),
    ([None, 1 << 8], ["auditd"], ["Restart of auditd failed with exit status 1"]),  # None tells nothing
])
def test_failed_restarts_are_reported_and_returned(Admin, catalogue, monkeypatch, capsys, statuses, failed, lines):
    import os

    run = []

    def system(command):
        run.append(command)
        return statuses[len(run) - 1]

    monkeypatch.setattr(os, "system", system)
    admin = Admin([], [])
    admin._ZeltaAdminEvents__need_daemon_restart = True
    assert admin.restart_daemons() == failed
    assert run == RESTARTS  # the second also after a failed first
    assert capsys.readouterr().out.splitlines() == lines
    assert flag(admin) is True


def test_restart_message_is_translated(Admin, catalogue, monkeypatch, module, capsys):
    import os

    monkeypatch.setattr(os, "system", lambda command: 1 << 8)
    monkeypatch.setattr(module, "_", lambda msgid: "<" + msgid.replace("{unit}", "U={unit}") + ">")
    admin = Admin([], [])
    admin._ZeltaAdminEvents__need_daemon_restart = True
    admin.restart_daemons()
    assert capsys.readouterr().out.splitlines()[0] == "<Restart of U=syslog-ng.service failed with exit status 1>"
