"""A web console with the page, and a headless browser, in a network
namespace of their own: what tests/test_cockpit.py and
bench/bench_cockpit.py drive.

The calling thread joins a new network namespace (loopback only) and what it
starts lives there: cockpit-ws in local-session mode, serving the page built
by scripts/build-cockpit-page from $XDG_DATA_HOME, and chromedriver with
headless Chromium. Nothing outside can reach them. Both are stopped by
process ID.
"""

import contextlib
import ctypes
import fcntl
import json
import os
import pathlib
import shutil
import socket
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
SAMPLE = REPO / "examples" / "sample-system"
COMMAND = pathlib.Path(sys.executable).parent / "zelta-admin-events"
COCKPIT_WS = "/usr/lib/cockpit/cockpit-ws"
PAGE = "/cockpit/@localhost/zelta-admin-events/index.html"
CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


def missing_tools():
    missing = [tool for tool in (COCKPIT_WS, "cockpit-bridge", "chromium", "chromedriver", "msgfmt", "localedef")
               if shutil.which(tool) is None]
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("selenium")
    return missing


@contextlib.contextmanager
def network_namespace():
    """This thread in a new network namespace with only the loopback
    interface, up; the old namespace back afterwards."""
    old = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        if _libc.unshare(CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "no network namespace")
        with socket.socket() as s:  # SIOCGIFFLAGS, then SIOCSIFFLAGS with IFF_UP
            flags = struct.unpack("16sH", fcntl.ioctl(s, 0x8913, struct.pack("16sH", b"lo", 0))[:18])[1]
            fcntl.ioctl(s, 0x8914, struct.pack("16sH", b"lo", flags | 1))
        yield
    finally:
        if _libc.setns(old, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns")
        os.close(old)


@contextlib.contextmanager
def scratch():
    """A scratch directory that a console running as nobody can read, with
    the C and Russian locales compiled into locale/ (for LOCPATH)."""
    top = pathlib.Path(tempfile.mkdtemp(prefix="zelta-cockpit-"))
    try:
        top.chmod(0o755)
        (top / "locale").mkdir()
        for locale in pathlib.Path("/usr/lib/locale").glob("C.*"):
            shutil.copytree(locale, top / "locale" / locale.name)
        subprocess.run(["localedef", "-i", "ru_RU", "-f", "UTF-8", top / "locale" / "ru_RU.UTF-8"], check=True)
        yield top
    finally:
        shutil.rmtree(top, ignore_errors=True)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _script(path, body):
    path.write_text(f"#!/bin/sh\n{body}\n")
    path.chmod(0o755)


def _reachable_by_nobody(path):
    return subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "test", "-x",
                           os.path.realpath(path)]).returncode == 0


def run_command(*args, root, env=None):
    return subprocess.run([COMMAND, "--root", root, *args], capture_output=True, text=True,
                          env={**os.environ, **(env or {})})


def listing(root, env=None):
    return json.loads(run_command("show-all-groups", "--json", root=root, env=env).stdout)["groups"]


def generated_tree(top, groups_count, events_per_group):
    """The sample's files with a catalogue of groups_count x events_per_group
    events, a third of them disabled."""
    shutil.copytree(SAMPLE, top, symlinks=True)
    share = top / "usr/share/syslog-ng-mod-zelta"
    shutil.rmtree(share / "event-settings")
    groups, events = [], []
    for g in range(groups_count):
        group = f"group-{g:03}"
        groups.append({"id": group, "name_en": f"Group {g}", "name_ru": f"Группа {g}"})
        (share / "event-settings" / group).mkdir(parents=True)
        for e in range(events_per_group):
            event = f"{group}-event-{e:02}"
            events.append({"id": event, "name_en": f"Event {e} of group {g}", "name_ru": f"Событие {e} группы {g}",
                           "enabled": e % 3 != 0})
            (share / "event-settings" / group / event).write_text(
                json.dumps({"message-syslog-facility": "local5", "message-syslog-priority": "info"}))
    (share / "events-catalogue.json").write_text(json.dumps({"groups": groups, "events": events}))
    (top / "etc/zelta-syslog.conf").write_text("{}\n")
    return top


class Console:
    """cockpit-ws with the page on a copy of sample (below base/NAME-root).

    admin=False runs the bridge as nobody; command=False leaves the command
    off PATH; rooted=False shows the sample files at the host's own paths
    through overlays in a mount namespace of the console's own, so that the
    command restarts the daemons (with a fake systemctl exiting with
    systemctl_status, its calls in systemctl_log)."""

    def __init__(self, base, name, *, sample=SAMPLE, admin=True, command=True, systemctl_status=0, rooted=True):
        self.base, self.sample = base, sample
        self.root = base / f"{name}-root"
        self.reset()
        data = base / f"{name}-data"
        subprocess.run([REPO / "scripts" / "build-cockpit-page", data / "cockpit" / "zelta-admin-events"], check=True)
        bin_dir = base / f"{name}-bin"
        bin_dir.mkdir()
        if command and (admin or _reachable_by_nobody(sys.executable)):
            (bin_dir / "zelta-admin-events").symlink_to(COMMAND)
        elif command:
            # As nobody, under the system's Python when this environment's
            # lies out of nobody's reach.
            _script(bin_dir / "zelta-admin-events", f"PYTHONPATH={sysconfig.get_paths()['purelib']} "
                    'exec /usr/bin/python3 -m zelta_admin_events "$@"')
        self.systemctl_log = base / f"{name}-systemctl.log"
        _script(bin_dir / "systemctl", f'echo "$*" >> {self.systemctl_log}\nexit {systemctl_status}')
        home = base / f"{name}-home"
        home.mkdir(mode=0o777)
        home.chmod(0o777)
        self.port = _free_port()
        env = {
            "PATH": f"{bin_dir}:/usr/sbin:/usr/bin:/sbin:/bin", "HOME": str(home), "XDG_DATA_HOME": str(data),
            "LOCPATH": str(base / "locale"), "LANG": "C.UTF-8",
        }
        if rooted:
            env["ZELTA_ADMIN_EVENTS_ROOT"] = str(self.root)
        bridge = "cockpit-bridge"
        if not admin:
            bridge = str(bin_dir / "bridge")
            _script(bin_dir / "bridge", "exec setpriv --reuid=nobody --regid=nogroup --clear-groups cockpit-bridge")
        ws = [COCKPIT_WS, "--no-tls", "--address", "127.0.0.1", "--port", str(self.port), f"--local-session={bridge}"]
        if not rooted:
            overlay = base / f"{name}-overlay"
            overlay.mkdir()
            mounts = [f"mount -t tmpfs scratch {overlay}"]
            for top in ("etc", "root", "usr/share"):
                layer = overlay / top.replace("/", "-")
                mounts.append(f"mkdir -p {layer}/upper {layer}/work && mount -t overlay overlay -o "
                              f"lowerdir={self.root}/{top}:/{top},upperdir={layer}/upper,workdir={layer}/work /{top}")
            ws = ["unshare", "-m", "--propagation", "private", "sh", "-ec", " && ".join(mounts) + ' && exec "$@"',
                  "sh", *ws]
        self.log_path = base / f"{name}-ws.log"
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(ws, env=env, stdout=log, stderr=subprocess.STDOUT,
                                            start_new_session=True, cwd=home)
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                assert self.process.poll() is None and time.monotonic() < deadline, self.log_path.read_text()
                time.sleep(0.1)
        self.url = f"http://127.0.0.1:{self.port}"

    def reset(self):
        shutil.rmtree(self.root, ignore_errors=True)
        shutil.copytree(self.sample, self.root, symlinks=True)
        subprocess.run(["chmod", "-R", "a+rX", self.root], check=True)

    def stop(self):
        """Ends the console's process group (cockpit-ws and its bridge)."""
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.process.pid, 15)
        self.process.wait(timeout=10)


@contextlib.contextmanager
def browser(downloads):
    from selenium import webdriver

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1300", "--lang=en-US"):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    service = webdriver.ChromeService(executable_path=shutil.which("chromedriver"))
    driver = webdriver.Chrome(options=options, service=service)
    driver.downloads = downloads
    try:
        yield driver
    finally:
        pid = service.process.pid
        driver.quit()
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, 9)


def open_page(driver, console, language="en", style="light"):
    """The page alone, in the language and console style given."""
    from selenium.webdriver.common.by import By

    driver.get(console.url + "/cockpit/@localhost/manifests.json")  # an origin for the cookie and storage
    driver.delete_all_cookies()
    driver.add_cookie({"name": "CockpitLang", "value": language, "path": "/"})
    driver.execute_script("localStorage.setItem('shell:style', arguments[0])", style)
    driver.get(console.url + PAGE)
    wait(driver, lambda d: d.find_element(By.ID, "app").get_attribute("data-ready") == "true")


def wait(driver, condition, timeout=60):
    """The condition's first true value. The time limit is generous: only a
    failure waits it out, and a machine busy with other work (the tests share
    it out over every processor) can take many seconds to start the console's
    shell."""
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(condition)
