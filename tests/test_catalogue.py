"""Catalogue queries: description tables and group membership."""

import os

import pytest


@pytest.fixture
def records(monkeypatch):
    """Replaces the library's event records with the given texts."""
    import zelta_events

    def use(texts):
        monkeypatch.setattr(zelta_events, "get_event_ids_ex", lambda kind: list(texts))
    return use


@pytest.mark.parametrize("texts, table", [
    (['a,"Alpha","Альфа"'], {"a": {"name_en": "Alpha", "name_ru": "Альфа"}}),
    # The ID keeps every character; fields after the third are ignored.
    ([' a ,"A","Б",extra,more'], {" a ": {"name_en": "A", "name_ru": "Б"}}),
    # A comma inside a name shifts the fields.
    (['a,"One, two","Раз"'], {"a": {"name_en": "On", "name_ru": "two"}}),
    # Names shorter than their delimiters come out empty.
    (["a,x,"], {"a": {"name_en": "", "name_ru": ""}}),
    # A later record replaces the entry; the key keeps its first position.
    (['a,"1","1"', 'b,"2","2"', 'a,"3","3"'],
     {"a": {"name_en": "3", "name_ru": "3"}, "b": {"name_en": "2", "name_ru": "2"}}),
    ([], {}),
])
def test_description_table(lib, module, records, texts, table):
    records(texts)
    result = module.ZeltaAdminEvents._ZeltaAdminEvents__get_all_event_description()
    assert result == table
    assert list(result) == list(table)
    assert all(list(entry) == ["name_en", "name_ru"] for entry in result.values())


def test_record_of_a_str_subclass_is_split_by_its_own_method(lib, module, records):
    class Record(str):
        def split(self, separator):
            return ["id", "<en>", "<ru>"]

    records([Record('a,"A","Б"'), 'b,"B","В"'])
    result = module.ZeltaAdminEvents._ZeltaAdminEvents__get_all_event_description()
    assert result == {"id": {"name_en": "en", "name_ru": "ru"}, "b": {"name_en": "B", "name_ru": "В"}}


def test_record_with_too_few_fields_fails(lib, module, records):
    records(['a,"Alpha"'])
    with pytest.raises(IndexError):
        module.ZeltaAdminEvents._ZeltaAdminEvents__get_all_event_description()


def test_group_description_uses_group_records(catalogue, module):
    table = module.ZeltaAdminEvents._ZeltaAdminEvents__get_all_group_description()
    assert list(table) == ["fs", "auth"]
    assert ("get_group_ids_ex", 2) in catalogue.calls


def test_group_members_are_listed_regular_files_in_listing_order(lib, tree, Admin):
    for event_id in "abce":
        lib.add_event(event_id)
    lib.add_event("d")
    lib.add_event("grp")
    directory = tree.group("grp", ["a", "b", "c", "grp"])
    (directory / "d").mkdir()                       # a subdirectory, even one named like an event
    (directory / "unlisted").write_text("{}")       # a file the library does not list
    # A link to a regular file counts; its absolute target counts from the root.
    os.symlink("/" + str((directory / "a").relative_to(tree.root)), directory / "e")
    os.symlink(directory / "missing", directory / "dangling")
    listing = [name for name in os.listdir(directory) if name in {"a", "b", "c", "e"}]
    assert Admin._ZeltaAdminEvents__get_events_by_group_id("grp") == listing


@pytest.mark.parametrize("root, listed", [
    pytest.param("tree", ["b"], id="inside-the-root"),
    pytest.param("/", ["a"], id="system-root"),
    pytest.param("elsewhere", ["a"], id="constants-outside-the-root"),
])
@pytest.mark.parametrize("linked", ["directory", "files"])
def test_group_links_resolve_inside_the_root(lib, tree, Admin, root, listed, linked):
    import pathlib

    lib.add_event("a")
    lib.add_event("b")
    # The host's directory holds a, the same path inside the root holds b.
    host = tree.root.parent / "host"
    inside = tree.root / host.relative_to("/")
    for directory, name in ((host, "a"), (inside, "b")):
        directory.mkdir(parents=True)
        (directory / name).write_text("{}")
    if linked == "directory":
        (tree.settings / "g").symlink_to(host)
    else:
        for name in "ab":
            (tree.group("g") / name).symlink_to(host / name)
    root_dir = {"tree": tree.root, "/": pathlib.Path("/"), "elsewhere": tree.root.parent / "other"}[root]
    root_dir.mkdir(exist_ok=True)
    cls = type("Rooted", (Admin,), {"_ZeltaAdminEvents__root_dir": root_dir})
    assert cls._ZeltaAdminEvents__get_events_by_group_id("g") == listed


def test_group_listing_asks_the_library_once_and_not_for_an_empty_directory(lib, tree, Admin):
    for event_id in "abc":
        lib.add_event(event_id)
    tree.group("full", "abc")
    tree.group("empty")
    Admin._ZeltaAdminEvents__get_events_by_group_id("full")
    assert lib.names("get_event_ids") == [()]
    assert Admin._ZeltaAdminEvents__get_events_by_group_id("empty") == []
    assert lib.names("get_event_ids") == [()]


@pytest.mark.parametrize("listed, members", [
    pytest.param(("a", "b", "c"), "abc", id="tuple"),
    pytest.param(iter(["c", "b", "a"]), "abc", id="iterator"),
    pytest.param(["a", "b", "a", "b"], "ab", id="duplicates"),
    pytest.param(["x", "b", 3], "b", id="others-listed"),
])
def test_group_members_from_any_iterable_the_library_returns(lib, tree, Admin, monkeypatch, listed, members):
    import zelta_events

    tree.group("g", "abc")
    monkeypatch.setattr(zelta_events, "get_event_ids", lambda: listed)
    assert sorted(Admin._ZeltaAdminEvents__get_events_by_group_id("g")) == list(members)


def test_library_changes_are_seen_between_listings(lib, tree, Admin, monkeypatch):
    lib.add_event("a")
    lib.add_event("b")
    tree.group("g", "ab")
    assert sorted(Admin._ZeltaAdminEvents__get_events_by_group_id("g")) == ["a", "b"]
    del lib.events["b"]
    assert Admin._ZeltaAdminEvents__get_events_by_group_id("g") == ["a"]


def test_missing_group_directory_raises(lib, Admin):
    with pytest.raises(FileNotFoundError):
        Admin._ZeltaAdminEvents__get_events_by_group_id("absent")


def test_grouped_events_sorted_and_deduplicated(catalogue, Admin):
    admin = Admin([], [])
    groups = ["fs", "auth", "fs"]
    grouped = admin._ZeltaAdminEvents__get_grouped_events(groups)
    assert list(grouped.items()) == [
        ("auth", ["login", "logout"]),
        ("fs", ["file-opened", "modifying-directory", "modifying-file"]),
    ]
    assert groups == ["fs", "auth", "fs"]


def test_event_group_is_the_first_in_library_order(catalogue, tree, Admin):
    tree.group("auth", ["modifying-file"])  # now in both groups; fs comes first
    admin = Admin([], [])
    assert admin._ZeltaAdminEvents__get_event_group("modifying-file") == "fs"
    assert admin._ZeltaAdminEvents__get_event_group("logout") == "auth"


def test_event_in_no_group_lists_every_group_once(catalogue, Admin, monkeypatch):
    listed = []
    original = Admin._ZeltaAdminEvents__get_events_by_group_id

    class Counting(Admin):
        @classmethod
        def _ZeltaAdminEvents__get_events_by_group_id(cls, group_id):
            listed.append(group_id)
            return original(group_id)

    assert Counting([], [])._ZeltaAdminEvents__get_event_group("nowhere") is None
    assert listed == ["fs", "auth"]


def test_grouped_events_of_none_is_not_iterable(catalogue, Admin):
    with pytest.raises(TypeError, match="not iterable"):
        Admin([], [])._ZeltaAdminEvents__get_grouped_events(None)


def test_class_level_queries_obey_the_class_they_are_called_on(catalogue, tree, Admin, module):
    other = tree.root / "other"
    (other / "fs").mkdir(parents=True)
    (other / "fs" / "login").write_text("{}")
    Sub = type("Sub", (Admin,), {"_ZeltaAdminEvents__default_config_dir": other})
    assert Sub._ZeltaAdminEvents__get_events_by_group_id("fs") == ["login"]
    assert Sub([], [])._ZeltaAdminEvents__get_events_by_group_id("fs") == ["login"]


# Operations that go over many groups do the group query's work themselves
# while it is the class's own; an override must still be obeyed.
@pytest.mark.parametrize("where", ["subclass", "instance"])
@pytest.mark.parametrize("operation, check", [
    ("grouped", lambda admin, lib: admin._ZeltaAdminEvents__get_grouped_events(["fs", "auth"])
     == {"auth": ["logout"], "fs": []}),
    ("event group", lambda admin, lib: admin._ZeltaAdminEvents__get_event_group("logout") == "auth"),
    ("enable", lambda admin, lib: admin.enable() or lib.events["logout"]["enabled"] == 1),
    ("facility", lambda admin, lib: admin.set_facility("local0")
     or lib.params == [("logout", "", "message-syslog-facility", '"local0"')]),
])
def test_group_operations_obey_an_overridden_group_query(catalogue, Admin, capsys, where, operation, check):
    asked = []

    def members(group_id):
        asked.append(group_id)
        return ["logout"] if group_id == "auth" else []

    if where == "subclass":
        admin = type("Custom", (Admin,), {
            "_ZeltaAdminEvents__get_events_by_group_id": classmethod(lambda cls, g: members(g))})([], ["auth"])
    else:
        admin = Admin([], ["auth"])
        admin._ZeltaAdminEvents__get_events_by_group_id = members
    assert check(admin, catalogue)
    assert "auth" in asked


def test_enabling_obeys_an_overridden_group_step(catalogue, Admin, capsys):
    done = []
    cls = type("Custom", (Admin,), {"_ZeltaAdminEvents__process_group": lambda self, g, action: done.append(g)})
    cls([], ["auth", "fs"]).enable()
    assert done == ["auth", "fs"]
    assert catalogue.events["logout"]["enabled"] == 0
