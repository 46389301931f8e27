"""Time show_event over many large event settings.

50 events in 5 groups; each event's default settings hold 2,000 parameters
in 40 sections, with values of every JSON kind. The current configuration
file holds a member for every event. Two layouts of that file are timed:
a few changed parameters per event (what set-facility and set-property
leave behind), and a full copy of every event's settings.

With the full copy the current configuration file is some 3 MB; show_event
parses it once per listing, not once per event.

The pager is replaced by a sink and the events library by an in-process
fake, so the figure is the module's own work: reading and parsing the
files, merging, sorting and building the text.

Run: .venv/bin/python bench/bench_settings.py
"""

import json
import pathlib
import statistics
import sys
import tempfile
import time
import types

EVENTS = 50
GROUPS = 5
SECTIONS = 40
PARAMETERS = 2000
TARGET_MS = 150.0


def install_fake_library(event_ids, group_ids):
    fake = types.ModuleType("zelta_events")
    fake.get_event_ids = lambda: list(event_ids)
    fake.get_group_ids = lambda: list(group_ids)
    fake.get_event_ids_ex = lambda kind: [f'{e},"Event {e}","Событие {e}"' for e in event_ids]
    fake.get_group_ids_ex = lambda kind: [f'{g},"Group {g}","Группа {g}"' for g in group_ids]
    fake.is_event_enabled = lambda event_id: 1
    sys.modules["zelta_events"] = fake


def value_of(n):
    kind = n % 6
    if kind == 0:
        return f"value '{n}' ё"
    if kind == 1:
        return n * 7
    if kind == 2:
        return n / 3
    if kind == 3:
        return n % 4 == 0
    if kind == 4:
        return [f"/var/log/{n}", "it's", n]
    return None


def default_settings(event_index):
    per_section = PARAMETERS // SECTIONS
    return {
        f"section-{s:02d}-{event_index}": {f"param-{p:03d}": value_of(s * per_section + p)
                                          for p in reversed(range(per_section))}
        for s in reversed(range(SECTIONS))
    }


def build_tree(root, event_ids, group_ids, full_current):
    settings_dir = root / "event-settings"
    current = {}
    for i, event_id in enumerate(event_ids):
        group_dir = settings_dir / group_ids[i % GROUPS]
        group_dir.mkdir(parents=True, exist_ok=True)
        defaults = default_settings(i)
        (group_dir / event_id).write_text(json.dumps(defaults, ensure_ascii=False))
        if full_current:
            current[event_id] = defaults
        else:
            current[event_id] = {"message-syslog-facility": "local0",
                                 f"section-00-{i}": {"param-000": "changed"}}
    current_file = root / "zelta-syslog.conf"
    current_file.write_text(json.dumps(current, ensure_ascii=False))
    translations = root / "eventsdictionary.json"
    translations.write_text(json.dumps({f"section-{s:02d}-0": {"ru": f"Раздел {s}"} for s in range(SECTIONS)},
                                       ensure_ascii=False))
    return settings_dir, current_file, translations


def measure(admin, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        admin.show_event()
        times.append((time.perf_counter() - start) * 1000)
    return min(times), statistics.median(times)


def main():
    event_ids = [f"event-{i:02d}" for i in range(EVENTS)]
    group_ids = [f"group-{g}" for g in range(GROUPS)]
    install_fake_library(event_ids, group_ids)

    import pydoc

    from zelta_admin_events import admin_events

    shown = []
    pydoc.pipepager = lambda text, cmd: shown.append(len(text))
    admin_events.LANG = "name_ru"  # section labels loaded and looked up

    with tempfile.TemporaryDirectory() as tmp:
        for label, full_current in (("few current changes", False), ("full current copy", True)):
            root = pathlib.Path(tmp) / label.replace(" ", "-")
            settings_dir, current_file, translations = build_tree(root, event_ids, group_ids, full_current)
            Admin = type("Admin", (admin_events.ZeltaAdminEvents,), {
                "_ZeltaAdminEvents__default_config_dir": settings_dir,
                "_ZeltaAdminEvents__current_config_file": current_file,
                "_ZeltaAdminEvents__param_ru_translations_file": translations,
            })
            admin = Admin(list(event_ids), None)
            admin.show_event()  # warm the file cache and the lazy imports
            best, median = measure(admin, runs=7)
            verdict = "ok" if median < TARGET_MS else "OVER TARGET"
            print(f"show_event, {EVENTS} events x {PARAMETERS} parameters in {SECTIONS} sections, {label}: "
                  f"best {best:.1f} ms, median {median:.1f} ms, text {shown[-1]:,} chars "
                  f"(target {TARGET_MS:.0f} ms: {verdict})")


if __name__ == "__main__":
    main()
