"""Reference-leak loop: every operation, on success and on its failure paths,
repeated in one process, must leave the interpreter where it was. Two
measures: the block count (a leaked new object per call) and the reference
counts of the long-lived objects an operation touches (a leaked reference to
self, the class, an argument, None, ...)."""

import gc
import io
import sys

import pytest

ROUNDS = 2000


class Sink(io.TextIOBase):
    """A stdout that forgets what it is given."""

    def write(self, text):
        return len(text)


def fresh(value):
    """A new object equal to value, so that a reference kept to it leaks memory."""
    if isinstance(value, str) and len(value) > 1:
        return "".join(list(value))
    if isinstance(value, list):
        return [fresh(v) for v in value]
    return value


@pytest.fixture
def quiet_library(monkeypatch, catalogue):
    """The catalogue's library without the call record, which grows by design."""
    import zelta_events

    events, groups = catalogue.events, catalogue.groups

    def records(table):
        return [f'{k},"{v["name_en"]}","{v["name_ru"]}"' for k, v in table.items()]

    event_records, group_records = records(events), records(groups)
    monkeypatch.setattr(zelta_events, "get_event_ids", lambda: list(events))
    monkeypatch.setattr(zelta_events, "get_group_ids", lambda: list(groups))
    monkeypatch.setattr(zelta_events, "get_event_ids_ex", lambda kind: list(event_records))
    monkeypatch.setattr(zelta_events, "get_group_ids_ex", lambda kind: list(group_records))
    monkeypatch.setattr(zelta_events, "is_event_enabled", lambda event_id: events[event_id]["enabled"])
    monkeypatch.setattr(zelta_events, "enable_event", lambda event_id: None)
    monkeypatch.setattr(zelta_events, "disable_event", lambda event_id: None)
    monkeypatch.setattr(zelta_events, "set_event_param", lambda *args: None)
    monkeypatch.setattr(sys, "stdout", Sink())
    return catalogue


def run(function, rounds):
    for _ in range(rounds):
        try:
            function()
        except Exception:
            pass
    gc.collect()


def assert_no_leak(function, watched, rounds=ROUNDS):
    run(function, 50)  # warm caches, interned strings, lazy imports
    blocks = sys.getallocatedblocks()
    counts = [sys.getrefcount(o) for o in watched]
    run(function, rounds)
    grown = sys.getallocatedblocks() - blocks
    assert grown < rounds // 10, f"{grown} blocks left behind by {rounds} calls"
    for obj, before in zip(watched, counts):
        gained = sys.getrefcount(obj) - before
        assert gained < rounds // 10, f"{gained} references to {obj!r:.60} left behind by {rounds} calls"


def raising(exception_type):
    def fail(*args):
        raise exception_type("library failure")  # a fresh one: a reused one grows its traceback
    return fail


# name -> (on the class or an object, method, arguments, library patches)
CASES = {
    "construct": ("class", None, (["login", "nope"], ["fs", "zz"]), {}),
    "construct, wrong type": ("class", None, (1, []), {}),
    "construct, missing argument": ("class", None, ([],), {}),
    "construct, library fails": ("class", None, ([], []), {"get_group_ids_ex": raising(RuntimeError)}),
    "construct, short record": ("class", None, ([], []), {"get_event_ids_ex": lambda kind: ["a,b"]}),
    "prepare events": ("object", "_ZeltaAdminEvents__prepare_events", (), {}),
    "descriptions": ("class", "_ZeltaAdminEvents__get_all_group_description", (), {}),
    "events by group": ("class", "_ZeltaAdminEvents__get_events_by_group_id", ("fs",), {}),
    "events by group, missing directory": ("class", "_ZeltaAdminEvents__get_events_by_group_id", ("zz",), {}),
    "events by group, wrong type": ("class", "_ZeltaAdminEvents__get_events_by_group_id", (1,), {}),
    "events by group, library fails": ("class", "_ZeltaAdminEvents__get_events_by_group_id", ("fs",),
                                       {"get_event_ids": raising(OSError)}),
    "grouped events": ("object", "_ZeltaAdminEvents__get_grouped_events", (["fs", "auth", "fs"],), {}),
    "grouped events, none": ("object", "_ZeltaAdminEvents__get_grouped_events", (None,), {}),
    "event group": ("object", "_ZeltaAdminEvents__get_event_group", ("logout",), {}),
    "event group, none found": ("object", "_ZeltaAdminEvents__get_event_group", ("elsewhere",), {}),
}


def prepare(case, Admin, module, monkeypatch):
    """The call to repeat and the long-lived objects it must not hold on to."""
    import zelta_events

    target, method, args, patches = case
    watched = [None, True, False, Admin, module.ZeltaAdminEvents, module, zelta_events,
               *args, *zelta_events.get_group_ids(), *zelta_events.get_event_ids()]
    if target == "class":
        receiver = Admin
    else:
        receiver = Admin(["login"], ["fs"])
        watched.append(receiver)
    for name, replacement in patches.items():
        monkeypatch.setattr(zelta_events, name, replacement)
    function = getattr(receiver, method) if method else receiver
    return (lambda: function(*[fresh(a) for a in args])), watched


@pytest.mark.parametrize("case", list(CASES))
def test_operation_leaves_no_references_behind(quiet_library, Admin, module, monkeypatch, case):
    function, watched = prepare(CASES[case], Admin, module, monkeypatch)
    assert_no_leak(function, watched)
