"""Effective settings of an event (defaults overlaid with the current
configuration, sorted) and the section translation table."""

import json
import locale
import os
import threading

import pytest


GET = "_ZeltaAdminEvents__get_event_config"
SORT = "_ZeltaAdminEvents__sort_nested_dict"
LOAD = "_ZeltaAdminEvents__load_event_section_translations"
LABEL = "_ZeltaAdminEvents__get_event_section_translation"
TABLE = "_ZeltaAdminEvents__event_section_translations"


def ordered(value):
    """The value with every dictionary turned into its list of items, so
    that comparisons see key order too."""
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [ordered(v) for v in value]
    return value


@pytest.fixture
def event(lib, tree):
    """Event "e" of group "g", with writers for its two settings files."""
    lib.add_group("g")
    lib.add_event("e")
    directory = tree.group("g")

    class Files:
        default_file = directory / "e"

        @staticmethod
        def defaults(value):
            tree.write_json(Files.default_file, value)

        @staticmethod
        def current(value):
            tree.write_json(tree.current_config, value)

    return Files


@pytest.fixture
def admin(Admin, event):
    return Admin(["e"], None)


@pytest.mark.parametrize("defaults, member, expected", [
    pytest.param({"s": {"X": 1, "Y": 2}}, {"s": {"Y": 5, "Z": 6}}, {"s": {"X": 1, "Y": 5, "Z": 6}},
                 id="parameters-replaced-and-added"),
    pytest.param({"d": {"p": 1}}, {"c": {"q": 2}}, {"c": {"q": 2}, "d": {"p": 1}},
                 id="sections-from-either-file"),
    pytest.param({}, {"l": [3, {"b": 1, "a": 2}], "s": "x", "n": None, "f": 1.5},
                 {"f": 1.5, "l": [3, {"b": 1, "a": 2}], "n": None, "s": "x"},
                 id="current-only-sections-of-any-kind"),
    pytest.param({"s": {"o": {"keep": 1, "both": 2}}}, {"s": {"o": {"both": 3}}}, {"s": {"o": {"both": 3}}},
                 id="object-parameter-replaced-whole"),
    pytest.param({"b": {"z": 1, "a": 2}}, {}, {"b": {"a": 2, "z": 1}}, id="empty-current-entry"),
    # Parameters of the section "" live directly under the event: a current
    # value replaces a default of another kind instead of failing.
    pytest.param({"message-syslog-facility": "user", "s": {"p": 1}}, {"message-syslog-facility": "local0"},
                 {"message-syslog-facility": "local0", "s": {"p": 1}}, id="top-level-parameter-replaced"),
    pytest.param({"s": [1, 2]}, {"s": {"p": 1}}, {"s": {"p": 1}}, id="array-default-object-current"),
    pytest.param({"s": {"p": 1}}, {"s": "flat"}, {"s": "flat"}, id="object-default-string-current"),
    pytest.param({"s": {"p": 1}}, {"s": [["p", 2]]}, {"s": [["p", 2]]}, id="pairs-are-not-merged"),
    pytest.param({"s": 1}, {"s": None}, {"s": None}, id="null-current-value"),
])
def test_merge(admin, event, defaults, member, expected):
    event.defaults(defaults)
    event.current({"other": {"s": {"ignored": 1}}, "e": member})
    assert ordered(getattr(admin, GET)("e")) == ordered(expected)


@pytest.mark.parametrize("current", [
    pytest.param({"other": {"s": {"p": 9}}}, id="no-member"),
    pytest.param({"e": None}, id="null-member"),
])
def test_event_without_current_settings_gets_sorted_defaults(admin, event, current):
    event.defaults({"b": {"y": 1, "x": 2}, "a": 0})
    event.current(current)
    assert ordered(getattr(admin, GET)("e")) == [("a", 0), ("b", [("x", 2), ("y", 1)])]


def test_files_are_read_again_at_every_call(admin, event):
    event.defaults({"s": {"p": 1}})
    event.current({"e": {}})
    assert getattr(admin, GET)("e") == {"s": {"p": 1}}
    event.defaults({"s": {"p": 2}})
    event.current({"e": {"s": {"q": 3}}})
    assert getattr(admin, GET)("e") == {"s": {"p": 2, "q": 3}}


def test_group_is_looked_up_through_the_object(Admin, event, tree):
    other = tree.group("elsewhere")
    (other / "e").write_text('{"from": "elsewhere"}')
    event.defaults({"from": "g"})
    event.current({})
    admin = type("Moved", (Admin,), {"_ZeltaAdminEvents__get_event_group": lambda self, e: "elsewhere"})([], None)
    assert getattr(admin, GET)("e") == {"from": "elsewhere"}


def test_results_are_independent(admin, event):
    event.defaults({"s": {"l": [1]}})
    event.current({"e": {"s": {"m": [2]}}})
    first = getattr(admin, GET)("e")
    first["s"]["l"].append("x")
    first["s"]["m"].append("x")
    assert getattr(admin, GET)("e") == {"s": {"l": [1], "m": [2]}}


def test_sort_orders_keys_by_code_point_at_every_level(module):
    nested = {"b": 1, "a": 2, "B": 3}
    data = {
        "b": {"b": dict(nested), "a": 0, "B": [dict(nested), "z", "a"]},
        "a": 1,
        "B": 2,
        "9": 0, "10": 0, "ё": 0, "z": 0,
        "\uffff": 0, "\U0001f600": 0,
    }
    before = ordered(data)
    result = getattr(module.ZeltaAdminEvents, SORT)(data)
    assert list(result) == ["10", "9", "B", "a", "b", "z", "ё", "\uffff", "\U0001f600"]
    assert list(result["b"]) == ["B", "a", "b"]
    assert list(result["b"]["b"]) == ["B", "a", "b"]
    # Arrays and the objects inside them keep their order.
    assert ordered(result["b"]["B"]) == [[("b", 1), ("a", 2), ("B", 3)], "z", "a"]
    assert ordered(data) == before
    assert result is not data and result["b"] is not data["b"] and result["b"]["b"] is not data["b"]["b"]


class Key(str):
    """A key whose order is its own: by length, then as str."""

    def __lt__(self, other):
        return (len(self), str(self)) < (len(other), str(other))


@pytest.mark.parametrize("data, keys", [
    pytest.param({3: "c", 1: "a", 2: {"y": 1, "x": 2}}, [1, 2, 3], id="int-keys"),
    pytest.param({Key("bb"): 1, Key("a"): 2, Key("c"): 3}, ["a", "c", "bb"], id="keys-with-their-own-order"),
    pytest.param({"b": 1, "a": {"d": {"f": 1, "e": 2}}}, ["a", "b"], id="dictionary-values-only-nested"),
])
def test_sort_of_other_keys_uses_their_own_comparison(module, data, keys):
    result = getattr(module.ZeltaAdminEvents, SORT)(data)
    assert list(result) == keys
    for value in result.values():
        if isinstance(value, dict):
            assert list(value) == sorted(value)


def test_sort_of_keys_that_do_not_compare_fails(module):
    with pytest.raises(TypeError, match="'<' not supported"):
        getattr(module.ZeltaAdminEvents, SORT)({"a": 1, 2: 1})


def test_sort_of_a_dictionary_holding_itself_raises(module):
    loop = {}
    loop["self"] = loop
    with pytest.raises(RecursionError):
        getattr(module.ZeltaAdminEvents, SORT)(loop)


def _missing_current(event, tree):
    event.defaults({})


def _bad_default(event, tree):
    event.defaults('{\n  "s": {"p": 1,}\n}')
    event.current({})


def _bad_current(event, tree):
    event.defaults({})
    event.current('{"e": {}}\n{')


def _no_group(event, tree):
    event.current({})  # no default settings file: no group directory lists the event


@pytest.mark.parametrize("setup, error, check", [
    pytest.param(_missing_current, FileNotFoundError, lambda e, t: e.filename == str(t.current_config),
                 id="missing-current-file"),
    # The message is json's own; the file it is about comes as the note.
    pytest.param(_bad_default, json.JSONDecodeError,
                 lambda e, t: (e.lineno, e.colno) == (2, 16) and e.__notes__ == [str(t.settings / "g" / "e")],
                 id="invalid-default-json"),
    pytest.param(_bad_current, json.JSONDecodeError,
                 lambda e, t: (e.lineno, e.colno) == (2, 1) and e.__notes__ == [str(t.current_config)],
                 id="invalid-current-json"),
    pytest.param(_no_group, TypeError, lambda e, t: "NoneType" in str(e), id="event-in-no-group"),
])
def test_failures_reach_the_caller(admin, event, tree, setup, error, check):
    setup(event, tree)
    with pytest.raises(error) as caught:
        getattr(admin, GET)("e")
    assert type(caught.value) is error
    assert check(caught.value, tree)


@pytest.mark.parametrize("defaults, current, what", [
    pytest.param([1], {"e": {}}, "default settings file", id="default-array"),
    pytest.param({}, [{"e": {}}], "current configuration file", id="current-array"),
    pytest.param({}, {"e": ["s"]}, "settings of event 'e'", id="member-array"),
    pytest.param({}, {"e": "s"}, "settings of event 'e'", id="member-string"),
])
def test_settings_that_are_not_objects_are_refused(admin, event, defaults, current, what):
    event.defaults(defaults)
    event.current(current)
    with pytest.raises(TypeError, match="not a JSON object") as caught:
        getattr(admin, GET)("e")
    assert str(caught.value).startswith(what)


def test_missing_default_file_reaches_the_caller(Admin, event, tree):
    # The group lookup finds the event by its default settings file, so the
    # file can only be missing when it goes between the lookup and the read.
    event.current({})
    admin = type("Stale", (Admin,), {"_ZeltaAdminEvents__get_event_group": lambda self, e: "g"})([], None)
    with pytest.raises(FileNotFoundError) as caught:
        getattr(admin, GET)("e")
    assert caught.value.filename == str(tree.settings / "g" / "e")


# ---- Reading the files ------------------------------------------------------------


def _link_out(tree, link, host_text, root_text):
    """Makes link point at a host file by its absolute path; the same path
    inside the root holds root_text."""
    host = tree.root.parent / "host" / link.name
    for path, text in ((host, host_text), (tree.root / host.relative_to("/"), root_text)):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    link.parent.mkdir(parents=True, exist_ok=True)
    link.unlink(missing_ok=True)
    link.symlink_to(host)


@pytest.mark.parametrize("fallback", ["", "walk"])
@pytest.mark.parametrize("linked", ["current", "default", "translations"])
def test_links_to_the_host_are_read_inside_the_root(russian, admin, event, tree, monkeypatch, linked, fallback):
    monkeypatch.setenv("ZELTA_ADMIN_EVENTS_FALLBACK", fallback)
    event.defaults({"s": {}})
    event.current({"e": {"s": {"p": "current"}}})
    if linked == "current":
        _link_out(tree, tree.current_config, '{"e": {"s": {"p": "host"}}}', '{"e": {"s": {"p": "root"}}}')
    elif linked == "default":
        _link_out(tree, event.default_file, '{"s": {"q": "host"}}', '{"s": {"q": "root"}}')
    else:
        _link_out(tree, tree.translations, '{"s": {"ru": "host"}}', '{"s": {"ru": "root"}}')
    shown = getattr(admin, GET)("e")["s"]
    assert "host" not in str(shown) and "host" not in labels(admin, "s")[0]
    assert "root" in str(shown) + labels(admin, "s")[0]


@pytest.fixture(params=["system-root", "tree"])
def reader(request, Admin, event, tree):
    """The object reading event e's settings, under the root "/" or the tree."""
    import pathlib

    root = pathlib.Path("/") if request.param == "system-root" else tree.root
    event.defaults({})
    tree.current_config.parent.mkdir(parents=True)
    return type("Rooted", (Admin,), {"_ZeltaAdminEvents__root_dir": root})(["e"], None)


@pytest.mark.parametrize("make, errors", [
    pytest.param(os.mkfifo, ["Not a regular file"] * 2, id="fifo"),
    pytest.param(lambda path: (path.touch(), os.truncate(path, (64 << 20) + 1)),
                 ["File larger than 67108864 bytes"] * 2, id="too-large"),
    pytest.param(lambda path: path.mkdir(), ["Is a directory"] * 2, id="directory"),
    # Inside the tree the link leads to the tree's own /dev, which has no zero.
    pytest.param(lambda path: path.symlink_to("/dev/zero"), ["Not a regular file", "No such file or directory"],
                 id="link-to-a-device"),
])
def test_only_regular_files_within_the_limit_are_read(reader, tree, make, errors):
    make(tree.current_config)
    # An open that blocks on the FIFO is let go after a while, so the test ends either way.
    release = threading.Timer(2, _open_for_writing, [tree.current_config])
    release.start()
    try:
        with pytest.raises(OSError) as caught:
            getattr(reader, GET)("e")
    finally:
        release.cancel()
    expected = errors[0] if reader._ZeltaAdminEvents__root_dir.samefile("/") else errors[1]
    assert caught.value.strerror == expected and caught.value.filename == str(tree.current_config)


def _open_for_writing(path):
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
    except OSError:
        pass


def test_a_file_of_the_limit_is_read(reader, tree):
    tree.current_config.write_text("{}" + " " * ((64 << 20) - 2))
    assert getattr(reader, GET)("e") == {}


# ---- Section translations ---------------------------------------------------------


@pytest.fixture
def russian(monkeypatch, module):
    monkeypatch.setattr(module, "LANG", "name_ru")


@pytest.fixture
def translations(tree):
    def write(value):
        tree.write_json(tree.translations, value)

    return write


@pytest.fixture
def plain_admin(Admin, lib):
    return Admin(None, None)


def labels(admin, *keys):
    getattr(admin, LOAD)()
    return [getattr(admin, LABEL)(key) for key in keys]


def test_english_never_opens_the_file(plain_admin, tree):
    tree.translations.mkdir(parents=True)  # opening it would fail
    assert labels(plain_admin, "audit", None) == ["", ""]
    assert getattr(plain_admin, TABLE) is None


@pytest.mark.parametrize("table, key, label", [
    pytest.param({"audit": {"ru": "Аудит"}}, "audit", "(Аудит)", id="described"),
    pytest.param({"audit": {"ru": "Аудит"}}, "other", "", id="absent-key"),
    pytest.param({"audit": {"ru": "Аудит"}}, None, "", id="none-key"),
    pytest.param({"audit": {"en": "Audit"}}, "audit", "", id="no-ru-member"),
    pytest.param({}, "audit", "", id="empty-table"),
    pytest.param({"audit": {"ru": 5}}, "audit", "(5)", id="number"),
    pytest.param({"audit": {"ru": ["a", 1.5]}}, "audit", "(['a', 1.5])", id="array"),
    pytest.param({"audit": {"ru": None}}, "audit", "(None)", id="null"),
    pytest.param({"audit": {"ru": True}}, "audit", "(True)", id="boolean"),
    pytest.param([{"audit": {"ru": "Аудит"}}], "audit", "", id="top-level-array"),
    pytest.param("audit", "audit", "", id="top-level-string"),
    pytest.param(7, "audit", "", id="top-level-number"),
    pytest.param({"audit": "Аудит"}, "audit", "", id="entry-string"),
    pytest.param({"audit": ["ru"]}, "audit", "", id="entry-array"),
    pytest.param({"audit": None}, "audit", "", id="entry-null"),
])
def test_section_labels(russian, plain_admin, translations, table, key, label):
    translations(table)
    assert labels(plain_admin, key) == [label]


@pytest.mark.parametrize("spoil", [
    pytest.param(lambda path: path.unlink(), id="file-deleted"),
    pytest.param(lambda path: path.write_text('{"audit": '), id="invalid-json"),
])
def test_failed_reload_keeps_the_earlier_table(russian, plain_admin, translations, tree, spoil):
    translations({"audit": {"ru": "Аудит"}})
    assert labels(plain_admin, "audit") == ["(Аудит)"]
    spoil(tree.translations)
    assert labels(plain_admin, "audit") == ["(Аудит)"]


def test_reload_replaces_the_table(russian, plain_admin, translations):
    translations({"audit": {"ru": "Аудит"}})
    assert labels(plain_admin, "audit", "net") == ["(Аудит)", ""]
    translations({"net": {"ru": "Сеть"}})
    assert labels(plain_admin, "audit", "net") == ["", "(Сеть)"]


@pytest.mark.parametrize("content", [
    pytest.param(None, id="missing"),
    pytest.param("{oops", id="invalid-json"),
])
def test_unusable_file_is_silent(russian, plain_admin, translations, capsys, content):
    if content is not None:
        translations(content)
    assert labels(plain_admin, "audit") == [""]
    assert getattr(plain_admin, TABLE) is None
    assert capsys.readouterr() == ("", "")


def test_other_read_failures_reach_the_caller(russian, plain_admin, tree, translations):
    tree.translations.mkdir(parents=True)
    with pytest.raises(IsADirectoryError):
        getattr(plain_admin, LOAD)()
    tree.translations.rmdir()
    if locale.getpreferredencoding(False).lower().replace("-", "") != "utf8":
        pytest.skip("needs a UTF-8 locale")
    tree.translations.write_bytes(b'{"audit": {"ru": "\xff"}}')
    with pytest.raises(UnicodeDecodeError) as caught:
        getattr(plain_admin, LOAD)()
    assert caught.value.__notes__ == [str(tree.translations)]
