"""Configuration export and import against scratch system trees."""

import _io
import fcntl
import gzip
import hashlib
import io
import json
import os
import random
import signal
import stat
import subprocess
import sys
import tarfile
import time

import pytest

from conftest import run_tool, snapshot

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


def build_archive(path, members, end_marker=True, after=b""):
    """A gzip-compressed tar of (name, kind, payload[, pax headers[, mode]]) members;
    payload is a file's content or a link's target; after follows the tar stream."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name, kind, payload, *extra in members:
            info = tarfile.TarInfo(name)
            info.pax_headers = extra[0] if extra else {}
            info.type, info.mode = kind, extra[1] if len(extra) > 1 else 0o700 if kind == tarfile.DIRTYPE else 0o644
            if kind == tarfile.REGTYPE:
                info.size = len(payload)
            elif payload:
                info.linkname = payload
            tar.addfile(info, io.BytesIO(payload) if kind == tarfile.REGTYPE else None)
        data_end = tar.offset
    path.write_bytes(gzip.compress((raw.getvalue() if end_marker else raw.getvalue()[:data_end]) + after))
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


@pytest.fixture(params=["openat2", "walk"])
def resolver(request, monkeypatch):
    """Paths below the root resolved by openat2, or by the walk that stands in
    for it on kernels without it."""
    monkeypatch.setenv("ZELTA_ADMIN_EVENTS_FALLBACK", "" if request.param == "openat2" else "walk,named-temp")
    return request.param


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
    # Fragments in listing order; a link to a regular file is stored with its content.
    assert sorted(members[3:6]) == [("backup/" + CONFD + "/mod-zelta" + suffix, b"0")
                                    for suffix in ("-extra.conf", "-link.conf", ".conf")]
    assert members[6:] == [("backup/" + NOTIFY_DIR, tarfile.DIRTYPE), ("backup/" + NOTIFYRC, tarfile.REGTYPE)]
    with tarfile.open(tmp_path / "backup.tar.gz", "r:gz") as tar:
        assert tar.extractfile("backup/" + RULES).read() == (system / RULES).read_bytes()
        assert tar.getmember("backup/" + NOTIFY_DIR).mode == 0o700
        assert tar.extractfile("backup/" + CONFD + "/mod-zelta-link.conf").read() == (system / CONFD / "mod-zelta.conf").read_bytes()


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


def test_export_closes_a_source_once_when_its_stream_fails(Admin, system, tmp_path, capsys, monkeypatch):
    # The stream fails after its own close: the number it frees is taken at once.
    real_open, taken = _io.open, []

    def failing_open(file, mode="r", *args):
        if mode != "rb" or not isinstance(file, int):
            return real_open(file, mode, *args)
        real_open(file, mode, *args).close()
        taken.append(os.open(os.devnull, os.O_RDONLY))
        raise OSError(5, "late failure")
    monkeypatch.setattr(_io, "open", failing_open)
    Admin.export_config(str(tmp_path / "b"))
    assert lines(capsys) == ["Error exporting configuration: [Errno 5] late failure"]
    os.close(taken[0])  # still open


# ---- Import ---------------------------------------------------------------------


def test_round_trip_restores_content_and_modes(Admin, admin, system, tmp_path, capsys, resolver):
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
    assert snapshot(system) == expected  # new files and root/.config with their archived modes


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


@pytest.mark.parametrize("kind, described", [
    (tarfile.SYMTYPE, "symbolic link"), (tarfile.LNKTYPE, "hard link"), (tarfile.CHRTYPE, "character device"),
    (tarfile.BLKTYPE, "block device"), (tarfile.FIFOTYPE, "FIFO"), (b"V", "type b'V'"),
])
def test_other_member_kinds_of_the_layout_are_skipped(admin, system, tmp_path, capsys, kind, described):
    before = snapshot(system)
    archive = str(build_archive(tmp_path / "a.tar.gz", [
        ("T", tarfile.DIRTYPE, None), ("T/etc", tarfile.DIRTYPE, None),  # as a tar tool writes them
        ("T/" + CONFIG, kind, "/etc/shadow"), ("T/" + ROTATE, tarfile.REGTYPE, b"rotated\n")]))
    assert admin.plan_import_config(archive)["skipped"] == [{"member": "T/" + CONFIG, "type": described}]
    admin.import_config(archive)
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


@pytest.mark.parametrize("mask", [0o000, 0o022, 0o277])
def test_files_the_tool_creates_are_never_writable_by_others(Admin, admin, system, tmp_path, capsys, mask):
    if mask & 0o200 and os.geteuid() != 0:
        pytest.skip("writes into directories without write permission")
    os.umask(mask)
    exported(Admin, tmp_path / "b", capsys)
    assert stat.S_IMODE(os.stat(tmp_path / "b.tar.gz").st_mode) == 0o644 & ~mask
    remove(*WITHOUT_NOTIFY_DIR, "root", RULES, LOCK)(system)
    admin.import_config(str(build_archive(tmp_path / "a.tar.gz", [
        ("T/" + NOTIFY_DIR, tarfile.DIRTYPE, None, {}, 0o777), ("T/" + NOTIFYRC, tarfile.REGTYPE, b"n", {}, 0o666),
        ("T/" + RULES, tarfile.REGTYPE, b"r", {}, 0o600), ("T/" + CONFD + "/mod-zelta-new", tarfile.REGTYPE, b"f", {}, 0o6777)])))
    assert lines(capsys) == ["Configuration imported"]
    modes = {relative: stat.S_IMODE(os.stat(system / relative).st_mode)
             for relative in ("root", NOTIFY_DIR, NOTIFYRC, RULES, CONFD + "/mod-zelta-new", LOCK)}
    assert modes == {"root": 0o755 & ~mask, NOTIFY_DIR: 0o755 & ~mask, NOTIFYRC: 0o644, RULES: 0o600,
                     CONFD + "/mod-zelta-new": 0o755, LOCK: 0o600}


def test_import_config_archive_returns_what_it_did_and_raises(admin, system, tmp_path, capsys):
    archive = str(build_archive(tmp_path / "a.tar.gz", [
        GOOD, ("T/" + ROTATE, tarfile.SYMTYPE, "x"), ("T/" + RULES, tarfile.REGTYPE, (system / RULES).read_bytes())]))
    planned = admin.plan_import_config(archive)
    assert admin.import_config_archive(archive) == {**planned, "notes": []}
    assert [change["file"] for change in planned["changes"]] == [f"{system}/{CONFIG}"]
    assert planned["skipped"] == [{"member": "T/" + ROTATE, "type": "symbolic link"}]
    assert (system / CONFIG).read_bytes() == GOOD[2] and admin._ZeltaAdminEvents__need_daemon_restart is True
    admin._ZeltaAdminEvents__need_daemon_restart = False
    assert admin.import_config_archive(archive)["changed"] is False  # the same files again: no restart
    assert capsys.readouterr().out == "" and admin._ZeltaAdminEvents__need_daemon_restart is False
    for refused, error in ((build_archive(tmp_path / "h.tar.gz", [("T/etc/passwd", tarfile.REGTYPE, b"x")]), ValueError),
                           (tmp_path / "missing.tar.gz", FileNotFoundError)):
        with pytest.raises(error) as raised:
            admin.import_config_archive(str(refused))
        admin.import_config(str(refused))
        assert lines(capsys) == [f"Error importing configuration: {raised.value}"]
    assert admin._ZeltaAdminEvents__need_daemon_restart is False


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
    # An I/O error keeps its own text.
    (lambda p: (p.unlink(), p.mkdir()), "[Errno 21] Is a directory"),
    (lambda p: (p.unlink(), p.symlink_to("/proc/self/mem")), "[Errno 5] Input/output error"),
])
def test_unreadable_archive_is_refused_before_writing(Admin, admin, system, tmp_path, capsys, damage, error):
    exported(Admin, tmp_path / "b", capsys)
    (system / CONFIG).write_bytes(b"local\n")
    damage(tmp_path / "b.tar.gz")
    before = snapshot(tmp_path)
    planned = admin.plan_import_config(str(tmp_path / "b.tar.gz"))
    admin.import_config(str(tmp_path / "b.tar.gz"))
    [line] = lines(capsys)
    assert line.startswith("Error importing configuration: ") and error in line
    assert planned == {"changed": False, "changes": [], "skipped": [], "error": line}  # the plan checks as the import does
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


def host_link(relative, target, *prior):
    """relative becomes a link to target, a path of the host outside the root
    ("{host}" stands for the scratch directory that holds the root) whose
    victim file and directory exist."""
    def prepare(root):
        host = root.parent
        write(host / "victim/rules.d/zelta-syslog.rules", b"victim\n")
        write(host / "victim/x", b"victim\n")
        replace(relative, lambda p: p.symlink_to(target.format(host=host)), *prior)(root)
    return prepare


def raw_member(name, size, kind=tarfile.REGTYPE):
    """A bare tar header that claims size bytes of content, none following."""
    info = tarfile.TarInfo(name)
    info.size, info.type = size, kind
    return info.tobuf(tarfile.GNU_FORMAT)


def bare_archive(*blocks):
    def prepare(root):
        (root.parent / "hostile.bare").write_bytes(b"".join(blocks))
    return prepare


def fragments_over_the_total(root):
    """Four fragments of 64 MiB, then a fifth of one byte: the content over
    256 MiB in all. The archive is written as gzip members one after another,
    the 64 MiB of zeros compressed once."""
    zeros = gzip.compress(bytes(64 * MIB), compresslevel=1)
    names = [f"T/{CONFD}/mod-zelta-{n}.conf" for n in range(5)]
    parts = [gzip.compress(raw_member(name, 64 * MIB)) + zeros for name in names[:4]]
    parts.append(gzip.compress(raw_member(names[4], 1) + b"x".ljust(512, b"\0") + bytes(1024)))
    (root.parent / "hostile.gz").write_bytes(b"".join(parts))


def damaged(block):
    return block[:148] + b"0000000\0" + block[156:]


MIB = 1 << 20


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
    # A member of another kind than its place takes.
    ([GOOD, ("T/etc", tarfile.SYMTYPE, "/")], None, "member of the wrong kind for its place: 'T/etc'"),
    ([("T/" + CONFIG, tarfile.DIRTYPE, None)], None, "member of the wrong kind for its place: 'T/etc/zelta-syslog.conf'"),
    ([("T", tarfile.REGTYPE, b"x")], None, "member of the wrong kind for its place: 'T'"),
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
     remove(*WITHOUT_NOTIFY_DIR), "wrong kind for its place"),
    ([GOOD, ("T/" + NOTIFYRC, tarfile.REGTYPE, b"x")],
     replace(NOTIFY_DIR, lambda p: p.symlink_to("/nonexistent"), *WITHOUT_NOTIFY_DIR[:2]), "[Errno 20] Not a directory"),
    ([GOOD, ("T/" + NOTIFY_DIR, tarfile.REGTYPE, b"x"), ("T/" + NOTIFYRC, tarfile.REGTYPE, b"x")],
     remove(*WITHOUT_NOTIFY_DIR), "wrong kind for its place: 'T/root/.config'"),
    ([GOOD, ("T/" + CONFD + "/mod-zelta-new", tarfile.DIRTYPE, None),
      ("T/" + CONFD + "/mod-zelta-new", tarfile.REGTYPE, b"x")], None, "wrong kind for its place"),
    # The events library's lock file is never followed.
    ([GOOD], replace(LOCK, lambda p: p.symlink_to("zelta-syslog.conf")), "[Errno 40] Too many levels of symbolic links"),
    ([GOOD], replace(LOCK, lambda p: p.mkdir()), "[Errno 21] Is a directory"),
    # Links already in the tree resolve inside the root, never to the host.
    ([GOOD], host_link(CONFIG, "{host}/victim/x"), "[Errno 2] No such file"),
    ([GOOD], host_link(CONFIG, "../../../../../../../victim/x"), "[Errno 2] No such file"),
    ([GOOD, ("T/" + RULES, tarfile.REGTYPE, b"x")], host_link("etc/audit", "{host}/victim", RULES, "etc/audit/rules.d"),
     "[Errno 20] Not a directory"),
    # Limits, damaged and sparse members, what follows the end of the archive.
    ([GOOD, ("T/" + ROTATE, tarfile.REGTYPE, b"x", {"comment": "x" * 70000})], None,
     "extended header larger than the limit of 64 KiB"),
    ([GOOD, ("T/" + ROTATE, tarfile.REGTYPE, b"x", {"GNU.sparse.major": "1", "GNU.sparse.minor": "0"})], None,
     "sparse members are not supported"),
    ([GOOD, ("T/" + ROTATE, tarfile.GNUTYPE_SPARSE, None)], None, "sparse members are not supported"),
    ([GOOD] + [("T/etc", tarfile.DIRTYPE, None)] * 10000, None, "more members than the limit of 10000, at: 'T/etc'"),
    ([], bare_archive(raw_member("T/" + ROTATE, 64 * MIB + 1)), "member larger than the limit of 64 MiB: 'T/etc/"),
    ([], fragments_over_the_total, "members larger than the limit of 256 MiB in all, at: 'T/etc/syslog-ng/conf.d/mod-zelta-4.conf'"),
    ([], bare_archive(raw_member("T/" + NOTIFY_DIR, 0, tarfile.DIRTYPE), damaged(raw_member("T/" + ROTATE, 0))),
     "damaged tar header at byte 512"),
    ([GOOD], lambda root: (root.parent / "after").write_bytes(b"\0" * 1024 + b"x"),
     "data after the end-of-archive marker"),
    ([GOOD], lambda root: (root.parent / "after").write_bytes(b"\0" * (2 * MIB)), "more than 1024 KiB of padding"),
    # A configuration file that every later command would fail on.
    ([("T/" + CONFIG, tarfile.REGTYPE, b"not json")], None,
     "configuration file that is not JSON (Expecting value: line 1 column 1 (char 0)): 'T/etc/zelta-syslog.conf'"),
    ([("T/" + CONFIG, tarfile.REGTYPE, b'{"a": 1,}')], None, "not JSON (Expecting property name"),
    ([("T/" + CONFIG, tarfile.REGTYPE, b"\xef\xbb\xbf{}")], None, "not JSON (Unexpected UTF-8 BOM"),
    ([("T/" + CONFIG, tarfile.REGTYPE, b'{"a": "\xff"}')], None, "not JSON ('utf-8' codec can't decode byte 0xff"),
    ([("T/" + CONFIG, tarfile.REGTYPE, b"")], None, "not JSON (Expecting value"),
    ([("T/" + CONFIG, tarfile.REGTYPE, b"[1, 2]")], None, "configuration file that is not a JSON object"),
    ([("T/" + CONFIG, tarfile.REGTYPE, b'{"a": -' + b"9" * 4301 + b"}")], None, "not JSON (Exceeds the limit (4300 digits)"),
    ([("T/" + CONFIG, tarfile.REGTYPE, b'{"a": ' * 300 + b"1" + b"}" * 300)], None, "nested more than 256 levels"),
])
def test_hostile_archive_is_refused_and_changes_nothing(admin, system, tmp_path, capsys, resolver, members, prepare,
                                                       error):
    if prepare:
        prepare(system)
    after = tmp_path / "after"
    archive = build_archive(tmp_path / "hostile.tar.gz", members, after=after.read_bytes() if after.exists() else b"")
    if (tmp_path / "hostile.bare").exists():
        archive.write_bytes(gzip.compress((tmp_path / "hostile.bare").read_bytes()))
    if (tmp_path / "hostile.gz").exists():
        archive.write_bytes((tmp_path / "hostile.gz").read_bytes())
    before = snapshot(tmp_path)
    planned = admin.plan_import_config(str(archive))
    admin.import_config(str(archive))
    [line] = lines(capsys)
    assert line.startswith("Error importing configuration: ") and error in line
    assert planned == {"changed": False, "changes": [], "skipped": [], "error": line}
    assert snapshot(tmp_path) == before
    assert admin._ZeltaAdminEvents__need_daemon_restart is False


@pytest.mark.parametrize("members, prepare, actions", [
    # What is not a regular file where a file goes is replaced, never read.
    ([("T/" + ROTATE, tarfile.REGTYPE, b"r")], replace(ROTATE, os.mkfifo), ["replace"]),
    # The lock is taken to stage a file, and only then.
    ([("T/" + NOTIFY_DIR, tarfile.DIRTYPE, None)], replace(LOCK, lambda p: p.symlink_to("zelta-syslog.conf")), []),
])
def test_plan_and_import_agree(admin, system, tmp_path, members, prepare, actions):
    prepare(system)
    archive = str(build_archive(tmp_path / "a.tar.gz", members))
    planned = admin.plan_import_config(archive)
    assert planned["error"] is None and [change["action"] for change in planned["changes"]] == actions
    assert admin.import_config_archive(archive) == {**planned, "notes": []}


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


# ---- Sources and destinations that are links, partial failures, concurrency ---------------


@pytest.mark.parametrize("source, link, error", [
    (CONFIG, "../srv/real.conf", None),  # stored with the content it points to
    (NOTIFYRC, "/srv/real.conf", None),  # an absolute target counts from the root
    (CONFIG, "{host}/secret", "[Errno 2] No such file or directory: '{root}/etc/zelta-syslog.conf'"),
    (CONFIG, "fifo", "not a regular file: '{root}/etc/zelta-syslog.conf'"),
])
def test_export_reads_linked_sources_inside_the_root(Admin, system, tmp_path, capsys, resolver, source, link, error):
    write(tmp_path / "secret", b"host secret\n")
    write(system / "srv/real.conf", b'{"linked": {}}\n')
    os.mkfifo(system / "etc/fifo")  # opened without blocking and refused
    (system / source).unlink()
    os.symlink(link.format(host=tmp_path), system / source)
    Admin.export_config(str(tmp_path / "b"))
    if error:
        assert lines(capsys) == ["Error exporting configuration: " + error.format(root=system)]
        return
    assert lines(capsys) == ["Configuration exported"]
    with tarfile.open(tmp_path / "b.tar.gz") as tar:
        member = tar.getmember("b/" + source)
        assert member.isreg() and tar.extractfile(member).read() == b'{"linked": {}}\n'


class FailingAfterFirstLine(io.StringIO):
    """Standard output whose first line (an "Unsupported" line, printed just
    before the renames start) removes the staged files of the rules directory,
    so that the rename of the rules file fails after the earlier ones."""

    def __init__(self, root):
        super().__init__()
        self.root = root

    def write(self, text):
        if self.root:
            for staged in (self.root / "etc/audit/rules.d").glob(".zelta-import-*"):
                staged.unlink()
            self.root = None
        return super().write(text)


def test_failure_at_a_rename_undoes_the_earlier_ones(admin, system, tmp_path, monkeypatch):
    remove(*WITHOUT_NOTIFY_DIR, "root")(system)
    archive = build_archive(tmp_path / "a.tar.gz", [
        GOOD, ("T/" + NOTIFY_DIR, tarfile.DIRTYPE, None), ("T/" + NOTIFYRC, tarfile.REGTYPE, b"new\n"),
        ("T/" + CONFD + "/mod-zelta-new.conf", tarfile.REGTYPE, b"new\n"), ("T/" + ROTATE, tarfile.SYMTYPE, "x"),
        ("T/" + RULES, tarfile.REGTYPE, b"rules\n")])
    before = snapshot(tmp_path)
    monkeypatch.setattr("sys.stdout", FailingAfterFirstLine(system))
    admin.import_config(str(archive))
    assert sys.stdout.getvalue().splitlines() == [
        "Unsupported file type: b'2'",
        f"Error importing configuration: [Errno 2] No such file or directory: '{system}/{RULES}'"]
    assert snapshot(tmp_path) == before  # replaced files back, new files and directories gone
    assert admin._ZeltaAdminEvents__need_daemon_restart is False


@pytest.fixture
def immutable():
    """Sets the immutable attribute on paths, cleared again at the end."""
    marked = []

    def mark(path):
        if run_tool(["chattr", "+i", str(path)]).returncode != 0:
            pytest.skip("the scratch file system has no immutable attribute")
        marked.append(path)

    yield mark
    for path in marked:
        run_tool(["chattr", "-i", str(path)])


def test_a_file_goes_where_it_was_staged(admin, system, tmp_path, monkeypatch):
    # The destination's link is retargeted while a later member is read.
    write(system / "etc/logrotate.d/first", b"first\n")
    write(system / "etc/second", b"second\n")
    replace(ROTATE, lambda p: p.symlink_to("first"))(system)
    real_sha256, calls = hashlib.sha256, []

    def retargeting(*data):
        calls.append(data)
        if len(calls) == 2:
            replace(ROTATE, lambda p: p.symlink_to("../second"))(system)
        return real_sha256(*data)
    monkeypatch.setattr(hashlib, "sha256", retargeting)
    admin.import_config_archive(str(build_archive(tmp_path / "a.tar.gz", [
        ("T/" + ROTATE, tarfile.REGTYPE, b"new\n"), ("T/" + RULES, tarfile.REGTYPE, b"r\n")])))
    assert [(system / p).read_bytes() for p in ("etc/logrotate.d/first", "etc/second")] == [b"new\n", b"second\n"]


def test_import_onto_an_immutable_file_changes_nothing(Admin, admin, system, tmp_path, capsys, immutable):
    exported(Admin, tmp_path / "b", capsys)
    for relative in (CONFIG, RULES, ROTATE, CONFD + "/mod-zelta.conf", NOTIFYRC):
        (system / relative).write_bytes(b"{}")
    immutable(system / NOTIFYRC)  # the last destination
    before = snapshot(tmp_path)
    admin.import_config(str(tmp_path / "b.tar.gz"))
    assert lines(capsys) == [f"Error importing configuration: [Errno 1] Operation not permitted: '{system}/{NOTIFYRC}'"]
    assert snapshot(tmp_path) == before
    assert admin._ZeltaAdminEvents__need_daemon_restart is False


def test_import_writes_the_archive_it_checked(admin, system, tmp_path, monkeypatch, capsys):
    # The archive rewritten in place once it has been read is not what is written.
    checked = build_archive(tmp_path / "a.tar.gz", [("T/" + CONFIG, tarfile.REGTYPE, b'{"checked": {}}')])
    swapped = build_archive(tmp_path / "b.tar.gz", [("T/" + CONFIG, tarfile.REGTYPE, b'{"swapped": {}}')])

    def read_then_swap(read):
        def wrapper(self, *args):
            data = read(self, *args)
            if swapped.exists():
                checked.write_bytes(swapped.read_bytes())
                swapped.unlink()
            return data
        return wrapper

    for name in ("read", "read1"):
        monkeypatch.setattr(gzip.GzipFile, name, read_then_swap(getattr(gzip.GzipFile, name)))
    admin.import_config(str(checked))
    assert lines(capsys) == ["Configuration imported"]
    assert (system / CONFIG).read_bytes() == b'{"checked": {}}'


@pytest.mark.parametrize("text", [
    b"{}", b' \t\r\n{"a" : {"b": [1, -0, 1.5e3, 2E-2, NaN, Infinity, -Infinity, true, false, null]}} \n',
    '{"é": "\\u00e9\\n\\"\\\\ 𝄞 ✓", "x": {"y": ""}}'.encode(), b'{"a": ' * 200 + b"{}" + b"}" * 200,
])
def test_configuration_that_json_reads_is_imported(admin, system, tmp_path, capsys, text):
    json.loads(text)
    admin.import_config(str(build_archive(tmp_path / "a.tar.gz", [("T/" + CONFIG, tarfile.REGTYPE, text)])))
    assert lines(capsys) == ["Configuration imported"]
    assert (system / CONFIG).read_bytes() == text


def test_import_keeps_extended_attributes(Admin, admin, system, tmp_path, capsys):
    exported(Admin, tmp_path / "b", capsys)
    os.setxattr(system / CONFIG, "user.label", b"kept")
    admin.import_config(str(tmp_path / "b.tar.gz"))
    assert lines(capsys) == ["Configuration imported"]
    assert os.getxattr(system / CONFIG, "user.label") == b"kept"


STANDIN = os.path.join(os.path.dirname(__file__), "..", "events-standin")


def test_import_and_library_writers_never_lose_each_other(admin, system, tmp_path, capsys):
    # The stand-in library changes one event in a loop while archives, each
    # with its own marker event, are imported: every import must survive.
    write(system / "usr/share/syslog-ng-mod-zelta/events-catalogue.json", json.dumps(
        {"groups": [], "events": [{"id": "e", "name_en": "E", "name_ru": "E", "enabled": True}]}).encode())
    writer = subprocess.Popen([sys.executable, "-c", "import sys, zelta_events\nfor i in range(100000): "
                               "zelta_events.set_event_param('e', 's', 'p', str(i))"],
                              env={**os.environ, "ZELTA_EVENTS_ROOT": str(system), "PYTHONPATH": STANDIN})
    try:
        for n in range(15):
            archive = build_archive(tmp_path / "a.tar.gz", [("T/" + CONFIG, tarfile.REGTYPE,
                                                             json.dumps({f"import-{n}": {}}).encode())])
            admin.import_config(str(archive))
            assert lines(capsys) == ["Configuration imported"]
            time.sleep(0.02)  # the writer rewrites the file meanwhile
            assert f"import-{n}" in json.loads((system / CONFIG).read_text())
        assert writer.poll() is None
    finally:
        writer.kill()
        writer.wait()


# Imports the archives in turn, rounds times (0: until killed).
IMPORTS = """
import sys, types
library = types.ModuleType("zelta_events")
library.get_event_ids_ex = library.get_group_ids_ex = lambda *args: []
sys.modules["zelta_events"] = library
from zelta_admin_events.admin_events import ZeltaAdminEvents
import pathlib
Admin = type("Admin", (ZeltaAdminEvents,), {"_ZeltaAdminEvents__root_dir": pathlib.Path(sys.argv[1])})
admin = Admin([], [])
print("ready", flush=True)
rounds = int(sys.argv[2])
while rounds != 1:
    rounds -= 1
    for archive in sys.argv[3:]:
        admin.import_config(archive)
"""


@pytest.mark.parametrize("fallback", ["", "walk,named-temp"])
def two_versions(Admin, system, tmp_path, capsys):
    """Archives old.tar.gz and new.tar.gz whose files all differ; the tree
    holds the new ones. Returns the content of each version's files."""
    versions = {}
    for name in ("old", "new"):
        for relative in (CONFIG, RULES, ROTATE, NOTIFYRC):
            write(system / relative, json.dumps({name: relative * 2000}).encode())
        exported(Admin, tmp_path / name, capsys)
        versions[name] = {relative: (system / relative).read_bytes() for relative in (CONFIG, RULES, ROTATE, NOTIFYRC)}
    return versions


def tree_version(system, versions):
    with open(system / LOCK) as lock:  # a commit under way is finished first
        fcntl.flock(lock, fcntl.LOCK_EX)
        return {relative: (system / relative).read_bytes() for relative in versions["old"]}


def test_concurrent_imports_never_mix_archives(Admin, system, tmp_path, capsys):
    versions = two_versions(Admin, system, tmp_path, capsys)
    children = [subprocess.Popen([sys.executable, "-c", IMPORTS, str(system), "12", str(tmp_path / f"{name}.tar.gz")],
                                 stdout=subprocess.DEVNULL, cwd=tmp_path) for name in ("old", "new")]
    while any(child.poll() is None for child in children):
        assert tree_version(system, versions) in versions.values()
    assert [child.returncode for child in children] == [0, 0]


@pytest.mark.parametrize("fallback", ["", "walk,named-temp"])
def test_killed_import_leaves_the_old_or_the_new_tree(Admin, admin, system, tmp_path, capsys, monkeypatch, fallback):
    # Files staged by a killed import are removed by the next one.
    versions = two_versions(Admin, system, tmp_path, capsys)
    rng = random.Random(12)
    for _ in range(15 if fallback else 50):
        child = subprocess.Popen([sys.executable, "-c", IMPORTS, str(system), "0", str(tmp_path / "new.tar.gz"),
                                  str(tmp_path / "old.tar.gz")], stdout=subprocess.PIPE, cwd=tmp_path,
                                 env={**os.environ, "ZELTA_ADMIN_EVENTS_FALLBACK": fallback})
        assert child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0, 0.05))
        child.kill()
        child.wait()
        child.stdout.close()
        assert tree_version(system, versions) in versions.values()
        monkeypatch.setenv("ZELTA_ADMIN_EVENTS_FALLBACK", fallback)
        admin.import_config(str(tmp_path / "old.tar.gz"))
        assert lines(capsys) == ["Configuration imported"]
        assert not [p for p in system.rglob("*") if p.name.startswith(".zelta")]


def fragments_archive(path, count, text):
    """An archive of the configuration file, a skipped link and count fragments, all holding text."""
    return str(build_archive(path, [("T/" + CONFIG, tarfile.REGTYPE, json.dumps({text: {}}).encode()),
                                    ("T/" + ROTATE, tarfile.SYMTYPE, "x")] +
                             [(f"T/{CONFD}/mod-zelta-{n}.conf", tarfile.REGTYPE, text.encode()) for n in range(count)]))


def test_staging_holds_no_descriptor_per_member(system, tmp_path):
    archive = fragments_archive(tmp_path / "a.tar.gz", 1000, "limited")
    limited = "import resource\nresource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))\n" + IMPORTS
    done = subprocess.run([sys.executable, "-c", limited, str(system), "2", archive], capture_output=True, cwd=tmp_path)
    assert done.stdout.decode().splitlines()[1:] == ["Unsupported file type: b'2'", "Configuration imported"], done
    assert all((system / CONFD / f"mod-zelta-{n}.conf").read_bytes() == b"limited" for n in range(1000))


# Whatever the test runner ignores, the signals end the importing process.
DEFAULT_SIGNALS = "import signal\nfor s in (signal.SIGHUP, signal.SIGTERM): signal.signal(s, signal.SIG_DFL)\n"


@pytest.mark.parametrize("signal_number", [signal.SIGHUP, signal.SIGTERM])
def test_import_signalled_mid_commit_leaves_the_old_or_the_new_tree(admin, system, tmp_path, capsys, signal_number):
    # The group of a closed terminal or a stopped service is signalled as the
    # renames start (the "Unsupported" line comes just before them).
    archives = {text: fragments_archive(tmp_path / f"{text}.tar.gz", 1000, text) for text in ("old", "new")}
    admin.import_config(archives["old"])
    for text in ("new", "old"):
        child = subprocess.Popen([sys.executable, "-u", "-c", DEFAULT_SIGNALS + IMPORTS, str(system), "2", archives[text]],
                                 stdout=subprocess.PIPE, cwd=tmp_path, start_new_session=True)
        assert child.stdout.readline() == b"ready\n"
        assert child.stdout.readline() == b"Unsupported file type: b'2'\n"
        time.sleep(0.005)  # the helper that renames is under way
        os.killpg(child.pid, signal_number)
        child.wait()
        child.stdout.close()
        with open(system / LOCK) as lock:  # the renames under way are finished first
            fcntl.flock(lock, fcntl.LOCK_EX)
            found = {(system / CONFD / f"mod-zelta-{n}.conf").read_bytes() for n in range(1000)}
            found.add(next(iter(json.loads((system / CONFIG).read_text()))).encode())
        assert len(found) == 1, f"{len(found)} versions"
        assert not [p for p in system.rglob(".zelta*")]  # the helper finished, staged files and all



# The importing process as it forks the helper that renames: its pipes take
# one page, 341 of the helper's reports; after the fork it ends at once, or
# ends the helper once the helper waits on the full pipe.
SMALL_PIPES = """
import ctypes, fcntl, os, signal, time
libc = ctypes.CDLL(None)
@ctypes.CFUNCTYPE(None)
def small_pipes():
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith("pipe:"):
                fcntl.fcntl(int(fd), fcntl.F_SETPIPE_SZ, 4096)
        except OSError:
            pass
libc.__register_atfork(small_pipes, None, None, None)
"""
ENDS_AT_FORK = SMALL_PIPES + "libc.__register_atfork(None, ctypes.cast(libc._exit, ctypes.c_void_p), None, None)\n"
ENDS_THE_HELPER = SMALL_PIPES + """
@ctypes.CFUNCTYPE(None)
def end_helper():
    helper = int(open(f"/proc/self/task/{os.getpid()}/children").read().split()[0])
    while "pipe_write" not in open(f"/proc/{helper}/wchan").read():
        time.sleep(0.001)
    os.kill(helper, signal.SIGKILL)
libc.__register_atfork(None, end_helper, None, None)
"""


def lockable(lock):
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


def test_caller_gone_mid_commit_leaves_no_helper_holding_the_lock(system, tmp_path):
    archive = fragments_archive(tmp_path / "a.tar.gz", 500, "new")
    child = subprocess.Popen([sys.executable, "-c", ENDS_AT_FORK + IMPORTS, str(system), "2", archive],
                             stdout=subprocess.DEVNULL, cwd=tmp_path, start_new_session=True)
    try:
        child.wait()
        with open(system / LOCK) as lock:
            deadline = time.monotonic() + 2
            while not lockable(lock):
                assert time.monotonic() < deadline, "a helper holds the lock"
                time.sleep(0.01)
        assert {(system / CONFD / f"mod-zelta-{n}.conf").read_bytes() for n in range(500)} == {b"new"}
        assert not list(system.rglob(".zelta*"))
    finally:
        try:
            os.killpg(child.pid, signal.SIGKILL)  # a helper left waiting
        except ProcessLookupError:
            pass


def test_helper_ended_part_way_sets_the_restart_flag_and_names_what_changed(system, tmp_path):
    archive = fragments_archive(tmp_path / "a.tar.gz", 500, "new")
    done = subprocess.run([sys.executable, "-c", ENDS_THE_HELPER + IMPORTS + "print(admin._ZeltaAdminEvents__need_daemon_restart)\n",
                           str(system), "2", archive], capture_output=True, cwd=tmp_path)
    ready, skipped, changed, error, flag = done.stdout.decode().splitlines()
    assert error == ("Error importing configuration: the process that renames the files into place ended early "
                     "(killed by signal 9)") and flag == "True"
    fragments = [system / CONFD / f"mod-zelta-{n}.conf" for n in range(500)]
    new = [system / CONFIG] + [path for path in fragments if path.exists() and path.read_bytes() == b"new"]
    # The rename under way as the helper ended may have gone unreported.
    listed = changed.removeprefix("Changed before the failure: ").split(", ")
    assert listed == list(map(str, new[:len(listed)])) and len(new) - len(listed) <= 1 and 100 < len(listed)
