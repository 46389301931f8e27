"""The manual page: well-formed roff, and in step with the front end's
commands and options."""

import pathlib
import re
import shutil

import pytest

from conftest import run_tool
from zelta_admin_events import cli

PAGE = pathlib.Path(__file__).resolve().parents[1] / "man" / "zelta-admin-events.8"


@pytest.fixture(scope="module")
def rendered():
    """The page as text, one paragraph a line, split into its sections."""
    if shutil.which("groff") is None:
        pytest.skip("groff is not installed")
    done = run_tool(["groff", "-man", "-Tutf8", "-ww", "-rLL=1000n", "-P-cbou", PAGE])
    assert done.returncode == 0
    assert done.stderr == ""  # no warning of any kind
    text = done.stdout.replace("\u2010", "-").replace("\u2212", "-")
    sections, name = {}, None
    for line in text.splitlines():
        if re.fullmatch(r"[A-Z][A-Z ]+", line):
            name = line
            sections[name] = []
        elif name:
            sections[name].append(line.strip())
    return sections


@pytest.mark.without_module
def test_page_has_the_sections_an_administrator_looks_for(rendered):
    assert list(rendered) == ["NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS", "EXIT STATUS",
                              "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"]


@pytest.mark.without_module
def test_every_command_is_described(rendered):
    described = {line.split()[0] for line in rendered["COMMANDS"] if line}
    assert set(cli.COMMANDS) <= described
    synopsis = " ".join(rendered["SYNOPSIS"])
    assert all(name in synopsis for name in cli.COMMANDS)


@pytest.mark.without_module
def test_every_option_is_described(rendered):
    parser = cli.build_parser()
    options = {s for action in parser._actions for s in action.option_strings}
    options |= {s for sub in parser.commands.values() for action in sub._actions for s in action.option_strings}
    described = " ".join(rendered["OPTIONS"])
    assert {option for option in options if option not in described} == set()


@pytest.mark.without_module
@pytest.mark.parametrize("section, names", [
    ("ENVIRONMENT", ["LESS", "LESSSECURE", "NO_COLOR", "PAGER", "TERM", "SUDO_UID", "ZELTA_EVENTS_ROOT", "LANGUAGE"]),
    ("FILES", ["/usr/share/syslog-ng-mod-zelta/event-settings", "/etc/zelta-syslog.conf",
               "/etc/wex-admin-events/eventsdictionary.json", "/etc/audit/rules.d/zelta-syslog.rules",
               "/etc/logrotate.d/syslog-ng-mod-zelta", "/etc/syslog-ng/conf.d/mod-zelta",
               "/root/.config/zelta-event-watcher.notifyrc", ".tar.gz"]),
])
def test_section_names(rendered, section, names):
    text = " ".join(rendered[section])
    assert [name for name in names if name not in text] == []


def test_module_paths_in_files_are_the_class_constants(rendered, module):
    files = " ".join(rendered["FILES"])
    for name in cli.ROOT_CONSTANTS:
        assert str(getattr(module.ZeltaAdminEvents, name)) in files


@pytest.mark.without_module
def test_man_formats_the_page_without_warnings(tmp_path):
    if shutil.which("man") is None:
        pytest.skip("man is not installed")
    done = run_tool(["man", "--warnings", "-l", PAGE],
                    env={"PATH": "/usr/bin:/bin", "MANPAGER": "cat", "MANWIDTH": "80", "HOME": str(tmp_path)})
    assert done.returncode == 0 and done.stderr == ""
    assert "zelta-admin-events" in done.stdout


@pytest.mark.without_module
def test_page_names_the_version_of_the_project():
    import tomllib

    version = tomllib.loads((PAGE.parents[1] / "pyproject.toml").read_text())["project"]["version"]
    title = next(line for line in PAGE.read_text().splitlines() if line.startswith(".TH "))
    assert f'"zelta-admin-events {version}"' in title
