"""Shared fixtures: a recording fake of the events library, scratch system
trees for the class constants, and recorders for the pager and the shell.

The fake library is installed in ``sys.modules["zelta_events"]`` before the
module under test is imported; its functions delegate to the FakeLibrary of
the running test, so every test starts from a clean catalogue.
"""

import contextlib
import gc
import json
import os
import pathlib
import stat
import subprocess
import sys
import tracemalloc
import types

import pytest
from hypothesis import settings

# CI runs the property-based tests on a fixed sequence of examples.
settings.register_profile("ci", derandomize=True, print_blob=True)
if os.environ.get("CI"):
    settings.load_profile("ci")


def snapshot(top):
    """Everything below top: kind, mode, owner and content or link target."""
    state = {}
    for directory, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(directory, name)
            st = os.lstat(path)
            body = (os.readlink(path) if stat.S_ISLNK(st.st_mode) else
                    open(path, "rb").read() if stat.S_ISREG(st.st_mode) else None)
            state[os.path.relpath(path, top)] = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode),
                                                 st.st_uid, st.st_gid, body)
    return state


def _run(function, rounds):
    for _ in range(rounds):
        try:
            function()
        except Exception:
            pass
    gc.collect()


@contextlib.contextmanager
def allocated_blocks():
    """A function that counts the memory blocks allocated and not yet freed.

    The interpreter's own allocator counts all of its blocks. With
    PYTHONMALLOC=malloc (as under the sanitizers) it counts none; tracemalloc
    then counts the blocks allocated since the start of this context, which
    suffices for a difference between two counts within it. Either way the
    type attribute cache is emptied first: each of its entries holds on to
    the last name looked up there, a string an operation may have made."""
    clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache  # renamed in 3.13
    if sys.getallocatedblocks():
        yield lambda: clear_caches() or sys.getallocatedblocks()
        return
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        yield lambda: clear_caches() or len(tracemalloc.take_snapshot().traces)
    finally:
        if started:
            tracemalloc.stop()


def _check_count(allocated):
    """Fails unless allocated() sees blocks kept on purpose: a leak check that
    cannot count would pass whatever leaks."""
    kept = []
    before = allocated()
    kept.extend([i] for i in range(1000))
    counted = allocated() - before
    if counted < len(kept):
        pytest.fail(f"cannot count memory blocks: 1000 new lists counted as {counted} blocks "
                    f"(PYTHONMALLOC={os.environ.get('PYTHONMALLOC')})", pytrace=False)


def assert_no_leak(function, watched=(), rounds=2000):
    """Repeats function (whose errors are ignored) and fails when it leaves
    objects behind (memory blocks still allocated) or references to the
    watched objects. A leak grows with every batch, allocator and cache noise
    does not: only a second batch that grows as well counts."""
    with allocated_blocks() as allocated:
        _check_count(allocated)
        if tracemalloc.is_tracing():
            # Blocks counted one by one (under the sanitizers, where each call
            # is slow): a fifth of the calls still shows a leak of one block
            # per call at five times the tolerance or more.
            rounds = max(rounds // 5, 100)
        _run(function, 50)  # warm caches, interned strings, lazy imports
        tolerance = max(rounds // 10, 20)
        for _ in range(2):
            blocks = allocated()
            counts = [sys.getrefcount(o) for o in watched]
            _run(function, rounds)
            blocks = allocated() - blocks
            references = [sys.getrefcount(o) - c for o, c in zip(watched, counts)]
            if blocks < tolerance and all(gained < tolerance for gained in references):
                return
    assert blocks < tolerance, f"{blocks} blocks left behind by {rounds} calls"
    for obj, gained in zip(watched, references):
        assert gained < tolerance, f"{gained} references to {obj!r:.60} left behind by {rounds} calls"


class FakeLibrary:
    """Catalogue and state of the fake events library, with a call record."""

    def __init__(self):
        self.events = {}  # event ID -> {"name_en", "name_ru", "enabled"}
        self.groups = {}  # group ID -> {"name_en", "name_ru"}, in library order
        self.calls = []  # (function name, *arguments), in call order
        self.params = []  # (event, section, parameter, value) of set_event_param

    def add_group(self, group_id, name_en=None, name_ru=None):
        self.groups[group_id] = {
            "name_en": name_en or f"Group {group_id}",
            "name_ru": name_ru or f"Группа {group_id}",
        }

    def add_event(self, event_id, enabled=0, name_en=None, name_ru=None):
        self.events[event_id] = {
            "name_en": name_en or f"Event {event_id}",
            "name_ru": name_ru or f"Событие {event_id}",
            "enabled": enabled,
        }

    def names(self, function):
        """The functions called so far, or the calls of one function."""
        return [c[1:] for c in self.calls if c[0] == function]


_current = FakeLibrary()


def _recorded(function):
    def wrapper(*args):
        _current.calls.append((function.__name__, *args))
        return function(*args)

    wrapper.__name__ = function.__name__
    return wrapper


def _records(table):
    return [f'{key},"{v["name_en"]}","{v["name_ru"]}"' for key, v in table.items()]


@_recorded
def get_event_ids():
    return list(_current.events)


@_recorded
def get_group_ids():
    return list(_current.groups)


@_recorded
def get_event_ids_ex(kind):
    return _records(_current.events)


@_recorded
def get_group_ids_ex(kind):
    return _records(_current.groups)


@_recorded
def is_event_enabled(event_id):
    return _current.events[event_id]["enabled"]


@_recorded
def enable_event(event_id):
    _current.events[event_id]["enabled"] = 1


@_recorded
def disable_event(event_id):
    _current.events[event_id]["enabled"] = 0


@_recorded
def set_event_param(event_id, section, parameter, value):
    _current.params.append((event_id, section, parameter, value))


fake_module = types.ModuleType("zelta_events")
for _f in (get_event_ids, get_group_ids, get_event_ids_ex, get_group_ids_ex, is_event_enabled,
           enable_event, disable_event, set_event_param):
    setattr(fake_module, _f.__name__, _f)
sys.modules["zelta_events"] = fake_module

from zelta_admin_events import admin_events  # noqa: E402  (needs the fake first)


def source_digest(directory):
    """The digest of the module's sources, as the build records it."""
    import hashlib

    lines = "".join(f"{path.name} {hashlib.sha256(path.read_bytes()).hexdigest()}\n"
                    for path in sorted(directory.iterdir()) if path.is_file())
    return hashlib.sha256(lines.encode()).hexdigest()


def pytest_sessionstart(session):
    """A module built from other sources than this checkout's stops the run."""
    sources = pathlib.Path(__file__).resolve().parent.parent / "src" / "admin_events"
    if sources.is_dir() and getattr(admin_events, "__source_digest__", None) != source_digest(sources):
        pytest.exit(f"{admin_events.__file__} was not built from the sources in {sources}: "
                    "rebuild it (pip install .) before running the tests", returncode=4)



# Seconds spent in the web console page's browser tests, set-up and tear-down
# included: CI reports them as a stage's time of their own. The reports reach
# the process that prints the summary, also when pytest-xdist runs the tests
# in others (where they share one process: the xdist_group in test_cockpit.py).
_browser_seconds = {}


def pytest_runtest_logreport(report):
    if report.nodeid.startswith("tests/test_cockpit.py"):
        _browser_seconds[report.nodeid] = _browser_seconds.get(report.nodeid, 0) + report.duration


def pytest_terminal_summary(terminalreporter):
    if _browser_seconds:
        terminalreporter.write_line(f"web console page tests: {len(_browser_seconds)} in "
                                    f"{sum(_browser_seconds.values()):.0f} s")

# What scripts/sanitize-tests sets for the module under test; the system's
# own programs run without it.
_SANITIZER_ENVIRONMENT = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def run_tool(args, env=None, **kwargs):
    """subprocess.run for a program of the system (dpkg-deb, groff, msgfmt...)."""
    env = dict(os.environ if env is None else env)
    for name in _SANITIZER_ENVIRONMENT:
        env.pop(name, None)
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    return subprocess.run(args, env=env, **kwargs)


def _module_code(function):
    """Whether a C function belongs to the module: one of its functions, or
    a method of its class, a subclass or an instance."""
    owner = getattr(function, "__self__", None)
    cls = admin_events.ZeltaAdminEvents
    return (owner is admin_events or isinstance(owner, cls)
            or (isinstance(owner, type) and issubclass(owner, cls)))


@pytest.fixture(autouse=True)
def runs_no_module_code(request):
    """A test marked without_module, which the sanitizer run leaves out,
    fails when it calls a function or method of the module in this process."""
    if request.node.get_closest_marker("without_module") is None:
        yield
        return
    calls = []
    sys.setprofile(lambda frame, event, arg: calls.append(arg) if event == "c_call" and _module_code(arg) else None)
    try:
        yield
    finally:
        sys.setprofile(None)
    assert not calls, f"marked without_module, yet calls {calls[0]!r} of the module"


@pytest.fixture(autouse=True)
def english_messages(monkeypatch):
    """Messages untranslated whatever the developer's locale; a test that
    wants another language sets LANGUAGE itself."""
    monkeypatch.setenv("LANGUAGE", "C")


@pytest.fixture
def module():
    return admin_events


@pytest.fixture
def lib(monkeypatch):
    """A fresh, empty fake catalogue for this test."""
    global _current
    previous = _current
    _current = FakeLibrary()
    yield _current
    _current = previous


class Tree:
    """A scratch system root with the module's paths below it."""

    def __init__(self, root: pathlib.Path):
        self.root = root
        self.settings = root / "usr/share/syslog-ng-mod-zelta/event-settings"
        self.current_config = root / "etc/zelta-syslog.conf"
        self.translations = root / "etc/wex-admin-events/eventsdictionary.json"
        self.settings.mkdir(parents=True)

    def group(self, group_id, events=(), settings=None):
        """Creates a group directory with one default settings file per event."""
        directory = self.settings / group_id
        directory.mkdir(parents=True, exist_ok=True)
        for event_id in events:
            (directory / event_id).write_text(json.dumps(settings if settings is not None else {}))
        return directory

    def write_json(self, path, value):
        """Writes value as JSON text; a str is written as it is (it may be broken JSON)."""
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(value if isinstance(value, str) else json.dumps(value, ensure_ascii=False))


@pytest.fixture
def tree(tmp_path):
    return Tree(tmp_path / "root")


@pytest.fixture
def Admin(tree):
    """ZeltaAdminEvents pointed at the scratch tree through a subclass."""
    return type("Admin", (admin_events.ZeltaAdminEvents,), {
        "_ZeltaAdminEvents__default_config_dir": tree.settings,
        "_ZeltaAdminEvents__current_config_file": tree.current_config,
        "_ZeltaAdminEvents__param_ru_translations_file": tree.translations,
        "_ZeltaAdminEvents__root_dir": tree.root,
    })


@pytest.fixture
def catalogue(lib, tree):
    """A small catalogue: groups fs (3 events) and auth (2 events), both on disk."""
    lib.add_group("fs", "File system", "Файловая система")
    lib.add_group("auth", "Authentication", "Аутентификация")
    for event_id, enabled in (("modifying-file", 1), ("file-opened", 0), ("modifying-directory", 0)):
        lib.add_event(event_id, enabled)
    for event_id, enabled in (("login", 1), ("logout", 0)):
        lib.add_event(event_id, enabled)
    tree.group("fs", ["modifying-file", "file-opened", "modifying-directory"])
    tree.group("auth", ["login", "logout"])
    return lib


@pytest.fixture
def pager(monkeypatch):
    """Records every text handed to the pager instead of starting one."""
    import pydoc

    shown = []
    monkeypatch.setattr(pydoc, "pipepager", lambda text, cmd: shown.append((text, cmd)))
    return shown


@pytest.fixture
def commands(monkeypatch):
    """Records shell commands instead of running them."""
    import os

    run = []

    def fake_system(command):
        run.append(command)
        return 0

    monkeypatch.setattr(os, "system", fake_system)
    return run


@pytest.fixture(scope="session")
def _log_socket():
    """A datagram socket that takes the place of the system log for the whole
    run and drops what it receives, so that no test writes to the host's log."""
    import shutil
    import socket
    import tempfile
    import threading

    directory = tempfile.mkdtemp(prefix="zlog")  # short: a socket path has at most 107 bytes
    path = os.path.join(directory, "log")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)

    def drain():
        try:
            while True:
                sock.recv(65536)
        except OSError:  # closed at the end of the run
            pass

    threading.Thread(target=drain, daemon=True).start()
    yield path
    sock.close()
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture(autouse=True)
def _system_log(_log_socket, monkeypatch):
    monkeypatch.setenv("ZELTA_ADMIN_EVENTS_LOG_SOCKET", _log_socket)
