"""Times the start-up of the front end: ``zelta-admin-events --root SAMPLE
show-groups -g network`` with its output to a pipe, against a bare start of
the same interpreter (``python -c pass``), in one run, rounds interleaved.

    python bench/bench_startup.py [--repeat N]

with the package and the stand-in events library installed. Target: the
command within three times the bare start (median wall times).
"""

import argparse
import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "sample-system"


def run(argv, env):
    """Wall time and CPU time (user and system) of one run."""
    cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - cpu.ru_utime + after.ru_stime - cpu.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=40)
    repeat = parser.parse_args().repeat

    command = shutil.which("zelta-admin-events", path=os.path.dirname(sys.executable)) or "zelta-admin-events"
    env = dict(os.environ, LANGUAGE="C")
    with tempfile.TemporaryDirectory() as scratch:
        root = os.path.join(scratch, "root")
        shutil.copytree(SAMPLE, root, symlinks=True)
        bare = [sys.executable, "-c", "pass"]
        front_end = [command, "--root", root, "show-groups", "-g", "network"]
        for argv in (bare, front_end):  # warm the file cache
            run(argv, env)
        times = {"bare": [], "front end": []}
        for _ in range(repeat):
            times["bare"].append(run(bare, env))
            times["front end"].append(run(front_end, env))

    wall = {name: statistics.median(t[0] for t in values) for name, values in times.items()}
    cpu = {name: statistics.median(t[1] for t in values) for name, values in times.items()}
    for name in times:
        print(f"{name:10} wall median {wall[name] * 1000:6.1f} ms (min {min(t[0] for t in times[name]) * 1000:.1f})"
              f"   cpu median {cpu[name] * 1000:6.1f} ms")
    print(f"ratio      wall {wall['front end'] / wall['bare']:.2f} (target at most 3),"
          f" cpu {cpu['front end'] / cpu['bare']:.2f}")


if __name__ == "__main__":
    main()
