"""The message template and the Russian catalogue: the template lists exactly
the message IDs of the sources, and every one is translated soundly."""

import ast
import pathlib
import re
import shutil

import pytest

from conftest import run_tool

REPO = pathlib.Path(__file__).resolve().parents[1]
TEMPLATE = REPO / "po" / "zelta_admin_events.pot"
CATALOGUES = sorted((REPO / "po").glob("*.po"))


def _unquote(text):
    return ast.literal_eval(text)


def read_po(path):
    """The active entries of a .po file: {(msgid, msgid_plural): (msgstrs, flags)}.

    Obsolete ("#~") entries and the header are left out.
    """
    entries = {}
    entry = None
    field = None

    def finish():
        if entry and entry["msgid"]:
            key = (entry["msgid"], entry.get("msgid_plural"))
            assert key not in entries, f"{path.name}: {key[0]!r} twice"
            entries[key] = ([v for k, v in sorted(entry["msgstr"].items())], entry["flags"])

    for line in path.read_text(encoding="utf-8").splitlines() + [""]:
        if not line.strip() or line.startswith("#~"):
            finish()
            entry, field = None, None
            continue
        if entry is None:
            entry = {"msgid": None, "msgstr": {}, "flags": set()}
        if line.startswith("#,"):
            entry["flags"].update(flag.strip() for flag in line[2:].split(","))
        elif line.startswith("#"):
            continue
        elif line.startswith('"'):
            if isinstance(field, int):
                entry["msgstr"][field] += _unquote(line)
            else:
                entry[field] += _unquote(line)
        else:
            keyword, value = line.split(" ", 1)
            match = re.fullmatch(r"msgstr\[(\d+)\]", keyword)
            field = int(match[1]) if match else ("msgstr_single" if keyword == "msgstr" else keyword)
            if field == "msgstr_single":
                field = 0
            if isinstance(field, int):
                entry["msgstr"][field] = _unquote(value)
            else:
                entry[field] = _unquote(value)
    return entries


def _needs(tool):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} (gettext) is not installed")


@pytest.mark.without_module
def test_template_lists_exactly_the_message_ids_of_the_sources(tmp_path):
    _needs("xgettext")
    fresh = tmp_path / "fresh.pot"
    run_tool([REPO / "scripts" / "update-pot", fresh], check=True)
    extracted, committed = set(read_po(fresh)), set(read_po(TEMPLATE))
    assert extracted == committed, (
        f"po/zelta_admin_events.pot is out of date: run scripts/update-pot "
        f"(missing {sorted(extracted - committed)}, no longer used {sorted(committed - extracted)})")


@pytest.mark.without_module
def test_template_holds_the_module_and_front_end_messages():
    ids = {msgid for msgid, _ in read_po(TEMPLATE)}
    # IDs that reach print_message() through a variable must be marked to be found.
    assert {"Unknown event ID", "Unknown group ID", "The VALUE should be in JSON format",
            "Invalid VALUE", "Invalid path in VALUE"} <= ids
    assert "{count} unknown ID skipped" in ids and "show the traceback of a failure" in ids


@pytest.mark.without_module
def test_front_end_messages_are_literals():
    # An f-string or a variable inside _() is looked up after interpolation
    # and never found; xgettext cannot extract it either.
    tree = ast.parse((REPO / "zelta_admin_events" / "cli.py").read_text())
    calls = [node for node in ast.walk(tree) if isinstance(node, ast.Call)
             and isinstance(node.func, ast.Name) and node.func.id in ("_", "N_", "ngettext")]
    assert calls
    literal = [all(isinstance(a, ast.Constant) and isinstance(a.value, str) for a in
                   (call.args[:2] if call.func.id == "ngettext" else call.args[:1])) for call in calls]
    # These translate N_-marked texts: command summaries, argument help, syslog name errors.
    marked = {"_(spec.summary)", "_(spec.value_help)", "_(message)"}
    offenders = [ast.unparse(c) for c, ok in zip(calls, literal) if not ok and ast.unparse(c) not in marked]
    assert offenders == []


@pytest.mark.without_module
@pytest.mark.parametrize("po", CATALOGUES, ids=lambda p: p.name)
def test_catalogue_translates_every_message_of_the_template(po):
    catalogue, template = read_po(po), read_po(TEMPLATE)
    assert set(catalogue) == set(template), "run scripts/update-pot to merge the template"
    nplurals = int(re.search(r"nplurals=(\d+)", po.read_text(encoding="utf-8"))[1])
    for (msgid, plural), (msgstrs, flags) in catalogue.items():
        assert "fuzzy" not in flags, msgid
        assert len(msgstrs) == (nplurals if plural else 1) and all(msgstrs), msgid


# Placeholders, options with their argument, argument names in capitals and
# program names stay as they are in every translation.
_KEPT = re.compile(r"\{\w+\}|(?<![\w-])--?[a-z][\w-]*(?: [A-Z]{2,}\b)?|\b[A-Z][A-Z_]{2,}\b|syslog-ng|auditd|\.tar\.gz")


@pytest.mark.without_module
@pytest.mark.parametrize("po", CATALOGUES, ids=lambda p: p.name)
def test_translations_keep_placeholders_options_and_names(po):
    wrong = []
    for (msgid, plural), (msgstrs, _) in read_po(po).items():
        for msgstr in msgstrs:
            missing = [token for token in _KEPT.findall(msgid) if token not in msgstr]
            if missing:
                wrong.append((msgid, msgstr, missing))
    assert wrong == []


@pytest.mark.without_module
@pytest.mark.parametrize("po", CATALOGUES, ids=lambda p: p.name)
def test_msgfmt_check_passes(po, tmp_path):
    _needs("msgfmt")
    done = run_tool(["msgfmt", "--check", "--statistics", "-o", tmp_path / "out.mo", po])
    assert done.returncode == 0, done.stderr
    assert "untranslated" not in done.stderr and "fuzzy" not in done.stderr


def _archive(path, members):
    import io
    import tarfile

    with tarfile.open(path, "w:gz") as tar:
        for name, kind, data in members:
            info = tarfile.TarInfo(name)
            info.type = kind
            if kind == tarfile.SYMTYPE:
                info.linkname = data
            elif data is not None:
                info.size = len(data)
            tar.addfile(info, io.BytesIO(data) if kind == tarfile.REGTYPE else None)
    return str(path)


def _import_with_a_link(admin, tree, tmp_path):
    import tarfile

    (tree.root / "etc/logrotate.d").mkdir(parents=True)
    admin.import_config(_archive(tmp_path / "a.tar.gz", [
        ("T/etc/zelta-syslog.conf", tarfile.REGTYPE, b"{}\n"),
        ("T/etc/logrotate.d/syslog-ng-mod-zelta", tarfile.SYMTYPE, "/etc/passwd")]))


def _failed_restart(admin, tree, tmp_path):
    import os

    admin._ZeltaAdminEvents__need_daemon_restart = True
    original, os.system = os.system, lambda command: 1 << 8
    try:
        admin.restart_daemons()
    finally:
        os.system = original


# Every path on which the module prints a message line.
MESSAGE_PATHS = {
    "unknown IDs": lambda admin, tree, tmp_path: type(admin)(["nope"], ["nope"]),
    "not JSON": lambda admin, tree, tmp_path: admin.set_properties("s", "p", "{"),
    "wrong kind": lambda admin, tree, tmp_path: admin.set_properties("s", "p", "1"),
    "bad path": lambda admin, tree, tmp_path: admin.set_properties("audit", "paths", '["relative"]'),
    "export failed": lambda admin, tree, tmp_path: admin.export_config(str(tmp_path / "no/such/dir/x.tar.gz")),
    "import failed": lambda admin, tree, tmp_path: admin.import_config(str(tmp_path / "missing.tar.gz")),
    "member skipped": _import_with_a_link,
    "restart failed": _failed_restart,
}


@pytest.mark.parametrize("path", MESSAGE_PATHS)
def test_every_message_the_module_prints_is_translated_and_in_the_template(Admin, catalogue, tree, tmp_path,
                                                                          module, monkeypatch, capsys, path):
    catalogue.add_event("modifying-file")
    tree.group("fs", ["modifying-file"])
    admin = Admin(["modifying-file"], [])
    looked_up = []
    monkeypatch.setattr(module, "_", lambda msgid: looked_up.append(msgid) or f"<{msgid}>")
    MESSAGE_PATHS[path](admin, tree, tmp_path)
    printed = capsys.readouterr().out.splitlines()
    assert printed and all(line.startswith("<") for line in printed), printed  # no line bypasses _
    assert set(looked_up) <= {msgid for msgid, _ in read_po(TEMPLATE)}
