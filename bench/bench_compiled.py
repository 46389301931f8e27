"""Times the module's CPU-bound paths beside the same code written in plain
Python (bench/rendition.py) and compiled with Cython, in one run and on one
workload each:

    construction     10,000 events in 500 groups; 100 events and 50 groups
                     named, 25 of the names unknown
    outline          __get_event_config_string over 20 event settings of
                     2,000 parameters in 40 sections, section labels loaded
    sorting          __sort_nested_dict over the same 20 settings
    set_properties   a JSON array of 1,000 paths for the three file-watching
                     events
    facility         set_facility for 100 events and 50 groups of 20, the
                     groups spread over the catalogue

Each row gives the module's time, the compiled rendition's, their ratio
(target: at most 0.33) and the floor: what the path spends in the events
library, the standard modules it must call and the output stream, timed
alone in the same run; for construction and sorting also what CPython's own
C code takes only to make the objects the path returns. Times are the best
of N runs in the process's own CPU time, so that other load on the machine
counts as little as it can.

    python bench/bench_compiled.py [--repeat N]

with the package installed. Cython comes from PyPI into a cache directory of
this benchmark (ZELTA_BENCH_CACHE, default ~/.cache/zelta-admin-events-bench)
the first time; the rendition is compiled with the interpreter's C compiler
at -O2 into a temporary directory.
"""

import argparse
import contextlib
import importlib.machinery
import importlib.util
import io
import json
import os
import pathlib
import pickle
import random
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

import common

GROUPS, PER_GROUP = 500, 20
EVENT_IDS = [f"event-{g:03d}-{e:02d}" for g in range(GROUPS) for e in range(PER_GROUP)]
GROUP_IDS = [f"group-{g:03d}" for g in range(GROUPS)]
SPECIAL = ["modifying-file", "modifying-directory", "file-opened"]
FACILITY_GROUPS = GROUP_IDS[::10]  # 50 groups spread over the catalogue
SETTINGS, SECTIONS, PARAMETERS = 20, 40, 2000
PATHS = 1000
TARGET = 0.33

HERE = pathlib.Path(__file__).resolve().parent


# ---- Cython and the compiled rendition ---------------------------------------------

def cython_path():
    """A directory holding Cython: the benchmark's own cache, filled from PyPI once."""
    cache = pathlib.Path(os.environ.get("ZELTA_BENCH_CACHE", pathlib.Path.home() / ".cache/zelta-admin-events-bench"))
    target = cache / "cython"
    if not (target / "Cython").is_dir():
        print(f"installing Cython into {target} ...", file=sys.stderr)
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--target", str(target), "cython"],
                       check=True)
    return target


def compile_rendition(build):
    """Cythonizes and compiles rendition.py; returns the extension module."""
    source = build / "rendition.py"
    shutil.copyfile(HERE / "rendition.py", source)
    env = dict(os.environ, PYTHONPATH=str(cython_path()))
    subprocess.run([sys.executable, "-m", "cython", "-3", str(source), "-o", str(build / "rendition.c")],
                   check=True, env=env)
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    extension = build / ("rendition" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([*compiler, "-O2", "-fPIC", "-shared", "-w", f"-I{sysconfig.get_paths()['include']}",
                    str(build / "rendition.c"), "-o", str(extension)], check=True)
    loader = importlib.machinery.ExtensionFileLoader("rendition", str(extension))
    spec = importlib.util.spec_from_file_location("rendition", extension, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


# ---- Workloads -----------------------------------------------------------------

def value_of(n):
    kind = n % 7
    if kind == 0:
        return f"value '{n}' ё"
    if kind == 1:
        return n * 7919
    if kind == 2:
        return n / 3
    if kind == 3:
        return n % 4 == 0
    if kind == 4:
        return [f"/var/log/{n}", "it's", n, n / 7]
    if kind == 5:
        return f"/srv/data/{n}"
    return None


def event_settings(index):
    """2,000 parameters in 40 sections, keys in shuffled order (as a
    configuration edited over time leaves them) so that sorting has work to do."""
    rng = random.Random(index)
    per_section = PARAMETERS // SECTIONS
    sections = list(range(SECTIONS))
    rng.shuffle(sections)
    settings = {}
    for s in sections:
        parameters = list(range(per_section))
        rng.shuffle(parameters)
        settings[f"section-{s:02d}"] = {f"param-{p:03d}-{index}": value_of(s * per_section + p) for p in parameters}
    return settings


def best(function, repeat):
    return common.best(function, repeat, clock=time.process_time)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=9)
    repeat = parser.parse_args().repeat

    ze = common.fake_library(EVENT_IDS + SPECIAL, GROUP_IDS)
    sys.modules["zelta_events"] = ze
    from zelta_admin_events import admin_events

    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        rendition = compile_rendition(tmp)
        settings_dir = tmp / "event-settings"
        for g, group_id in enumerate(GROUP_IDS):
            if group_id not in FACILITY_GROUPS:
                continue
            (settings_dir / group_id).mkdir(parents=True)
            for event_id in EVENT_IDS[g * PER_GROUP:(g + 1) * PER_GROUP]:
                (settings_dir / group_id / event_id).write_text("{}")
        constants = {"_ZeltaAdminEvents__default_config_dir": settings_dir,
                     "_ZeltaAdminEvents__arch": "x86_64"}
        classes = {"module": type("Admin", (admin_events.ZeltaAdminEvents,), constants),
                   "cython": type("Admin", (rendition.ZeltaAdminEvents,), constants)}
        sink = io.StringIO()

        def quiet(function):
            def run():
                sink.seek(0)
                sink.truncate()
                with contextlib.redirect_stdout(sink):
                    function()
            return run

        named_events = EVENT_IDS[::100] + [f"unknown-event-{i}" for i in range(20)]
        named_groups = GROUP_IDS[::10] + [f"unknown-group-{i}" for i in range(5)]
        settings = [event_settings(i) for i in range(SETTINGS)]
        labels = {f"section-{s:02d}": {"ru": f"Раздел {s}"} for s in range(0, SECTIONS, 2)}
        paths = [f"/srv/shared docs/{i}/файл {i}.txt" if i % 3 else f"/var/log/app-{i}.log" for i in range(PATHS)]
        paths_value = json.dumps(paths, ensure_ascii=False)

        def workloads(cls):
            admin = cls([], [])
            admin._ZeltaAdminEvents__event_section_translations = labels
            outline = admin._ZeltaAdminEvents__get_event_config_string
            sort = cls._ZeltaAdminEvents__sort_nested_dict
            special_admin = cls(list(SPECIAL), [])
            facility_admin = cls(EVENT_IDS[:100], FACILITY_GROUPS)
            return {
                "construction": quiet(lambda: cls(list(named_events), list(named_groups))),
                "outline": lambda: [outline(s) for s in settings],
                "sorting": lambda: [sort(s) for s in settings],
                "set_properties": lambda: special_admin.set_properties("audit", "paths", paths_value),
                "facility": quiet(lambda: facility_admin.set_facility("local3")),
            }

        runs = {name: workloads(cls) for name, cls in classes.items()}
        check_same_results(classes, settings, labels, paths_value, named_events, named_groups)

        def floors():
            rules = [["-w " + p.replace(" ", "\\ ") + " -p wa -k " + p.replace(" ", "\\ ") for p in paths]] * 3
            listing = [settings_dir / g for g in FACILITY_GROUPS]

            def facility():
                for event_id in EVENT_IDS[:100]:
                    ze.set_event_param(event_id, "", "message-syslog-facility", '"local3"')
                    print(event_id + "\tfacility: local3")
                for directory in listing:
                    with os.scandir(directory) as entries:
                        names = [e.name for e in entries if e.is_file()]
                    ze.get_event_ids()
                    for event_id in names:
                        ze.set_event_param(event_id, "", "message-syslog-facility", '"local3"')
                    print(directory.name + "\tfacility: local3")

            def set_properties():
                json.loads(paths_value)
                for event_id, lines in zip(SPECIAL, rules):
                    text = json.dumps(lines, ensure_ascii=False)
                    ze.set_event_param(event_id, "audit", "paths", paths_value)
                    ze.set_event_param(event_id, "", "message-audit-rules", text)

            return {
                "construction": lambda: (ze.get_group_ids(), ze.get_event_ids(), ze.get_event_ids_ex(2),
                                         ze.get_group_ids_ex(2)),
                "outline": None,
                "sorting": None,
                "set_properties": set_properties,
                "facility": quiet(facility),
            }

        floor_runs = floors()

        # What CPython's own C code takes only to make the objects a path
        # returns: the finished description tables unpickled, the sorted
        # settings built from their items already in order.
        tables = classes["module"]([], [])
        tables_blob = pickle.dumps((tables._ZeltaAdminEvents__event_description,
                                    tables._ZeltaAdminEvents__group_description), protocol=pickle.HIGHEST_PROTOCOL)
        ordered = [[(k, sorted(v.items())) for k, v in sorted(s.items())] for s in settings]
        object_runs = {
            "construction": lambda: pickle.loads(tables_blob),
            "sorting": lambda: [{k: dict(items) for k, items in top} for top in ordered],
        }

        print(f"{'path':<16} {'module':>10} {'Cython':>10} {'ratio':>7} {'floor':>10} {'objects':>10}")
        for name in runs["module"]:
            # Interleaved, so that both sides see the same machine state.
            module_times, cython_times = [], []
            for _ in range(repeat):
                module_times.append(best(runs["module"][name], 1))
                cython_times.append(best(runs["cython"][name], 1))
            module_time, cython_time = min(module_times), min(cython_times)
            floor = best(floor_runs[name], repeat) if floor_runs[name] else 0.0
            objects = f"{best(object_runs[name], repeat) * 1e3:7.2f} ms" if name in object_runs else f"{'-':>10}"
            ratio = module_time / cython_time
            verdict = "" if ratio <= TARGET else "  above target"
            print(f"{name:<16} {module_time * 1e3:7.2f} ms {cython_time * 1e3:7.2f} ms {ratio:7.2f} "
                  f"{floor * 1e3:7.2f} ms {objects}{verdict}")
    print(f"\ntarget: each ratio at most {TARGET}\n"
          "floor: the events library, the standard modules the path must call (json) and the output alone\n"
          "objects: CPython's C code making only the objects the path returns (tables unpickled,\n"
          "         dictionaries built from items already in order)")


def check_same_results(classes, settings, labels, paths_value, named_events, named_groups):
    """Both sides must do the same work: equal results, output and library calls."""
    ze = sys.modules["zelta_events"]
    seen = {}
    for name, cls in classes.items():
        calls = []
        saved = ze.set_event_param
        ze.set_event_param = lambda *args: calls.append(args)
        out = io.StringIO()
        try:
            with contextlib.redirect_stdout(out):
                admin = cls(list(named_events), list(named_groups))
                admin._ZeltaAdminEvents__event_section_translations = labels
                texts = [admin._ZeltaAdminEvents__get_event_config_string(s) for s in settings[:2]]
                ordered = [json.dumps(cls._ZeltaAdminEvents__sort_nested_dict(s)) for s in settings[:2]]
                cls(list(SPECIAL), []).set_properties("audit", "paths", paths_value)
                cls(EVENT_IDS[:100], FACILITY_GROUPS).set_facility("local3")
        finally:
            ze.set_event_param = saved
        seen[name] = (texts, ordered, calls, out.getvalue(), admin._ZeltaAdminEvents__event_description)
    if seen["module"] != seen["cython"]:
        sys.exit("the module and the rendition disagree; the comparison would not be fair")


if __name__ == "__main__":
    main()
