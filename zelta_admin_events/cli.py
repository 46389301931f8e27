"""Command-line front end: ``zelta-admin-events COMMAND [-e ID] [-g ID] ...``.

One ZeltaAdminEvents object per invocation, built from the named event and
group IDs; each command has a handler of its own. Changes go through the
layer every front end shares (zelta_admin_events.frontend), which checks,
locks, applies and restarts the daemons when the change needs it. Standard
output carries the listing, the plan or the JSON document alone; every
diagnostic goes to standard error. Exit status: 0 success, 1 an operation
failed, 2 usage, 130 interrupted.

Start-up time matters to a command people type: standard modules that only
some paths need (subprocess for the pager, traceback for --debug, argcomplete
for completion) are imported where they are used.
"""

import argparse
import gettext
import os
import sys

from zelta_admin_events import frontend
from zelta_admin_events.frontend import (  # noqa: F401  (part of this module's interface as before)
    DOMAIN, FACILITIES, PACKAGE_LOCALEDIR, PRIORITIES, ROOT_CONSTANTS, SYSTEM_LOCALEDIR, N_, _, ngettext)

PROG = frontend.PROG
PACKAGE = "zelta-admin-events"

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

# The default of --root, with the same meaning.
ROOT_VARIABLE = "ZELTA_ADMIN_EVENTS_ROOT"

_localedir = frontend.localedir
_NoColor = frontend.NoColor


def _syslog_name(names):
    def check(value):
        if frontend.syslog_name(value, names) is None:
            raise argparse.ArgumentTypeError(frontend.syslog_error(value, names))
        return value

    return check


_facility = _syslog_name(FACILITIES)
_priority = _syslog_name(PRIORITIES)

# What argparse says itself, looked up in our catalogue (argparse asks for them
# through gettext; see _argparse_messages).
_ARGPARSE_MESSAGES = (
    N_("usage: "), N_("positional arguments"), N_("options"), N_("show this help message and exit"),
    N_("%(prog)s: error: %(message)s\n"), N_("argument %(argument_name)s: %(message)s"),
    N_("invalid choice: %(value)r (choose from %(choices)s)"), N_("the following arguments are required: %s"),
    N_("unrecognized arguments: %s"), N_("expected one argument"), N_("invalid %(type)s value: %(value)r"),
    N_("ambiguous option: %(option)s could match %(matches)s"), N_("unexpected option string: %s"),
)


# The options a command may use besides --debug, which every command takes.
LISTING_OPTIONS = frozenset({"root", "color", "pager", "json"})
CHANGE_OPTIONS = frozenset({"root", "color", "json", "dry_run"})


class Command:
    """One subcommand: what it needs named, its arguments, its options, its help."""

    def __init__(self, operation, handler, needs, positionals, summary, examples, options=frozenset(),
                 value_help=None, value_names=None):
        self.operation = operation  # the class's operation; None for the front end's own commands
        self.handler = handler  # the name of the function of this module that runs it
        self.needs = needs  # "events", "groups", "ids" (either) or None
        self.positionals = positionals  # (metavar, type) pairs
        self.summary = summary  # translated where it is shown
        self.examples = examples  # the first one is also shown by --help
        # The options it takes: "events", "groups", "root", "color", "pager", "json", "dry_run".
        self.options = options | {"events", "groups"} & {needs} | ({"events", "groups"} if needs == "ids" else set())
        self.value_help = value_help
        self.value_names = value_names  # what VALUE completes to


def _example(text):
    return f"{PROG} {text}"


COMMANDS = {
    "show-groups": Command("show_groups", "_list", "groups", (),
                           N_("show the status of the named groups and their events"),
                           [_example("show-groups -g filesystem -g sessions")], LISTING_OPTIONS),
    "show-all-groups": Command("show_all_groups", "_list", None, (),
                               N_("show the status of every group and its events"),
                               [_example("show-all-groups")], LISTING_OPTIONS),
    "show-event": Command("show_event", "_list", "events", (), N_("show the complete settings of the named events"),
                          [_example("show-event -e modifying-file")], LISTING_OPTIONS),
    "enable": Command("enable", "_change", "ids", (),
                      N_("enable the named events and every event of the named groups"),
                      [_example("enable -e file-opened -g sessions")], CHANGE_OPTIONS),
    "disable": Command("disable", "_change", "ids", (),
                       N_("disable the named events and every event of the named groups"),
                       [_example("disable -g filesystem")], CHANGE_OPTIONS),
    "set-facility": Command("set_facility", "_change", "ids", (("VALUE", _facility),),
                            N_("set the syslog facility of the named events and groups"),
                            [_example("set-facility local3 -g filesystem")], CHANGE_OPTIONS,
                            value_help=N_("a syslog facility: kern, user, daemon, auth, authpriv, cron, local0 to "
                                          "local7 and so on"), value_names=FACILITIES),
    "set-priority": Command("set_priority", "_change", "ids", (("VALUE", _priority),),
                            N_("set the syslog priority of the named events and groups"),
                            [_example("set-priority warning -e file-opened")], CHANGE_OPTIONS,
                            value_help=N_("a syslog priority: emerg, alert, crit, err, warning, notice, info "
                                          "or debug"), value_names=PRIORITIES),
    "set-properties": Command(
        "set_properties", "_change", "events", (("SECTION", None), ("PARAMETER", None), ("VALUE", None)),
        N_("set a parameter of the named events to a JSON value (groups are not used)"),
        [_example("set-properties audit paths '[\"/etc/passwd\", \"/etc/hosts\"]' -e modifying-file"),
         _example("set-properties message program '\"zelta-login\"' -e user-login"),
         _example("set-properties notification desktop '{\"urgency\": \"critical\"}' -e user-login")],
        CHANGE_OPTIONS,
        value_help=N_("JSON text of a string (in double quotes), an array or an object; for the "
                      "file-watching events it names the paths to watch")),
    # Relative names: the examples run as they stand in any directory.
    "export": Command("write_config_archive", "_export", None, (("FILE", None),),
                      N_("save the configuration files into a .tar.gz archive"),
                      [_example("export zelta-config.tar.gz")], frozenset({"root"})),
    "import": Command("import_config", "_change", None, (("FILE", None),),
                      N_("restore the configuration files from an exported archive"),
                      [_example("import zelta-config.tar.gz")], CHANGE_OPTIONS),
    "completion": Command(None, "_completion", None, (("SHELL", None),),
                          N_("print the shell completion script for bash or zsh"),
                          [_example("completion bash")]),
    "history": Command(None, "_history", None, (),
                       N_("list the changes made on this system, newest first, or show one of them"),
                       [_example("history"), _example("history -n 5")], frozenset({"root", "json"})),
    # One example: run after the others on a sample, a second undo would meet
    # a change that added a parameter, which cannot be undone.
    "undo": Command(None, "_undo", None, (),
                    N_("undo a recorded change: the newest one not undone yet, or the one named"),
                    [_example("undo --dry-run")], CHANGE_OPTIONS),
}
SHELLS = ("bash", "zsh")
# The options of _add_options: (kind, option strings) as the usage errors name them.
OPTION_NAMES = {"events": "-e", "groups": "-g", "root": "--root", "color": "--color", "pager": "--no-pager"}


class UsageError(Exception):
    pass


def _split_ids(values):
    """Repeated options and comma-separated lists, in order, each ID once;
    blanks around the commas and empty items dropped."""
    return list(dict.fromkeys(item.strip() for value in values or () for item in value.split(",") if item.strip()))


def _has_control_characters(text):
    return any(ord(c) < 32 or 127 <= ord(c) < 160 for c in text)


def _version():
    try:
        from zelta_admin_events._version import version
    except ImportError:  # a build without the generated file
        from importlib.metadata import PackageNotFoundError, version as installed_version

        try:
            version = installed_version(PACKAGE)
        except PackageNotFoundError:
            version = "unknown"
    return version


class _VersionAction(argparse.Action):
    """--version: looks the version up only when asked."""

    def __init__(self, option_strings, dest, help=None):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"{PROG} {_version()}")
        parser.exit()


def _add_options(parser, suffix, options):
    """The options of a command, or (before the command) of every command.

    Given in both places, they land under different names so that neither
    overwrites the other; _options merges them.
    """
    if "events" in options:
        parser.add_argument("-e", "--event", metavar="ID", action="append", dest="events" + suffix,
                            help=_("an event ID; repeat the option or separate IDs with commas")
                            ).completer = _id_completer("events")
    if "groups" in options:
        parser.add_argument("-g", "--group", metavar="ID", action="append", dest="groups" + suffix,
                            help=_("a group ID; repeat the option or separate IDs with commas")
                            ).completer = _id_completer("groups")
    if "root" in options:
        parser.add_argument("--root", metavar="DIR", dest="root" + suffix,
                            help=_("work on the system tree below DIR instead of /; the daemons are not restarted"))
    if "color" in options:
        parser.add_argument("--color", metavar="WHEN", choices=("auto", "always", "never"), dest="color" + suffix,
                            help=_("colour names and IDs: auto (on a terminal, the default), always or never"))
        parser.add_argument("--no-color", action="store_const", const="never", dest="color" + suffix,
                            help=_("no terminal colours (also when NO_COLOR is set); the same as --color=never"))
    if "pager" in options:
        parser.add_argument("--no-pager", action="store_true", dest="no_pager" + suffix, default=None,
                            help=_("print listings directly instead of through the pager"))
    parser.add_argument("--debug", action="store_true", dest="debug" + suffix,
                        help=_("show the traceback of a failure"))


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """argparse's layout, with the terminal width looked up once.

    argparse makes a formatter for every option it adds and each one asks
    for the width (through shutil, which itself costs an import).
    """

    _width = None

    def __init__(self, prog, **kwargs):
        if _Formatter._width is None:
            try:
                columns = int(os.environ["COLUMNS"])
            except (KeyError, ValueError):
                try:
                    columns = os.get_terminal_size(sys.__stdout__.fileno()).columns
                except (AttributeError, ValueError, OSError):
                    columns = 80
            _Formatter._width = max(columns - 2, 20)
        kwargs.setdefault("width", _Formatter._width)
        super().__init__(prog, **kwargs)


def build_parser(command=None):
    """The parser of the command line; with a command named, the parser of
    that command alone, which is all that a command line naming it needs
    and spares the start-up time."""
    formatter = _Formatter
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=formatter,
        description=_("Administer the events that the syslog-ng zelta module records."),
        epilog=_("examples:") + "\n  " + "\n  ".join(c.examples[0] for c in COMMANDS.values())
        + "\n\n" + _("exit status: 0 success, 1 an operation or a daemon restart failed or an ID was unknown, "
                     "2 wrong usage")
        + "\n\n" + _("Run '{prog} COMMAND --help' for the options of one command.").format(prog=PROG))
    parser.add_argument("--version", action=_VersionAction, help=_("show the version and exit"))
    _add_options(parser, "_top", set(OPTION_NAMES))
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    parser.commands = {}
    for name, spec in COMMANDS.items():
        if command is not None and name != command:
            continue
        summary = _(spec.summary)
        label = _("example:") if len(spec.examples) == 1 else _("examples:")
        sub = parser.commands[name] = commands.add_parser(
            name, help=summary, description=summary[0].upper() + summary[1:] + ".",
            epilog=label + "\n  " + "\n  ".join(spec.examples), formatter_class=formatter)
        if "json" in spec.options:
            sub.add_argument("--json", action="store_true",
                             help=_("print one JSON document on standard output instead of text (no pager, "
                                    "no colour); for a change, the document describes what was changed"))
        if "dry_run" in spec.options:
            sub.add_argument("--dry-run", action="store_true",
                             help=_("print what the command would change, change nothing and restart nothing"))
        for metavar, kind in spec.positionals:
            if metavar == "SHELL":
                sub.add_argument("shell", metavar=metavar, choices=SHELLS, help="bash, zsh")
            else:
                argument = sub.add_argument(
                    metavar.lower(), metavar=metavar, type=kind,
                    help=_(spec.value_help) if metavar == "VALUE" and spec.value_help else None)
                if metavar == "VALUE" and spec.value_names:
                    argument.completer = _names_completer(spec.value_names)
        if name in ("history", "undo"):
            _add_trail_arguments(name, sub)
        _add_options(sub, "", spec.options)
    return parser


def _change_id(text):
    if not text.isdigit():
        raise argparse.ArgumentTypeError(_("a change is named by its number in the history, not {value}")
                                         .format(value=repr(text)))
    return int(text)


def _add_trail_arguments(name, sub):
    if name == "history":
        sub.add_argument("-n", metavar="N", type=_change_id, dest="limit",
                         help=_("list only the newest N changes"))
        sub.add_argument("show", nargs="?", choices=("show",), help=_("show one change whole"))
        sub.add_argument("id", nargs="?", metavar="ID", type=_change_id, help=_("the number of the change"))
    else:
        sub.add_argument("id", nargs="?", metavar="ID", type=_change_id,
                         help=_("the number of the change to undo (default: the newest one not undone yet)"))


# The options that take a value, as the command line may give them before the command.
_VALUE_OPTIONS = ("-e", "-g", "--event", "--group", "--root", "--color")


def _command_in(argv):
    """The command a command line names: its first word that is not an
    option or an option's value; None when there is none, or when help on
    every command comes first."""
    words = iter(argv)
    for word in words:
        if word in COMMANDS:
            return word
        if word == "-h" or (len(word) > 2 and "--help".startswith(word)):
            return None
        if word in ("-e", "-g") or (word.startswith("--") and "=" not in word and len(word) > 2
                                    and any(o.startswith(word) for o in _VALUE_OPTIONS if o.startswith("--"))):
            next(words, None)
        elif not word.startswith("-"):
            return None  # not a command: argparse says so
    return None


def _options(ns):
    """Merges the options given before the command with those after it."""
    def later(name):
        value = getattr(ns, name, None)
        return value if value is not None else getattr(ns, name + "_top")

    return argparse.Namespace(
        command=ns.command,
        events=_split_ids((ns.events_top or []) + (getattr(ns, "events", None) or [])),
        groups=_split_ids((ns.groups_top or []) + (getattr(ns, "groups", None) or [])),
        root=later("root"),
        color=later("color") or "auto",
        no_pager=bool(later("no_pager")),
        debug=getattr(ns, "debug", False) or ns.debug_top,
        json=getattr(ns, "json", False),
        dry_run=getattr(ns, "dry_run", False),
        args=[getattr(ns, metavar.lower()) for metavar, _kind in COMMANDS[ns.command].positionals],
        limit=getattr(ns, "limit", None),
        show=getattr(ns, "show", None),
        entry=getattr(ns, "id", None),
        given_before={kind for kind in OPTION_NAMES
                      if getattr(ns, ("no_pager" if kind == "pager" else kind) + "_top") is not None},
    )


def _check_usage(opts):
    spec = COMMANDS[opts.command]
    for kind in sorted(opts.given_before - spec.options):
        # TRANSLATORS: {command} is the command's name, {option} an option such as -e or --root.
        raise UsageError(_("{command} does not take {option}").format(command=opts.command,
                                                                      option=OPTION_NAMES[kind]))
    needs = spec.needs
    if needs == "groups" and not opts.groups:
        # TRANSLATORS: {command} is the command's name; "-e ID" and "-g ID" are options, kept as they are.
        raise UsageError(_("{command}: name at least one group with -g ID").format(command=opts.command))
    if needs == "events" and not opts.events:
        raise UsageError(_("{command}: name at least one event with -e ID").format(command=opts.command))
    if needs == "ids" and not (opts.events or opts.groups):
        raise UsageError(_("{command}: name at least one event with -e ID or group with -g ID")
                         .format(command=opts.command))
    for identifier in opts.events + opts.groups:
        if _has_control_characters(identifier):
            # TRANSLATORS: {id} is the ID, quoted with its control characters escaped.
            raise UsageError(_("invalid ID {id}: control characters are not allowed")
                             .format(id=ascii(identifier)))
    if "root" in spec.options and opts.root is None and os.environ.get(ROOT_VARIABLE):
        opts.root = os.environ[ROOT_VARIABLE]
        if not os.path.isdir(opts.root):
            raise UsageError(_("{variable}: {directory}: not a directory").format(variable=ROOT_VARIABLE,
                                                                                 directory=opts.root))
    if opts.root is not None and not os.path.isdir(opts.root):
        raise UsageError(_("--root: {directory}: not a directory").format(directory=opts.root))
    if opts.command == "history" and (opts.show is None) != (opts.entry is None):
        raise UsageError(_("history: name the change to show as 'show ID'"))


# ---- output: colour and pager ----------------------------------------------------

def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # no stream, or a closed one
        return False


def _colour_wanted(opts):
    if opts.color != "auto":
        return opts.color == "always"
    return (_is_terminal(sys.stdout) and os.environ.get("TERM") != "dumb"
            and not os.environ.get("NO_COLOR"))


# Control characters of data (C0 but tab and newline, DEL, C1, ESC included)
# are shown as escapes: a name or a file must not drive the terminal.
# Lone surrogates (undecodable bytes of a name) too: written raw, they would
# be bytes of their own.
_CONTROL_CHARACTERS = "[\x00-\x08\x0b-\x1f\x7f-\x9f\ud800-\udfff]"
_control = None


def _escaped(text):
    """text with its control characters shown as visible escapes (\\x1b)."""
    global _control
    if _control is None:
        import re

        _control = re.compile(_CONTROL_CHARACTERS)
    return _control.sub(lambda match: ("\\x%02x" if match.group() < "\u0100" else "\\u%04x") % ord(match.group()),
                        text)


class _Colours:
    """The module's Color while colour is on: markers that no data can hold
    (they carry a random part), turned into the real escapes only after the
    control characters of the text were escaped."""

    def __init__(self, real):
        token = os.urandom(6).hex()
        self.GREY, self.END = f"\ue000{token}g\ue001", f"\ue000{token}e\ue001"
        self.escapes = ((self.GREY, real.GREY), (self.END, real.END))


_colours = None  # the _Colours in use, if any


def _inert(text):
    text = _escaped(text)
    if _colours is not None:
        for marker, escape in _colours.escapes:
            text = text.replace(marker, escape)
    return text


class _Output:
    """A text stream as the front end writes to it: inert text, characters
    the encoding lacks escaped, and a failure to write (a closed or full
    standard output, a reader gone) remembered in .error instead of raised,
    so that a change is never cut short by its report."""

    def __init__(self, stream):
        self.stream = stream
        self.error = None

    @property
    def encoding(self):
        return getattr(self.stream, "encoding", None) or "utf-8"

    def isatty(self):
        return _is_terminal(self.stream)

    def fileno(self):
        return self.stream.fileno()

    def write(self, text):
        if self.error is None:
            self._guarded(_write_text, self.stream, _inert(text))
        return len(text)

    def write_bytes(self, data):
        """Bytes as they are, through the stream's buffer when it has one."""
        def write(stream, data):
            stream.flush()
            buffer = getattr(stream, "buffer", None)
            if buffer is None:
                stream.write(data.decode("utf-8", "surrogateescape"))
                stream.flush()
            else:
                buffer.write(data)
                buffer.flush()

        if self.error is None:
            self._guarded(write, self.stream, data)

    def flush(self):
        if self.error is None:
            self._guarded(lambda stream: stream.flush(), self.stream)

    def _guarded(self, function, *args):
        try:
            if self.stream is None:
                raise OSError(0, _("standard output is closed"))
            function(*args)
        except (OSError, ValueError) as error:  # ValueError: a closed stream
            self.error = error
            _silence(self.stream)


def _silence(stream):
    """Points the stream's descriptor at /dev/null, so that what it still
    buffers is dropped quietly at exit."""
    try:
        fd = stream.fileno()
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, fd)
        os.close(null)
    except (AttributeError, OSError, ValueError):
        pass


def _write_text(stream, text):
    try:
        stream.write(text)
    except UnicodeEncodeError:  # as the pager gets it: what the encoding lacks, escaped
        encoding = getattr(stream, "encoding", None) or "utf-8"
        stream.write(text.encode(encoding, "backslashreplace").decode(encoding))
    stream.flush()


def _diagnose(text):
    """One line for a person on standard error, as PROG: TEXT."""
    try:
        sys.stdout.flush()
    except (AttributeError, OSError, ValueError):
        pass
    try:
        _write_text(sys.stderr, f"{PROG}: {_escaped(text)}\n")
    except (AttributeError, OSError, ValueError):
        pass


def _start_pager(text, command):
    """Pipes text into the shell command line; False when it cannot be started.
    Ctrl-C belongs to the pager while it runs, and ends the command after it."""
    import shlex
    import shutil
    import subprocess

    try:
        program = shlex.split(command)[0]
    except (ValueError, IndexError):
        return False
    if "=" not in program and shutil.which(program) is None:
        return False
    sys.stdout.flush()  # lines printed before the listing stay before it
    try:
        process = subprocess.Popen(command, shell=True, stdin=subprocess.PIPE, errors="backslashreplace")
    except OSError:
        return False
    interrupted = False
    try:
        with process.stdin as pipe:
            pipe.write(text)
    except BrokenPipeError:  # the user quit the pager before the end
        pass
    except KeyboardInterrupt:
        interrupted = True
    while True:
        try:
            process.wait()
            break
        except KeyboardInterrupt:
            interrupted = True
    if interrupted:
        raise KeyboardInterrupt
    return True


def _pager(paging):
    """What the module calls to show a listing (in place of pydoc.pipepager).

    On a terminal the listing goes through $PAGER, or the module's own
    command ("less -R") when PAGER is unset; PAGER empty or "cat" means no
    pager, as for git. Without a terminal, with --no-pager, or when the
    pager cannot be started, the text is printed as it is.
    """
    def show(text, command):
        if paging:
            command = os.environ.get("PAGER", command)
            if command.strip() not in ("", "cat") and _start_pager(_inert(text), command):
                return
        sys.stdout.write(text)

    return show


# ---- running a command ------------------------------------------------------------

class _Changes:
    """What main changes in the process (environment variables, module
    attributes, the message catalogues), put back in reverse order on exit."""

    _MISSING = object()

    def __init__(self):
        self._undo = []

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        while self._undo:
            self._undo.pop()()

    def setenv(self, name, value):
        previous = os.environ.get(name)
        os.environ[name] = value
        self._undo.append(lambda: os.environ.__setitem__(name, previous) if previous is not None
                          else os.environ.pop(name, None))

    def setattr(self, obj, name, value):
        previous = obj.__dict__.get(name, self._MISSING)
        setattr(obj, name, value)
        self._undo.append(lambda: delattr(obj, name) if previous is self._MISSING else setattr(obj, name, previous))

    def setglobal(self, name, value):
        previous = globals()[name]
        globals()[name] = value
        self._undo.append(lambda: globals().__setitem__(name, previous))

    def set_module(self, name, module):
        previous = sys.modules.get(name)
        sys.modules[name] = module
        self._undo.append(lambda: sys.modules.__setitem__(name, previous) if previous is not None
                          else sys.modules.pop(name, None))

    def bindtextdomain(self, localedir):
        # The module reads the system's catalogues; installed from a wheel,
        # the catalogues lie in the package instead, and the module's lines
        # should be in the same language as the front end's.
        previous = gettext.bindtextdomain(DOMAIN)
        gettext.bindtextdomain(DOMAIN, localedir)
        self._undo.append(lambda: gettext.bindtextdomain(DOMAIN, previous))

    def install_pager(self, show):
        """Makes the module's hand-off to pydoc.pipepager reach show.

        When pydoc is not loaded yet, a module of that one function stands
        in for it, which spares the start-up pydoc's own imports.
        """
        pydoc = sys.modules.get("pydoc")
        if pydoc is None:
            pydoc = type(sys)("pydoc")
            self.set_module("pydoc", pydoc)
        self.setattr(pydoc, "pipepager", show)


class _Failure(Exception):
    """A failure the front end explains itself, on one line."""


class _Context:
    """What a command's handler works with."""

    def __init__(self, opts, module, argv):
        self.opts = opts
        self.module = module
        self.argv = argv
        self.root = os.path.abspath(opts.root) if opts.root is not None else None
        self.cls = frontend.for_root(self.root)
        self.made = False  # a change was made (or begun)


def _open(ctx):
    """The administrator object of the named IDs, with the unknown ones
    reported; (object, number of unknown IDs, whether any named ID is left)."""
    opts, spec = ctx.opts, COMMANDS[ctx.opts.command]
    admin = frontend.administrator(ctx.cls, opts.events, opts.groups)
    unknown = admin.get_unknown_ids()
    for kind, heading in (("groups", "Unknown group ID"), ("events", "Unknown event ID")):
        for identifier in unknown[kind]:
            _diagnose(ctx.module._(heading) + ": " + identifier)
    events = [e for e in opts.events if e not in unknown["events"]]
    groups = [g for g in opts.groups if g not in unknown["groups"]]
    left = {"events": events, "groups": groups, "ids": events + groups}.get(spec.needs)
    return admin, len(unknown["events"]) + len(unknown["groups"]), left is None or bool(left)


def _list(ctx):
    opts = ctx.opts
    admin, unknown, left = _open(ctx)
    if not left:  # every named ID was unknown
        if opts.json:
            _print_json(_listing_document(opts.command, admin))
        return _unknown_skipped(unknown)
    if opts.command == "show-event":
        # Checked before the listing, which would otherwise fail on its path.
        for event_id in admin._ZeltaAdminEvents__event_id_list:
            if admin._ZeltaAdminEvents__get_event_group(event_id) is None:
                raise _Failure(_("event {event} has no settings file in any group").format(event=event_id))
    if opts.json:
        _print_json(_listing_document(opts.command, admin))
    else:
        getattr(admin, COMMANDS[opts.command].operation)()
    return _unknown_skipped(unknown)


def _listing_document(command, admin):
    if command == "show-event":
        return {"events": admin.get_event_settings()}
    return admin.get_status(all_groups=command == "show-all-groups")


def _change(ctx):
    """A change through the shared layer: its plan with --dry-run, else the
    change itself (nothing at all when there is nothing to change)."""
    opts = ctx.opts
    operation = COMMANDS[opts.command].operation
    admin, unknown, left = _open(ctx)
    if not left:  # every named ID was unknown: nothing to do, and no daemon to restart
        if opts.json:
            document = {"changed": False, "changes": [], "error": None}
            _print_json(document if opts.dry_run else dict(document, failed_units=[], restarted=False))
        return _unknown_skipped(unknown)

    if opts.dry_run:
        texts = opts.command == "import"
        plan = frontend.plan(admin, operation, *opts.args, texts=texts)
        _report_skipped(plan)
        if opts.json:
            _print_json(_with_diffs(plan) if texts else plan)
        elif plan["error"] is None:
            _print_plan(plan)
        if plan["error"] is not None:
            _diagnose(plan["error"])
            return EXIT_FAILED
        return _unknown_skipped(unknown)

    try:
        with _output_to_stderr(opts.json):
            outcome = frontend.change(admin, operation, *opts.args, recorder=_recorder(ctx), command=opts.command,
                                      argv=ctx.argv, report=_diagnose)
    except frontend.ChangeFailed as failure:
        if failure.outcome is not None:
            ctx.made = True
            _report_skipped(failure.outcome)
            if opts.json:
                _print_json(failure.outcome)
        raise
    _report_skipped(outcome)
    if outcome["error"] is not None:  # refused: nothing written, nothing restarted
        if opts.json:
            _print_json(outcome)
        _diagnose(outcome["error"])
        return EXIT_FAILED
    if not outcome["changed"]:
        if opts.json:
            _print_json(outcome)
        else:
            print(_("Nothing to change."))
        return _unknown_skipped(unknown)
    ctx.made = True
    if opts.json:
        _print_json(outcome)
    elif opts.command == "import":
        print(ctx.module._("Configuration imported"))
    status = _unknown_skipped(unknown)
    return EXIT_FAILED if outcome["failed_units"] else status


def _recorder(ctx):
    """What records a change in the system log and the history of the tree."""
    from zelta_admin_events import trail

    return trail.Recorder(trail.root_of(ctx.cls), warn=_warn)


def _warn(message):
    """A warning of the trail, as a diagnostic."""
    _diagnose(_("warning: {message}").format(message=message))


def _history(ctx):
    from zelta_admin_events import trail

    opts = ctx.opts
    try:
        return trail.run_history(ctx.cls, opts.entry, opts.limit, opts.json, _print_json)
    except trail.TrailError as error:
        raise _Failure(str(error)) from error


def _undo(ctx):
    """undo: the inverse of a recorded change, made as every change is made."""
    from zelta_admin_events import trail

    opts = ctx.opts
    try:
        status = trail.run_undo(ctx.cls, opts.entry, opts.dry_run, opts.json, ctx.argv, _print_json,
                                restart=_restart, diagnose=_diagnose, quiet_output=_output_to_stderr,
                                warn=_warn)
    except trail.TrailError as error:
        raise _Failure(str(error)) from error
    except frontend.ChangeFailed:
        ctx.made = True  # part of the undo may be written
        raise
    ctx.made = not opts.dry_run and status == EXIT_OK
    return status


def _restart(admin):
    """Restarts the daemons as after every change; the units whose restart failed."""
    return frontend.restart_daemons(admin, _diagnose)


def _report_skipped(plan):
    """The archive members an import skips, as diagnostics."""
    for entry in plan.get("skipped", ()):
        message = entry.get("type", "")
        # TRANSLATORS: {type} is a kind of file such as "symbolic link", {member} a name in the archive.
        _diagnose(_("skipped {type} {member}").format(type=_(message), member=entry.get("member", "")))


# Kinds of archive members that an import skips, as the plans name them.
_SKIPPED_KINDS = (N_("symbolic link"), N_("hard link"), N_("character device"), N_("block device"), N_("FIFO"))


def _export(ctx):
    """export_config's one line, with the outcome known as data."""
    try:
        ctx.cls.write_config_archive(ctx.opts.args[0])
    except Exception as error:  # as export_config reports its failure
        if ctx.opts.debug:
            import traceback

            traceback.print_exc()
        _diagnose(ctx.module._("Error exporting configuration") + ": " + _describe(error))
        return EXIT_FAILED
    ctx.made = True
    print(ctx.module._("Configuration exported"))
    return EXIT_OK


def _print_json(document):
    """One strict JSON document on standard output, in UTF-8 whatever the
    locale says: no NaN, and code points that strict readers or terminals
    take amiss (lone surrogates, DEL, C1) as \\u escapes."""
    import json
    import re

    try:
        text = json.dumps(document, ensure_ascii=False, indent=2, allow_nan=False)
    except ValueError as error:
        raise _Failure(_("the document holds a number that JSON cannot represent (NaN or infinity)")) from error
    text = re.sub("[\x7f-\x9f\ud800-\udfff]", lambda match: "\\u%04x" % ord(match.group()), text)
    sys.stdout.flush()
    sys.stdout.write_bytes((text + "\n").encode("utf-8"))


def _json_text(value):
    import json

    return json.dumps(value, ensure_ascii=False)


def _print_plan(plan):
    """One line per change; for a file, the unified diff of its text."""
    if not plan["changes"]:
        print(_("Nothing to change."))
        return
    for change in plan["changes"]:
        if "file" not in change:
            name = frontend.parameter_name(change["section"], change["parameter"])
            print(f"{change['event']}\t{name}: {_json_text(change['before'])} -> {_json_text(change['after'])}")
        elif change["type"] == "directory":
            print(_("create directory {file}").format(file=change["file"]))
        else:
            print((_("create {file}") if change["action"] == "create" else _("replace {file}"))
                  .format(file=change["file"]))
            _print_diff(change)


def _print_diff(change):
    for line in _diff_lines(change):
        print(line)


def _diff_lines(change):
    """The unified diff of a file's text, line by line."""
    import difflib

    before = (change["before_text"] or "").splitlines(keepends=True)
    after = (change["after_text"] or "").splitlines(keepends=True)
    return [line.rstrip("\n") for line in difflib.unified_diff(before, after, fromfile=change["file"],
                                                                tofile=change["file"])]


def _with_diffs(plan):
    """An import's plan with each file's unified diff ("diff", its lines
    joined) in place of its texts."""
    changes = []
    for change in plan["changes"]:
        if "before_text" in change:
            diff = "\n".join(_diff_lines(change))
            change = {key: value for key, value in change.items() if key not in ("before_text", "after_text")}
            change["diff"] = diff
        changes.append(change)
    return dict(plan, changes=changes)


class _output_to_stderr:
    """While active, everything printed (the module's lines, systemctl's)
    goes to standard error, so that standard output holds one JSON document."""

    def __init__(self, active):
        self._active = active
        self._saved_stdout = self._saved_fd = None

    def __enter__(self):
        if not self._active:
            return
        sys.stdout.flush()
        self._saved_stdout = sys.stdout
        try:
            self._saved_fd = os.dup(1)
            os.dup2(2, 1)
        except OSError:  # no standard output to keep clean
            self._saved_fd = None
        sys.stdout = _Output(sys.stderr)

    def __exit__(self, *exc_info):
        if not self._active:
            return
        sys.stdout.flush()
        sys.stdout = self._saved_stdout
        if self._saved_fd is not None:
            os.dup2(self._saved_fd, 1)
            os.close(self._saved_fd)


def _unknown_skipped(count):
    """Reports the unknown IDs skipped, if any; the exit status they call for."""
    if not count:
        return EXIT_OK
    _diagnose(ngettext("{count} unknown ID skipped", "{count} unknown IDs skipped", count).format(count=count))
    return EXIT_FAILED


def _fail(message, debug):
    if debug:
        import traceback

        traceback.print_exc()
    _print_error(message)
    return EXIT_FAILED


def _print_error(message):
    _diagnose(_("error: {message}").format(message=message))


_describe = frontend.describe


# ---- completion -------------------------------------------------------------------

def _id_completer(kind):
    """Completes -e and -g with the IDs of the system in use (--root included)."""
    def complete(prefix, parsed_args, **_kwargs):
        root = (getattr(parsed_args, "root", None) or getattr(parsed_args, "root_top", None)
                or os.environ.get(ROOT_VARIABLE))
        if root:
            os.environ["ZELTA_EVENTS_ROOT"] = os.path.abspath(root)
        try:
            import zelta_events

            ids = zelta_events.get_event_ids() if kind == "events" else zelta_events.get_group_ids()
        except Exception:  # no catalogue: nothing to offer
            return []
        head, _comma, _last = prefix.rpartition(",")  # complete the last of a comma-separated list
        head = head + "," if head else ""
        return [head + identifier for identifier in ids if (head + identifier).startswith(prefix)]

    return complete


def _names_completer(names):
    """Completes VALUE with the syslog names."""
    def complete(prefix, **_kwargs):
        return [name for name in names if name.startswith(prefix.lower())]

    return complete


def _complete(parser):
    try:
        import argcomplete
    except ImportError:  # nothing to offer; the shell falls back to file names
        sys.exit(1)
    argcomplete.autocomplete(parser)  # exits after completing


def _completion(ctx):
    opts = ctx.opts
    try:
        import argcomplete
    except ImportError as error:
        return _fail(_("shell completion needs the Python package argcomplete: {error}")
                     .format(error=_describe(error)), opts.debug)
    script = argcomplete.shellcode([PROG], shell=opts.args[0])
    if not script:  # argcomplete before version 3 (Debian 12's) writes nothing for zsh
        return _fail(_("the installed argcomplete writes no completion script for {shell} "
                       "(argcomplete 3 or newer does)").format(shell=opts.args[0]), opts.debug)
    sys.stdout.write(script)
    return EXIT_OK


# ---- main -------------------------------------------------------------------------

def _argparse_messages():
    """argparse's own words (usage, options, its errors) in the user's
    language: argparse asks gettext for them, and our catalogue has them.
    Returns what puts argparse back as it was."""
    saved = argparse._, argparse.ngettext

    def translated(message):
        text = frontend.translation().gettext(message)
        return text if text != message else gettext.gettext(message)

    def translated_plural(singular, plural, count):
        text = frontend.translation().ngettext(singular, plural, count)
        return text if text not in (singular, plural) else gettext.ngettext(singular, plural, count)

    argparse._, argparse.ngettext = translated, translated_plural

    def restore():
        argparse._, argparse.ngettext = saved

    return restore


def _standard_descriptors():
    """Descriptors 0 to 2 open (on /dev/null when they were closed), so that
    no file the command opens takes their place."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)


def main(argv=None):
    _standard_descriptors()
    restore = _argparse_messages()
    try:
        if argv is None and "_ARGCOMPLETE" in os.environ:
            _complete(build_parser())
        args = sys.argv[1:] if argv is None else argv
        parser = build_parser(_command_in(args))
        try:
            ns = parser.parse_args(args)
        except SystemExit as done:  # --help, --version, or a usage error already reported
            return done.code if isinstance(done.code, int) else EXIT_USAGE
        opts = _options(ns)
        try:
            _check_usage(opts)
        except UsageError as error:
            parser.commands[opts.command].print_usage(sys.stderr)
            _print_error(error)
            return EXIT_USAGE
    finally:
        restore()
    try:
        return _main(opts, list(args))
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return EXIT_INTERRUPTED


def _main(opts, argv):
    with _Changes() as changes:
        output = _Output(sys.stdout)
        changes.setattr(sys, "stdout", output)
        if opts.command == "completion":
            return _finish(_completion(argparse.Namespace(opts=opts)), output, False)
        if "LESS" not in os.environ:
            changes.setenv("LESS", "FRX")  # leave short text on screen, as git does
        if os.environ.get("SUDO_UID"):
            changes.setenv("LESSSECURE", "1")  # no shell escape from a pager run as root
        if opts.root is not None:
            changes.setenv("ZELTA_EVENTS_ROOT", os.path.abspath(opts.root))

        try:
            from zelta_admin_events import admin_events as module
        except Exception as error:  # the events library is imported with the module
            missing = isinstance(error, ImportError) and error.name == "zelta_events"
            message = (_("cannot load the events library: {error}") if missing
                       else _("cannot load the administration module: {error}"))
            return _fail(message.format(error=_describe(error)), opts.debug)

        changes.bindtextdomain(_localedir())
        changes.install_pager(_pager(not opts.no_pager and _is_terminal(output.stream)))
        colours = _Colours(module.Color) if _colour_wanted(opts) else None
        changes.setattr(module, "Color", colours or _NoColor)
        changes.setglobal("_colours", colours)
        ctx = None
        try:
            ctx = _Context(opts, module, argv)
            status = globals()[COMMANDS[opts.command].handler](ctx)
        except _Failure as error:
            status = _fail(str(error), opts.debug)
        except KeyboardInterrupt:
            raise
        except Exception as error:  # every failure of an operation: one line
            status = _fail(_describe(error), opts.debug)
        return _finish(status, output, ctx is not None and ctx.made)


def _finish(status, output, made):
    """The exit status once standard output is flushed; a change whose report
    could not be written is said on standard error."""
    output.flush()
    error = output.error
    if error is None:
        return status
    if made:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else _describe(error)
        _diagnose(_("the change was made, but its report could not be written: {reason}").format(reason=reason))
    elif not isinstance(error, BrokenPipeError):  # a reader that went away, as with "| head", needs no word
        _print_error(_("cannot write the output: {reason}").format(reason=_describe(error)))
    return EXIT_FAILED
