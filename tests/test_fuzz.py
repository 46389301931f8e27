"""Property-based tests: arbitrary input never crashes the module, never
writes a broken audit rule, and the settings outline matches a plain Python
rendition of its layout rules."""

import contextlib
import io
import json
import random
import struct
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import zelta_events
from conftest import snapshot

FUZZ = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])

json_scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=True) | st.text()
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12)
# Paths as an attacker would write them: absolute or not, with spaces,
# newlines, control and non-ASCII characters.
paths = st.text(alphabet=st.characters(codec="utf-8") | st.sampled_from("/ \n\r\t\x7f-"), max_size=30)
path_values = (paths | st.lists(paths | json_scalars, max_size=4)
               | st.dictionaries(paths, json_scalars, max_size=4))


@contextlib.contextmanager
def patched(obj, **attributes):
    saved = {name: getattr(obj, name) for name in attributes}
    for name, value in attributes.items():
        setattr(obj, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(obj, name, value)


@contextlib.contextmanager
def quiet():
    with contextlib.redirect_stdout(io.StringIO()) as out:
        yield out


@FUZZ
@given(event=st.sampled_from(["modifying-file", "modifying-directory", "file-opened", "login"]),
       value=st.text(max_size=40) | json_values.map(json.dumps) | path_values.map(json.dumps),
       arch=st.sampled_from(["x86_64", "aarch64", "armv7l", "i686"]))
def test_set_properties_writes_whole_events_and_single_line_rules(catalogue, Admin, event, value, arch):
    written = []
    with patched(zelta_events, set_event_param=lambda *args: written.append(args)), quiet():
        cls = type("Machine", (Admin,), {"_ZeltaAdminEvents__arch": arch})
        admin = cls([event], [])
        admin.set_properties("audit", "paths", value)
    accepted = admin._ZeltaAdminEvents__need_daemon_restart
    special = event != "login"
    if not accepted:
        assert written == []
        return
    assert written[0] == (event, "audit", "paths", value)
    if not special:
        assert written == [written[0]]
        return
    assert len(written) == 2 and written[1][:3] == (event, "", "message-audit-rules")
    for rule in json.loads(written[1][3]):
        assert not any(ord(ch) < 32 or ord(ch) == 127 for ch in rule), rule


@FUZZ
@given(records=st.lists(st.text(max_size=20), max_size=6),
       events=st.none() | st.lists(st.text(max_size=6), max_size=5),
       groups=st.none() | st.lists(st.text(max_size=6), max_size=5))
def test_construction_with_arbitrary_catalogues_and_ids(lib, Admin, records, events, groups):
    known = [r.split(",")[0] for r in records]
    events_before, groups_before = list(events or ()), list(groups or ())
    with patched(zelta_events, get_event_ids_ex=lambda kind: list(records), get_event_ids=lambda: list(known),
                 get_group_ids=lambda: ["g"]), quiet() as out:
        try:
            admin = Admin(events, groups)
        except IndexError:
            assert any(len(r.split(",")) < 3 for r in records)
            return
    unknown = [e for e in events_before if e not in known] + [g for g in groups_before if g != "g"]
    for event_id in events or ():
        assert event_id in known
    assert groups is None or set(groups) <= {"g"}
    assert out.getvalue().count("Unknown ") >= len(unknown)
    assert set(admin._ZeltaAdminEvents__event_description) <= set(known)


def outline(settings_dict, labels, level=0):
    """The settings outline written out directly from its layout rules."""
    lines = []
    _outline(settings_dict, labels, level, lines)
    return "".join(lines)


def _outline(settings_dict, labels, level, lines):
    # Pieces gathered in one list and joined once: repeated += copies the
    # whole text each time, quadratic under the sanitizers' allocator.
    prefix = "    " * level
    for key, value in settings_dict.items():
        if isinstance(value, dict):
            label = f"({labels[key]['ru']})" if key in labels else ""
            lines += (prefix, key, label, ":\n")
            _outline(value, labels, level + 1, lines)
        else:
            lines += (prefix, key, ": ", str(value).replace("'", '"'), "\n")
    lines.append("\n")


# Any double at all, from its 64 bits: the outline writes floats itself.
any_double = st.integers(0, 2**64 - 1).map(lambda bits: struct.unpack("<d", bits.to_bytes(8, "little"))[0])
outline_values = st.recursive(
    json_scalars | any_double | st.text(st.characters(codec="utf-8") | st.sampled_from("'\"\\\n\x7f\x85\u200b")),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12)


@FUZZ
@given(settings_dict=st.dictionaries(st.text(max_size=8), outline_values, max_size=6),
       labels=st.dictionaries(st.text(max_size=8), st.text(max_size=4).map(lambda ru: {"ru": ru}), max_size=4))
def test_settings_outline_matches_its_rules(catalogue, Admin, settings_dict, labels):
    admin = Admin([], [])
    admin._ZeltaAdminEvents__event_section_translations = labels
    assert admin._ZeltaAdminEvents__get_event_config_string(settings_dict) == outline(settings_dict, labels)


def test_floats_show_as_repr_over_random_bit_patterns(catalogue, Admin):
    rng = random.Random(13)
    values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(100_000)]
    values += [0.0, -0.0, 5e-324, 1e16, 9999999999999998.0, 1e-4, 1e-5, 0.1, 1 / 3, 2.0**63, 1e22, -1.5e300]
    settings_dict = {str(i): [v] if i % 2 else v for i, v in enumerate(values)}
    assert Admin([], [])._ZeltaAdminEvents__get_event_config_string(settings_dict) == outline(settings_dict, {})


def description(records):
    table = {}
    for record in records:
        fields = record.split(",")
        table[fields[0]] = {"name_en": fields[1][1:-1], "name_ru": fields[2][1:-1]}
    return table


@FUZZ
@given(records=st.lists(st.text(st.sampled_from(',"ab ё\U0001f600'), max_size=12), max_size=8))
def test_description_tables_match_the_split_of_each_record(lib, Admin, records):
    try:
        expected = description(records)
    except IndexError:
        expected = IndexError
    with patched(zelta_events, get_event_ids_ex=lambda kind: list(records)):
        try:
            table = Admin._ZeltaAdminEvents__get_all_event_description()
        except IndexError:
            table = IndexError
    assert table == expected
    if table is not IndexError:
        assert list(table) == list(expected)
        assert [list(entry) for entry in table.values()] == [["name_en", "name_ru"]] * len(table)


# Keys that share a long prefix and differ past it, in every width of str.
sort_keys = st.text(max_size=8) | st.text("ab\x00\xff\u0100\uffff\U0001f600", max_size=12).map("param-0".__add__)


# A dozen leaves under each key keep the trees several levels deep; more
# leaves or examples only multiply the time spent drawing them, which is most
# of this test's time (under the sanitizers too).
@settings(FUZZ, max_examples=100)
@given(settings_dict=st.dictionaries(sort_keys, st.recursive(
    json_scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(sort_keys, inner, max_size=12),
    max_leaves=12), max_size=12))
def test_sorting_keeps_content_and_orders_every_level(Admin, settings_dict):
    original = json.dumps(settings_dict)
    result = Admin._ZeltaAdminEvents__sort_nested_dict(settings_dict)
    assert json.dumps(settings_dict) == original  # the argument is left alone
    assert result == settings_dict

    def ordered(value):
        if isinstance(value, dict):
            return list(value) == sorted(value) and all(ordered(v) for v in value.values())
        return True
    assert ordered(result)


if __name__ == "__main__":
    sys.exit(pytest.main([__file__]))


# ---- Hostile archives ------------------------------------------------------------

LAYOUT_FILES = ("etc/zelta-syslog.conf", "etc/audit/rules.d/zelta-syslog.rules",
                "etc/logrotate.d/syslog-ng-mod-zelta", "root/.config/zelta-event-watcher.notifyrc")
LAYOUT_DIRS = ("etc", "etc/audit", "etc/audit/rules.d", "etc/logrotate.d", "etc/syslog-ng",
               "etc/syslog-ng/conf.d", "root", "root/.config")


def in_layout(relative):
    return (relative in LAYOUT_FILES or relative in LAYOUT_DIRS
            or (relative.startswith("etc/syslog-ng/conf.d/mod-zelta") and relative.count("/") == 3))


components = st.sampled_from(["T", "etc", "audit", "rules.d", "zelta-syslog.conf", "syslog-ng", "conf.d",
                              "mod-zelta.conf", "root", ".config", "..", ".", "", "passwd", "x"])
member_names = (st.lists(components, min_size=1, max_size=6).map("/".join)
                | st.sampled_from([f"T/{p}" for p in LAYOUT_FILES + LAYOUT_DIRS] + ["/etc/passwd", "T"]))
member_kinds = st.sampled_from(["0", "5", "2", "1", "3", "6"])
members = st.lists(st.tuples(member_names, member_kinds, st.binary(max_size=8)), max_size=6)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(archive_members=members)
def test_random_archives_write_only_inside_the_layout(lib, Admin, archive_members):
    import os
    import tarfile
    import tempfile

    with tempfile.TemporaryDirectory() as top:
        root = os.path.join(top, "root")
        for relative in ("etc/audit/rules.d", "etc/logrotate.d", "etc/syslog-ng/conf.d", "outside"):
            os.makedirs(os.path.join(root, relative))
        with open(os.path.join(root, "etc/zelta-syslog.conf"), "w") as f:
            f.write("{}")
        open(os.path.join(root, "etc/zelta-syslog.conf.lock"), "w").close()  # the events library's lock
        os.makedirs(os.path.join(top, "elsewhere"))
        archive = os.path.join(top, "in.tar.gz")
        with tarfile.open(archive, "w:gz", format=tarfile.PAX_FORMAT) as tar:
            for name, kind, payload in archive_members:
                info = tarfile.TarInfo(name)
                info.type = kind.encode()
                if info.type == tarfile.REGTYPE:
                    info.size = len(payload)
                    tar.addfile(info, io.BytesIO(payload))
                else:
                    info.linkname = "/etc/passwd" if info.type in (tarfile.SYMTYPE, tarfile.LNKTYPE) else ""
                    tar.addfile(info)
        before = snapshot(top)
        cls = type("Host", (Admin,), {"_ZeltaAdminEvents__root_dir": __import__("pathlib").Path(root)})
        admin = cls([], [])
        planned = admin.plan_import_config(archive)
        assert snapshot(top) == before
        with quiet() as out:
            admin.import_config(archive)
        after = snapshot(top)
        imported = admin._ZeltaAdminEvents__need_daemon_restart
        event("imported" if imported else "refused")
        if not imported:
            assert after == before, out.getvalue()
            assert "Error importing configuration: " in out.getvalue()
            assert out.getvalue().endswith(planned["error"] + "\n")
            return
        changed = {p for p in set(before) | set(after) if before.get(p) != after.get(p)}
        assert planned["error"] is None
        assert {os.path.relpath(c["file"], top) for c in planned["changes"]} == changed
        for path in changed:
            assert path.startswith("root" + os.sep), path
            relative = os.path.relpath(os.path.join(top, path), root)
            assert in_layout(relative), relative
            assert not os.path.islink(os.path.join(top, path))


# ---- Plans against the operations they describe ---------------------------------

SAMPLE_SYSTEM = __import__("pathlib").Path(__file__).resolve().parent.parent / "examples" / "sample-system"
SAMPLE_EVENTS = ["modifying-file", "file-opened", "file-deleted", "user-login", "connection-opened",
                 "firewall-changed", "nope"]
SAMPLE_GROUPS = ["filesystem", "network", "sessions", "zz"]
id_lists = st.none() | st.lists(st.sampled_from(SAMPLE_EVENTS), max_size=3)
group_lists = st.none() | st.lists(st.sampled_from(SAMPLE_GROUPS), max_size=2)
audit_paths = st.sampled_from(["/etc/passwd", "/srv/a b", "/root/.ssh", "relative", "/tmp/ä"])
property_values = (st.sampled_from(["abc", "5", "null"]) | audit_paths.map(json.dumps)
                   | st.lists(audit_paths, max_size=3).map(json.dumps)
                   | st.dictionaries(audit_paths, json_scalars.filter(lambda v: v == v), max_size=2).map(json.dumps)
                   # Values the configuration file cannot hold, or holds beyond what import takes.
                   | st.sampled_from(['{"/a": NaN}', '["/a", 1e999]', '[-Infinity]', '{"/a": "\\udc80"}',
                                      '["/a\ud800"]', '{"/a": {"\\udfff": 1}}'])
                   | st.integers(250, 256).map(lambda n: '{"/a": ' + "[" * n + "]" * n + "}")
                   | st.sampled_from([1 << 20, (1 << 20) + 1]).map(lambda n: json.dumps("x" * (n - 2))))
# Parameters of "" may name a section; "enabled" of "" and the empty name
# are the library's to refuse.
property_targets = (st.tuples(st.just(""), st.sampled_from(["message-syslog-facility", "x", "audit", "enabled"]))
                    | st.tuples(st.sampled_from(["audit", "message", "filter", "new"]),
                                st.sampled_from(["paths", "template", "x", ""])))
sequence_operations = st.one_of(
    st.tuples(st.sampled_from(["enable", "disable"]), id_lists, group_lists),
    st.tuples(st.sampled_from(["set_facility", "set_priority"]), id_lists, group_lists,
              st.sampled_from(["local5", "info", "local3", 'war"n'])),
    st.tuples(st.just("set_properties"), id_lists, st.none(), property_targets, property_values),
    st.tuples(st.just("export")),
    st.tuples(st.just("import"), st.integers(0, 3)),
    st.tuples(st.just("scribble"), st.sampled_from(["etc/logrotate.d/syslog-ng-mod-zelta",
                                                    "root/.config/zelta-event-watcher.notifyrc"]), st.binary(max_size=4)),
    # A section of an event's current settings that is no object.
    st.tuples(st.just("spoil"), st.sampled_from(SAMPLE_EVENTS[:3]), st.sampled_from(["audit", "message"]),
              st.sampled_from([5, None, "x", [1]])),
)


@pytest.fixture(scope="module")
def standin():
    import importlib.util

    spec = importlib.util.spec_from_file_location(
        "zelta_events_for_plans", SAMPLE_SYSTEM.parent.parent / "events-standin" / "zelta_events.py")
    library = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(library)
    return library


def sample_class(module, root):
    """The administrator class working on the system tree at root."""
    return type("Host", (module.ZeltaAdminEvents,), {
        "_ZeltaAdminEvents__default_config_dir": root / "usr/share/syslog-ng-mod-zelta/event-settings",
        "_ZeltaAdminEvents__current_config_file": root / "etc/zelta-syslog.conf",
        "_ZeltaAdminEvents__param_ru_translations_file": root / "etc/wex-admin-events/eventsdictionary.json",
        "_ZeltaAdminEvents__root_dir": root})


@pytest.mark.parametrize("section, depth", [("audit", 253), ("", 254)])
def test_the_deepest_value_stored_survives_export_and_import(module, standin, monkeypatch, tmp_path, section, depth):
    import shutil

    root = tmp_path / "root"
    shutil.copytree(SAMPLE_SYSTEM, root, symlinks=True)
    monkeypatch.setenv("ZELTA_EVENTS_ROOT", str(root))
    monkeypatch.setattr(module, "zelta_events", standin)
    admin = sample_class(module, root)(["user-login"], [])
    value = "[" * depth + "]" * depth
    with quiet() as out:
        admin.set_properties(section, "p", "[" + value + "]")  # one level too many
        admin.set_properties(section, "p", value)
    assert out.getvalue() == f"Invalid VALUE: nested more than {depth} levels deep\n"
    archive = admin.write_config_archive(str(tmp_path / "a"))
    assert admin.plan_import_config(archive)["error"] is None


def effective_state(admin, library):
    """Every event's effective settings, its state as the library reports it under "enabled"."""
    state = {}
    for event_id in library.get_event_ids():
        state[event_id] = admin._ZeltaAdminEvents__get_event_config(event_id)
        state[event_id]["enabled"] = bool(library.is_event_enabled(event_id))
    return state


def applied(state, plan):
    """The state with the plan's changes made."""
    state = json.loads(json.dumps(state))
    for change in plan["changes"]:
        settings_of_event = state[change["event"]]
        if change["section"]:
            if not isinstance(settings_of_event.get(change["section"]), dict):
                settings_of_event[change["section"]] = {}
            settings_of_event = settings_of_event[change["section"]]
        settings_of_event[change["parameter"]] = change["after"]
    return state


@settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(operations=st.lists(sequence_operations, min_size=1, max_size=4).map(
    lambda middle: [("export",), *middle, ("import", 0)]))
def test_operations_change_exactly_what_their_plans_say(module, standin, monkeypatch, operations):
    import hashlib
    import os
    import pathlib
    import shutil
    import tempfile

    with tempfile.TemporaryDirectory() as top, monkeypatch.context() as patch:
        root = pathlib.Path(top) / "root"
        shutil.copytree(SAMPLE_SYSTEM, root, symlinks=True)
        patch.setenv("ZELTA_EVENTS_ROOT", str(root))
        patch.setattr(module, "zelta_events", standin)
        cls = sample_class(module, root)
        archives = []
        for operation in operations:
            name = operation[0]
            if name == "scribble":
                path = root / operation[1]
                # Export needs every file but the notification settings.
                if not operation[2] and path.name.endswith(".notifyrc"):
                    path.unlink(missing_ok=True)
                else:
                    path.write_bytes(operation[2])
                continue
            if name == "spoil":
                config_file = root / "etc/zelta-syslog.conf"
                config = json.loads(config_file.read_text())
                config.setdefault(operation[1], {})[operation[2]] = operation[3]
                config_file.write_text(json.dumps(config))
                continue
            if name == "export":
                archives.append(cls.write_config_archive(os.path.join(top, f"a{len(archives)}")))
                continue
            if name == "import":
                if not archives:
                    continue
                arguments, events, groups = (archives[operation[1] % len(archives)],), [], []
            elif name == "set_properties":
                events, groups, arguments = operation[1], operation[2], (*operation[3], operation[4])
            else:
                events, groups, arguments = operation[1], operation[2], operation[3:]
            with quiet():
                admin = cls(events, groups)
            before, state = snapshot(root), effective_state(admin, standin)
            plan = getattr(admin, ("plan_import_config" if name == "import" else "plan_" + name))(*arguments)
            assert snapshot(root) == before, "a plan wrote"
            raised = None
            with quiet() as out:
                try:
                    getattr(admin, "import_config" if name == "import" else name)(*arguments)
                except Exception as error:  # the events library refuses what the plan refused
                    raised = error
            event(f"{name}: {'refused' if plan['error'] else 'changes' if plan['changed'] else 'nothing'}")
            after = snapshot(root)
            if plan["error"]:
                # Refused with the plan's line and nothing written, or failed in the library.
                assert raised is not None or (out.getvalue().endswith(plan["error"] + "\n") and after == before)
                continue
            assert raised is None, (plan, raised)
            if name == "import":
                # The writers' lock file beside the configuration is no part of it.
                for state in (before, after):
                    state.pop("etc/zelta-syslog.conf.lock", None)
                expected = dict(before)
                for change in plan["changes"]:
                    relative = os.path.relpath(change["file"], root)
                    assert relative not in before or before[relative][4] != after[relative][4]
                    if change["type"] == "file":
                        assert hashlib.sha256(after[relative][4]).hexdigest() == change["after_sha256"]
                    expected[relative] = after[relative]
                assert after == expected
            else:
                assert effective_state(admin, standin) == applied(state, plan)
                assert {p for p in set(before) | set(after) if before.get(p) != after.get(p)} <= {
                    "etc/zelta-syslog.conf", "etc/zelta-syslog.conf.lock"}
            again = getattr(admin, ("plan_import_config" if name == "import" else "plan_" + name))(*arguments)
            assert again["changed"] is False, again
