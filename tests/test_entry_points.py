"""The boundary between Python and the module: every operation binds its
arguments as the module's table of operations (`_operations`) declares, and
no caller can crash the interpreter through it."""

import inspect
import sys
import threading
import time

import pytest

from test_module import FAKE_LIBRARY, run_python
from zelta_admin_events import admin_events

OPERATIONS = admin_events._operations
# A value of the wrong type for each expected type, with its type's name.
WRONG = {"list": ((), "tuple"), "str": (b"x", "bytes"), "dict": ([], "list"), "int": ("1", "str")}
FITTING = {"list": [], "str": "", "dict": {}, "int": 0, "object": None}
TYPED = [(op, i) for op in OPERATIONS for i, param in enumerate(op[2]) if param[1] != "object"]


def callable_of(Admin, operation):
    name, kind = operation[:2]
    if kind == "constructor":
        return Admin
    return getattr(Admin if kind == "classmethod" else Admin([], []), name)


@pytest.mark.parametrize("by_name", [False, True], ids=["by position", "by name"])
@pytest.mark.parametrize("operation, index", TYPED, ids=[f"{op[0]}-{op[2][i][0]}" for op, i in TYPED])
def test_wrong_argument_type_is_refused_before_any_step(catalogue, Admin, operation, index, by_name):
    name, kind, params, positional_only, doc = operation
    if by_name and positional_only:
        pytest.skip("keywords are refused")
    function = callable_of(Admin, operation)
    catalogue.calls.clear()
    args = [FITTING[p[1]] for p in params]
    args[index], type_name = WRONG[params[index][1]]
    with pytest.raises(TypeError) as raised:
        function(**{p[0]: a for p, a in zip(params, args)}) if by_name else function(*args)
    param, expected = params[index][:2]
    assert str(raised.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {type_name})"
    assert catalogue.calls == [] and catalogue.params == []


def binding_errors(name, params, positional_only):
    """(positional arguments, keywords, message) of calls the binding refuses."""
    n = len(params)
    cases = [((None,) * (n + 1), {}, f"{name}() takes at most {n} positional argument{'' if n == 1 else 's'} "
                                     f"({n + 1} given)")]
    if positional_only:
        cases.append(((None,), {"other": 1}, f"{name}() takes no keyword arguments"))
        return cases
    cases.append(((), {"other": 1}, f"{name}() got an unexpected keyword argument 'other'"))
    if n:
        cases.append(((None,), {params[0][0]: None}, f"argument for {name}() given by name ('{params[0][0]}') "
                                                     "and position (1)"))
    if n and params[0][2]:
        cases.append(((), {}, f"{name}() missing required argument '{params[0][0]}' (pos 1)"))
    return cases


@pytest.mark.parametrize("operation", OPERATIONS, ids=[op[0] for op in OPERATIONS])
def test_argument_count_and_names_are_checked(catalogue, Admin, operation):
    function = callable_of(Admin, operation)
    catalogue.calls.clear()
    for args, keywords, message in binding_errors(operation[0], operation[2], operation[3]):
        with pytest.raises(TypeError) as raised:
            function(*args, **keywords)
        assert str(raised.value) == message
    assert catalogue.calls == []


def test_the_class_has_exactly_the_declared_operations_with_their_signatures(module):
    cls = module.ZeltaAdminEvents
    methods = {name for name, value in vars(cls).items()
               if type(value).__name__ in ("method_descriptor", "classmethod_descriptor")}
    assert methods == {op[0] for op in OPERATIONS if op[1] != "constructor"}
    for name, kind, params, positional_only, doc in OPERATIONS:
        target = cls if kind == "constructor" else vars(cls)[name]
        assert inspect.getdoc(target) == doc
        if kind != "constructor":
            assert type(target).__name__ == ("classmethod_descriptor" if kind == "classmethod" else "method_descriptor")
        signature = inspect.signature(getattr(cls, name) if kind == "classmethod" else target)
        parameters = list(signature.parameters.values())[kind == "method":]
        assert [(p.name, None if p.default is p.empty else repr(p.default)) for p in parameters] == \
            [(p[0], p[3]) for p in params]
        positional = inspect.Parameter.POSITIONAL_ONLY if positional_only else inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert all(p.kind == positional for p in parameters)


# ---- What no caller may do to the interpreter ------------------------------------


@pytest.mark.parametrize("code, expected", [
    # A stream whose write() rebinds sys.stdout, so that the stream the line
    # started on is freed half-way through the line.
    ("""
    import io
    class Swapping(io.StringIO):
        def write(self, text):
            sys.stdout = io.StringIO()
            return len(text)
    for _ in range(3):
        sys.stdout = Swapping()
        ZeltaAdminEvents(["unknown-id"], [])
    print("survived", file=sys.stderr)
    """, {"survived"}),
    # IDs whose length no string can have: the padding is sized by the
    # differences of the lengths, as the status block's rule gives it.
    ("""
    class Huge(str):
        def __len__(self):
            return sys.maxsize
    sys.modules["zelta_events"].get_event_ids_ex = lambda kind: ['x,"Name","Name"']
    sys.modules["zelta_events"].is_event_enabled = lambda event_id: 1
    admin = ZeltaAdminEvents([], [])
    print(repr(admin._ZeltaAdminEvents__get_multiple_string([Huge("x")])), file=sys.stderr)
    try:
        admin._ZeltaAdminEvents__get_multiple_string([Huge("x"), "x"])
    except OverflowError as error:  # as " " * (sys.maxsize + 9) fails
        print(error, file=sys.stderr)
    """, {repr("x" + " " * 10 + "1 \x1b[90mName\x1b[0m") + "\ncannot fit 'int' into an index-sized integer"}),
])
def test_hostile_callers_get_an_exception_not_a_crash(tmp_path, code, expected):
    done = run_python(FAKE_LIBRARY + """
    from zelta_admin_events.admin_events import ZeltaAdminEvents
    """ + code, tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr.strip() in expected


def test_show_event_in_two_threads_leaves_no_listing_behind(Admin, tree, lib, monkeypatch):
    import pydoc

    lib.add_group("g")
    for event_id in ("e", "f"):
        lib.add_event(event_id)
    tree.group("g", ["e", "f"], {"s": {"p": 1}})
    tree.write_json(tree.current_config, {"e": {"s": {"p": 2}}, "f": {"s": {"p": 2}}})
    monkeypatch.setattr(pydoc, "pipepager", lambda text, command: time.sleep(0.0001))  # lets the other thread in
    admin = Admin(["e"], None)
    threads = [threading.Thread(target=lambda: [admin.show_event() for _ in range(200)]) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    tree.write_json(tree.current_config, {"f": {"s": {"p": 3}}})
    assert admin._ZeltaAdminEvents__get_event_config("f") == {"s": {"p": 3}}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with their own GIL came with 3.12")
def test_an_isolated_interpreter_loads_the_module(tmp_path):
    done = run_python("""
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    interpreter = interpreters.create()  # isolated: its own GIL, multi-phase modules only
    print(interpreters.run_string(interpreter, "import sys, types; "
                                  "sys.modules['zelta_events'] = types.ModuleType('zelta_events'); "
                                  "import zelta_admin_events.admin_events"))
    """, tmp_path)
    assert done.returncode == 0 and done.stdout.split() == ["None"], done.stderr
