# -*- coding: utf-8 -*-

from __future__ import annotations

DOCUMENTATION = r"""
---
module: config
short_description: Export or import the configuration of syslog-ng-mod-zelta as a .tar.gz archive
description:
  - With O(state=exported), writes the module's configuration files into an archive at O(path) on
    the managed host, as C(zelta-admin-events export) does. An existing archive whose members are
    the same (names, kinds, permissions, owners and contents; modification times are not compared)
    is left as it is and the task reports no change; otherwise the archive is replaced whole.
  - With O(state=imported), restores the archive at O(path) on the managed host, as
    C(zelta-admin-events import) does. The archive is checked and planned first; when every file
    it holds is already in place the task changes nothing. After an import the logging daemon and
    the audit daemon are restarted unless O(restart=false) or O(root) is given.
version_added: 0.1.0
author:
  - zelta-admin-events developers
requirements:
  - the Python package C(zelta_admin_events) with its events library on the managed host;
    set C(ansible_python_interpreter) to the Python it is installed for
options:
  path:
    description:
      - The archive on the managed host. C(.tar.gz) is appended to a name that does not end with it.
      - The archive's top-level directory is named after the file name up to its first dot.
    type: path
    required: true
  state:
    description:
      - V(exported) writes the archive, V(imported) restores it.
    type: str
    choices: [exported, imported]
    required: true
  root:
    description:
      - Work on the host tree below this directory instead of V(/), as C(zelta-admin-events --root) does.
        The events library is pointed there as well, and the daemons are never restarted.
    type: path
  restart:
    description:
      - With O(state=imported), restart the daemons when the import changed something.
    type: bool
    default: true
attributes:
  check_mode:
    support: full
    description: Writes nothing; an export is built in a temporary directory to be compared.
  diff_mode:
    support: full
    description: >-
      The member list of the archive before and after an export; for an import, the contents of
      each text file it would create or replace.
seealso:
  - module: zelta.admin_events.event
"""

EXAMPLES = r"""
- name: Save the configuration of every host
  zelta.admin_events.config:
    state: exported
    path: /var/backups/zelta-{{ inventory_hostname }}.tar.gz

- name: Fetch the archives to the controller
  ansible.builtin.fetch:
    src: /var/backups/zelta-{{ inventory_hostname }}.tar.gz
    dest: backups/
    flat: true

- name: Restore a reference configuration
  zelta.admin_events.config:
    state: imported
    path: /var/tmp/zelta-reference.tar.gz
"""

RETURN = r"""
path:
  description: The archive written or read.
  returned: success
  type: str
  sample: /var/backups/zelta-web1.tar.gz
members:
  description: The members of the archive written, in order; modification times are left out.
  returned: success, with O(state=exported)
  type: list
  elements: dict
  contains:
    name:
      description: The member's name.
      type: str
    type:
      description: V(file), V(directory), V(symlink) or V(other).
      type: str
    mode:
      description: The permission bits, in octal.
      type: str
    uid:
      description: The owner's user ID.
      type: int
    gid:
      description: The owner's group ID.
      type: int
    linkname:
      description: The target of a link member; empty for other kinds.
      type: str
    sha256:
      description: The SHA-256 of a file member's content; null for other kinds.
      type: str
changes:
  description: The files the import created or replaced (or, in check mode, would), in order.
  returned: success, with O(state=imported)
  type: list
  elements: dict
  contains:
    file:
      description: The destination's path, below O(root) when it is given.
      type: str
    action:
      description: V(create) or V(replace).
      type: str
    type:
      description: V(file) or V(directory).
      type: str
    before_sha256:
      description: The SHA-256 of the file before; null for a new file and for directories.
      type: str
    after_sha256:
      description: The SHA-256 of the file after; null for directories.
      type: str
  sample:
    - {file: /etc/zelta-syslog.conf, action: replace, type: file, before_sha256: 9f86d0..., after_sha256: 2c26b4...}
restarted:
  description: Whether the daemons were restarted.
  returned: success, with O(state=imported)
  type: bool
  sample: true
failed_commands:
  description: The restart commands that failed, with their exit status and output.
  returned: failure of the restart
  type: list
  elements: dict
  sample: [{command: systemctl restart auditd, rc: 1, output: "Failed to restart auditd.service"}]
"""

import hashlib
import os
import shutil
import tarfile
import tempfile
import traceback

from ansible.module_utils.basic import AnsibleModule, missing_required_lib

from ansible_collections.zelta.admin_events.plugins.module_utils.backend import (
    IMPORT_ERROR, LIBRARY, Failure, Refused, System, _, describe, prepare, root_error)

SUFFIX = ".tar.gz"
KINDS = ((tarfile.TarInfo.isfile, "file"), (tarfile.TarInfo.isdir, "directory"), (tarfile.TarInfo.issym, "symlink"))


def members(path):
    """The members of an archive, without their modification times; None when
    the file is not a readable archive."""
    listed = []
    try:
        with tarfile.open(path, "r:gz") as archive:
            for member in archive:
                kind = next((name for test, name in KINDS if test(member)), "other")
                digest = None
                if member.isfile():
                    digest = hashlib.sha256(archive.extractfile(member).read()).hexdigest()
                listed.append(dict(name=member.name, type=kind, mode="%04o" % member.mode, uid=member.uid,
                                   gid=member.gid, linkname=member.linkname, sha256=digest))
    except (OSError, EOFError, tarfile.TarError):
        return None
    return listed


def listing(archive_members):
    """The members as text lines, for the diff."""
    return "".join("{name} {type} {mode} {uid}:{gid} {0}".format(m["sha256"] or m["linkname"], **m).rstrip() + "\n"
                   for m in archive_members or ())


def export(module, system, result):
    path = module.params["path"]
    target = path if path.endswith(SUFFIX) else path + SUFFIX
    result["path"] = target
    # Written beside the archive and renamed over it (one file system), or in
    # check mode only into a temporary directory, compared, and removed.
    directory = None if module.check_mode else (os.path.dirname(os.path.abspath(target)) or "/")
    work = tempfile.mkdtemp(prefix=".zelta-export-", dir=directory)
    try:
        written = system.write_archive(os.path.join(work, os.path.basename(target)))
        after = members(written)
        before = members(target) if os.path.lexists(target) else None
        result["members"] = after
        result["changed"] = before != after
        if module._diff:
            result["diff"] = dict(before=listing(before), after=listing(after),
                                  before_header=target, after_header=target)
        if result["changed"] and not module.check_mode:
            os.replace(written, target)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def restore(module, system, result):
    path = result["path"] = module.params["path"]
    admin = system.open([], [])
    plan = system.plan(admin, "import_config", path, texts=module._diff)
    if plan["error"]:
        module.fail_json(msg=plan["error"], **result)
    planned = plan["changes"]
    result["changes"] = [{key: value for key, value in change.items() if not key.endswith("_text")}
                         for change in planned]
    result["changed"] = bool(planned)
    if module._diff:
        result["diff"] = [dict(before_header=change["file"], after_header=change["file"],
                               before=change.get("before_text") or "", after=change.get("after_text") or "")
                          for change in planned]
    if not planned or module.check_mode:
        return
    try:
        done, worker = system.apply(admin, "import_config", path)
        for note in done["notes"]:
            module.warn(note)
        if worker is not None and module.params["restart"] and system.root is None:
            system.restart(worker)
            result["restarted"] = True
    finally:
        system.record()  # the change, when the restart has not recorded it: not restarted


ARGUMENT_SPEC = dict(
    path=dict(type="path", required=True),
    state=dict(type="str", required=True, choices=["exported", "imported"]),
    root=dict(type="path"),
    restart=dict(type="bool", default=True),
)


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True)
    if IMPORT_ERROR is not None:
        module.fail_json(msg=missing_required_lib(LIBRARY), exception=IMPORT_ERROR)
    root = module.params["root"]
    if root_error(root):
        module.fail_json(msg=root_error(root))
    result = dict(changed=False)
    if module.params["state"] == "imported":
        result["restarted"] = False
    try:
        prepare(root)
        system = System(root)
        if module.params["state"] == "exported":
            export(module, system, result)
        else:
            restore(module, system, result)
    except Refused as error:  # nothing was written
        module.fail_json(msg=str(error), **dict(result, changed=False))
    except Failure as error:  # what was changed before stays changed
        module.fail_json(msg=str(error), **dict(result, changed=True, **error.details))
    except Exception as error:  # pylint: disable=broad-except
        module.fail_json(msg=describe(error), exception=traceback.format_exc(), **dict(result, changed=False))
    module.exit_json(**result)


if __name__ == "__main__":
    main()
