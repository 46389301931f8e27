"""The Debian packages built from debian/ by scripts/build-deb: lintian's
verdict, their control fields and files, and the command run from a
throwaway root that the packages are unpacked into."""

import gettext
import gzip
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tomllib

import pytest

from conftest import run_tool

REPO = pathlib.Path(__file__).resolve().parents[1]
SYSTEM_PYTHON = "/usr/bin/python3"
DIST = "usr/lib/python3/dist-packages/"
ADMIN, STANDIN = "python3-zelta-admin-events", "python3-zelta-events-standin"
DBGSYM = ADMIN + "-dbgsym"
COCKPIT = "cockpit-zelta-admin-events"


def _version(pyproject):
    return tomllib.loads(pyproject.read_text())["project"]["version"]


VERSION = _version(REPO / "pyproject.toml")


def _git_status():
    return run_tool(["git", "-C", REPO, "status", "--porcelain", "--ignored"]).stdout


def _built(directory):
    """The packages scripts/build-deb put into directory, listed in its
    build-deb.sources: {} when built from other sources than the checkout's."""
    record = directory / "build-deb.sources"
    if not record.is_file():
        return {}
    digest, *names = record.read_text().split()
    current = run_tool([REPO / "scripts" / "build-deb", "--sources-digest"], check=True).stdout.strip()
    debs = [directory / name for name in names]
    if digest != current or not all(deb.is_file() for deb in debs):
        return {}
    return {deb.name.split("_")[0]: deb for deb in debs}


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """{package name: .deb path}: those in dist/ when built from the sources
    as they are (CI builds them first), else built into a scratch directory."""
    built = _built(REPO / "dist")
    if built:
        # Packages and their record, nothing else of the build.
        assert {p.name for p in (REPO / "dist").iterdir() if p.suffix != ".deb"} == {"build-deb.sources"}
        return built
    if shutil.which("dpkg-buildpackage") is None:
        pytest.skip("dpkg-buildpackage is not installed")
    unmet = run_tool(["dpkg-checkbuilddeps"], cwd=REPO)
    if unmet.returncode != 0:
        pytest.skip(unmet.stderr.strip())  # scripts/build-deb would install them
    out = tmp_path_factory.mktemp("debs")
    status = _git_status()
    done = run_tool([REPO / "scripts" / "build-deb", out], env=dict(os.environ, TMPDIR=str(out)))
    assert done.returncode == 0, done.stderr
    debs = [pathlib.Path(line) for line in done.stdout.splitlines()]
    # Only the packages and their record are left, and the checkout is as it was.
    assert sorted(out.iterdir()) == sorted(debs + [out / "build-deb.sources"])
    assert _git_status() == status
    assert _built(out) == {deb.name.split("_")[0]: deb for deb in debs}
    return _built(out)


@pytest.fixture(scope="module")
def host(packages, tmp_path_factory):
    """A throwaway root with the module and stand-in packages unpacked."""
    root = tmp_path_factory.mktemp("root")
    for name in (ADMIN, STANDIN):
        run_tool(["dpkg-deb", "-x", packages[name], root], check=True)
    return root


def _field(deb, name):
    return run_tool(["dpkg-deb", "-f", deb, name], check=True).stdout.strip()


def _files(deb):
    """{path: mode string} of the files and links, all of them root's."""
    entries = [line.split(maxsplit=5) for line in run_tool(["dpkg-deb", "-c", deb], check=True).stdout.splitlines()]
    assert {owner for _, owner, *_ in entries} == {"root/root"}
    return {path.removeprefix("./").split(" -> ")[0]: mode for mode, _, _, _, _, path in entries
            if not mode.startswith("d")}


@pytest.mark.without_module
def test_debian_version_is_the_projects():
    top = (REPO / "debian" / "changelog").read_text().splitlines()[0]
    assert re.match(r"zelta-admin-events \((?P<v>[^)]+)\) ", top)["v"] == VERSION
    assert _version(REPO / "events-standin" / "pyproject.toml") == VERSION  # one source version for both


@pytest.mark.without_module
def test_lintian_reports_nothing(packages):
    if shutil.which("lintian") is None:
        pytest.skip("lintian is not installed")
    done = run_tool(["lintian", "--fail-on", "error,warning", *packages.values()])
    assert (done.returncode, done.stdout) == (0, "")


@pytest.mark.without_module
def test_package_names_and_fields(packages):
    arch = run_tool(["dpkg", "--print-architecture"], check=True).stdout.strip()
    assert {name: deb.name for name, deb in packages.items()} == {
        ADMIN: f"{ADMIN}_{VERSION}_{arch}.deb",
        DBGSYM: f"{DBGSYM}_{VERSION}_{arch}.deb",
        STANDIN: f"{STANDIN}_{VERSION}_all.deb",
        COCKPIT: f"{COCKPIT}_{VERSION}_all.deb",
    }
    fields = ("Section", "Provides", "Conflicts")
    assert [_field(packages[ADMIN], f) for f in fields] == ["admin", "", ""]
    assert [_field(packages[STANDIN], f) for f in fields] == ["python", "python3-zelta-events", "python3-zelta-events"]


@pytest.mark.without_module
def test_module_package_depends_on_its_python_version_libraries_and_pager(packages):
    minor = run_tool([SYSTEM_PYTHON, "-c", "import sys; print(sys.version_info[1])"], check=True).stdout.strip()
    depends = {d.strip() for d in _field(packages[ADMIN], "Depends").split(",")}
    assert {"less", "python3-argcomplete", "python3-zelta-events",
            f"python3 (>= 3.{minor}~)", f"python3 (<< 3.{int(minor) + 1})"} <= depends
    names = {d.split()[0] for d in depends}
    assert "libc6" in names and "libstdc++6" not in names  # the C++ runtime is linked into the module


@pytest.mark.without_module
def test_package_files(packages):
    suffix = run_tool([SYSTEM_PYTHON, "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
                      check=True).stdout.strip()
    package = DIST + "zelta_admin_events/"
    files = _files(packages[ADMIN])
    assert set(files) == {
        "usr/bin/zelta-admin-events",
        *(package + name for name in ("__init__.py", "__main__.py", "cli.py", "frontend.py", "trail.py",
                                      "_version.py", "admin_events.pyi", "py.typed", f"admin_events{suffix}")),
        "usr/share/bash-completion/completions/zelta-admin-events",
        "usr/share/locale/ru/LC_MESSAGES/zelta_admin_events.mo",
        "usr/share/man/man8/zelta-admin-events.8.gz",
        "usr/share/lintian/overrides/python3-zelta-admin-events",
        *(f"usr/share/doc/{ADMIN}/{name}" for name in ("changelog.gz", "copyright")),
    }
    assert files["usr/bin/zelta-admin-events"] == "-rwxr-xr-x"
    assert files[package + f"admin_events{suffix}"] == "-rw-r--r--"
    assert {path for path in _files(packages[STANDIN]) if "/doc/" not in path} == {
        DIST + "zelta_events.py",
        *(f"{DIST}zelta_events_standin-{VERSION}.dist-info/{name}" for name in
          ("METADATA", "RECORD", "WHEEL", "top_level.txt")),
    }
    # The module's debug information is in the debug symbols package only.
    assert [p for p in _files(packages[DBGSYM]) if p.endswith(".debug")]


@pytest.mark.without_module
def test_console_page_lands_where_the_console_looks(packages):
    page = "usr/share/cockpit/zelta-admin-events/"
    files = {path for path in _files(packages[COCKPIT]) if "/doc/" not in path}
    built = ("po.ru.js", "po.manifest.ru.js")  # the Russian catalogue for the page and for the console's menu
    assert files == {page + name for name in (*os.listdir(REPO / "cockpit" / "zelta-admin-events"), *built)} | {
        f"usr/share/lintian/overrides/{COCKPIT}"}
    depends = {d.split()[0] for d in _field(packages[COCKPIT], "Depends").split(",")}
    assert {"cockpit-bridge", ADMIN} <= depends


@pytest.mark.without_module
def test_installed_module_is_stripped(host):
    (module,) = (host / DIST / "zelta_admin_events").glob("admin_events*.so")
    assert b".debug_info" not in module.read_bytes()


@pytest.mark.without_module
def test_catalogue_and_manual_page(host):
    with open(host / "usr/share/locale/ru/LC_MESSAGES/zelta_admin_events.mo", "rb") as mo:
        russian = gettext.GNUTranslations(mo)
    assert russian.gettext("Unknown event ID") == "Неизвестный идентификатор события"
    page = host / "usr/share/man/man8/zelta-admin-events.8.gz"
    assert gzip.decompress(page.read_bytes()) == (REPO / "man" / "zelta-admin-events.8").read_bytes()
    if shutil.which("man") is None:
        pytest.skip("man is not installed")
    done = run_tool(["man", "-l", page], env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", LC_ALL="C.UTF-8"))
    assert (done.returncode, done.stderr) == (0, "")
    assert "NAME zelta-admin-events - administer the events that the syslog-ng zelta module records" \
        in " ".join(done.stdout.split())


def _environment(host, tmp_path):
    """The system's python3 and tools, with the root's command and Python path."""
    return {"PATH": f"{host / 'usr/bin'}:/usr/bin:/bin", "LANGUAGE": "C", "NO_COLOR": "1", "HOME": str(tmp_path),
            "PYTHONDONTWRITEBYTECODE": "1", "PYTHONPATH": str(host / DIST)}


def _installed(host, tmp_path, *args):
    return run_tool([SYSTEM_PYTHON, host / "usr/bin/zelta-admin-events", *args], env=_environment(host, tmp_path),
                    cwd=tmp_path)


@pytest.fixture
def sample(tmp_path):
    sample = tmp_path / "sample"
    shutil.copytree(REPO / "examples" / "sample-system", sample, symlinks=True)
    return sample


@pytest.mark.without_module
def test_installed_command_version_and_completion_scripts(host, tmp_path):
    done = _installed(host, tmp_path, "--version")
    assert (done.returncode, done.stdout, done.stderr) == (0, f"zelta-admin-events {VERSION}\n", "")
    completion = host / "usr/share/bash-completion/completions/zelta-admin-events"
    assert _installed(host, tmp_path, "completion", "bash").stdout == completion.read_text()
    # Debian 12's argcomplete writes no zsh script: a failure, not an empty success.
    done = _installed(host, tmp_path, "completion", "zsh")
    assert (done.returncode == 0) == ("zelta-admin-events" in done.stdout) != ("no completion script" in done.stderr)


@pytest.mark.without_module
def test_installed_bash_completion_offers_the_groups_of_the_sample(host, tmp_path, sample):
    if shutil.which("bash") is None:
        pytest.skip("bash is not installed")
    line = f"zelta-admin-events --root {sample} enable -g "
    script = (f"source {host / 'usr/share/bash-completion/completions/zelta-admin-events'}\n"
              f'COMP_LINE="{line}"; COMP_POINT=${{#COMP_LINE}}; COMP_TYPE=9\n'
              f"COMP_WORDS=(zelta-admin-events --root {sample} enable -g ''); COMP_CWORD=5\n"
              "_python_argcomplete zelta-admin-events '' -g\n"
              'printf "%s\\n" "${COMPREPLY[@]}"\n')
    done = run_tool(["bash", "--norc", "--noprofile", "-c", script], env=_environment(host, tmp_path), cwd=tmp_path)
    assert sorted(done.stdout.split()) == ["devices", "filesystem", "network", "privileges", "sessions"]


def test_installed_command_lists_the_sample(host, tmp_path, sample):
    installed = _installed(host, tmp_path, "--root", sample, "show-all-groups")
    # The same listing as the front end of the checkout's build.
    built = subprocess.run([sys.executable, "-m", "zelta_admin_events", "--root", sample, "show-all-groups"],
                           env=dict(os.environ, NO_COLOR="1"), capture_output=True, text=True, cwd=tmp_path)
    assert (installed.returncode, installed.stderr) == (0, "")
    assert "file-opened" in installed.stdout and installed.stdout == built.stdout
    assert re.match(r"#! ?/usr/bin/python3\n", (host / "usr/bin/zelta-admin-events").read_text())
