"""Import, construction and catalogue queries over a large catalogue.

10,000 events in 500 groups of 20, group directories on disk. Each figure is
printed beside its unavoidable part, timed in the same run: the library
calls and directory listings that any implementation has to make.

Run: python bench/bench_catalogue.py   (with the package installed)
"""

import contextlib
import io
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

from common import best, fake_library

GROUPS, PER_GROUP = 500, 20
EVENT_IDS = [f"event-{g:03d}-{e:02d}" for g in range(GROUPS) for e in range(PER_GROUP)]
GROUP_IDS = [f"group-{g:03d}" for g in range(GROUPS)]


def import_times(runs=15):
    """Median import time of the module with the standard modules its load
    uses already imported (as a front end has them), and of those modules."""
    setup = ("import sys, types, time; ze = types.ModuleType('zelta_events'); "
             "sys.modules['zelta_events'] = ze; ")
    standard = ("import gettext, locale, os, pathlib; gettext.bindtextdomain('x', '/usr/share/locale'); "
                "locale.getlocale(); ")
    module = setup + standard + ("import zelta_admin_events; t = time.perf_counter(); "
                                 "import zelta_admin_events.admin_events; print(time.perf_counter() - t)")
    floor = setup + "t = time.perf_counter(); " + standard + "print(time.perf_counter() - t)"

    def median(code):
        values = [float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                       cwd=tempfile.gettempdir(), check=True).stdout)
                  for _ in range(runs)]
        return statistics.median(values)

    return median(module), median(floor)


def row(name, measured, unavoidable):
    ratio = measured / unavoidable if unavoidable else float("inf")
    print(f"{name:<44} {measured * 1e3:9.3f} ms   unavoidable {unavoidable * 1e3:9.3f} ms   x{ratio:5.2f}")


def main():
    module_import, import_floor = import_times()
    print(f"catalogue: {len(EVENT_IDS)} events in {GROUPS} groups of {PER_GROUP}\n")
    print(f"{'import zelta_admin_events.admin_events':<44} {module_import * 1e3:9.3f} ms   "
          f"(its standard modules loaded before: {import_floor * 1e3:.3f} ms)")

    ze = fake_library(EVENT_IDS, GROUP_IDS)
    sys.modules["zelta_events"] = ze
    from zelta_admin_events import admin_events

    with tempfile.TemporaryDirectory() as tmp:
        settings = pathlib.Path(tmp)
        for g in range(GROUPS):
            directory = settings / GROUP_IDS[g]
            directory.mkdir()
            for e in range(PER_GROUP):
                (directory / EVENT_IDS[g * PER_GROUP + e]).write_text("{}")
        Admin = type("Admin", (admin_events.ZeltaAdminEvents,),
                     {"_ZeltaAdminEvents__default_config_dir": settings})

        construction = best(lambda: Admin([], []))
        construction_floor = best(lambda: (ze.get_event_ids_ex(2), ze.get_group_ids_ex(2)))
        row("construction (description tables)", construction, construction_floor)

        named = EVENT_IDS[::100] + ["unknown"]
        with contextlib.redirect_stdout(io.StringIO()):  # the "Unknown event ID" line
            construction_named = best(lambda: Admin(list(named), GROUP_IDS[::10]), repeat=5)
        row("construction, 101 events and 50 groups named", construction_named,
            construction_floor + best(lambda: (ze.get_event_ids(), ze.get_group_ids())))

        admin = Admin([], [])

        def listing_floor():
            for group_id in GROUP_IDS:
                ze.get_event_ids()
                with os.scandir(settings / group_id) as entries:
                    for entry in entries:
                        entry.is_file()

        grouped = best(lambda: admin._ZeltaAdminEvents__get_grouped_events(GROUP_IDS))
        row(f"__get_grouped_events, all {GROUPS} groups", grouped, best(listing_floor))

        last = EVENT_IDS[-1]
        group_of_last = best(lambda: admin._ZeltaAdminEvents__get_event_group(last), repeat=5)
        row("__get_event_group, last event", group_of_last, best(listing_floor))

    print("\ntargets: import <= 1 ms with gettext, locale, os and pathlib loaded, construction < 10 ms,\n"
          "grouped events within x2 of unavoidable")


if __name__ == "__main__":
    main()
