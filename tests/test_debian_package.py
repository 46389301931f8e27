"""The Debian packages that scripts/build-deb makes, built into tmp_path and
taken apart with dpkg-deb."""

import gettext
import gzip
import os
import pathlib
import re
import shutil
import tomllib

import pytest

from conftest import run_tool

REPO = pathlib.Path(__file__).resolve().parents[1]
SYSTEM_PYTHON = "/usr/bin/python3"
DIST = "./usr/lib/python3/dist-packages/"


def _system_python():
    """(major, minor, extension suffix) of the system's python3, or None without its headers."""
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        return None
    done = run_tool([SYSTEM_PYTHON, "-c", "import sys, sysconfig; print(*sys.version_info[:2], "
                     "sysconfig.get_config_var('EXT_SUFFIX'), sysconfig.get_paths()['include'])"])
    major, minor, suffix, include = done.stdout.split()
    return (int(major), int(minor), suffix) if (pathlib.Path(include) / "Python.h").exists() else None


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    missing = [t for t in ("dpkg-deb", "dpkg-shlibdeps", "msgfmt", "cmake") if shutil.which(t) is None]
    if missing:
        pytest.skip(f"not installed: {', '.join(missing)}")
    if _system_python() is None:
        pytest.skip(f"no development headers for {SYSTEM_PYTHON}")
    out = tmp_path_factory.mktemp("debs")
    env = dict(os.environ, TMPDIR=str(out), PYTHONDONTWRITEBYTECODE="1")
    built = {}
    for args in ([], ["--standin"]):
        done = run_tool([REPO / "scripts" / "build-deb", *args, out], env=env)
        assert done.returncode == 0, done.stderr
        deb = pathlib.Path(done.stdout.strip())
        assert deb.parent == out and deb.is_file()
        built["standin" if args else "admin"] = deb
    assert sorted(p.name for p in out.iterdir()) == sorted(p.name for p in built.values())  # scratch removed
    return built


def _field(deb, name):
    return run_tool(["dpkg-deb", "-f", deb, name], check=True).stdout.strip()


def _contents(deb):
    """{path: (mode string, owner)} of every member."""
    listing = run_tool(["dpkg-deb", "-c", deb], check=True).stdout
    entries = {}
    for line in listing.splitlines():
        mode, owner, _size, _date, _time, path = line.split(maxsplit=5)
        entries[path] = (mode, owner)
    return entries


@pytest.fixture(scope="module")
def extracted(packages, tmp_path_factory):
    root = tmp_path_factory.mktemp("extracted")
    run_tool(["dpkg-deb", "-x", packages["admin"], root], check=True)
    return root


def _version(pyproject):
    return tomllib.loads(pyproject.read_text())["project"]["version"]


def test_admin_package_name_version_and_architecture(packages):
    deb = packages["admin"]
    version = _version(REPO / "pyproject.toml")
    arch = run_tool(["dpkg", "--print-architecture"]).stdout.strip()
    assert deb.name == f"python3-zelta-admin-events_{version}_{arch}.deb"
    assert [_field(deb, f) for f in ("Package", "Version", "Architecture", "Section")] == \
        ["python3-zelta-admin-events", version, arch, "admin"]


def test_admin_package_depends_on_libraries_python_abi_library_and_pager(packages):
    major, minor, _ = _system_python()
    depends = [d.strip() for d in _field(packages["admin"], "Depends").split(",")]
    names = [d.split()[0] for d in depends]
    assert {"libc6", "less", "python3-zelta-events"} <= set(names)
    assert "libstdc++6" not in names  # the C++ runtime is linked into the module
    assert f"python3 (>= {major}.{minor}~)" in depends and f"python3 (<< {major}.{minor + 1})" in depends
    assert all(re.fullmatch(r"[a-z0-9.+-]+( \((>=|<<|=) [^)]+\))?", d) for d in depends), depends


def test_admin_package_installs_its_files_where_debian_looks(packages):
    _, _, suffix = _system_python()
    contents = _contents(packages["admin"])
    files = {path for path, (mode, _) in contents.items() if mode.startswith("-")}
    package = DIST + "zelta_admin_events/"
    assert files == {
        "./usr/bin/zelta-admin-events",
        *(package + name for name in ("__init__.py", "__main__.py", "cli.py", "_version.py", "admin_events.pyi",
                                      "py.typed", f"admin_events{suffix}")),
        "./usr/share/locale/ru/LC_MESSAGES/zelta_admin_events.mo",
        "./usr/share/man/man8/zelta-admin-events.8.gz",
        "./usr/share/doc/python3-zelta-admin-events/copyright",
    }
    assert {owner for _, owner in contents.values()} == {"root/root"}
    assert contents["./usr/bin/zelta-admin-events"][0] == "-rwxr-xr-x"
    assert contents[package + f"admin_events{suffix}"][0] == "-rw-r--r--"


def test_md5sums_cover_every_file(packages, extracted):
    md5sums = run_tool(["dpkg-deb", "-I", packages["admin"], "md5sums"], check=True).stdout.splitlines()
    listed = {line.split(maxsplit=1)[1] for line in md5sums}
    on_disk = {str(p.relative_to(extracted)) for p in extracted.rglob("*") if p.is_file()}
    assert listed == on_disk


def test_catalogue_and_manual_page_in_the_package(extracted):
    with open(extracted / "usr/share/locale/ru/LC_MESSAGES/zelta_admin_events.mo", "rb") as mo:
        russian = gettext.GNUTranslations(mo)
    assert russian.gettext("Unknown event ID") == "Неизвестный идентификатор события"
    assert russian.ngettext("{count} unknown ID skipped", "{count} unknown IDs skipped", 2) == \
        "пропущено {count} неизвестных идентификатора"
    page = gzip.decompress((extracted / "usr/share/man/man8/zelta-admin-events.8.gz").read_bytes())
    assert page == (REPO / "man" / "zelta-admin-events.8").read_bytes()


def test_packaged_front_end_runs_under_the_system_python(extracted, tmp_path):
    root = tmp_path / "host"
    shutil.copytree(REPO / "examples" / "sample-system", root, symlinks=True)
    env = {"PATH": "/usr/bin:/bin", "LANGUAGE": "C", "PYTHONDONTWRITEBYTECODE": "1", "HOME": str(tmp_path),
           "PYTHONPATH": f"{extracted / DIST}:{REPO / 'events-standin'}"}
    command = [SYSTEM_PYTHON, extracted / "usr/bin/zelta-admin-events"]
    done = run_tool(command + ["--help"], env=env, cwd=tmp_path)
    assert done.returncode == 0 and "show-all-groups" in done.stdout
    # --root: no daemon is restarted.
    done = run_tool(command + ["--root", root, "enable", "-e", "nope"], env=env, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == \
        (1, "Unknown event ID: nope\n", "zelta-admin-events: 1 unknown ID skipped\n")


def test_standin_package(packages):
    deb = packages["standin"]
    version = _version(REPO / "events-standin" / "pyproject.toml")
    assert deb.name == f"python3-zelta-events_{version}_all.deb"
    assert [_field(deb, f) for f in ("Package", "Architecture")] == ["python3-zelta-events", "all"]
    files = {path for path, (mode, _) in _contents(deb).items() if mode.startswith("-")}
    assert files == {DIST + "zelta_events.py", "./usr/share/doc/python3-zelta-events/copyright"}
