"""Times the status listing of all groups and the enabling and disabling of
groups against a large in-process fake of the events library, each beside
the part of the work no implementation can avoid: the library's own calls
and one directory listing per group, timed in the same run.

    python bench/bench_listings.py [--repeat N]

with the package installed. Target: each operation within twice its
unavoidable part.
"""

import argparse
import contextlib
import io
import os
import pathlib
import pydoc
import statistics
import sys
import tempfile
import time
import types

GROUPS, EVENTS_PER_GROUP, CHANGED_GROUPS = 500, 20, 100


class Library:
    """A catalogue of GROUPS x EVENTS_PER_GROUP events; lists are fresh copies."""

    def __init__(self):
        self.groups = [f"group-{g:03d}" for g in range(GROUPS)]
        self.members = {g: [f"{g}-event-{e:02d}" for e in range(EVENTS_PER_GROUP)] for g in self.groups}
        self.events = [e for g in self.groups for e in self.members[g]]
        self.state = dict.fromkeys(self.events, 0)

    def module(self):
        m = types.ModuleType("zelta_events")
        m.get_event_ids = lambda: list(self.events)
        m.get_group_ids = lambda: list(self.groups)
        m.get_event_ids_ex = lambda kind: [f'{e},"Event {e}","Событие {e}"' for e in self.events]
        m.get_group_ids_ex = lambda kind: [f'{g},"Group {g}","Группа {g}"' for g in self.groups]
        m.is_event_enabled = self.state.__getitem__

        def enable_event(event_id):
            self.state[event_id] = 1

        def disable_event(event_id):
            self.state[event_id] = 0

        m.enable_event, m.disable_event = enable_event, disable_event
        m.set_event_param = lambda *args: None
        return m


def best_of(repeat, run):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    repeat = parser.parse_args().repeat

    library = Library()
    sys.modules["zelta_events"] = lib = library.module()
    from zelta_admin_events import admin_events

    pydoc.pipepager = lambda text, cmd: None  # the pager is a sink

    with tempfile.TemporaryDirectory() as scratch:
        settings = pathlib.Path(scratch) / "event-settings"
        for group_id, events in library.members.items():
            (settings / group_id).mkdir(parents=True)
            for event_id in events:
                (settings / group_id / event_id).write_text("{}")

        Admin = type("Admin", (admin_events.ZeltaAdminEvents,), {
            "_ZeltaAdminEvents__default_config_dir": settings})
        admin = Admin([], [])
        changed = library.groups[:CHANGED_GROUPS]
        changer = Admin([], list(changed))

        def listing_floor():
            for group_id in sorted(lib.get_group_ids()):
                os.listdir(settings / group_id)
                lib.get_event_ids()
                for event_id in library.members[group_id]:
                    lib.is_event_enabled(event_id)

        def switch_floor():
            for switch, from_state in ((lib.enable_event, 0), (lib.disable_event, 1)):
                for group_id in changed:
                    os.listdir(settings / group_id)
                    lib.get_event_ids()
                    for event_id in library.members[group_id]:
                        if lib.is_event_enabled(event_id) == from_state:
                            switch(event_id)

        def switch_both():
            with contextlib.redirect_stdout(io.StringIO()):
                changer.enable()
                changer.disable()

        # Interleaved so that both parts see the same machine state.
        rows = []
        for label, operation, floor in (
            (f"show_all_groups, {GROUPS} groups x {EVENTS_PER_GROUP} events", admin.show_all_groups, listing_floor),
            (f"enable + disable, {CHANGED_GROUPS} groups x {EVENTS_PER_GROUP} events", switch_both, switch_floor),
        ):
            operation(), floor()  # warm caches
            op_best, op_median = best_of(repeat, operation)
            floor_best, floor_median = best_of(repeat, floor)
            rows.append((label, op_best, op_median, floor_best, floor_median))
        assert not any(library.state.values()), "enable + disable must leave every event off"

    print(f"{'operation':48} {'best ms':>8} {'median':>8} {'floor ms':>9} {'median':>8} {'ratio':>6}")
    for label, op_best, op_median, floor_best, floor_median in rows:
        print(f"{label:48} {op_best * 1e3:8.1f} {op_median * 1e3:8.1f} {floor_best * 1e3:9.1f} "
              f"{floor_median * 1e3:8.1f} {op_best / floor_best:6.2f}")
    print("floor: the library's own calls and one directory listing per group; target ratio <= 2.00")


if __name__ == "__main__":
    main()
