"""The settings outline of events and its hand-off to the pager."""

import json

import pytest


FORMAT = "_ZeltaAdminEvents__get_event_config_string"
TABLE = "_ZeltaAdminEvents__event_section_translations"


@pytest.fixture
def settings(lib, tree):
    """Writes events of group "g": settings(event ID, defaults, current=None);
    every event's current member defaults to the empty object."""
    lib.add_group("g")
    current = {}

    def write(event_id, defaults, member=None):
        lib.add_event(event_id)
        directory = tree.group("g")
        tree.write_json(directory / event_id, defaults)
        current[event_id] = member if member is not None else {}
        tree.write_json(tree.current_config, current)

    return write


def shown(Admin, pager, event_ids):
    Admin(event_ids, None).show_event()
    assert len(pager) == 1
    text, command = pager[0]
    assert command == "less -R"
    return text


@pytest.mark.parametrize("defaults, member, text", [
    pytest.param({"R": True, "A": {"Q": "x", "P": 1}}, None, "A:\n    P: 1\n    Q: x\n\nR: True\n\n", id="documented"),
    pytest.param({}, None, "\n", id="empty"),
    pytest.param('{"p": "\\ud800"}', None, "p: \ud800\n\n", id="surrogate-reaches-the-pager"),
    pytest.param({"s": {"o": {"y": 1, "x": "it's"}, "p": 0}}, None,
                 's:\n    o:\n        x: it"s\n        y: 1\n\n    p: 0\n\n\n', id="object-parameter-is-a-section"),
    pytest.param({"message-syslog-facility": "user", "s": {"p": 1, "q": 2}},
                 {"message-syslog-facility": "local0", "s": {"q": 5}},
                 "message-syslog-facility: local0\ns:\n    p: 1\n    q: 5\n\n\n", id="current-settings"),
])
def test_outline_of_one_event(Admin, pager, settings, defaults, member, text):
    settings("e", defaults, member)
    assert shown(Admin, pager, ["e"]) == "----------e----------\n" + text


def test_formatter_keeps_the_given_order(Admin, lib):
    admin = Admin(None, None)
    text = getattr(admin, FORMAT)({"z": 1, "A": {"Q": "x", "P": 1}})
    assert text == "z: 1\nA:\n    Q: x\n    P: 1\n\n\n"


@pytest.mark.parametrize("dictionary, indent, text", [
    pytest.param({}, 0, "\n", id="empty"),
    pytest.param({"p": 1}, 2, "        p: 1\n\n", id="indent-2"),
    pytest.param({"p": 1}, -1, "p: 1\n\n", id="negative-indent"),
    # Each closing level adds its own empty line.
    pytest.param({"a": {"b": {"c": 1}}}, 0, "a:\n    b:\n        c: 1\n\n\n\n", id="three-levels-close"),
    pytest.param({"a": {}, "b": 2}, 0, "a:\n\nb: 2\n\n", id="empty-section"),
])
def test_outline_layout(Admin, lib, dictionary, indent, text):
    admin = Admin(None, None)
    assert getattr(admin, FORMAT)(dictionary, indent) == text
    assert getattr(admin, FORMAT)(dictionary=dictionary, indent=indent) == text


# Values as the JSON text gives them, and the text they show as.
@pytest.mark.parametrize("json_value, text", [
    pytest.param("1e16", "1e+16", id="large-real"),
    pytest.param("1e-05", "1e-05", id="small-real"),
    pytest.param("0.1", "0.1", id="real"),
    pytest.param("2.0", "2.0", id="integral-real"),
    pytest.param("123456789012345678901234567890", "123456789012345678901234567890", id="big-integer"),
    pytest.param("-7", "-7", id="negative-integer"),
    pytest.param("NaN", "nan", id="nan"),
    pytest.param("-Infinity", "-inf", id="negative-infinity"),
    pytest.param("true", "True", id="true"),
    pytest.param("false", "False", id="false"),
    pytest.param("null", "None", id="null"),
    pytest.param('"it\'s"', 'it"s', id="apostrophe"),
    pytest.param('"say \\"hi\\"\\nnext"', 'say "hi"\nnext', id="string-shown-raw"),
    pytest.param('"Журнал"', "Журнал", id="non-ascii"),
    pytest.param('["a", "b"]', '["a", "b"]', id="array"),
    pytest.param("[]", "[]", id="empty-array"),
    pytest.param('["it\'s"]', '["it"s"]', id="array-apostrophe"),
    pytest.param('["say \\"hi\\""]', '["say "hi""]', id="array-quotes"),
    pytest.param('["it\'s \\"x\\""]', '["it\\"s "x""]', id="array-both-quotes"),
    pytest.param('["ё", "\\u00e9"]', '["ё", "é"]', id="array-non-ascii"),
    pytest.param('["a\\u0001\\n\\t\\r\\\\", "\\u200b\\u00a0\\ud83d\\ude00"]',
                 '["a\\x01\\n\\t\\r\\\\", "\\u200b\\xa0\U0001f600"]', id="array-control-characters"),
    pytest.param('[1e16, 1e-05, 0.1, true, null, NaN]', "[1e+16, 1e-05, 0.1, True, None, nan]",
                 id="array-of-other-kinds"),
    pytest.param('[{"b": [1, {"k": "v"}], "a": "it\'s"}]', '[{"b": [1, {"k": "v"}], "a": "it"s"}]',
                 id="objects-inside-arrays-unsorted"),
])
def test_value_texts(Admin, pager, settings, json_value, text):
    settings("e", '{"p": %s}' % json_value)
    assert shown(Admin, pager, ["e"]) == "----------e----------\np: " + text + "\n\n"


def test_events_are_joined_by_an_empty_line(Admin, pager, settings):
    settings("b", {"s": {"p": 1}})
    settings("a", {"q": 2})
    assert shown(Admin, pager, ["b", "a"]) == (
        "----------b----------\ns:\n    p: 1\n\n\n"
        "\n"
        "----------a----------\nq: 2\n\n"
    )


def test_event_named_twice_is_shown_twice_with_its_current_settings(Admin, pager, settings):
    settings("e", {"s": {"p": [1]}}, {"s": {"p": [2]}, "t": "x"})
    block = "----------e----------\ns:\n    p: [2]\n\nt: x\n\n"
    assert shown(Admin, pager, ["e", "e"]) == block + "\n" + block


def test_each_listing_reads_the_current_configuration_again(Admin, pager, settings, tree):
    settings("e", {"p": 1}, {"p": 2})
    admin = Admin(["e"], None)
    admin.show_event()
    tree.write_json(tree.current_config, {"e": {"p": 3}})
    admin.show_event()
    assert [text for text, _ in pager] == ["----------e----------\np: 2\n\n", "----------e----------\np: 3\n\n"]


def test_russian_labels_at_every_depth(Admin, pager, settings, tree, monkeypatch, module):
    settings("e", {"audit": {"paths": {"x": 1}, "n": 2}, "other": {"m": 3}, "audit-flat": 4})
    tree.write_json(tree.translations, {"audit": {"ru": "Аудит"}, "paths": {"ru": "Пути"},
                                        "audit-flat": {"ru": "never shown"}})
    monkeypatch.setattr(module, "LANG", "name_ru")
    assert shown(Admin, pager, ["e"]) == (
        "----------e----------\n"
        "audit(Аудит):\n"
        "    n: 2\n"
        "    paths(Пути):\n"
        "        x: 1\n"
        "\n"
        "\n"
        "audit-flat: 4\n"
        "other:\n"
        "    m: 3\n"
        "\n"
        "\n"
    )


def test_english_shows_bare_section_names(Admin, pager, settings, tree):
    settings("e", {"audit": {"n": 2}})
    tree.write_json(tree.translations, {"audit": {"ru": "Аудит"}})
    assert shown(Admin, pager, ["e"]) == "----------e----------\naudit:\n    n: 2\n\n\n"


def test_labels_of_an_earlier_listing_survive_a_deleted_file(Admin, pager, settings, tree, monkeypatch, module):
    settings("e", {"audit": {"n": 2}})
    tree.write_json(tree.translations, {"audit": {"ru": "Аудит"}})
    monkeypatch.setattr(module, "LANG", "name_ru")
    admin = Admin(["e"], None)
    admin.show_event()
    tree.translations.unlink()
    admin.show_event()
    assert [text for text, _ in pager] == ["----------e----------\naudit(Аудит):\n    n: 2\n\n\n"] * 2


@pytest.mark.parametrize("event_ids", [pytest.param(None, id="none"), pytest.param([], id="empty")])
def test_no_events_pages_an_empty_text_after_loading_labels(Admin, pager, lib, tree, monkeypatch, module,
                                                            event_ids):
    tree.write_json(tree.translations, {"audit": {"ru": "Аудит"}})
    monkeypatch.setattr(module, "LANG", "name_ru")
    admin = Admin(event_ids, None)
    admin.show_event()
    assert pager == [("", "less -R")]
    assert getattr(admin, TABLE) == {"audit": {"ru": "Аудит"}}


def test_failure_of_a_later_event_shows_nothing(Admin, pager, settings, lib):
    settings("a", {"p": 1})
    lib.add_event("lost")  # listed by the library, in no group directory
    with pytest.raises(TypeError):
        Admin(["a", "lost"], None).show_event()
    assert pager == []


def test_invalid_settings_show_nothing(Admin, pager, settings):
    settings("e", '{"p": }')
    with pytest.raises(json.JSONDecodeError):
        Admin(["e"], None).show_event()
    assert pager == []


def test_formatter_refuses_keys_that_are_not_strings(Admin, lib):
    with pytest.raises(TypeError, match="^settings key 1 is not a string$"):
        getattr(Admin(None, None), FORMAT)({1: 2})


class Shouting(str):
    def __str__(self):
        return self.upper()


class Pair:
    def __repr__(self):
        return "Pair('x')"


cyclic = [1]
cyclic.append(cyclic)
cyclic_map = {"k": 1}
cyclic_map["self"] = cyclic_map


# Values a caller may hand the formatter directly: each shows as its str()
# with ' turned into ".
@pytest.mark.parametrize("value", [
    pytest.param(Shouting("it's"), id="str-subclass"),
    pytest.param(True, id="bool"),
    pytest.param(10**40, id="int-beyond-64-bits"),
    pytest.param(-2**63, id="int-64-bit-minimum"),
    pytest.param(__import__("enum").IntEnum("E", "A").A, id="int-subclass"),
    pytest.param([Pair(), (1, "a"), Shouting("b"), {}, {"k": [None, -0.0]}, [[]]], id="list-of-other-kinds"),
    pytest.param(cyclic, id="list-holding-itself"),
    pytest.param([cyclic_map], id="dict-holding-itself-in-a-list"),
    pytest.param(["\x00\x1f\x7f\x80\x9f\xa0\xad\u0378\u2028\ud800\U000e0001\U0010ffff é ё 😀"],
                 id="escapes"),
])
def test_values_of_any_kind_show_as_their_str(Admin, lib, value):
    text = getattr(Admin(None, None), FORMAT)({"p": value})
    assert text == "p: " + str(value).replace("'", '"') + "\n\n"


def test_value_whose_repr_changes_its_list(Admin, lib):
    class Shrinking:
        def __repr__(self):
            items.clear()
            return "gone"
    items = [Shrinking(), 1, 2]
    assert getattr(Admin(None, None), FORMAT)({"p": items}) == "p: [gone]\n\n"


@pytest.mark.parametrize("where", ["subclass", "instance"])
def test_nested_levels_obey_overridden_methods(Admin, lib, where):
    seen = []

    def formatter(self, dictionary, indent=0):
        seen.append(("format", indent))
        return f"<{len(dictionary)} at {indent}>"

    def label(self, key):
        seen.append(("label", key))
        return f"[{key}]"

    settings = {"a": {"b": {"c": 1}}, "d": 2}
    if where == "subclass":
        cls = type("Custom", (Admin,), {"_ZeltaAdminEvents__get_event_config_string": formatter,
                                        "_ZeltaAdminEvents__get_event_section_translation": label})
        admin = cls(None, None)
        text = Admin._ZeltaAdminEvents__get_event_config_string(admin, settings)
    else:
        admin = Admin(None, None)
        admin._ZeltaAdminEvents__get_event_config_string = formatter.__get__(admin)
        admin._ZeltaAdminEvents__get_event_section_translation = label.__get__(admin)
        text = Admin._ZeltaAdminEvents__get_event_config_string(admin, settings)
    assert text == "a[a]:\n<1 at 1>d: 2\n\n"
    assert seen == [("label", "a"), ("format", 1)]


@pytest.mark.parametrize("returned", [None, b"x"])
def test_override_returning_no_text_fails(Admin, lib, returned):
    cls = type("Custom", (Admin,), {"_ZeltaAdminEvents__get_event_section_translation": lambda self, key: returned})
    with pytest.raises(TypeError, match="expected str instance"):
        getattr(cls(None, None), FORMAT)({"a": {}})


def test_formatter_of_a_dictionary_holding_itself_raises(Admin, lib):
    loop = {}
    loop["self"] = loop
    with pytest.raises(RecursionError):
        getattr(Admin(None, None), FORMAT)(loop)
