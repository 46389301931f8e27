"""The Ansible collection zelta.admin_events: playbooks run by ansible-playbook
against localhost on copies of the sample system, and the daemon restart of
its modules in-process against the fake library."""

import importlib
import json
import os
import pathlib
import re
import shutil
import sys

import pytest

from conftest import run_tool, snapshot

REPO = pathlib.Path(__file__).resolve().parents[1]
SAMPLE = REPO / "examples" / "sample-system"
PLAYBOOK = pathlib.Path(sys.executable).parent / "ansible-playbook"
SKIPPED = "Restart of syslog-ng and auditd skipped: root {root} is in use."

needs_ansible = pytest.mark.skipif(not PLAYBOOK.exists(), reason="ansible-core is not installed beside this Python")


def fleet_playbook():
    return (REPO / "examples" / "ansible" / "site.yml").read_text()


def host_copy(tmp_path, name="host"):
    root = tmp_path / name
    shutil.copytree(SAMPLE, root, symlinks=True)
    return root


def ansible_playbook(tmp_path, playbook, root, *options):
    """Runs the playbook on localhost in group zelta_hosts, with root as the
    host tree; returns the output and the task results in order."""
    (tmp_path / "site.yml").write_text(playbook)
    (tmp_path / "hosts.ini").write_text(
        f"[zelta_hosts]\nlocalhost ansible_connection=local ansible_python_interpreter={sys.executable}"
        f" baseline_root={root}\n")
    home = tmp_path / "ansible-home"
    (tmp_path / "ansible.cfg").write_text("[defaults]\n")  # none of the user's or the machine's
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=str(REPO), ANSIBLE_HOME=str(home),
               ANSIBLE_LOCAL_TEMP=str(home / "tmp"), ANSIBLE_REMOTE_TEMP=str(home / "tmp"),
               ANSIBLE_CONFIG=str(tmp_path / "ansible.cfg"), ANSIBLE_NOCOLOR="1", ANSIBLE_CALLBACK_RESULT_FORMAT="json",
               ANSIBLE_LOCALHOST_WARNING="0", PYTHONWARNINGS="ignore")
    done = run_tool([PLAYBOOK, "-v", "-i", "hosts.ini", "site.yml", *options], env=env, cwd=tmp_path)
    output = done.stdout + done.stderr
    results = [dict(json.loads(m[2]), failed=m[1] in ("fatal", "failed")) for m in re.finditer(
        r"^(\w+): \[localhost\](?:: FAILED!)?(?: (?:=> )?\(item=.*?\))?\s+=> (\{.*\})$", done.stdout, re.M)]
    recap = re.search(r"localhost\s*: ok=(\d+)\s+changed=(\d+)\s+unreachable=\d+\s+failed=(\d+)", done.stdout)
    assert recap, output
    return output, results, dict(zip(("ok", "changed", "failed"), map(int, recap.groups())))


@needs_ansible
def test_fleet_playbook_changes_then_nothing_and_restarts_once(tmp_path):
    root = host_copy(tmp_path)
    output, results, recap = ansible_playbook(tmp_path, fleet_playbook(), root)
    assert recap["changed"] == 1 and recap["failed"] == 0, output
    changed = [r for r in results if r.get("changed")]
    assert len(changed) == 4, output
    assert all(r["changes"] and not r["restarted"] for r in changed)
    # Four changed loop items, one handler run.
    assert output.count(SKIPPED.format(root=root)) == 1
    written = snapshot(root)
    assert written != snapshot(SAMPLE)

    output, results, recap = ansible_playbook(tmp_path, fleet_playbook(), root)
    assert recap["changed"] == 0 and recap["failed"] == 0, output
    assert SKIPPED.format(root=root) not in output
    assert snapshot(root) == written


@needs_ansible
def test_check_diff_shows_the_plan_and_writes_nothing(tmp_path):
    root = host_copy(tmp_path)
    output, results, recap = ansible_playbook(tmp_path, fleet_playbook(), root, "--check", "--diff")
    assert recap["changed"] == 1 and recap["failed"] == 0, output
    assert snapshot(root) == snapshot(SAMPLE)
    assert re.search(r'^-\s+"enabled": false,$', output, re.M) and re.search(r'^\+\s+"enabled": true,$', output, re.M)
    assert re.search(r'^\+\s+"message-syslog-facility": "local3"$', output, re.M)
    network = next(r for r in results if r.get("item", {}).get("groups") == ["network"])
    assert {"event": "connection-opened", "section": "", "parameter": "enabled",
            "before": False, "after": True} in network["changes"]


# Tasks of one playbook, run in order on one host copy: options of
# zelta.admin_events.event, then whether the task fails (with the message)
# or what it changes.
EVENT_TASKS = [
    ({"events": ["nope"], "groups": ["network", "nogroup"], "state": "enabled"},
     "Unknown group ID: nogroup; Unknown event ID: nope"),
    ({"state": "enabled"}, "Name at least one event or group."),
    ({"events": ["user-login"]}, "one of the following is required: state, facility, priority, properties"),
    ({"events": ["user-login"], "properties": [{"section": "x", "parameter": "y", "value": "5"}]},
     "Invalid VALUE: a number; give a string, an array or an object"),
    # The daemon's own parameters are checked as set-facility checks them.
    ({"events": ["user-login"], "properties": [{"section": "", "parameter": "message-syslog-facility",
                                                 "value": json.dumps('bogus\n}; destination x { program("id"); };')}]},
     "message-syslog-facility: unknown facility 'bogus\\n}; destination x { program(\"id\"); };'; choose from "
     + ", ".join(["auth", "authpriv", "cron", "daemon", "ftp", "kern", "lpr", "mail", "news", "security", "syslog",
                  "user", "uucp"] + [f"local{n}" for n in range(8)])),
    ({"events": ["user-login"], "properties": [{"section": "x", "parameter": "y", "value": "{nope"}]},
     "The VALUE should be in JSON format"),
    # A refused path stops the whole task before its first change.
    ({"events": ["modifying-file"], "state": "disabled",
      "properties": [{"section": "audit", "parameter": "paths", "value": ["relative/path"]}]},
     "Invalid path in VALUE: 'relative/path'"),
    ({"events": ["modifying-file"], "properties": [{"section": "audit", "parameter": "paths",
                                                     "value": ["/srv/shared docs"]}]},
     [("modifying-file", "audit", "paths"), ("modifying-file", "", "message-audit-rules")]),
    # The same value as JSON text: nothing left to change.
    ({"events": ["modifying-file"], "properties": [{"section": "audit", "parameter": "paths",
                                                     "value": '[ "/srv/shared docs" ]'}]}, []),
    ({"groups": ["devices"], "events": ["user-login"], "priority": "warning", "restart": True},
     [("user-login", "", "message-syslog-priority")] + [
         (event, "", "message-syslog-priority")
         for event in sorted(os.listdir(SAMPLE / "usr/share/syslog-ng-mod-zelta/event-settings/devices"))]),
    # An alias is the name it stands for: nothing left to change.
    ({"events": ["user-login"], "priority": "warn"}, []),
]


@pytest.fixture(scope="module")
def event_results(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("event")
    root = host_copy(tmp_path)
    tasks = [{"zelta.admin_events.event": dict(options, root=str(root)), "ignore_errors": True}
             for options, _ in EVENT_TASKS]
    playbook = json.dumps([{"hosts": "zelta_hosts", "gather_facts": False, "tasks": tasks}])
    output, results, _ = ansible_playbook(tmp_path, playbook, root)
    assert len(results) == len(EVENT_TASKS), output
    return root, results


@needs_ansible
@pytest.mark.parametrize("index", range(len(EVENT_TASKS)))
def test_event_module(event_results, index):
    root, results = event_results
    result, expected = results[index], EVENT_TASKS[index][1]
    if isinstance(expected, str):
        assert result["failed"] and result["msg"] == expected and not result["changed"]
    else:
        changed = [(c["event"], c["section"], c["parameter"]) for c in result["changes"]]
        # By event ID, as the listings show them; each event's changes in the order made.
        assert changed == sorted(expected, key=lambda change: change[0])
        # A host tree is never restarted from.
        assert result["changed"] == bool(expected) and result["restarted"] is False
    if index == 0:
        assert (result["unknown_events"], result["unknown_groups"]) == (["nope"], ["nogroup"])


@needs_ansible
def test_config_module_exports_and_imports_idempotently(tmp_path):
    source, target = host_copy(tmp_path, "source"), host_copy(tmp_path, "target")
    archive, planned = tmp_path / "site-a.tar.gz", tmp_path / "planned.tar.gz"
    broken = tmp_path / "broken.tar.gz"
    broken.write_text("not an archive\n")

    def config(state, path, root, **extra):
        return dict({"zelta.admin_events.config": {"state": state, "path": str(path), "root": str(root)},
                     "ignore_errors": True}, **extra)

    tasks = [
        {"zelta.admin_events.event": {"groups": ["network"], "state": "enabled", "root": str(source)}},
        config("exported", archive, source),
        config("exported", archive, source),
        config("exported", planned, source, check_mode=True),
        config("imported", archive, target, check_mode=True, diff=True),
        config("imported", archive, target),
        config("imported", archive, target),
        config("imported", broken, target),
    ]
    playbook = json.dumps([{"hosts": "zelta_hosts", "gather_facts": False, "tasks": tasks}])
    output, results, _ = ansible_playbook(tmp_path, playbook, target)
    assert len(results) == len(tasks), output
    exported, again, check_export, check_import, imported, import_again, refused = results[1:]
    assert exported["changed"] and not again["changed"] and exported["members"] == again["members"]
    assert exported["members"][0]["name"] == "site-a/etc/zelta-syslog.conf"
    assert check_export["changed"] and not planned.exists()
    # The check wrote nothing: the real import still has the same work to do.
    assert check_import["changed"] and check_import["changes"] == imported["changes"]
    assert [c["file"] for c in imported["changes"]] == [str(target / "etc/zelta-syslog.conf")]
    assert '"enabled": true' in output  # the text diff of the configuration file
    assert not import_again["changed"] and not imported["restarted"]
    assert refused["failed"] and refused["msg"].startswith("Error importing configuration: ")
    assert (target / "etc/zelta-syslog.conf").read_bytes() == (source / "etc/zelta-syslog.conf").read_bytes()


# ---- the daemon restart, in-process -----------------------------------------------

def collection_module(name):
    """A Python module of the collection, imported from this checkout."""
    sys.path.insert(0, str(REPO))
    try:
        return importlib.import_module(f"ansible_collections.zelta.admin_events.plugins.{name}")
    finally:
        sys.path.remove(str(REPO))


@pytest.fixture
def backend():
    return collection_module("module_utils.backend")


@pytest.mark.parametrize("statuses, failed", [
    ({}, []),
    ({"auditd": 3}, [("systemctl restart auditd", 3)]),
    ({"syslog-ng.service": 1, "auditd": 1}, [("systemctl restart syslog-ng.service", 1),
                                               ("systemctl restart auditd", 1)]),
])
def test_restart_runs_both_commands_quietly_and_fails_on_either(backend, Admin, catalogue, tmp_path, monkeypatch,
                                                                capfd, statuses, failed):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "systemctl.log"
    cases = "".join(f"    {unit}) echo 'failed: {unit}'; exit {status};;\n" for unit, status in statuses.items())
    (bin_dir / "systemctl").write_text(f'#!/bin/sh\necho "$*" >> {log}\ncase "$2" in\n{cases}esac\n')
    (bin_dir / "systemctl").chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")
    admin = Admin(["file-opened"], [])
    admin.enable()
    capfd.readouterr()

    system = backend.System()
    if failed:
        with pytest.raises(backend.Failure) as raised:
            system.restart(admin)
        reported = raised.value.details["failed_commands"]
        assert [(f["command"], f["rc"]) for f in reported] == failed
        assert all(f["output"].startswith("failed: ") for f in reported)
    else:
        system.restart(admin)
    assert log.read_text().splitlines() == ["restart syslog-ng.service", "restart auditd"]
    assert capfd.readouterr().out == ""  # the module's result alone goes to standard output


# ---- documentation ----------------------------------------------------------------

def _documented(options):
    """The options of ansible-doc's JSON, laid out as a module's ARGUMENT_SPEC."""
    arguments = {}
    for name, doc in options.items():
        entry = {"type": doc.get("type", "str")}
        for key in ("elements", "choices", "default"):
            if doc.get(key) is not None:
                entry[key] = doc[key]
        if doc.get("required"):
            entry["required"] = True
        if "suboptions" in doc:
            entry["options"] = _documented(doc["suboptions"])
        arguments[name] = entry
    return arguments


@needs_ansible
def test_module_documentation_matches_the_arguments():
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=str(REPO), PYTHONWARNINGS="ignore")
    done = run_tool([PLAYBOOK.with_name("ansible-doc"), "--json", "-t", "module",
                     "zelta.admin_events.event", "zelta.admin_events.config"], env=env)
    assert done.returncode == 0, done.stderr
    docs = json.loads(done.stdout)
    for name in ("event", "config"):
        doc = docs[f"zelta.admin_events.{name}"]
        assert _documented(doc["doc"]["options"]) == collection_module(f"modules.{name}").ARGUMENT_SPEC
        assert doc["examples"].strip() and doc["return"]
