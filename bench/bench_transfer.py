"""Throughput of export_config and import_config for a configuration whose
current configuration file is 50 MB, beside tar -czf / tar -xzf of the same
files on this machine, measured in the same run; then the peak memory of
imports of 2 GiB gzip bombs, each refused.

Run from the worktree root: .venv/bin/python bench/bench_transfer.py [MB]
"""

import contextlib
import gzip
import io
import os
import json
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import types

from common import best

# Export and import never call the events library; the constructor only
# loads the name tables, so an empty catalogue serves.
_library = types.ModuleType("zelta_events")
for _name in ("get_event_ids", "get_group_ids", "get_event_ids_ex", "get_group_ids_ex"):
    setattr(_library, _name, lambda *args: [])
sys.modules["zelta_events"] = _library

from zelta_admin_events.admin_events import ZeltaAdminEvents  # noqa: E402

FILES = ["etc/zelta-syslog.conf", "etc/audit/rules.d/zelta-syslog.rules", "etc/logrotate.d/syslog-ng-mod-zelta",
         "etc/syslog-ng/conf.d/mod-zelta.conf", "root/.config", "root/.config/zelta-event-watcher.notifyrc"]


def configuration_text(size):
    """JSON event settings of about size bytes, varied like a real file."""
    rng = random.Random(1)
    parts, total, n = ["{"], 1, 0
    while total < size:
        entry = json.dumps({"enabled": rng.randint(0, 1), "message-syslog-facility": rng.choice(["auth", "local3"]),
                            "message-audit-rules": [f"-w /srv/data/{rng.getrandbits(48):x} -p wa"
                                                    for _ in range(rng.randint(1, 4))],
                            "threshold": rng.random()})
        line = f'"event-{n}": {entry},\n'
        parts.append(line)
        total += len(line)
        n += 1
    parts.append('"last": {}}\n')
    return "".join(parts).encode()


def populate(root, size):
    for relative in ("etc/audit/rules.d", "etc/logrotate.d", "etc/syslog-ng/conf.d", "root/.config"):
        (root / relative).mkdir(parents=True)
    (root / FILES[0]).write_bytes(configuration_text(size))
    (root / FILES[1]).write_text("-w /etc/passwd -p wa -k passwd\n")
    (root / FILES[2]).write_text("/var/log/zelta.log { weekly }\n")
    (root / FILES[3]).write_text("destination d_zelta { file(\"/var/log/zelta.log\"); };\n")
    (root / FILES[5]).write_text("[Notify]\nsound=false\n")


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 50.0
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        root = scratch / "root"
        populate(root, int(megabytes * 1e6))
        payload = sum((root / f).stat().st_size for f in FILES if (root / f).is_file()) / 1e6
        Admin = type("Admin", (ZeltaAdminEvents,), {"_ZeltaAdminEvents__root_dir": root})
        admin = Admin([], [])
        quiet = contextlib.redirect_stdout(io.StringIO())

        def export():
            with quiet:
                Admin.export_config(str(scratch / "backup"))

        def import_():
            with quiet:
                admin.import_config(str(scratch / "backup.tar.gz"))

        tar_out = scratch / "tool.tar.gz"
        tool_root = scratch / "tool-root"

        def tar_create():
            subprocess.run(["tar", "-czf", str(tar_out), "-C", str(root), "--no-recursion", *FILES], check=True)

        def tar_extract():
            shutil.rmtree(tool_root, ignore_errors=True)
            tool_root.mkdir()
            subprocess.run(["tar", "-xzf", str(tar_out), "-C", str(tool_root)], check=True)

        figures = [("export_config", best(export, 5)), ("tar -czf", best(tar_create, 5)),
                   ("import_config", best(import_, 5)),
                   ("tar -xzf", best(tar_extract, 5))]
        sizes = {"export_config": (scratch / "backup.tar.gz").stat().st_size, "tar -czf": tar_out.stat().st_size}
        print(f"payload {payload:.1f} MB (current configuration file {megabytes:g} MB), best of 5 runs")
        for name, seconds in figures:
            archive = f"  archive {sizes[name] / 1e6:.1f} MB" if name in sizes else ""
            print(f"{name:14s} {seconds:7.3f} s  {payload / seconds:7.1f} MB/s{archive}")
        before, during, _ = peak_memory(scratch, root, scratch / "backup.tar.gz")
        print(f"peak memory of import_config (resident, before -> during): {before} -> {during} MiB")


BOMB_SIZE = 2 << 30

# Runs one import in a fresh interpreter and prints its peak resident memory
# before and after (VmHWM), in MiB.
PEAK_MEMORY = """
import contextlib, io, pathlib, sys, types
library = types.ModuleType("zelta_events")
library.get_event_ids_ex = library.get_group_ids_ex = lambda *args: []
sys.modules["zelta_events"] = library
from zelta_admin_events.admin_events import ZeltaAdminEvents

def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM")) / 1024

Admin = type("Admin", (ZeltaAdminEvents,), {"_ZeltaAdminEvents__root_dir": pathlib.Path(sys.argv[1])})
admin = Admin([], [])
before = peak()
out = io.StringIO()
with contextlib.redirect_stdout(out):
    admin.import_config(sys.argv[2])
print(f"{before:.1f} {peak():.1f} {out.getvalue().strip()}")
"""


def tar_header(name, size, kind=b"0"):
    import tarfile
    info = tarfile.TarInfo(name)
    info.size, info.type = size, kind
    return info.tobuf(tarfile.GNU_FORMAT)


def write_bomb(path, head, zeros):
    """A gzip stream of head followed by zeros zero bytes."""
    block = bytes(1 << 20)
    with gzip.open(path, "wb", compresslevel=9) as out:
        out.write(head)
        for _ in range(zeros // len(block)):
            out.write(block)


def peak_memory(scratch, root, archive):
    """Resident memory before and during an import in a fresh interpreter, and what it printed."""
    return subprocess.run([sys.executable, "-c", PEAK_MEMORY, str(root), str(archive)], check=True, cwd=scratch,
                          capture_output=True, text=True).stdout.split(maxsplit=2)


def bombs(scratch, root):
    member = tar_header("T/etc/zelta-syslog.conf", 2) + b"{}".ljust(512, b"\0")
    cases = [
        ("2 GiB of zeros after a member", member, BOMB_SIZE),
        ("one member of 2 GiB", tar_header("T/etc/zelta-syslog.conf", BOMB_SIZE), BOMB_SIZE),
        ("a pax header of 2 GiB", tar_header("T/././@PaxHeader", BOMB_SIZE, b"x"), BOMB_SIZE),
    ]
    print(f"peak memory of an import of a {BOMB_SIZE >> 30} GiB gzip bomb (resident, before -> during):")
    for name, head, zeros in cases:
        path = scratch / "bomb.tar.gz"
        write_bomb(path, head, zeros)
        result = peak_memory(scratch, root, path)
        print(f"  {name:32s} {path.stat().st_size / 1e6:5.1f} MB archive  {result[0]:>6s} -> {result[1]:>6s} MiB"
              f"  {result[2]}")


if __name__ == "__main__":
    main()
    if os.environ.get("BENCH_BOMBS", "1") != "0":
        with tempfile.TemporaryDirectory() as scratch:
            scratch = pathlib.Path(scratch)
            populate(scratch / "root", 1000)
            bombs(scratch, scratch / "root")
