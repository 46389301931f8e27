"""The type stub shipped beside the module: the same names and signatures as
the built module, and usable by a type checker."""

import ast
import inspect
import pathlib
import subprocess
import sys

import pytest

from zelta_admin_events import admin_events

STUB = pathlib.Path(admin_events.__file__).with_name("admin_events.pyi")


def _is_classvar(annotation):
    node = annotation.value if isinstance(annotation, ast.Subscript) else annotation
    return isinstance(node, ast.Name) and node.id == "ClassVar"


def _is_alias(annotation):
    return isinstance(annotation, ast.Name) and annotation.id == "TypeAlias"


def _is_typed_dict(node):
    """A shape for type checkers only, with no counterpart in the module."""
    return any(isinstance(base, ast.Name) and base.id == "TypedDict" for base in node.bases)


class Scope:
    """The names one body of the stub declares."""

    def __init__(self, body):
        self.functions, self.class_attributes, self.instance_attributes, self.classes = {}, set(), set(), {}
        for node in body:
            if isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.ClassDef) and not _is_typed_dict(node):
                self.classes[node.name] = Scope(node.body)
            elif isinstance(node, ast.AnnAssign) and not _is_alias(node.annotation):
                into = self.class_attributes if _is_classvar(node.annotation) else self.instance_attributes
                into.add(node.target.id)

    def names(self):
        return set(self.functions) | self.class_attributes | set(self.classes)


@pytest.fixture(scope="module")
def stub():
    return Scope(ast.parse(STUB.read_text()).body)


def _stub_parameters(function):
    """(name, kind, default) of each parameter, in order."""
    args = function.args
    positional = [(a, inspect.Parameter.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    assert not (args.vararg or args.kwonlyargs or args.kwarg), "the module binds no such parameters"
    return [(a.arg, kind, d) for (a, kind), d in zip(positional, defaults)]


def _built_parameters(signature):
    return [(p.name, p.kind, p.default) for p in signature.parameters.values()]


@pytest.mark.without_module
def test_stub_and_py_typed_are_installed_beside_the_module():
    assert STUB.is_file()
    assert STUB.with_name("py.typed").is_file()


def test_stub_declares_exactly_the_names_of_the_module(stub, lib):
    module_names = {n for n in vars(admin_events) if not n.startswith("__")}
    assert stub.names() | stub.instance_attributes == module_names

    color = {n for n in vars(admin_events.Color) if not n.startswith("__")}
    assert stub.classes["Color"].names() == color

    cls = admin_events.ZeltaAdminEvents
    declared = stub.classes["ZeltaAdminEvents"]
    built = {n for n in vars(cls) if not n.startswith("__")}
    stub_names = (declared.names() | declared.instance_attributes) - {"__init__"}
    assert built - stub_names == set(), "missing from the stub"
    fields = set(vars(cls([], [])))
    assert declared.instance_attributes == fields
    assert stub_names - built - fields == set(), "declared in the stub, not in the module"


def test_stub_signatures_match_the_table_of_operations(stub):
    declared = stub.classes["ZeltaAdminEvents"].functions
    assert set(declared) == {"__init__" if op[1] == "constructor" else op[0] for op in admin_events._operations}
    for name, kind, params, positional_only, doc in admin_events._operations:
        function = declared["__init__" if kind == "constructor" else name]
        is_classmethod = any(isinstance(d, ast.Name) and d.id == "classmethod" for d in function.decorator_list)
        assert is_classmethod == (kind == "classmethod"), name
        parameter_kind = inspect.Parameter.POSITIONAL_ONLY if positional_only else inspect.Parameter.POSITIONAL_OR_KEYWORD
        table = [(p[0], parameter_kind, inspect.Parameter.empty if p[2] else ast.literal_eval(p[3])) for p in params]
        # self and cls only need to be there.
        assert _stub_parameters(function)[1:] == table, name

    module_functions = stub.functions
    assert _built_parameters(inspect.signature(admin_events._)) == _stub_parameters(module_functions["_"])


GOOD = '''\
from pathlib import Path

from zelta_admin_events import admin_events
from zelta_admin_events.admin_events import Color, ZeltaAdminEvents

admin = ZeltaAdminEvents(["file-opened"], None)
admin.set_properties("audit", "paths", '["/etc/passwd"]')
admin.enable()
failed: list[str] = admin.restart_daemons()
ZeltaAdminEvents.export_config("/root/backup.tar.gz")
admin.import_config("/root/backup.tar.gz")
line: str = admin_events._("Unknown event ID") + Color.GREY + admin_events.LANG + Color.END
settings: Path = ZeltaAdminEvents._ZeltaAdminEvents__default_config_dir / "filesystem"
pending: bool = admin._ZeltaAdminEvents__need_daemon_restart
text: str = admin._ZeltaAdminEvents__get_multiple_string(["file-opened"], 1)
changed: bool = admin.plan_set_properties("audit", "paths", "[]")["changed"]
enabled: bool = admin.get_status(all_groups=True)["groups"][0]["events"][0]["enabled"]
written: str = ZeltaAdminEvents.write_config_archive("/root/backup")
skipped: str = admin.import_config_archive("/root/backup.tar.gz")["skipped"][0]["type"]
'''

BAD = '''\
from zelta_admin_events.admin_events import LANG, ZeltaAdminEvents

admin = ZeltaAdminEvents(["file-opened"], None)
admin.set_facility(3)  # wrong
ZeltaAdminEvents.export_config(file_path="backup")  # wrong
admin.show_groups("filesystem")  # wrong
count: int = LANG  # wrong
admin.enable_all()  # wrong
admin.plan_set_facility()  # wrong
unknown: list[int] = admin.get_unknown_ids()["events"]  # wrong
admin.import_config_archive("backup")["changes"][0]["event"]  # wrong
'''


@pytest.mark.without_module
def test_mypy_checks_a_script_against_the_stub(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", tmp_path / "cache",
         "good.py", "bad.py"],
        cwd=tmp_path, capture_output=True, text=True)
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    flagged = {int(line.split(":")[1]) for line in errors if line.startswith("bad.py:")}
    wrong = {n for n, line in enumerate(BAD.splitlines(), 1) if line.endswith("# wrong")}
    assert [line for line in errors if line.startswith("good.py:")] == []
    assert flagged == wrong, done.stdout
