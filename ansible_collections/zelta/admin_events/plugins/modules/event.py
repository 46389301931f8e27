# -*- coding: utf-8 -*-

from __future__ import annotations

DOCUMENTATION = r"""
---
module: event
short_description: Enable, disable and configure the events that syslog-ng-mod-zelta records
description:
  - Sets the enabled state, the syslog facility and priority and any parameter of the named events
    and of every event of the named groups, as C(zelta-admin-events) does on the command line.
  - The module plans first and changes only what the plan lists, so a second run with the same
    options changes nothing. For the file-watching events (V(modifying-file), V(modifying-directory),
    V(file-opened)) a parameter change also derives their audit rules.
  - After a change the logging daemon and the audit daemon are restarted (C(syslog-ng.service),
    then C(auditd)) unless O(restart=false) or O(root) is given.
  - Named IDs that the events library does not know fail the task before anything is changed.
version_added: 0.1.0
author:
  - zelta-admin-events developers
requirements:
  - the Python package C(zelta_admin_events) with its events library on the managed host;
    set C(ansible_python_interpreter) to the Python it is installed for
options:
  events:
    description:
      - Event IDs to act on.
    type: list
    elements: str
    default: []
  groups:
    description:
      - Group IDs; every event of each group is acted on.
      - Not used by O(properties), which applies to O(events) only.
    type: list
    elements: str
    default: []
  state:
    description:
      - Whether the events are to be enabled or disabled. Left as they are when not given.
    type: str
    choices: [enabled, disabled]
  facility:
    description:
      - The syslog facility of the events' messages; V(security) is stored as V(auth).
    type: str
    choices: [auth, authpriv, cron, daemon, ftp, kern, lpr, mail, news, security, syslog, user, uucp,
              local0, local1, local2, local3, local4, local5, local6, local7]
  priority:
    description:
      - The syslog priority of the events' messages; the aliases V(panic), V(error) and V(warn) are stored
        as V(emerg), V(err) and V(warning).
    type: str
    choices: [emerg, panic, alert, crit, err, error, warning, warn, notice, info, debug]
  properties:
    description:
      - Parameters of the named O(events), set in the order given.
      - In section V(""), V(message-syslog-facility) and V(message-syslog-priority) must name a syslog
        facility or priority (as O(facility) and O(priority)), V(enabled) must be V(true) or V(false)
        (and switches the events as O(state) does), and V(message-audit-rules), derived from the
        watched paths, cannot be set.
    type: list
    elements: dict
    suboptions:
      section:
        description:
          - The settings section that holds the parameter; V("") for a parameter directly under the event.
        type: str
        required: true
      parameter:
        description:
          - The parameter's name.
        type: str
        required: true
      value:
        description:
          - The value, either as JSON text (a string, parsed as JSON) or as a structure that the
            module writes as JSON. Strings, lists and dictionaries are accepted; for the
            file-watching events it names the watched paths.
        type: raw
        required: true
  root:
    description:
      - Work on the host tree below this directory instead of V(/), as C(zelta-admin-events --root) does.
        The events library is pointed there as well, and the daemons are never restarted.
    type: path
  restart:
    description:
      - Restart the daemons when something changed. Leave it off and notify a handler to restart
        them once for several tasks, as the role P(zelta.admin_events.baseline#role) does.
    type: bool
    default: true
attributes:
  check_mode:
    support: full
    description: Returns the plan and writes nothing.
  diff_mode:
    support: full
    description: The values of the changed parameters before and after, by event.
notes:
  - For the file-watching events every parameter set through O(properties) also derives their audit rules
    from its value, so give them path values only.
  - The values compared are the merged settings of each event (its shipped defaults overridden
    by the current configuration), so a value equal to the default counts as no change.
seealso:
  - module: zelta.admin_events.config
"""

EXAMPLES = r"""
- name: Watch the password files and report openings of them
  zelta.admin_events.event:
    events: [modifying-file]
    state: enabled
    properties:
      - section: audit
        parameter: paths
        value: [/etc/passwd, /etc/shadow]

- name: Disable the network group and send its messages to local3
  zelta.admin_events.event:
    groups: [network]
    state: disabled
    facility: local3

- name: Set a parameter from JSON text, restarting the daemons later
  zelta.admin_events.event:
    events: [file-opened]
    properties:
      - section: audit
        parameter: paths
        value: '["/srv/shared docs"]'
    restart: false
  notify: Restart zelta daemons
"""

RETURN = r"""
changes:
  description:
    - What was changed (or, in check mode, would be), one entry per event and parameter, by event ID
      (each event's parameters in the order changed).
    - O(state) changes the parameter V(enabled), O(facility) and O(priority) change
      V(message-syslog-facility) and V(message-syslog-priority); these and the derived
      V(message-audit-rules) have the section V("").
  returned: success
  type: list
  elements: dict
  contains:
    event:
      description: The event ID.
      type: str
    section:
      description: The settings section of the parameter, V("") for none.
      type: str
    parameter:
      description: The parameter's name.
      type: str
    before:
      description: The value before the change; null when the event had none.
      type: raw
    after:
      description: The value after the change.
      type: raw
  sample:
    - {event: connection-opened, section: "", parameter: enabled, before: false, after: true}
restarted:
  description: Whether the daemons were restarted.
  returned: success
  type: bool
  sample: true
unknown_events:
  description: The event IDs that the events library does not know.
  returned: failure because of unknown IDs
  type: list
  elements: str
  sample: [no-such-event]
unknown_groups:
  description: The group IDs that the events library does not know.
  returned: failure because of unknown IDs
  type: list
  elements: str
  sample: []
failed_commands:
  description: The restart commands that failed, with their exit status and output.
  returned: failure of the restart
  type: list
  elements: dict
  sample: [{command: systemctl restart auditd, rc: 1, output: "Failed to restart auditd.service"}]
"""

import json
import os
import traceback

from ansible.module_utils.basic import AnsibleModule, missing_required_lib

from ansible_collections.zelta.admin_events.plugins.module_utils.backend import (
    IMPORT_ERROR, LIBRARY, Failure, Refused, System, _, describe, prepare, root_error)


# The names syslog knows; another value would be written as it is and break
# the logging daemon's configuration.
FACILITIES = ["auth", "authpriv", "cron", "daemon", "ftp", "kern", "lpr", "mail", "news", "security", "syslog",
              "user", "uucp"] + ["local%d" % n for n in range(8)]
PRIORITIES = ["emerg", "panic", "alert", "crit", "err", "error", "warning", "warn", "notice", "info", "debug"]


def json_text(value):
    """A string is JSON text already; anything else is written as JSON."""
    return value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)


def operations(params):
    """The operations the options ask for, in the order they are made."""
    wanted = []
    if params["state"] is not None:
        wanted.append(("enable",) if params["state"] == "enabled" else ("disable",))
    if params["facility"] is not None:
        wanted.append(("set_facility", params["facility"]))
    if params["priority"] is not None:
        wanted.append(("set_priority", params["priority"]))
    for item in params["properties"] or ():
        wanted.append(("set_properties", item["section"], item["parameter"], json_text(item["value"])))
    return wanted


def by_event(changes, side):
    """{event: {parameter: value, section: {parameter: value}}}, laid out as the
    settings are; a parameter changed twice shows its first value and its last."""
    values = {}
    for change in changes:
        settings = values.setdefault(change["event"], {})
        if change["section"]:
            settings = settings.setdefault(change["section"], {})
        if side == "after" or change["parameter"] not in settings:
            settings[change["parameter"]] = change[side]
    return values


ARGUMENT_SPEC = dict(
    events=dict(type="list", elements="str", default=[]),
    groups=dict(type="list", elements="str", default=[]),
    state=dict(type="str", choices=["enabled", "disabled"]),
    facility=dict(type="str", choices=FACILITIES),
    priority=dict(type="str", choices=PRIORITIES),
    properties=dict(type="list", elements="dict", options=dict(
        section=dict(type="str", required=True),
        parameter=dict(type="str", required=True),
        value=dict(type="raw", required=True),
    )),
    root=dict(type="path"),
    restart=dict(type="bool", default=True),
)


def run(module, result):
    params = module.params
    if not params["events"] and not params["groups"]:
        module.fail_json(msg=_("Name at least one event or group."))
    if root_error(params["root"]):
        module.fail_json(msg=root_error(params["root"]))
    if params["properties"] and not params["events"]:
        module.warn(_("Properties are set on the named events only; no event is named."))
    wanted = operations(params)

    prepare(params["root"])
    system = System(params["root"])
    admin = system.open(params["events"], params["groups"])
    unknown = system.unknown_ids(admin)
    if unknown["events"] or unknown["groups"]:
        # One line for each, as the administration module reports them.
        lines = (["{0}: {1}".format(_("Unknown group ID"), group_id) for group_id in unknown["groups"]]
                 + ["{0}: {1}".format(_("Unknown event ID"), event_id) for event_id in unknown["events"]])
        module.fail_json(msg="; ".join(lines), unknown_events=unknown["events"], unknown_groups=unknown["groups"])

    # Every operation is planned before the first one is made, so that a
    # refused value changes nothing.
    plans = [system.plan(admin, *operation) for operation in wanted]
    for plan in plans:
        if plan["error"]:
            module.fail_json(msg=plan["error"])

    changes, workers = result["changes"], []
    try:
        if module.check_mode:
            for plan in plans:
                changes.extend(plan["changes"])
        else:
            with system.lock():  # the task's changes as one, between other front ends' changes
                for operation in wanted:
                    plan, worker = system.apply(admin, *operation)
                    changes.extend(plan["changes"])
                    if worker is not None:
                        workers.append(worker)
        result["changed"] = bool(changes)
        if module._diff:
            result["diff"] = dict(before=by_event(changes, "before"), after=by_event(changes, "after"))
        if workers and params["restart"] and system.root is None:
            system.restart(workers[-1])
            result["restarted"] = True
    finally:
        system.record()  # the changes the restart has not recorded: not restarted


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True,
                           required_one_of=[["state", "facility", "priority", "properties"]])
    if IMPORT_ERROR is not None:
        module.fail_json(msg=missing_required_lib(LIBRARY), exception=IMPORT_ERROR)
    result = dict(changed=False, changes=[], restarted=False)
    try:
        run(module, result)
    except Refused as error:  # this operation wrote nothing; those before it stay made
        module.fail_json(msg=str(error), **dict(result, changed=bool(result["changes"])))
    except Failure as error:  # what was changed before stays changed
        module.fail_json(msg=str(error), **dict(result, changed=True, **error.details))
    except Exception as error:  # pylint: disable=broad-except
        module.fail_json(msg=describe(error), exception=traceback.format_exc(),
                         **dict(result, changed=bool(result["changes"])))
    module.exit_json(**result)


if __name__ == "__main__":
    main()
