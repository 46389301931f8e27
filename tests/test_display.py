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

# The status column stands 10 after the longest ID; the state shows as its text.
@pytest.mark.parametrize("states, text", [
    ({"ab": 1, "abcdef": 0}, f"ab{' ' * 14}1 {GREY}Event ab{END}\nabcdef{' ' * 10}0 {GREY}Event abcdef{END}"),
    ({"x": 1}, f"x{' ' * 10}1 {GREY}Event x{END}"),
    ({"e": True}, line("e", 11, "True", "Event e")), ({"e": 2}, line("e", 11, "2", "Event e")),
    ({"e": "yes"}, line("e", 11, "yes", "Event e")), ({"e": None}, line("e", 11, "None", "Event e")),
])
def test_block_layout(Admin, lib, states, text):
    for event_id, state in states.items():
        lib.add_event(event_id, state)
    assert block(Admin([], []), list(states)) == text
    assert lib.names("is_event_enabled") == [(event_id,) for event_id in states]


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


def test_empty_block_is_empty_text(Admin, catalogue):
    admin = Admin([], [])
    catalogue.calls.clear()
    assert block(admin, []) == ""
    assert block(admin, [], 1) == ""
    assert catalogue.calls == []


@pytest.mark.parametrize("call, error", [
    (lambda admin: block(admin, None), TypeError),  # a private operation keeps failing on None
    (lambda admin: block(admin, ["unknown"]), KeyError),
    (lambda admin: admin._ZeltaAdminEvents__get_group_string("nope"), KeyError),
])
def test_block_and_header_failures(Admin, catalogue, call, error):
    with pytest.raises(error):
        call(Admin([], []))


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
