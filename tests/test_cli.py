"""The command-line front end, run in-process against the fake library."""

import json
import os
import pathlib
import shlex
import shutil
import subprocess
import sys

import pytest

from conftest import snapshot
from zelta_admin_events import cli

GREY, END = "\x1b[90m", "\x1b[0m"
RESTARTS = ["systemctl restart syslog-ng.service", "systemctl restart auditd"]
CONSTANTS = {
    "_ZeltaAdminEvents__default_config_dir": "settings",
    "_ZeltaAdminEvents__current_config_file": "current_config",
    "_ZeltaAdminEvents__param_ru_translations_file": "translations",
    "_ZeltaAdminEvents__root_dir": "root",
}
DEFAULTS = {
    "_ZeltaAdminEvents__default_config_dir": "/usr/share/syslog-ng-mod-zelta/event-settings",
    "_ZeltaAdminEvents__current_config_file": "/etc/zelta-syslog.conf",
    "_ZeltaAdminEvents__param_ru_translations_file": "/etc/wex-admin-events/eventsdictionary.json",
    "_ZeltaAdminEvents__root_dir": "/",
}


@pytest.fixture
def system(module, tree, catalogue, monkeypatch):
    """The real class pointed at the scratch tree, as the host's system."""
    tree.write_json(tree.current_config, {})
    for name, attribute in CONSTANTS.items():
        monkeypatch.setattr(module.ZeltaAdminEvents, name, getattr(tree, attribute))
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.delenv("SUDO_UID", raising=False)
    for name in ("LESS", "LESSSECURE", "ZELTA_EVENTS_ROOT"):
        monkeypatch.delenv(name, raising=False)
    return catalogue


@pytest.fixture
def operations(module, monkeypatch):
    """Replaces operations on the class with recorders of their calls."""
    seen, replaced = [], set()

    def replace(name, sets_flag=False, classlevel=False, prints=None, returns=None):
        """returns: the value, or a list of values returned one call after the other."""
        answers = list(returns) if isinstance(returns, list) else None

        def operation(self, *args, **_options):
            seen.append((name, self, args))
            if sets_flag:
                self._ZeltaAdminEvents__need_daemon_restart = True
            if prints:
                print(prints)
            return answers.pop(0) if answers is not None else returns

        monkeypatch.setattr(module.ZeltaAdminEvents, name,
                            classmethod(operation) if classlevel else operation, raising=False)
        replaced.add(name)
        if name == "import_config" and "import_config_archive" not in replaced:
            # The one import the front end calls, unless the test records the other.
            monkeypatch.setattr(module.ZeltaAdminEvents, "import_config_archive", None)

    replace.seen = seen
    return replace


# ---- help and usage ---------------------------------------------------------------

@pytest.mark.without_module
@pytest.mark.parametrize("argv", [["--help"], ["-h"]] + [[name, "--help"] for name in cli.COMMANDS])
def test_help_exits_zero_with_an_example(argv, capsys):
    assert cli.main(argv) == 0
    out = capsys.readouterr().out
    assert out.startswith("usage: zelta-admin-events")
    command = argv[0] if argv[0] in cli.COMMANDS else ""
    assert "example" in out and f"\n  zelta-admin-events {command}" in out


@pytest.mark.without_module
def test_version(capsys):
    import tomllib

    version = tomllib.loads((pathlib.Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]["version"]
    assert cli.main(["--version"]) == 0
    assert capsys.readouterr().out == f"zelta-admin-events {version}\n"


@pytest.mark.parametrize("argv, message", [
    ([], "required: COMMAND"),
    (["frobnicate"], "invalid choice"),
    (["enable"], "name at least one event with -e ID or group with -g ID"),
    (["show-groups"], "name at least one group with -g ID"),
    (["show-event"], "name at least one event with -e ID"),
    # Each command takes the options it uses, after it or before it.
    (["show-groups", "-g", "auth", "-e", "login"], "unrecognized arguments: -e login"),
    (["show-event", "-e", "login", "-g", "auth"], "unrecognized arguments: -g auth"),
    (["export", "x.tar.gz", "-e", "bogus"], "unrecognized arguments: -e bogus"),
    (["completion", "bash", "--root", "/"], "unrecognized arguments: --root /"),
    (["set-properties", "s", "p", '"v"', "-e", "login", "-g", "auth"], "unrecognized arguments: -g auth"),
    (["enable", "-e", "login", "--no-pager"], "unrecognized arguments: --no-pager"),
    (["-e", "login", "show-all-groups"], "show-all-groups does not take -e"),
    (["--root", "/", "completion", "bash"], "completion does not take --root"),
    (["set-properties", "s", "p", "-e", "login"], "required: VALUE"),
    (["set-facility", "-e", "login"], "required: VALUE"),
    (["export"], "required: FILE"),
    (["--root", "/nonexistent/zelta", "show-all-groups"], "not a directory"),
    (["enable", "-e"], "expected one argument"),
    (["set-facility", "bogus", "-e", "login"], "unknown facility 'bogus'; choose from auth, authpriv, cron"),
    (["set-priority", "loud", "-e", "login"], "unknown priority 'loud'; choose from emerg, panic, alert"),
    (["enable", "-e", "login,a\nb"], "invalid ID 'a\\nb': control characters are not allowed"),
    (["enable", "-g", "\x1b[2J"], "invalid ID '\\x1b[2J'"),
    (["show-event", "-e", "x\x00"], "invalid ID 'x\\x00'"),
    (["show-event", "-e", "x\x9b"], "invalid ID 'x\\x9b'"),
    (["show-all-groups", "--color", "sometimes"], "invalid choice: 'sometimes'"),
    (["completion", "fish"], "invalid choice: 'fish'"),
])
def test_usage_errors_exit_two(system, argv, message, capsys, commands):
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert "usage: zelta-admin-events" in err and message in err
    assert system.calls == [] and commands == []


# ---- dispatch ------------------------------------------------------------------------

@pytest.mark.parametrize("event, switched, restarts, out", [
    ("logout", [("logout",)], RESTARTS, f"logout{' ' * 10}1 Event logout\n"),  # no colour in a pipe
    ("login", [], [], "Nothing to change.\n"),
])
def test_enable_restarts_only_after_a_switch(system, commands, capsys, event, switched, restarts, out):
    assert cli.main(["enable", "-e", event]) == 0
    assert capsys.readouterr() == (out, "")
    assert system.names("enable_event") == switched
    assert commands == restarts


def test_ids_repeat_split_at_commas_and_go_before_or_after_command(system, commands, capsys):
    assert cli.main(["-e", "login", "disable", "-g", "fs , auth", "-e", ",logout, login,", "--debug"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert [l.split()[0] for l in out] == ["login", "logout", "fs", "auth"]
    assert sorted(system.names("disable_event")) == [("login",), ("modifying-file",)]
    assert commands == RESTARTS


@pytest.mark.without_module
@pytest.mark.parametrize("argv", [
    ["-e", "enable", "show-event"],  # an ID named like a command
    ["--root", "disable", "enable", "-g", "x"],
    ["--ro", "disable", "enable", "-g", "x"],  # an abbreviated option with its value
    ["--root=/r", "-gx", "--color", "never", "show-groups"],
    ["--debug", "set-facility", "local3", "-e", "x"],
])
def test_parser_of_the_named_command_parses_as_the_whole_parser(argv):
    assert cli.build_parser(cli._command_in(argv)).parse_args(argv) == cli.build_parser().parse_args(argv)


@pytest.mark.parametrize("argv, name, args, restart", [
    (["show-groups", "-g", "auth"], "show_groups", (), False),
    (["show-all-groups"], "show_all_groups", (), False),
    (["show-event", "-e", "login"], "show_event", (), False),
    (["disable", "-e", "login"], "disable", (), True),
    (["set-facility", "local3", "-g", "fs"], "set_facility", ("local3",), True),
    (["set-facility", "LOCAL3", "-g", "fs"], "set_facility", ("local3",), True),  # syslog names in any case
    (["set-priority", "Warning", "-e", "login"], "set_priority", ("warning",), True),
    # Aliases are written as the names they stand for.
    (["set-priority", "warn", "-e", "login"], "set_priority", ("warning",), True),
    (["set-facility", "security", "-e", "login"], "set_facility", ("auth",), True),
    (["set-properties", "", "paths", '["/a b"]', "-e", "login"], "set_properties", ("", "paths", '["/a b"]'), True),
    (["set-properties", "", "message-syslog-priority", '"ERROR"', "-e", "login"], "set_properties",
     ("", "message-syslog-priority", '"err"'), True),
    (["set-properties", "", "enabled", "false", "-e", "login"], "disable", (), True),
    (["import", "backup.tar.gz"], "import_config", ("backup.tar.gz",), True),
])
def test_each_command_calls_its_operation(system, operations, commands, argv, name, args, restart):
    operations(name, sets_flag=True)
    change = {"event": "login", "section": "", "parameter": "p", "before": None, "after": 1}
    if name == "import_config":
        change = {"file": "/x", "action": "create", "type": "file", "before_sha256": None, "after_sha256": "0"}
    # Something to change before the operation, nothing after it.
    operations("plan_" + name, returns=[{"changed": True, "changes": [change], "error": None},
                                        {"changed": False, "changes": [], "error": None}])
    assert cli.main(argv) == 0
    assert [(n, a) for n, _, a in operations.seen if n == name] == [(name, args)]
    assert commands == (RESTARTS if restart else [])


def test_export_needs_no_object(system, module, operations, tree, commands, monkeypatch, capsys):
    for name, default in DEFAULTS.items():
        monkeypatch.setattr(module.ZeltaAdminEvents, name, pathlib.Path(default))
    operations("write_config_archive", classlevel=True)
    assert cli.main(["--root", str(tree.root), "export", "out.tar.gz"]) == 0
    assert capsys.readouterr().out == "Configuration exported\n"
    [(_, cls, args)] = operations.seen
    assert args == ("out.tar.gz",)
    assert issubclass(cls, module.ZeltaAdminEvents)
    for name, attribute in CONSTANTS.items():
        assert getattr(cls, name) == getattr(tree, attribute)
    assert system.calls == []  # nothing constructed
    assert commands == []


# ---- failures -------------------------------------------------------------------------

@pytest.mark.parametrize("argv, prints", [
    (["export", "out.tar.gz"], "Error exporting configuration: No such file or directory: "),
    (["import", "in.tar.gz"], "Error importing configuration: [Errno 2] No such file or directory: 'in.tar.gz'"),
    (["set-properties", "s", "p", "abc", "-e", "login"], "The VALUE should be in JSON format"),
    (["set-properties", "s", "p", "[1]", "-e", "file-opened"], "Invalid path in VALUE: 1"),
    (["set-properties", "s", "p", "42", "-e", "login"],
     "Invalid VALUE: a number; give a string, an array or an object"),
    (["set-properties", "s", "p", "null", "-e", "login"], "Invalid VALUE: null; give a string, an array or an object"),
    # What configures the logging daemon is checked whichever command sets it.
    (["set-properties", "", "message-syslog-facility", r'"bogus\n}; destination x { program(\"id\"); };"',
      "-e", "login"], "message-syslog-facility: unknown facility 'bogus\\n}; destination"),
    (["set-properties", "", "message-syslog-priority", '["info"]', "-e", "login"],
     'message-syslog-priority: unknown priority ["info"]; choose from emerg'),
    (["set-properties", "", "enabled", '"yes"', "-e", "login"], "enabled takes true or false"),
    (["set-properties", "", "message-audit-rules", '"-w /x"', "-e", "login"],
     "message-audit-rules is derived from the paths to watch and cannot be set directly"),
])
@pytest.mark.parametrize("dry_run", [False, True])
def test_reported_failures_exit_one(system, commands, capsys, tmp_path, monkeypatch, argv, prints, dry_run):
    monkeypatch.chdir(tmp_path)
    if dry_run and argv[0] == "export":
        return
    assert cli.main(argv + (["--dry-run"] if dry_run else [])) == 1
    out, err = capsys.readouterr()
    # The operation's line (also as its plan's), on standard error.
    assert out == "" and err.startswith("zelta-admin-events: " + prints) and err.count("\n") == 1
    assert commands == [] and not {"set_event_param", "enable_event"} & {c[0] for c in system.calls}


def _noted(error, note):
    error.add_note(note)
    return error


@pytest.mark.parametrize("error, message", [
    (RuntimeError("catalogue unavailable"), "catalogue unavailable"),
    # An error about a file names it.
    (_noted(ValueError("Expecting value: line 1"), "/etc/zelta-syslog.conf"), "/etc/zelta-syslog.conf: Expecting value: line 1"),
    (RuntimeError("two\nlines"), "two lines"),
    (KeyError("login"), "unknown key 'login'"),
    (FileNotFoundError(2, "No such file or directory", "/etc/x"), "No such file or directory: /etc/x"),
    (ValueError(), "unexpected failure; run with --debug for details"),
])
@pytest.mark.parametrize("debug", [False, True])
def test_failing_operation_exits_one_with_one_line(system, monkeypatch, commands, capsys, debug, error, message):
    def broken(event_id):
        raise error

    monkeypatch.setattr(sys.modules["zelta_events"], "is_event_enabled", broken)
    argv = ["enable", "-e", "login"] + (["--debug"] if debug else [])
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    last = f"zelta-admin-events: error: {message}\n"
    assert err.startswith("Traceback") if debug else err == last
    assert err.endswith(last)
    assert commands == []


def test_event_without_settings_file_is_one_line(system, tree, pager, capsys):
    system.add_event("orphan")
    assert cli.main(["show-event", "-e", "login,orphan"]) == 1
    assert capsys.readouterr().err == "zelta-admin-events: error: event orphan has no settings file in any group\n"
    assert pager == []


@pytest.mark.parametrize("argv, called", [
    (["set-facility", "local3", "-g", "nope"], "set_event_param"),
    (["enable", "-e", "nope1,nope2"], "is_event_enabled"),
    (["set-properties", "s", "p", '"x"', "-e", "nope"], "set_event_param"),
    (["show-groups", "-g", "nope"], "is_event_enabled"),
])
def test_nothing_to_do_when_every_id_is_unknown(system, commands, capsys, argv, called):
    assert cli.main(argv) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("zelta-admin-events: Unknown ") and err.endswith(" skipped\n")
    assert system.names(called) == [] and commands == []


def test_change_written_before_a_failure_still_restarts(system, monkeypatch, commands, capsys):
    switched = []

    def enable_event(event_id):
        if switched:
            raise OSError("disk full")
        switched.append(event_id)

    monkeypatch.setattr(sys.modules["zelta_events"], "enable_event", enable_event)
    assert cli.main(["enable", "-g", "fs"]) == 1
    assert len(switched) == 1
    assert commands == RESTARTS
    assert capsys.readouterr().err == "zelta-admin-events: error: disk full\n"


@pytest.mark.parametrize("statuses, exit_status", [((0, 0), 0), ((0, 1 << 8), 1), ((127 << 8, 127 << 8), 1)])
def test_failed_restart_exits_one(system, monkeypatch, capsys, statuses, exit_status):
    run = []
    monkeypatch.setattr(os, "system", lambda command: run.append(command) or statuses[len(run) - 1])
    assert cli.main(["enable", "-e", "logout"]) == exit_status
    failed = [f"Restart of {unit} failed with exit status {status >> 8}"
              for unit, status in zip(["syslog-ng.service", "auditd"], statuses) if status]
    assert capsys.readouterr().err.splitlines() == [f"zelta-admin-events: {line}" for line in failed]
    assert run == RESTARTS


def test_unknown_id_is_reported_and_exit_is_one(system, commands, capsys):
    assert cli.main(["enable", "-e", "logout,nosuch"]) == 1
    out, err = capsys.readouterr()
    assert out.splitlines()[0].startswith("logout ")
    assert err == "zelta-admin-events: Unknown event ID: nosuch\nzelta-admin-events: 1 unknown ID skipped\n"
    assert system.names("enable_event") == [("logout",)]
    assert commands == RESTARTS


@pytest.mark.parametrize("missing, argv, message", [
    ("zelta_events", ["show-all-groups"], "cannot load the events library: "),
    ("argcomplete", ["completion", "bash"], "shell completion needs the Python package argcomplete: "),
])
def test_missing_library_is_one_line(tmp_path, missing, argv, message):
    code = (f"import sys; sys.modules[{missing!r}] = None\n"
            f"from zelta_admin_events import cli; sys.exit(cli.main({argv!r}))")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.startswith("zelta-admin-events: error: " + message)
    assert done.stderr.count("\n") == 1


@pytest.mark.without_module
def test_completion_without_a_script_for_the_shell_fails(monkeypatch, capsys):
    argcomplete = pytest.importorskip("argcomplete")
    monkeypatch.setattr(argcomplete, "shellcode", lambda *args, **kwargs: "")  # as argcomplete 2 for zsh
    assert cli.main(["completion", "zsh"]) == 1
    assert capsys.readouterr() == ("", "zelta-admin-events: error: the installed argcomplete writes no completion "
                                       "script for zsh (argcomplete 3 or newer does)\n")


@pytest.mark.without_module
def test_module_entry_point_shows_help(tmp_path):
    done = subprocess.run([sys.executable, "-m", "zelta_admin_events", "--help"], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.returncode == 0 and "show-all-groups" in done.stdout


# ---- --root -----------------------------------------------------------------------------

@pytest.mark.parametrize("via_environment", [False, True])
def test_root_points_module_and_library_below_dir_and_skips_restart(system, module, tree, monkeypatch, commands,
                                                                   capsys, via_environment):
    seen_root = []
    real = sys.modules["zelta_events"].enable_event

    def enable_event(event_id):
        seen_root.append(os.environ.get("ZELTA_EVENTS_ROOT"))
        real(event_id)

    monkeypatch.setattr(sys.modules["zelta_events"], "enable_event", enable_event)
    # The class's own paths are the host's: only the subclass made for --root can work.
    for name, default in DEFAULTS.items():
        monkeypatch.setattr(module.ZeltaAdminEvents, name, pathlib.Path(default))
    if via_environment:
        monkeypatch.setenv("ZELTA_ADMIN_EVENTS_ROOT", str(tree.root))
    assert cli.main(([] if via_environment else ["--root", str(tree.root)]) + ["enable", "-g", "auth"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == f"Restart of syslog-ng and auditd skipped: --root {tree.root} is in use."
    assert seen_root == [str(tree.root)]
    assert "ZELTA_EVENTS_ROOT" not in os.environ
    assert commands == []


def test_root_variable_that_is_no_directory_is_a_usage_error(system, tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("ZELTA_ADMIN_EVENTS_ROOT", str(tmp_path / "missing"))
    assert cli.main(["show-all-groups"]) == 2
    assert f"ZELTA_ADMIN_EVENTS_ROOT: {tmp_path / 'missing'}: not a directory" in capsys.readouterr().err


def test_root_without_a_change_says_nothing_of_restart(system, tree, commands, capsys):
    assert cli.main(["enable", "-e", "login", "--root", str(tree.root)]) == 0
    assert "skipped" not in capsys.readouterr().out
    assert commands == []


# ---- data: --json and --dry-run -------------------------------------------------------

@pytest.mark.parametrize("argv, document", [
    (["show-groups", "-g", "auth,nope"],
     {"groups": [{"id": "auth", "name": "Authentication", "events": [
         {"id": "login", "name": "Event login", "enabled": True},
         {"id": "logout", "name": "Event logout", "enabled": False}]}],
      "events": []}),
    (["show-all-groups"], {"groups": ["auth", "fs"], "events": []}),
    (["show-event", "-e", "login,nope"],
     {"events": [{"id": "login", "name": "Event login", "group": "auth", "enabled": True, "settings": {}}]}),
    (["show-groups", "-g", "nope"], {"groups": [], "events": []}),
])
def test_json_listings(system, pager, commands, capsys, argv, document):
    status = 1 if any("nope" in word for word in argv) else 0
    assert cli.main(argv + ["--json"]) == status
    out, err = capsys.readouterr()
    shown = json.loads(out)
    if argv == ["show-all-groups"]:
        shown["groups"] = [group["id"] for group in shown["groups"]]
    assert shown == document
    assert pager == [] and "\x1b" not in out
    assert ("Unknown" in err and err.endswith("1 unknown ID skipped\n")) if status else err == ""


@pytest.mark.parametrize("argv, lines", [
    (["enable", "-e", "logout,login"], ["logout\tenabled: false -> true"]),
    (["disable", "-g", "auth"], ["login\tenabled: true -> false"]),
    (["set-priority", "info", "-e", "login"], ['login\tmessage-syslog-priority: null -> "info"']),
    (["set-properties", "audit", "paths", '"x"', "-e", "login"], ['login\taudit/paths: null -> "x"']),
    (["enable", "-e", "login"], ["Nothing to change."]),
])
@pytest.mark.parametrize("as_json", [False, True])
def test_dry_run_changes_nothing(system, tree, commands, capsys, argv, lines, as_json):
    before = snapshot(tree.root)
    assert cli.main(argv + ["--dry-run"] + (["--json"] if as_json else [])) == 0
    out = capsys.readouterr().out
    if as_json:
        assert json.loads(out)["changed"] is (lines != ["Nothing to change."])
    else:
        assert out.splitlines() == lines
    assert snapshot(tree.root) == before and commands == []
    assert not {"set_event_param", "enable_event", "disable_event"} & {c[0] for c in system.calls}


def test_change_with_json_prints_what_was_done(system, commands, capsys):
    assert cli.main(["enable", "-e", "logout", "--json"]) == 0
    out, err = capsys.readouterr()
    assert json.loads(out) == {"changed": True, "error": None, "failed_units": [], "restarted": True, "changes": [
        {"event": "logout", "section": "", "parameter": "enabled", "before": False, "after": True}]}
    assert err.startswith("logout ")  # the operation's own lines, out of the document's way
    assert system.names("enable_event") == [("logout",)] and commands == RESTARTS


@pytest.mark.parametrize("dry_run", [False, True])
def test_skipped_archive_members_are_diagnostics(system, operations, commands, capsys, dry_run):
    skipped = [{"member": "backup/etc/x", "type": "symbolic link"}]
    change = {"file": "/x", "action": "create", "type": "file", "before_sha256": None, "after_sha256": "0",
              "before_text": None, "after_text": ""}
    operations("import_config", sets_flag=True, prints="Unsupported file type: b'2'")  # reported from the plan
    operations("plan_import_config", returns=[{"changed": True, "changes": [change], "error": None,
                                               "skipped": skipped}, {"changed": False, "changes": [], "error": None}])
    assert cli.main(["import", "in.tar.gz"] + (["--dry-run"] if dry_run else [])) == 0
    out, err = capsys.readouterr()
    assert err == "zelta-admin-events: skipped symbolic link backup/etc/x\n"
    assert out == ("create /x\n" if dry_run else "Configuration imported\n")


def test_import_takes_its_outcome_from_the_module_when_it_returns_one(system, operations, commands, capsys):
    change = {"file": "/x", "action": "create", "type": "file", "before_sha256": None, "after_sha256": "0"}
    plan = {"changed": True, "changes": [change], "error": None, "skipped": []}
    operations("plan_import_config", returns=plan)  # the archive read once, for the plan
    operations("import_config_archive", sets_flag=True, returns=dict(plan, skipped=[
        {"member": "T/etc/y", "type": "symbolic link"}]))
    operations("import_config")
    assert cli.main(["import", "in.tar.gz", "--json"]) == 0
    out, err = capsys.readouterr()
    assert [name for name, _, _ in operations.seen] == ["plan_import_config", "import_config_archive"]
    assert json.loads(out)["skipped"] == [{"member": "T/etc/y", "type": "symbolic link"}]
    assert err == "zelta-admin-events: skipped symbolic link T/etc/y\n" and commands == RESTARTS


def test_show_event_names_each_event_once(system, pager, capsys):
    assert cli.main(["show-event", "-e", " login , login", "--json"]) == 0
    assert [event["id"] for event in json.loads(capsys.readouterr().out)["events"]] == ["login"]


def test_import_dry_run_shows_a_diff_and_the_real_import_is_checked(system, tree, capsys, commands, tmp_path):
    import io
    import tarfile

    (tree.root / "etc").mkdir(parents=True, exist_ok=True)
    tree.current_config.write_text("{\n  \"a\": 1\n}\n")
    archive = tmp_path / "in.tar.gz"
    with tarfile.open(archive, "w:gz") as tar:
        content = b"{\n  \"a\": 2\n}\n"
        info = tarfile.TarInfo("T/etc/zelta-syslog.conf")
        info.size = len(content)
        tar.addfile(info, io.BytesIO(content))
    assert cli.main(["--root", str(tree.root), "import", str(archive), "--dry-run"]) == 0
    path = f"{tree.root}/etc/zelta-syslog.conf"
    diff = [f"--- {path}", f"+++ {path}", "@@ -1,3 +1,3 @@", " {", '-  "a": 1', '+  "a": 2', " }"]
    assert capsys.readouterr().out.splitlines() == [f"replace {path}"] + diff
    # The same diff in the JSON plan, whatever the language of the text plan.
    assert cli.main(["--root", str(tree.root), "import", str(archive), "--dry-run", "--json"]) == 0
    (change,) = json.loads(capsys.readouterr().out)["changes"]
    assert change["diff"].split("\n") == diff and "before_text" not in change
    assert cli.main(["--root", str(tree.root), "import", str(archive)]) == 0
    assert tree.current_config.read_bytes() == content


def test_done_when_on_the_sample(sample):
    def run(*argv):
        done = subprocess.run([FRONT_END, "--root", str(sample), *argv], capture_output=True, text=True,
                              env=dict(os.environ, PATH="/nonexistent"))
        assert done.returncode == 0, done.stderr
        return done.stdout

    states = {e["id"]: int(e["enabled"]) for e in json.loads(run("show-groups", "-g", "network", "--json"))
              ["groups"][0]["events"]}
    listed = {line.split()[0]: int(line.split()[1]) for line in run("show-groups", "-g", "network").splitlines()[1:]}
    assert states == listed and states["connection-opened"] == 0
    before = snapshot(sample)
    assert run("enable", "-e", "connection-opened", "--dry-run") == "connection-opened\tenabled: false -> true\n"
    assert snapshot(sample) == before
    run("enable", "-e", "connection-opened")
    assert json.loads(run("enable", "-e", "connection-opened", "--dry-run", "--json"))["changed"] is False


# ---- inert and strict output ----------------------------------------------------------

HOSTILE = "Auth\x1b]0;owned\x07 \x9b2J\x7f\udc80 é"


@pytest.mark.parametrize("flags, first", [
    (["--color=always"], f"Auth\\x1b]0;owned\\x07 \\x9b2J\\x7f\\udc80 é {GREY}auth{END}"),
    ([], "Auth\\x1b]0;owned\\x07 \\x9b2J\\x7f\\udc80 é auth"),
])
def test_text_output_shows_control_characters_of_data_as_escapes(system, flags, first, capsys):
    system.groups["auth"]["name_en"] = HOSTILE
    assert cli.main(["show-groups", "-g", "auth", "--no-pager"] + flags) == 0
    assert capsys.readouterr().out.splitlines()[0] == first


def test_json_is_strict_utf8(system, capsysbinary):
    system.groups["auth"]["name_en"] = HOSTILE
    assert cli.main(["show-groups", "-g", "auth", "--json"]) == 0
    out = capsysbinary.readouterr().out.decode("utf-8")  # no lone surrogate can be encoded
    assert '"name": "Auth\\u001b]0;owned\\u0007 \\u009b2J\\u007f\\udc80 é"' in out
    assert json.loads(out)["groups"][0]["name"] == HOSTILE


def test_json_refuses_what_json_cannot_hold(system, tree, capsys):
    tree.group("auth", ["login"], settings={"limit": float("nan")})
    assert cli.main(["show-event", "-e", "login", "--json"]) == 1
    assert capsys.readouterr() == ("", "zelta-admin-events: error: the document holds a number that JSON cannot "
                                       "represent (NaN or infinity)\n")


def test_import_diff_shows_escapes(system, tree, capsys, tmp_path):
    import io
    import tarfile

    archive = tmp_path / "in.tar.gz"
    (tree.root / "etc/syslog-ng/conf.d").mkdir(parents=True)
    with tarfile.open(archive, "w:gz") as tar:
        for name, content in (("etc/zelta-syslog.conf", b"{}\n"),
                              ("etc/syslog-ng/conf.d/mod-zelta.conf", b'program("/bin/sh -c id");\x1b[2K\r\n')):
            info = tarfile.TarInfo("T/" + name)
            info.size = len(content)
            tar.addfile(info, io.BytesIO(content))
    assert cli.main(["import", str(archive), "--dry-run"]) == 0
    assert '+program("/bin/sh -c id");\\x1b[2K\\x0d' in capsys.readouterr().out.splitlines()


@pytest.fixture
def accented(sample):
    catalogue = sample / "usr/share/syslog-ng-mod-zelta/events-catalogue.json"
    data = json.loads(catalogue.read_text())
    next(e for e in data["events"] if e["id"] == "connection-opened")["name_en"] = "Connexion réseau ✓"
    catalogue.write_text(json.dumps(data))
    return sample


@pytest.mark.parametrize("redirect, status, err", [
    ("", 0, ""),
    (">&-", 1, "zelta-admin-events: the change was made, but its report could not be written: "
               "standard output is closed\n"),
    (">/dev/full", 1, "zelta-admin-events: the change was made, but its report could not be written: "
                      "No space left on device\n"),
])
def test_change_is_made_whatever_becomes_of_its_report(accented, tmp_path, redirect, status, err):
    if redirect == ">/dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    env = dict(os.environ, PYTHONIOENCODING="ascii", LANGUAGE="C", PATH="/nonexistent")
    done = subprocess.run(["/bin/sh", "-c", f'"$0" --root "$1" enable -e connection-opened {redirect}', FRONT_END, accented],
                          env=env, capture_output=True, cwd=tmp_path)
    assert (done.returncode, done.stderr.decode()) == (status, err)
    if not redirect:  # what the encoding lacks is escaped, and the rest of the report follows
        assert b"connection-opened          1 Connexion r\\xe9seau \\u2713\n" in done.stdout
    listed = subprocess.run([FRONT_END, "--root", accented, "show-groups", "-g", "network", "--json"], env=env,
                            capture_output=True, cwd=tmp_path)
    assert "Connexion réseau ✓" in listed.stdout.decode("utf-8")  # UTF-8 whatever the encoding asked for
    assert json.loads(listed.stdout)["groups"][0]["events"][0] == {
        "id": "connection-opened", "name": "Connexion réseau ✓", "enabled": True}
    # An archive written is a change made as well.
    done = subprocess.run(["/bin/sh", "-c", f'"$0" --root "$1" export out.tar.gz {redirect}', FRONT_END, accented],
                          env=env, capture_output=True, cwd=tmp_path)
    assert (done.returncode, done.stderr.decode()) == (status, err) and (tmp_path / "out.tar.gz").exists()


# ---- pager and colour ---------------------------------------------------------------

@pytest.fixture
def terminal(monkeypatch, tmp_path):
    """Standard output taken for a terminal, with fake pagers "less" and
    "more" on a PATH that holds nothing else; each records what it got."""
    monkeypatch.setattr(cli, "_is_terminal", lambda stream: True)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name in ("less", "more"):
        script = bin_dir / name
        script.write_text(f'#!/bin/sh\nprintf "%s|%s|%s|" "{name} $*" "$LESS" "$LESSSECURE" > "{tmp_path}/paged"\n'
                          f'exec /bin/cat >> "{tmp_path}/paged"\n')
        script.chmod(0o755)
    monkeypatch.setenv("PATH", str(bin_dir))
    monkeypatch.delenv("PAGER", raising=False)
    monkeypatch.delenv("TERM", raising=False)
    paged = tmp_path / "paged"
    return lambda: paged.read_text() if paged.exists() else None


LISTING = f"Authentication {GREY}auth{END}\nlogin{' ' * 10}1 {GREY}Event login{END}\n"


@pytest.mark.parametrize("env, flags, paged", [
    ({}, [], f"less -R|FRX||{LISTING}"),
    ({"LESS": "-S", "SUDO_UID": "1000"}, [], f"less -R|-S|1|{LISTING}"),
    ({"PAGER": "more -d"}, [], f"more -d|FRX||{LISTING}"),
    ({"PAGER": ""}, [], None),
    ({"PAGER": "cat"}, [], None),
    ({"PAGER": "no-such-pager"}, [], None),  # cannot start: printed directly
    ({}, ["--no-pager"], None),
])
def test_pager_on_a_terminal(system, terminal, monkeypatch, capsys, env, flags, paged):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    system.events.pop("logout")
    assert cli.main(["show-groups", "-g", "auth"] + flags) == 0
    assert terminal() == paged
    assert capsys.readouterr().out == ("" if paged else LISTING)
    assert os.environ.get("LESS") == env.get("LESS")  # put back afterwards


def test_ctrl_c_in_the_pager_ends_the_command_after_it(system, terminal, monkeypatch):
    import io

    class Pager:
        def __init__(self, *args, **kwargs):
            self.stdin, self.waits = io.StringIO(), 0

        def wait(self):
            self.waits += 1
            if self.waits == 1:
                raise KeyboardInterrupt

    monkeypatch.setattr(subprocess, "Popen", Pager)
    assert cli.main(["show-all-groups"]) == 130


def test_pager_missing_from_path_prints_the_listing(system, terminal, monkeypatch, capsys):
    monkeypatch.setenv("PATH", "/nonexistent")
    assert cli.main(["show-all-groups"]) == 0
    assert capsys.readouterr().out.startswith(f"Authentication {GREY}auth{END}\n")


def test_listing_in_a_pipe_is_printed_without_pydoc(sample, tmp_path):
    # What an administrator's "show-all-groups | grep" runs: no pager, no
    # escapes, and pydoc (with its own imports) never loaded.
    script = ("import sys\nfrom zelta_admin_events import cli\n"
              f"code = cli.main(['--root', {str(sample)!r}, 'show-all-groups'])\n"
              "assert 'pydoc' not in sys.modules, 'pydoc imported'\nsys.exit(code)\n")
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True,
                          env=dict(os.environ, PATH="/nonexistent", TERM="xterm"))
    assert done.returncode == 0, done.stderr
    assert "\x1b" not in done.stdout and "Network activity network\n" in done.stdout


@pytest.mark.parametrize("is_terminal, env, flags, coloured", [
    (False, {}, [], False),
    (False, {}, ["--color=always"], True),
    (True, {}, [], True),
    (True, {"TERM": "dumb"}, [], False),
    (True, {"NO_COLOR": ""}, [], True),
    (True, {"NO_COLOR": "1"}, [], False),
    (True, {"NO_COLOR": "1"}, ["--color", "always"], True),
    (True, {}, ["--no-color"], False),
    (True, {}, ["--color=never"], False),
    (True, {}, ["--color=always", "--no-color"], False),  # the last one given counts
])
def test_colour(system, module, monkeypatch, capsys, is_terminal, env, flags, coloured):
    monkeypatch.setattr(cli, "_is_terminal", lambda stream: is_terminal)
    monkeypatch.delenv("TERM", raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    original = module.Color
    assert cli.main(["show-groups", "-g", "auth", "--no-pager"] + flags) == 0
    first = capsys.readouterr().out.splitlines()[0]
    assert first == (f"Authentication {GREY}auth{END}" if coloured else "Authentication auth")
    assert module.Color is original


# ---- messages in Russian ---------------------------------------------------------------

@pytest.fixture
def russian(monkeypatch):
    import gettext

    monkeypatch.setenv("LANGUAGE", "ru")
    if gettext.find(cli.DOMAIN, cli._localedir()) is None:
        pytest.skip("no Russian catalogue installed (built without msgfmt)")


def test_module_and_front_end_speak_russian(system, russian, commands, capsys):
    import gettext

    assert cli.main(["enable", "-e", "logout,nosuch"]) == 1
    err = capsys.readouterr().err
    # The module's line comes from the same catalogue as the front end's own.
    assert err == ("zelta-admin-events: Неизвестный идентификатор события: nosuch\n"
                   "zelta-admin-events: пропущен 1 неизвестный идентификатор\n")
    assert gettext.bindtextdomain(cli.DOMAIN) == cli.SYSTEM_LOCALEDIR  # put back afterwards


@pytest.mark.parametrize("argv, stream, text", [
    (["enable"], "err", "zelta-admin-events: ошибка: enable: укажите хотя бы одно событие"),
    (["--help"], "out", "Управление событиями, которые регистрирует модуль zelta для syslog-ng."),
    (["disable", "--help"], "out", "Отключить указанные события и все события указанных групп."),
    (["enable", "-g", "auth", "--root", "{root}"], "out",
     "Перезапуск служб syslog-ng и auditd не выполнялся: задан параметр --root {root}."),
    # argparse's own words as well.
    (["frobnicate"], "err", "zelta-admin-events: ошибка: аргумент COMMAND: недопустимое значение: 'frobnicate'"),
    (["show-all-groups", "--help"], "out", "использование: zelta-admin-events show-all-groups [-h]"),
    (["show-all-groups", "--help"], "out", "параметры:\n  -h, --help"),
    (["show-all-groups", "--help"], "out", "показать эту справку и выйти"),
    (["export"], "err", "требуются следующие аргументы: FILE"),
])
def test_front_end_messages_in_russian(system, russian, module, tree, monkeypatch, commands, capsys,
                                      argv, stream, text):
    if "--root" in argv:
        for name, default in DEFAULTS.items():
            monkeypatch.setattr(module.ZeltaAdminEvents, name, pathlib.Path(default))
    argv = [arg.format(root=tree.root) for arg in argv]
    cli.main(argv)
    assert text.format(root=tree.root) in getattr(capsys.readouterr(), stream)


@pytest.mark.without_module
@pytest.mark.parametrize("count, text", [
    (1, "пропущен 1 неизвестный идентификатор"),
    (3, "пропущено 3 неизвестных идентификатора"),
    (5, "пропущено 5 неизвестных идентификаторов"),
    (11, "пропущено 11 неизвестных идентификаторов"),
    (22, "пропущено 22 неизвестных идентификатора"),
])
def test_russian_plural_forms(russian, count, text):
    assert cli.ngettext("{count} unknown ID skipped", "{count} unknown IDs skipped",
                        count).format(count=count) == text


# ---- help examples and completion on the sample system --------------------------------

SAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "sample-system"
FRONT_END = pathlib.Path(sys.executable).with_name("zelta-admin-events")


@pytest.fixture
def sample(tmp_path):
    root = tmp_path / "sample"
    shutil.copytree(SAMPLE, root, symlinks=True)
    return root


def _help_examples(capsys):
    examples = []
    for argv in [["--help"]] + [[name, "--help"] for name in cli.COMMANDS]:
        cli.main(argv)
        for line in capsys.readouterr().out.splitlines():
            if line.startswith("  zelta-admin-events ") and line.strip() not in examples:
                examples.append(line.strip())
    return examples


def test_every_help_example_runs_on_the_sample(sample, tmp_path, capsys):
    examples = _help_examples(capsys)
    assert len(examples) >= len(cli.COMMANDS) + 2  # set-properties shows one example per kind of VALUE
    env = dict(os.environ, LANGUAGE="C")
    for example in examples:  # in order: the export comes before the import of its archive
        argv = shlex.split(example)
        root = ["--root", sample] if "root" in cli.COMMANDS[argv[1]].options else []
        done = subprocess.run([FRONT_END, *root] + argv[1:], cwd=tmp_path, env=env,
                              capture_output=True, text=True)
        assert (done.returncode, done.stderr) == (0, ""), example


def test_bash_completes_ids_of_the_system_in_use(sample, tmp_path):
    if shutil.which("bash") is None:
        pytest.skip("bash is not installed")
    script = tmp_path / "completion.bash"
    done = subprocess.run([FRONT_END, "completion", "bash"], capture_output=True, text=True, check=True)
    script.write_text(done.stdout)

    def complete(line):
        words = line.split(" ")
        test = (f'source {script}\n'
                f'COMP_LINE="{line}"; COMP_POINT=${{#COMP_LINE}}; COMP_TYPE=9\n'
                f'COMP_WORDS=({" ".join(shlex.quote(w) for w in words)}); COMP_CWORD={len(words) - 1}\n'
                f'_python_argcomplete zelta-admin-events {shlex.quote(words[-1])} {shlex.quote(words[-2])}\n'
                'printf "%s\\n" "${COMPREPLY[@]}"\n')
        env = dict(os.environ, PATH=f"{FRONT_END.parent}:{os.environ['PATH']}")
        env.pop("ZELTA_EVENTS_ROOT", None)
        result = subprocess.run(["bash", "--norc", "--noprofile", "-c", test], env=env, capture_output=True,
                                text=True, cwd=tmp_path)
        return sorted(result.stdout.split())

    groups = ["devices", "filesystem", "network", "privileges", "sessions"]
    assert complete(f"zelta-admin-events --root {sample} enable -g ") == groups
    assert complete(f"zelta-admin-events enable --root {sample} -g network,s") == ["network,sessions"]
    assert complete(f"zelta-admin-events --root {sample} show-event -e file-o") == ["file-opened"]
    assert "set-facility" in complete("zelta-admin-events set-")
    assert "--no-pager" in complete("zelta-admin-events show-all-groups --no-")
    assert complete("zelta-admin-events set-priority w") == ["warn", "warning"]
    assert complete("zelta-admin-events set-facility -e user-login local") == [f"local{n}" for n in range(8)]


@pytest.mark.without_module
@pytest.mark.parametrize("shell, marker", [("bash", "complete -o nospace"), ("zsh", "#compdef zelta-admin-events")])
def test_completion_script_is_self_contained(shell, marker, capsys):
    assert cli.main(["completion", shell]) == 0
    out = capsys.readouterr().out
    assert marker in out and "zelta-admin-events" in out
    assert "register-python-argcomplete" not in out  # needs nothing but the program itself
