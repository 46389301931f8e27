"""Configuration export and import against scratch system trees."""

import gzip
import io
import os
import stat
import tarfile

import pytest

from conftest import snapshot

CONFIG = "etc/zelta-syslog.conf"
RULES = "etc/audit/rules.d/zelta-syslog.rules"
ROTATE = "etc/logrotate.d/syslog-ng-mod-zelta"
CONFD = "etc/syslog-ng/conf.d"
NOTIFY_DIR = "root/.config"
NOTIFYRC = "root/.config/zelta-event-watcher.notifyrc"
LOCK = CONFIG + ".lock"


def write(path, data, mode=0o644):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    os.chmod(path, mode)


def build_archive(path, members, end_marker=True):
    """A gzip-compressed tar of (name, kind, payload) members; payload is a
    file's content or a link's target."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name, kind, payload in members:
            info = tarfile.TarInfo(name)
            info.type, info.mode = kind, 0o700 if kind == tarfile.DIRTYPE else 0o644
            if kind == tarfile.REGTYPE:
                info.size = len(payload)
            elif payload:
                info.linkname = payload
            tar.addfile(info, io.BytesIO(payload) if kind == tarfile.REGTYPE else None)
        data_end = tar.offset
    path.write_bytes(gzip.compress(raw.getvalue() if end_marker else raw.getvalue()[:data_end]))
    return path


def lines(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.fixture
def admin(Admin, lib):
    return Admin([], [])


@pytest.fixture
def system(tree):
    """A configured host: the files export takes and some it must leave."""
    root = tree.root
    write(root / CONFIG, b'{"file-opened": {"enabled": 1}}\n', 0o640)
    write(root / RULES, b"-w /etc/passwd -p wa -k passwd\n", 0o600)
    write(root / ROTATE, b"/var/log/zelta.log { weekly }\n")
    write(root / CONFD / "mod-zelta.conf", b'destination d_zelta { file("/var/log/zelta.log"); };\n')
    write(root / CONFD / "mod-zelta-extra.conf", b"# extra\n")
    write(root / CONFD / "other.conf", b"# not ours\n")
    write(root / CONFD / "mod-zelta.d" / "inner.conf", b"# in a subdirectory\n")
    write(root / NOTIFYRC, b"[Notify]\nsound=false\n", 0o600)
    write(root / NOTIFY_DIR / "unrelated.rc", b"not archived\n")
    os.chmod(root / NOTIFY_DIR, 0o700)
    write(root / LOCK, b"", 0o600)  # the events library's lock file, as a configured host has it
    return root


@pytest.fixture(autouse=True)
def umask():
    previous = os.umask(0o022)
    yield
    os.umask(previous)


def exported(Admin, target, capsys):
    Admin.export_config(str(target))
    assert lines(capsys) == ["Configuration exported"]
    with tarfile.open(str(target) + ("" if str(target).endswith(".tar.gz") else ".tar.gz"), "r:gz") as tar:
        return [(m.name, m.type) for m in tar.getmembers()]


# ---- Export ---------------------------------------------------------------------


def test_export_writes_the_members_in_order(Admin, system, tmp_path, capsys):
    os.symlink("mod-zelta.conf", system / CONFD / "mod-zelta-link.conf")
    os.symlink("missing.conf", system / CONFD / "mod-zelta-dangling.conf")
    os.symlink("mod-zelta.d", system / CONFD / "mod-zelta-dirlink")
    members = exported(Admin, tmp_path / "backup.tar.gz", capsys)
    assert members[:3] == [("backup/" + f, tarfile.REGTYPE) for f in (CONFIG, RULES, ROTATE)]
    # Fragments in listing order; a link to a regular file is archived as a link.
    assert sorted(members[3:6]) == [("backup/" + CONFD + "/mod-zelta" + suffix, kind) for suffix, kind in
                                    (("-extra.conf", b"0"), ("-link.conf", b"2"), (".conf", b"0"))]
    assert members[6:] == [("backup/" + NOTIFY_DIR, tarfile.DIRTYPE), ("backup/" + NOTIFYRC, tarfile.REGTYPE)]
    with tarfile.open(tmp_path / "backup.tar.gz", "r:gz") as tar:
        assert tar.extractfile("backup/" + RULES).read() == (system / RULES).read_bytes()
        assert tar.getmember("backup/" + NOTIFY_DIR).mode == 0o700


@pytest.mark.parametrize("dangling", [False, True])
def test_export_without_notification_settings(Admin, system, tmp_path, capsys, dangling):
    (system / NOTIFYRC).unlink()
    if dangling:
        os.symlink("nowhere", system / NOTIFYRC)
    assert exported(Admin, tmp_path / "b", capsys)[-1] == ("b/" + NOTIFY_DIR, tarfile.DIRTYPE)


def test_export_stores_two_names_of_one_file_with_content(Admin, system, tmp_path, capsys):
    # As a hard link member, import would skip the second name and lose it.
    os.link(system / CONFD / "mod-zelta.conf", system / CONFD / "mod-zelta-same.conf")
    exported(Admin, tmp_path / "b", capsys)
    with tarfile.open(tmp_path / "b.tar.gz", "r:gz") as tar:
        fragments = [m for m in tar.getmembers() if "/conf.d/" in m.name]
        assert {m.type for m in fragments} == {tarfile.REGTYPE} and all(tar.extractfile(m).read() for m in fragments)


@pytest.mark.parametrize("file_path, archive, top", [
    ("backup", "backup.tar.gz", "backup"), ("site-a.tar.gz", "site-a.tar.gz", "site-a"),
    ("save.2024.tar.gz", "save.2024.tar.gz", "save"), ("save.tar", "save.tar.tar.gz", "save"),
    ("cfg.TAR.GZ", "cfg.TAR.GZ.tar.gz", "cfg"), ("dir.d/name", "dir.d/name.tar.gz", "name"),
])
def test_archive_name_and_top_level_name(Admin, system, tmp_path, capsys, monkeypatch, file_path, archive, top):
    (tmp_path / "dir.d").mkdir()
    monkeypatch.chdir(tmp_path)
    assert all(name.startswith(top + "/") for name, _ in exported(Admin, file_path, capsys))
    assert (tmp_path / archive).is_file()


@pytest.mark.parametrize("file_path, moved, error", [
    ("backups/", None, "the archive name 'backups/.tar.gz' gives no top-level directory name"),
    ("", None, "gives no top-level directory name"),
    ("out/b", CONFIG, "[Errno 2] No such file or directory: '{root}/" + CONFIG + "'"),
    ("out/b", CONFD, "[Errno 2] No such file or directory: '{root}/" + CONFD + "/'"),
    ("out/b", NOTIFY_DIR, "[Errno 2] No such file or directory: '{root}/" + NOTIFY_DIR + "'"),
    ("missing/b", None, "[Errno 2] No such file or directory: 'missing/b.tar.gz'"),
    ("a-dir", None, "[Errno 21] Is a directory: 'a-dir.tar.gz'"),
])
def test_failed_export_changes_nothing(Admin, system, tmp_path, capsys, monkeypatch, file_path, moved, error):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "out/b.tar.gz", b"earlier archive", 0o600)
    (tmp_path / "backups").mkdir()
    (tmp_path / "a-dir.tar.gz").mkdir()
    if moved:
        os.rename(system / moved, tmp_path / "moved-away")
    before = snapshot(tmp_path)
    Admin.export_config(file_path)
    [line] = lines(capsys)
    assert line.startswith("Error exporting configuration: ")
    assert error.format(root=system) in line
    assert snapshot(tmp_path) == before


def test_export_replaces_an_earlier_archive_with_a_new_file(Admin, system, tmp_path, capsys):
    write(tmp_path / "b.tar.gz", b"earlier archive", 0o600)
    os.umask(0o027)
    exported(Admin, tmp_path / "b.tar.gz", capsys)
    assert stat.S_IMODE(os.stat(tmp_path / "b.tar.gz").st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["b.tar.gz", "root"]


# ---- Import ---------------------------------------------------------------------


def test_round_trip_restores_content_and_modes(Admin, admin, system, tmp_path, capsys):
    exported(Admin, tmp_path / "backup", capsys)
    expected = snapshot(system)
    for relative in (CONFIG, RULES, ROTATE, CONFD + "/mod-zelta.conf", CONFD + "/mod-zelta-extra.conf", NOTIFYRC,
                     NOTIFY_DIR + "/unrelated.rc"):
        (system / relative).unlink()
    (system / NOTIFY_DIR).rmdir()
    os.rename(tmp_path / "backup.tar.gz", tmp_path / "renamed.tar.gz")  # T comes from the members
    admin.import_config(str(tmp_path / "renamed.tar.gz"))
    assert lines(capsys) == ["Configuration imported"]
    assert admin._ZeltaAdminEvents__need_daemon_restart is True
    del expected[NOTIFY_DIR + "/unrelated.rc"]
    for relative in (CONFIG, RULES, NOTIFYRC):  # new files get default permissions
        expected[relative] = expected[relative][:1] + (0o644,) + expected[relative][2:]
    assert snapshot(system) == expected  # root/.config with its archived 0700


def test_import_keeps_owner_and_mode_of_existing_file(Admin, admin, system, tmp_path, capsys):
    exported(Admin, tmp_path / "b", capsys)
    (system / CONFIG).write_bytes(b"changed since\n")
    os.chmod(system / CONFIG, 0o4751)
    os.chown(system / CONFIG, *((4321, 4322) if os.geteuid() == 0 else (os.getuid(), os.getgid())))
    before = os.stat(system / CONFIG)
    admin.import_config(str(tmp_path / "b.tar.gz"))
    after = os.stat(system / CONFIG)
    assert (after.st_mode, after.st_uid, after.st_gid) == (before.st_mode, before.st_uid, before.st_gid)
    assert (system / CONFIG).read_bytes() == b'{"file-opened": {"enabled": 1}}\n'
    assert not [name for name in os.listdir(system / "etc") if name.startswith(".")]


def test_import_replaces_a_linked_destination_at_its_target(admin, system, tmp_path, capsys):
    write(system / "srv/real.conf", b"old\n", 0o600)
    (system / CONFIG).unlink()
    os.symlink("../srv/real.conf", system / CONFIG)
    admin.import_config(str(build_archive(tmp_path / "a.tar.gz", [("T/" + CONFIG, tarfile.REGTYPE, b"{}")])))
    assert lines(capsys) == ["Configuration imported"]
    assert os.readlink(system / CONFIG) == "../srv/real.conf"
    assert (system / "srv/real.conf").read_bytes() == b"{}"
    assert stat.S_IMODE(os.stat(system / "srv/real.conf").st_mode) == 0o600


@pytest.mark.parametrize("kind", [tarfile.SYMTYPE, tarfile.LNKTYPE, tarfile.CHRTYPE, tarfile.FIFOTYPE])
def test_other_member_kinds_of_the_layout_are_skipped(admin, system, tmp_path, capsys, kind):
    before = snapshot(system)
    admin.import_config(str(build_archive(tmp_path / "a.tar.gz", [
        ("T", tarfile.DIRTYPE, None), ("T/etc", tarfile.DIRTYPE, None),  # as a tar tool writes them
        ("T/" + CONFIG, kind, "/etc/shadow"), ("T/" + ROTATE, tarfile.REGTYPE, b"rotated\n")])))
    assert lines(capsys) == [f"Unsupported file type: {kind!r}", "Configuration imported"]
    before[ROTATE] = before[ROTATE][:4] + (b"rotated\n",)
    assert snapshot(system) == before


def test_directory_member_then_file_inside_it(admin, system, tmp_path, capsys):
    for relative in (NOTIFYRC, NOTIFY_DIR + "/unrelated.rc"):
        (system / relative).unlink()
    (system / NOTIFY_DIR).rmdir()
    (system / "root").rmdir()
    admin.import_config(str(build_archive(tmp_path / "a.tar.gz", [
        ("T/" + NOTIFY_DIR, tarfile.DIRTYPE, None), ("T/" + NOTIFYRC, tarfile.REGTYPE, b"n\n")], end_marker=False)))
    assert lines(capsys) == ["Configuration imported"]
    # The missing parent gets default permissions, the member directory its own.
    assert [stat.S_IMODE(os.stat(system / d).st_mode) for d in ("root", NOTIFY_DIR)] == [0o755, 0o700]
    assert (system / NOTIFYRC).read_bytes() == b"n\n"


def truncate(path):
    path.write_bytes(path.read_bytes()[:path.stat().st_size // 2])


def break_checksum(path):
    data = bytearray(path.read_bytes())
    data[-8] ^= 0xFF  # the CRC in the gzip trailer: only reading to the end notices it
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("damage, error", [
    (truncate, "Compressed file ended before the end-of-stream marker was reached"),
    (break_checksum, "CRC check failed"),
    (lambda p: p.write_bytes(gzip.decompress(p.read_bytes())), "not a gzip file"),
    (lambda p: p.write_bytes(p.read_bytes() + b"junk"), "Not a gzipped file"),
    (lambda p: p.write_bytes(gzip.compress(b"\0" * 10240)), "the archive has no members"),
    (lambda p: p.write_bytes(gzip.compress(b"")), "empty file"),
    (lambda p: p.unlink(), "[Errno 2] No such file or directory"),
])
def test_unreadable_archive_is_refused_before_writing(Admin, admin, system, tmp_path, capsys, damage, error):
    exported(Admin, tmp_path / "b", capsys)
    (system / CONFIG).write_bytes(b"local\n")
    damage(tmp_path / "b.tar.gz")
    before = snapshot(tmp_path)
    admin.import_config(str(tmp_path / "b.tar.gz"))
    [line] = lines(capsys)
    assert line.startswith("Error importing configuration: ") and error in line
    assert snapshot(tmp_path) == before
    assert admin._ZeltaAdminEvents__need_daemon_restart is False


GOOD = ("T/" + CONFIG, tarfile.REGTYPE, b'{"hostile": {}}\n')


def remove(*relatives):
    def prepare(root):
        for relative in relatives:
            path = root / relative
            path.rmdir() if path.is_dir() and not path.is_symlink() else path.unlink()
    return prepare


def replace(relative, how, *prior):
    def prepare(root):
        remove(*prior, relative)(root)
        how(root / relative)
    return prepare


WITHOUT_NOTIFY_DIR = (NOTIFYRC, NOTIFY_DIR + "/unrelated.rc", NOTIFY_DIR)


@pytest.mark.parametrize("members, prepare, error", [
    ([GOOD, ("/etc/passwd", tarfile.REGTYPE, b"x")], None, "unsafe member name: '/etc/passwd'"),
    ([("/" + CONFIG, tarfile.REGTYPE, b"x")], None, "unsafe member name"),
    ([GOOD, ("T/../etc/passwd", tarfile.REGTYPE, b"x")], None, "unsafe member name"),
    ([GOOD, ("T/./" + CONFIG, tarfile.REGTYPE, b"x")], None, "unsafe member name"),
    ([GOOD, ("U/" + CONFIG, tarfile.REGTYPE, b"x")], None, "outside the top-level directory"),
    ([GOOD, ("Tx/" + CONFIG, tarfile.REGTYPE, b"x")], None, "outside the top-level directory"),
    ([(CONFIG, tarfile.REGTYPE, b"x")], None, "not part of the configuration: 'etc/zelta-syslog.conf'"),
    ([GOOD, ("T/etc/passwd", tarfile.REGTYPE, b"x")], None, "not part of the configuration"),
    ([GOOD, ("T/" + CONFD + "/other.conf", tarfile.REGTYPE, b"x")], None, "not part of the configuration"),
    ([GOOD, ("T/etc/cron.d", tarfile.DIRTYPE, None)], None, "not part of the configuration"),
    ([GOOD, ("T/etc", tarfile.SYMTYPE, "/")], None, "not part of the configuration"),
    ([GOOD, ("T/etc/shadow", tarfile.LNKTYPE, "T/" + CONFIG)], None, "not part of the configuration"),
    ([GOOD, ("T/dev/mem", tarfile.CHRTYPE, None)], None, "not part of the configuration"),
    ([GOOD, ("T/" + CONFD + "/fifo", tarfile.FIFOTYPE, None)], None, "not part of the configuration"),
    ([GOOD, ("T/" + RULES, tarfile.REGTYPE, b"x")], remove(RULES, "etc/audit/rules.d"), "[Errno 2] No such file"),
    ([GOOD], replace(CONFIG, lambda p: p.mkdir()), "[Errno 21] Is a directory"),
    ([GOOD], replace(CONFIG, lambda p: p.symlink_to("audit")), "[Errno 21] Is a directory"),
    ([GOOD, ("T/" + ROTATE, tarfile.REGTYPE, b"x")], replace("etc/logrotate.d", lambda p: p.write_bytes(b""), ROTATE),
     "[Errno 20] Not a directory"),
    ([GOOD, ("T/etc/logrotate.d", tarfile.DIRTYPE, None)],
     replace("etc/logrotate.d", lambda p: p.write_bytes(b""), ROTATE), "[Errno 17] File exists"),
    ([GOOD, ("T/" + NOTIFY_DIR, tarfile.SYMTYPE, "/etc/cron.d"), ("T/" + NOTIFYRC, tarfile.REGTYPE, b"* root evil")],
     remove(*WITHOUT_NOTIFY_DIR), "[Errno 2] No such file"),
    ([GOOD, ("T/" + NOTIFYRC, tarfile.REGTYPE, b"x")],
     replace(NOTIFY_DIR, lambda p: p.symlink_to("/nonexistent"), *WITHOUT_NOTIFY_DIR[:2]), "[Errno 20] Not a directory"),
    ([GOOD, ("T/" + NOTIFY_DIR, tarfile.REGTYPE, b"x"), ("T/" + NOTIFYRC, tarfile.REGTYPE, b"x")],
     remove(*WITHOUT_NOTIFY_DIR), "[Errno 20] Not a directory"),
    ([GOOD, ("T/" + CONFD + "/mod-zelta-new", tarfile.DIRTYPE, None),
      ("T/" + CONFD + "/mod-zelta-new", tarfile.REGTYPE, b"x")], None, "[Errno 21] Is a directory"),
])
def test_hostile_archive_is_refused_and_changes_nothing(admin, system, tmp_path, capsys, members, prepare, error):
    if prepare:
        prepare(system)
    archive = build_archive(tmp_path / "hostile.tar.gz", members)
    before = snapshot(tmp_path)
    admin.import_config(str(archive))
    [line] = lines(capsys)
    assert line.startswith("Error importing configuration: ") and error in line
    assert snapshot(tmp_path) == before
    assert admin._ZeltaAdminEvents__need_daemon_restart is False


@pytest.mark.parametrize("operation, patched", [("export", (tarfile.TarFile, "addfile")),
                                                ("import", (gzip.GzipFile, "read1"))])
def test_keyboard_interrupt_passes_through(Admin, admin, system, tmp_path, capsys, monkeypatch, operation, patched):
    exported(Admin, tmp_path / "b", capsys)
    before = snapshot(tmp_path)
    monkeypatch.setattr(*patched, lambda *args: (_ for _ in ()).throw(KeyboardInterrupt))
    with pytest.raises(KeyboardInterrupt):
        Admin.export_config(str(tmp_path / "b")) if operation == "export" else admin.import_config(
            str(tmp_path / "b.tar.gz"))
    assert lines(capsys) == []
    assert snapshot(tmp_path) == before
    assert admin._ZeltaAdminEvents__need_daemon_restart is False
