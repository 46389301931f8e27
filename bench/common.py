"""What the benchmarks share: a stand-in events library and the best-of timer.

The scripts run as ``python bench/NAME.py``, which puts this directory on the
import path.
"""

import time
import types


def fake_library(event_ids, group_ids):
    """An events library over the given catalogue that hands out fresh lists, as a real one would."""
    ze = types.ModuleType("zelta_events")
    event_records = [f'{e},"Event {e}","Событие {e}"' for e in event_ids]
    group_records = [f'{g},"Group {g}","Группа {g}"' for g in group_ids]
    ze.get_event_ids = lambda: list(event_ids)
    ze.get_group_ids = lambda: list(group_ids)
    ze.get_event_ids_ex = lambda kind: list(event_records)
    ze.get_group_ids_ex = lambda kind: list(group_records)
    ze.is_event_enabled = lambda event_id: 1
    ze.set_event_param = lambda event_id, section, parameter, value: None
    return ze


def best(function, repeat=7, clock=time.perf_counter):
    """The shortest of repeat runs of function, in seconds of clock."""
    times = []
    for _ in range(repeat):
        start = clock()
        function()
        times.append(clock() - start)
    return min(times)
