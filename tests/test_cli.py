"""The command-line front end, run in-process against the fake library."""

import os
import pathlib
import subprocess
import sys

import pytest

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
    seen = []

    def replace(name, sets_flag=False, classlevel=False, prints=None):
        def operation(self, *args):
            seen.append((name, self, args))
            if sets_flag:
                self._ZeltaAdminEvents__need_daemon_restart = True
            if prints:
                print(prints)

        monkeypatch.setattr(module.ZeltaAdminEvents, name,
                            classmethod(operation) if classlevel else operation, raising=False)

    replace.seen = seen
    return replace


# ---- help and usage ---------------------------------------------------------------

@pytest.mark.parametrize("argv", [["--help"], ["-h"]] + [[name, "--help"] for name in cli.COMMANDS])
def test_help_exits_zero_with_an_example(argv, capsys):
    assert cli.main(argv) == 0
    out = capsys.readouterr().out
    assert out.startswith("usage: zelta-admin-events")
    command = argv[0] if argv[0] in cli.COMMANDS else ""
    assert "example" in out and f"\n  zelta-admin-events {command}" in out


@pytest.mark.parametrize("argv, message", [
    ([], "required: COMMAND"),
    (["frobnicate"], "invalid choice"),
    (["enable"], "name at least one event with -e ID or group with -g ID"),
    (["show-groups", "-e", "login"], "name at least one group with -g ID"),
    (["show-event", "-g", "auth"], "name at least one event with -e ID"),
    (["set-properties", "s", "p", "-e", "login"], "required: VALUE"),
    (["set-facility", "-e", "login"], "required: VALUE"),
    (["export"], "required: FILE"),
    (["--root", "/nonexistent/zelta", "show-all-groups"], "not a directory"),
    (["enable", "-e"], "expected one argument"),
])
def test_usage_errors_exit_two(system, argv, message, capsys, commands):
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert "usage: zelta-admin-events" in err and message in err
    assert system.calls == [] and commands == []


# ---- dispatch ------------------------------------------------------------------------

def test_enable_then_restart(system, pager, commands, capsys):
    assert cli.main(["enable", "-e", "logout"]) == 0
    assert capsys.readouterr().out == f"logout{' ' * 10}1 {GREY}Event logout{END}\n"
    assert system.names("enable_event") == [("logout",)]
    assert commands == RESTARTS


def test_enable_of_enabled_event_restarts_nothing(system, commands, capsys):
    assert cli.main(["enable", "-e", "login"]) == 0
    assert commands == []


def test_ids_repeat_split_at_commas_and_go_before_or_after_command(system, commands, capsys):
    assert cli.main(["-e", "login", "disable", "-g", "fs,auth", "-e", ",logout,", "--debug"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert [l.split()[0] for l in out] == ["login", "logout", "fs", "auth"]
    assert sorted(system.names("disable_event")) == [("login",), ("modifying-file",)]
    assert commands == RESTARTS


@pytest.mark.parametrize("argv, name, args, restart", [
    (["show-groups", "-g", "auth"], "show_groups", (), False),
    (["show-all-groups"], "show_all_groups", (), False),
    (["show-event", "-e", "login"], "show_event", (), False),
    (["disable", "-e", "login"], "disable", (), True),
    (["set-facility", "local3", "-g", "fs"], "set_facility", ("local3",), True),
    (["set-priority", "warning", "-e", "login"], "set_priority", ("warning",), True),
    (["set-properties", "", "paths", '["/a b"]', "-e", "login"], "set_properties", ("", "paths", '["/a b"]'), True),
    (["import", "backup.tar.gz"], "import_config", ("backup.tar.gz",), True),
])
def test_each_command_calls_its_operation(system, operations, commands, argv, name, args, restart):
    operations(name, sets_flag=True)
    assert cli.main(argv) == 0
    assert [(n, a) for n, _, a in operations.seen] == [(name, args)]
    assert commands == (RESTARTS if restart else [])


def test_export_needs_no_object(system, module, operations, tree, commands, monkeypatch):
    for name, default in DEFAULTS.items():
        monkeypatch.setattr(module.ZeltaAdminEvents, name, pathlib.Path(default))
    operations("export_config", classlevel=True, prints="Configuration exported")
    assert cli.main(["--root", str(tree.root), "export", "out.tar.gz"]) == 0
    [(_, cls, args)] = operations.seen
    assert args == ("out.tar.gz",)
    assert issubclass(cls, module.ZeltaAdminEvents)
    for name, attribute in CONSTANTS.items():
        assert getattr(cls, name) == getattr(tree, attribute)
    assert system.calls == []  # nothing constructed
    assert commands == []


# ---- failures -------------------------------------------------------------------------

@pytest.mark.parametrize("argv, operation, classlevel, prints", [
    (["export", "out.tar.gz"], "export_config", True, "Error exporting configuration: disk full"),
    (["import", "in.tar.gz"], "import_config", False, "Error importing configuration: bad archive"),
    (["set-properties", "s", "p", "[1]", "-e", "login"], "set_properties", False, "Invalid path in VALUE: 1"),
])
def test_reported_failures_exit_one(system, operations, commands, capsys, argv, operation, classlevel, prints):
    operations(operation, classlevel=classlevel, prints=prints)
    assert cli.main(argv) == 1
    assert capsys.readouterr().out == prints + "\n"
    assert commands == []


@pytest.mark.parametrize("debug", [False, True])
def test_failing_operation_exits_one_with_one_line(system, monkeypatch, commands, capsys, debug):
    def broken(event_id):
        raise RuntimeError("catalogue unavailable")

    monkeypatch.setattr(sys.modules["zelta_events"], "is_event_enabled", broken)
    argv = ["enable", "-e", "login"] + (["--debug"] if debug else [])
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    last = "zelta-admin-events: error: RuntimeError: catalogue unavailable\n"
    if debug:
        assert err.startswith("Traceback") and err.endswith(last)
    else:
        assert err == last
    assert commands == []


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
    assert capsys.readouterr().err == "zelta-admin-events: error: OSError: disk full\n"


def test_unknown_id_is_reported_and_exit_is_one(system, commands, capsys):
    assert cli.main(["enable", "-e", "logout,nosuch"]) == 1
    out, err = capsys.readouterr()
    assert out.splitlines()[0] == "Unknown event ID: nosuch"
    assert err == "zelta-admin-events: 1 unknown ID skipped\n"
    assert system.names("enable_event") == [("logout",)]
    assert commands == RESTARTS


def test_missing_events_library_is_one_line(tmp_path):
    code = ("import sys; sys.modules['zelta_events'] = None\n"
            "from zelta_admin_events import cli; sys.exit(cli.main(['show-all-groups']))")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.startswith("zelta-admin-events: error: cannot load the events library: ")
    assert done.stderr.count("\n") == 1


def test_module_entry_point_shows_help(tmp_path):
    done = subprocess.run([sys.executable, "-m", "zelta_admin_events", "--help"], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.returncode == 0 and "show-all-groups" in done.stdout


# ---- --root -----------------------------------------------------------------------------

def test_root_points_module_and_library_below_dir_and_skips_restart(system, module, tree, monkeypatch, commands,
                                                                   capsys):
    seen_root = []
    real = sys.modules["zelta_events"].enable_event

    def enable_event(event_id):
        seen_root.append(os.environ.get("ZELTA_EVENTS_ROOT"))
        real(event_id)

    monkeypatch.setattr(sys.modules["zelta_events"], "enable_event", enable_event)
    # The class's own paths are the host's: only the subclass made for --root can work.
    for name, default in DEFAULTS.items():
        monkeypatch.setattr(module.ZeltaAdminEvents, name, pathlib.Path(default))
    assert cli.main(["--root", str(tree.root), "enable", "-g", "auth"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == f"Restart of syslog-ng and auditd skipped: --root {tree.root} is in use."
    assert seen_root == [str(tree.root)]
    assert "ZELTA_EVENTS_ROOT" not in os.environ
    assert commands == []


def test_root_without_a_change_says_nothing_of_restart(system, tree, commands, capsys):
    assert cli.main(["enable", "-e", "login", "--root", str(tree.root)]) == 0
    assert "skipped" not in capsys.readouterr().out
    assert commands == []


# ---- pager environment and colour -------------------------------------------------------

@pytest.mark.parametrize("env, expect_less, expect_secure", [
    ({}, "FRX", None),
    ({"LESS": "-S"}, "-S", None),
    ({"LESS": ""}, "", None),
    ({"SUDO_UID": "1000"}, "FRX", "1"),
])
def test_pager_environment(system, monkeypatch, env, expect_less, expect_secure):
    import pydoc

    seen = []
    monkeypatch.setattr(pydoc, "pipepager",
                        lambda text, cmd: seen.append((os.environ.get("LESS"), os.environ.get("LESSSECURE"))))
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert cli.main(["show-groups", "-g", "auth"]) == 0
    assert seen == [(expect_less, expect_secure)]
    assert os.environ.get("LESS") == env.get("LESS")  # put back afterwards


@pytest.mark.parametrize("no_color_env, flag, plain", [
    (None, [], False), ("", [], False), ("1", [], True), (None, ["--no-color"], True),
])
def test_colour_off(system, module, pager, monkeypatch, no_color_env, flag, plain):
    if no_color_env is not None:
        monkeypatch.setenv("NO_COLOR", no_color_env)
    original = module.Color
    assert cli.main(["show-groups", "-g", "auth"] + flag) == 0
    text = pager[0][0]
    assert ("\x1b[" not in text) is plain
    assert text.splitlines()[0] == ("Authentication auth" if plain else f"Authentication {GREY}auth{END}")
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
    out, err = capsys.readouterr()
    # The module's line comes from the same catalogue as the front end's own.
    assert out.splitlines()[0] == "Неизвестный идентификатор события: nosuch"
    assert err == "zelta-admin-events: пропущен 1 неизвестный идентификатор\n"
    assert gettext.bindtextdomain(cli.DOMAIN) == cli.SYSTEM_LOCALEDIR  # put back afterwards


@pytest.mark.parametrize("argv, stream, text", [
    (["enable"], "err", "zelta-admin-events: ошибка: enable: укажите хотя бы одно событие"),
    (["--help"], "out", "Управление событиями, которые регистрирует модуль zelta для syslog-ng."),
    (["disable", "--help"], "out", "Отключить указанные события и все события указанных групп."),
    (["enable", "-g", "auth", "--root", "{root}"], "out",
     "Перезапуск служб syslog-ng и auditd не выполнялся: задан параметр --root {root}."),
])
def test_front_end_messages_in_russian(system, russian, module, tree, monkeypatch, commands, capsys,
                                      argv, stream, text):
    if "--root" in argv:
        for name, default in DEFAULTS.items():
            monkeypatch.setattr(module.ZeltaAdminEvents, name, pathlib.Path(default))
    argv = [arg.format(root=tree.root) for arg in argv]
    cli.main(argv)
    assert text.format(root=tree.root) in getattr(capsys.readouterr(), stream)


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
