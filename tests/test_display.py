"""Status listings: the status block, group headers, the group listings and
the hand-off of their text to the pager."""

import os
import stat
import sys

import pytest

GREY, END = "\x1b[90m", "\x1b[0m"


def line(id_, width, status, name):
    return f"{id_}{' ' * (width - len(id_))}{status} {GREY}{name}{END}"


def block(admin, ids, *args, **kwargs):
    return admin._ZeltaAdminEvents__get_multiple_string(ids, *args, **kwargs)


FS_HEADER = f"File system {GREY}fs{END}"
AUTH_HEADER = f"Authentication {GREY}auth{END}"
AUTH_BLOCK = "\n".join([line("login", 16, 1, "Event login"), line("logout", 16, 0, "Event logout")])
FS_BLOCK = "\n".join([
    line("file-opened", 29, 0, "Event file-opened"),
    line("modifying-directory", 29, 0, "Event modifying-directory"),
    line("modifying-file", 29, 1, "Event modifying-file"),
])


# ---- status block -------------------------------------------------------------

def test_block_aligns_status_column_after_longest_id(Admin, lib):
    lib.add_event("ab", 1)
    lib.add_event("abcdef", 0)
    text = block(Admin([], []), ["ab", "abcdef"])
    assert text == ("ab" + " " * 14 + "1 " + GREY + "Event ab" + END + "\n"
                    + "abcdef" + " " * 10 + "0 " + GREY + "Event abcdef" + END)
    assert lib.names("is_event_enabled") == [("ab",), ("abcdef",)]


def test_block_of_one_id_has_ten_spaces_and_nothing_after_reset(Admin, lib):
    lib.add_event("x", 1, name_en="Name")
    assert block(Admin([], []), ["x"]) == "x" + " " * 10 + "1 \x1b[90mName\x1b[0m"


@pytest.mark.parametrize("args, kwargs", [((0,), {}), ((), {"new_status": 0}), ((1,), {}), (("on",), {})])
def test_block_with_new_status_uses_group_names_and_skips_library(Admin, catalogue, args, kwargs):
    admin = Admin([], [])
    catalogue.calls.clear()
    status = (args or tuple(kwargs.values()))[0]
    assert block(admin, ["fs", "auth"], *args, **kwargs) == "\n".join([
        line("fs", 14, status, "File system"), line("auth", 14, status, "Authentication")])
    assert catalogue.calls == []


@pytest.mark.parametrize("args, kwargs", [((), {}), ((None,), {}), ((), {"new_status": None})])
def test_block_without_new_status_asks_library_per_id(Admin, catalogue, args, kwargs):
    admin = Admin([], [])
    catalogue.calls.clear()
    assert block(admin, ["login", "logout", "login"], *args, **kwargs) == "\n".join([
        line("login", 16, 1, "Event login"), line("logout", 16, 0, "Event logout"),
        line("login", 16, 1, "Event login")])
    assert catalogue.names("is_event_enabled") == [("login",), ("logout",), ("login",)]


@pytest.mark.parametrize("state, shown", [(True, "True"), (2, "2"), ("yes", "yes"), (None, "None")])
def test_block_shows_text_form_of_library_state(Admin, lib, state, shown):
    lib.add_event("e", state)
    assert block(Admin([], []), ["e"]) == line("e", 11, shown, "Event e")


def test_empty_block_is_empty_text(Admin, catalogue):
    admin = Admin([], [])
    catalogue.calls.clear()
    assert block(admin, []) == ""
    assert block(admin, [], 1) == ""
    assert catalogue.calls == []


@pytest.mark.parametrize("ids, error", [
    (None, TypeError),          # a private operation keeps failing on None
    (["unknown"], KeyError),
])
def test_block_failures(Admin, catalogue, ids, error):
    with pytest.raises(error):
        block(Admin([], []), ids)


def test_block_and_header_read_lang_and_color_at_call_time(Admin, catalogue, module, monkeypatch):
    admin = Admin([], [])
    monkeypatch.setattr(module, "LANG", "name_ru")
    monkeypatch.setattr(module, "Color", type("Plain", (), {"GREY": "<", "END": ">"}))
    assert block(admin, ["login"]) == "login" + " " * 10 + "1 <Событие login>"
    assert block(admin, ["auth"], 0) == "auth" + " " * 10 + "0 <Аутентификация>"
    assert admin._ZeltaAdminEvents__get_group_string("auth") == "Аутентификация <auth>"


def test_block_reads_description_fields_at_call_time(Admin, catalogue):
    admin = Admin([], [])
    admin._ZeltaAdminEvents__event_description = {"login": {"name_en": "Patched"}}
    assert block(admin, ["login"]).endswith(f"{GREY}Patched{END}")


# ---- group header ---------------------------------------------------------------

def test_group_header(Admin, catalogue):
    admin = Admin([], [])
    assert admin._ZeltaAdminEvents__get_group_string("fs") == FS_HEADER
    assert admin._ZeltaAdminEvents__get_group_string(group_id="auth") == AUTH_HEADER


@pytest.mark.parametrize("group_id, error", [("nope", KeyError), (3, TypeError)])
def test_group_header_failures(Admin, catalogue, group_id, error):
    with pytest.raises(error):
        Admin([], [])._ZeltaAdminEvents__get_group_string(group_id)


# ---- group listings ------------------------------------------------------------

def test_listing_of_two_groups_is_exact(Admin, catalogue, pager):
    Admin([], ["fs", "auth"]).show_groups()
    assert pager == [(f"{AUTH_HEADER}\n{AUTH_BLOCK}\n\n{FS_HEADER}\n{FS_BLOCK}\n", "less -R")]


def test_listing_orders_groups_and_lists_a_group_named_twice_once(Admin, catalogue, pager):
    groups = ["fs", "auth", "fs"]
    Admin([], groups).show_groups()
    assert pager[0][0] == f"{AUTH_HEADER}\n{AUTH_BLOCK}\n\n{FS_HEADER}\n{FS_BLOCK}\n"
    assert groups == ["fs", "auth", "fs"]


def test_group_without_events_is_listed_with_its_header(Admin, catalogue, tree, pager):
    catalogue.add_group("empty", "Empty")
    tree.group("empty")
    Admin([], ["empty", "auth"]).show_groups()
    assert pager[0][0] == f"{AUTH_HEADER}\n{AUTH_BLOCK}\n\nEmpty {GREY}empty{END}\n\n"


@pytest.mark.parametrize("groups", [[], None])
def test_show_groups_without_groups_pages_empty_text(Admin, catalogue, pager, groups):
    Admin([], groups).show_groups()
    assert pager == [("", "less -R")]


def test_private_listing_with_none_fails_before_paging(Admin, catalogue, pager):
    with pytest.raises(TypeError):
        Admin([], None)._ZeltaAdminEvents__show_groups()
    assert pager == []


def test_show_all_groups_replaces_group_list(Admin, catalogue, pager):
    admin = Admin([], ["auth"])
    catalogue.calls.clear()
    admin.show_all_groups()
    assert catalogue.names("get_group_ids") == [()]
    assert admin._ZeltaAdminEvents__group_id_list == ["fs", "auth"]
    admin.show_groups()
    expected = f"{AUTH_HEADER}\n{AUTH_BLOCK}\n\n{FS_HEADER}\n{FS_BLOCK}\n"
    assert pager == [(expected, "less -R"), (expected, "less -R")]


def test_show_all_groups_with_non_list_fails_and_keeps_replacement(Admin, catalogue, pager, monkeypatch):
    monkeypatch.setattr(sys.modules["zelta_events"], "get_group_ids", lambda: ("fs",))
    admin = Admin([], [])
    with pytest.raises(TypeError, match="Argument 'group_id_list' has incorrect type"):
        admin.show_all_groups()
    assert admin._ZeltaAdminEvents__group_id_list == ("fs",)
    assert pager == []


def test_listing_failure_pages_nothing(Admin, catalogue, pager):
    admin = Admin([], ["auth"])
    admin._ZeltaAdminEvents__event_description.pop("login")
    with pytest.raises(KeyError):
        admin.show_groups()
    assert pager == []


def test_listing_goes_through_overridden_operations(Admin, catalogue, pager):
    calls = []

    class Sub(Admin):
        def _ZeltaAdminEvents__get_grouped_events(self, group_id_list):
            calls.append(("grouped", list(group_id_list)))
            return {"g1": ["a"], "g2": []}

        def _ZeltaAdminEvents__get_group_string(self, group_id):
            return f"<{group_id}>"

        def _ZeltaAdminEvents__get_multiple_string(self, id_list, new_status=None):
            calls.append(("block", id_list, new_status))
            return "|".join(id_list)

    Sub([], ["auth"]).show_groups()
    assert pager[0][0] == "<g1>\na\n\n<g2>\n\n"
    assert calls == [("grouped", ["auth"]), ("block", ["a"], None), ("block", [], None)]


def test_show_groups_uses_overridden_private_listing(Admin, catalogue, pager):
    class Sub(Admin):
        def _ZeltaAdminEvents__show_groups(self):
            pager.append("overridden")

    Sub([], ["fs"]).show_groups()
    Sub([], ["fs"]).show_all_groups()
    assert pager == ["overridden", "overridden"]


def test_status_block_does_not_leak_references(Admin, catalogue):
    admin = Admin([], [])
    ids = ["login", "logout"]
    name = admin._ZeltaAdminEvents__event_description["login"]["name_en"]
    block(admin, ids)
    catalogue.calls.clear()  # the fake's call log holds references of its own
    before = [sys.getrefcount(x) for x in (ids[0], ids[1], name, ids)]
    for _ in range(1000):
        block(admin, ids)
        block(admin, ["auth"], new_status=1)
        admin._ZeltaAdminEvents__get_group_string("auth")
    catalogue.calls.clear()
    assert [sys.getrefcount(x) for x in (ids[0], ids[1], name, ids)] == before


# ---- the real pager hand-off -------------------------------------------------------

def test_text_reaches_real_pager_command(Admin, catalogue, tmp_path, monkeypatch):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    received = tmp_path / "received"
    less = bin_dir / "less"
    less.write_text(f'#!/bin/sh\nprintf "%s\\n" "$*" > "{tmp_path}/args"\ncat > "{received}"\n')
    less.chmod(less.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    Admin([], ["auth"]).show_groups()
    assert received.read_text() == f"{AUTH_HEADER}\n{AUTH_BLOCK}\n"
    assert (tmp_path / "args").read_text() == "-R\n"
