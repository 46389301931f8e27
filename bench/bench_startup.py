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
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "sample-system"


def wall_time(argv, env):
    start = time.perf_counter()
    subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


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
            wall_time(argv, env)
        times = {"bare": [], "front end": []}
        for _ in range(repeat):
            times["bare"].append(wall_time(bare, env))
            times["front end"].append(wall_time(front_end, env))

    medians = {name: statistics.median(values) for name, values in times.items()}
    for name, median in medians.items():
        print(f"{name:10} median {median * 1000:6.1f} ms  (min {min(times[name]) * 1000:.1f} ms)")
    ratio = medians["front end"] / medians["bare"]
    print(f"ratio      {ratio:.2f} (target at most 3)")


if __name__ == "__main__":
    main()
