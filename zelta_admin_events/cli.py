"""Command-line front end: ``zelta-admin-events COMMAND [-e ID] [-g ID] ...``.

One ZeltaAdminEvents object per invocation, built from the named event and
group IDs; after a changing command the daemons are restarted when the
change needs it. Exit status: 0 success, 1 an operation failed, 2 usage.

Start-up time matters to a command people type: standard modules that only
some paths need (subprocess for the pager, traceback for --debug, argcomplete
for completion) are imported where they are used.
"""

import argparse
import gettext
import os
import sys

PROG = "zelta-admin-events"
PACKAGE = "zelta-admin-events"

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

# The module's translation domain, which the front end's own messages share.
DOMAIN = "zelta_admin_events"
# Where a system package installs the catalogues, and where the module looks.
SYSTEM_LOCALEDIR = "/usr/share/locale"
# The catalogues a wheel carries inside the package.
PACKAGE_LOCALEDIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "locale")
# The environment that decides the language of messages.
_LANGUAGE_VARIABLES = ("LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG")


# The language comes from the environment of the moment; what was found for
# one setting of it is kept: (catalogue directory, translation).
_catalogues = {}


def _catalogue():
    key = tuple(os.environ.get(name) for name in _LANGUAGE_VARIABLES)
    if key not in _catalogues:
        # The system's catalogues when they have the user's language, else the package's own.
        localedir = SYSTEM_LOCALEDIR
        if gettext.find(DOMAIN, SYSTEM_LOCALEDIR) is None and gettext.find(DOMAIN, PACKAGE_LOCALEDIR):
            localedir = PACKAGE_LOCALEDIR
        _catalogues[key] = localedir, gettext.translation(DOMAIN, localedir, fallback=True)
    return _catalogues[key]


def _localedir():
    return _catalogue()[0]


def _translation():
    return _catalogue()[1]


def _(message):
    return _translation().gettext(message)


def ngettext(singular, plural, count):
    return _translation().ngettext(singular, plural, count)


def N_(message):
    """Marks a message that is translated where it is shown."""
    return message


# The module's constants that name places on the system, relocated by --root.
ROOT_CONSTANTS = (
    "_ZeltaAdminEvents__default_config_dir",
    "_ZeltaAdminEvents__current_config_file",
    "_ZeltaAdminEvents__param_ru_translations_file",
)


class _NoColor:
    """Stands in for the module's Color when colour is off."""

    GREY = ""
    END = ""


# The syslog names (as syslog.h lists them, less the internal "mark" and
# "none"); a value is checked case-insensitively and written in lower case.
FACILITIES = ("auth", "authpriv", "cron", "daemon", "ftp", "kern", "lpr", "mail", "news", "security", "syslog",
              "user", "uucp") + tuple(f"local{n}" for n in range(8))
PRIORITIES = ("emerg", "panic", "alert", "crit", "err", "error", "warning", "warn", "notice", "info", "debug")


def _syslog_name(names, message):
    def check(value):
        if value.lower() in names:
            return value.lower()
        raise argparse.ArgumentTypeError(_(message).format(value=repr(value), names=", ".join(names)))

    return check


# TRANSLATORS: {value} is what the user gave, {names} the list of valid names.
_facility = _syslog_name(FACILITIES, N_("unknown facility {value}; choose from {names}"))
_priority = _syslog_name(PRIORITIES, N_("unknown priority {value}; choose from {names}"))


class Command:
    """One subcommand: what it needs named, its arguments, its help."""

    def __init__(self, operation, needs, positionals, summary, examples, changing=False, value_help=None):
        self.operation = operation  # the module's operation; None for the front end's own commands
        self.needs = needs  # "events", "groups", "ids" (either) or None
        self.positionals = positionals  # (metavar, type) pairs
        self.summary = summary  # translated where it is shown
        self.examples = examples  # the first one is also shown by --help
        self.changing = changing
        self.value_help = value_help


def _example(text):
    return f"{PROG} {text}"


COMMANDS = {
    "show-groups": Command("show_groups", "groups", (),
                           N_("show the status of the named groups and their events"),
                           [_example("show-groups -g filesystem -g sessions")]),
    "show-all-groups": Command("show_all_groups", None, (), N_("show the status of every group and its events"),
                               [_example("show-all-groups")]),
    "show-event": Command("show_event", "events", (), N_("show the complete settings of the named events"),
                          [_example("show-event -e modifying-file")]),
    "enable": Command("enable", "ids", (), N_("enable the named events and every event of the named groups"),
                      [_example("enable -e file-opened -g sessions")], changing=True),
    "disable": Command("disable", "ids", (), N_("disable the named events and every event of the named groups"),
                       [_example("disable -g filesystem")], changing=True),
    "set-facility": Command("set_facility", "ids", (("VALUE", _facility),),
                            N_("set the syslog facility of the named events and groups"),
                            [_example("set-facility local3 -g filesystem")], changing=True,
                            value_help=N_("a syslog facility: kern, user, daemon, auth, authpriv, cron, local0 to "
                                          "local7 and so on")),
    "set-priority": Command("set_priority", "ids", (("VALUE", _priority),),
                            N_("set the syslog priority of the named events and groups"),
                            [_example("set-priority warning -e file-opened")], changing=True,
                            value_help=N_("a syslog priority: emerg, alert, crit, err, warning, notice, info "
                                          "or debug")),
    "set-properties": Command(
        "set_properties", "events", (("SECTION", None), ("PARAMETER", None), ("VALUE", None)),
        N_("set a parameter of the named events to a JSON value (groups are not used)"),
        [_example("set-properties audit paths '[\"/etc/passwd\", \"/etc/hosts\"]' -e modifying-file"),
         _example("set-properties message program '\"zelta-login\"' -e user-login"),
         _example("set-properties notification desktop '{\"urgency\": \"critical\"}' -e user-login")],
        changing=True,
        value_help=N_("JSON text of a string (in double quotes), an array or an object; for the "
                      "file-watching events it names the paths to watch")),
    # Relative names: the examples run as they stand in any directory.
    "export": Command("export_config", None, (("FILE", None),),
                      N_("save the configuration files into a .tar.gz archive"),
                      [_example("export zelta-config.tar.gz")]),
    "import": Command("import_config", None, (("FILE", None),),
                      N_("restore the configuration files from an exported archive"),
                      [_example("import zelta-config.tar.gz")], changing=True),
    "completion": Command(None, None, (("SHELL", None),),
                          N_("print the shell completion script for bash or zsh"),
                          [_example("completion bash")]),
}
SHELLS = ("bash", "zsh")
# The listings that --json turns into data.
LISTINGS = ("show-groups", "show-all-groups", "show-event")


class UsageError(Exception):
    pass


def _split_ids(values):
    """Repeated options and comma-separated lists, in order; empty items dropped."""
    return [item for value in values or () for item in value.split(",") if item]


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


def _add_common(parser, suffix):
    """The options every command takes, before or after its name.

    Given in both places, they land under different names so that neither
    overwrites the other; _options merges them.
    """
    parser.add_argument("-e", "--event", metavar="ID", action="append", dest="events" + suffix,
                        help=_("an event ID; repeat the option or separate IDs with commas")
                        ).completer = _id_completer("events")
    parser.add_argument("-g", "--group", metavar="ID", action="append", dest="groups" + suffix,
                        help=_("a group ID; repeat the option or separate IDs with commas")
                        ).completer = _id_completer("groups")
    parser.add_argument("--root", metavar="DIR", dest="root" + suffix,
                        help=_("work on the system tree below DIR instead of /; the daemons are not restarted"))
    parser.add_argument("--color", metavar="WHEN", choices=("auto", "always", "never"), dest="color" + suffix,
                        help=_("colour names and IDs: auto (on a terminal, the default), always or never"))
    parser.add_argument("--no-color", action="store_const", const="never", dest="color" + suffix,
                        help=_("no terminal colours (also when NO_COLOR is set); the same as --color=never"))
    parser.add_argument("--no-pager", action="store_true", dest="no_pager" + suffix,
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
    _add_common(parser, "_top")
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
        if name in LISTINGS or spec.changing:
            sub.add_argument("--json", action="store_true",
                             help=_("print one JSON document on standard output instead of text (no pager, "
                                    "no colour); for a change, the document describes what was changed"))
        if spec.changing:
            sub.add_argument("--dry-run", action="store_true",
                             help=_("print what the command would change, change nothing and restart nothing"))
        for metavar, kind in spec.positionals:
            if metavar == "SHELL":
                sub.add_argument("shell", metavar=metavar, choices=SHELLS, help="bash, zsh")
            else:
                sub.add_argument(metavar.lower(), metavar=metavar, type=kind,
                                 help=_(spec.value_help) if metavar == "VALUE" and spec.value_help else None)
        _add_common(sub, "")
    return parser


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
        value = getattr(ns, name)
        return value if value is not None else getattr(ns, name + "_top")

    return argparse.Namespace(
        command=ns.command,
        events=_split_ids((ns.events_top or []) + (ns.events or [])),
        groups=_split_ids((ns.groups_top or []) + (ns.groups or [])),
        root=later("root"),
        color=later("color") or "auto",
        no_pager=ns.no_pager or ns.no_pager_top,
        debug=ns.debug or ns.debug_top,
        json=getattr(ns, "json", False),
        dry_run=getattr(ns, "dry_run", False),
        args=[getattr(ns, metavar.lower()) for metavar, _kind in COMMANDS[ns.command].positionals],
    )


def _check_usage(opts):
    needs = COMMANDS[opts.command].needs
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
    if opts.root is not None and not os.path.isdir(opts.root):
        raise UsageError(_("--root: {directory}: not a directory").format(directory=opts.root))


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


def _write(text):
    stream = sys.stdout
    try:
        stream.write(text)
    except UnicodeEncodeError:  # as the pager gets it: what the encoding lacks, escaped
        encoding = stream.encoding or "utf-8"
        stream.write(text.encode(encoding, "backslashreplace").decode(encoding))
    stream.flush()


def _start_pager(text, command):
    """Pipes text into the shell command line; False when it cannot be started."""
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
    try:
        with process.stdin as pipe:
            pipe.write(text)
    except (BrokenPipeError, KeyboardInterrupt):  # the user quit the pager before the end
        pass
    while True:
        try:
            process.wait()
            return True
        except KeyboardInterrupt:  # Ctrl-C belongs to the pager while it runs
            pass


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
            if command.strip() not in ("", "cat") and _start_pager(text, command):
                return
        _write(text)

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


def _rooted_class(base, root):
    """A subclass of the administrator class whose paths lie below root."""
    import pathlib  # loaded already: the module's constants are paths

    root = pathlib.Path(root)
    constants = {}
    for name in ROOT_CONSTANTS:
        path = pathlib.Path(getattr(base, name))
        constants[name] = root / path.relative_to(path.anchor)
    constants["_ZeltaAdminEvents__root_dir"] = root
    return type(base.__name__, (base,), constants)


class _Failure(Exception):
    """A failure the front end explains itself, on one line."""


def _run(opts, module):
    command = COMMANDS[opts.command]
    cls = module.ZeltaAdminEvents
    root = os.path.abspath(opts.root) if opts.root is not None else None
    if root is not None:
        cls = _rooted_class(cls, root)

    if opts.command == "export":
        return _export(cls, module, opts.args[0])

    events, groups = list(opts.events), list(opts.groups)
    with _output_to_stderr(opts.json):  # standard output holds the document alone
        admin = cls(events, groups)
    unknown_ids = admin.get_unknown_ids()
    unknown = len(unknown_ids["events"]) + len(unknown_ids["groups"])
    left = {"events": events, "groups": groups, "ids": events + groups}.get(command.needs)
    if left is not None and not left:
        # Every named ID was unknown: nothing to do, and no daemon to restart.
        if opts.json:
            _print_json({"changed": False, "changes": [], "error": None} if command.changing
                        else _listing_document(opts.command, admin))
        return _unknown_skipped(unknown)
    if opts.command == "show-event":
        # Checked before the listing, which would otherwise fail on its path.
        for event_id in events:
            if admin._ZeltaAdminEvents__get_event_group(event_id) is None:
                raise _Failure(_("event {event} has no settings file in any group").format(event=event_id))

    if not command.changing:
        if opts.json:
            _print_json(_listing_document(opts.command, admin))
        else:
            getattr(admin, command.operation)(*opts.args)
        return _unknown_skipped(unknown)

    # What the change would do, from the same checks the operation makes: a
    # refused value or archive has the line the operation prints as its error.
    plan_operation = getattr(admin, "plan_" + command.operation)
    texts = opts.command == "import" and opts.dry_run and not opts.json
    plan = plan_operation(*opts.args, texts=True) if texts else plan_operation(*opts.args)
    if opts.dry_run:
        if opts.json:
            _print_json(plan)
        else:
            _print_plan(plan)
        if plan["error"] is not None:
            return EXIT_FAILED
        return _unknown_skipped(unknown)

    with _output_to_stderr(opts.json):
        try:
            getattr(admin, command.operation)(*opts.args)
        finally:
            # A change that failed half-way still leaves changes written: they
            # take effect as well.
            restarted = _restart(admin, root)
    failed = plan["error"] is not None
    if opts.command == "import" and not failed:
        # An import that failed while writing reports it as its line: the
        # archive then still differs from the tree.
        after = plan_operation(*opts.args)
        failed = after["error"] is not None or after["changed"]
    if opts.json:
        _print_json(plan)
    if failed:
        return EXIT_FAILED
    if unknown:
        return _unknown_skipped(unknown)
    return EXIT_OK if restarted else EXIT_FAILED


def _export(cls, module, file_path):
    """export_config's one line, with the outcome known as data."""
    try:
        cls.write_config_archive(file_path)
    except Exception as error:  # as export_config reports its failure
        print(module._("Error exporting configuration") + ": " + str(error))
        return EXIT_FAILED
    print(module._("Configuration exported"))
    return EXIT_OK


def _listing_document(command, admin):
    if command == "show-event":
        return {"events": admin.get_event_settings()}
    return admin.get_status(all_groups=command == "show-all-groups")


def _print_json(document):
    _write(_json_text(document, indent=2) + "\n")


def _json_text(value, indent=None):
    import json

    return json.dumps(value, ensure_ascii=False, indent=indent)


def _print_plan(plan):
    """One line per change; for a file, the unified diff of its text."""
    if plan["error"] is not None:
        print(plan["error"])  # as the operation would report it
        return
    if not plan["changes"]:
        print(_("Nothing to change."))
        return
    for change in plan["changes"]:
        if "file" not in change:
            name = f"{change['section']}/{change['parameter']}" if change["section"] else change["parameter"]
            print(f"{change['event']}\t{name}: {_json_text(change['before'])} -> {_json_text(change['after'])}")
        elif change["type"] == "directory":
            print(_("create directory {file}").format(file=change["file"]))
        else:
            print((_("create {file}") if change["action"] == "create" else _("replace {file}"))
                  .format(file=change["file"]))
            _print_diff(change)


def _print_diff(change):
    import difflib

    before = (change["before_text"] or "").splitlines(keepends=True)
    after = (change["after_text"] or "").splitlines(keepends=True)
    for line in difflib.unified_diff(before, after, fromfile=change["file"], tofile=change["file"]):
        print(line.rstrip("\n"))


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
        sys.stdout = sys.stderr

    def __exit__(self, *exc_info):
        if not self._active:
            return
        sys.stderr.flush()
        sys.stdout = self._saved_stdout
        if self._saved_fd is not None:
            os.dup2(self._saved_fd, 1)
            os.close(self._saved_fd)


def _unknown_skipped(count):
    """Reports the unknown IDs skipped, if any; the exit status they call for."""
    if not count:
        return EXIT_OK
    print(f"{PROG}: " + ngettext("{count} unknown ID skipped", "{count} unknown IDs skipped", count)
          .format(count=count), file=sys.stderr)
    return EXIT_FAILED


def _restart(admin, root):
    """Restarts the daemons when the change needs it; False when a restart failed.

    The module reports each failed restart on a line of its own and returns
    the units whose restart failed.
    """
    sys.stdout.flush()  # our lines before the output of systemctl
    if root is None:
        return not admin.restart_daemons()
    if admin._ZeltaAdminEvents__need_daemon_restart:
        print(_("Restart of syslog-ng and auditd skipped: --root {root} is in use.").format(root=root))
    return True


def _fail(message, debug):
    if debug:
        import traceback

        traceback.print_exc()
    _print_error(message)
    return EXIT_FAILED


def _print_error(message):
    print(f"{PROG}: " + _("error: {message}").format(message=message), file=sys.stderr)


def _describe(error):
    """The error's own text, on one line."""
    if isinstance(error, KeyError) and error.args:
        text = _("unknown key {key}").format(key=repr(error.args[0]))
    elif isinstance(error, OSError) and error.strerror:
        text = error.strerror + (f": {error.filename}" if error.filename is not None else "")
    else:
        text = str(error)
    text = " ".join(text.split())
    return text or _("unexpected failure; run with --debug for details")


# ---- completion -------------------------------------------------------------------

def _id_completer(kind):
    """Completes -e and -g with the IDs of the system in use (--root included)."""
    def complete(prefix, parsed_args, **_kwargs):
        root = getattr(parsed_args, "root", None) or getattr(parsed_args, "root_top", None)
        if root is not None:
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


def _complete(parser):
    try:
        import argcomplete
    except ImportError:  # nothing to offer; the shell falls back to file names
        sys.exit(1)
    argcomplete.autocomplete(parser)  # exits after completing


# ---- main -------------------------------------------------------------------------

def main(argv=None):
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
    try:
        return _main(opts)
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:  # the reader of our output went away, as with "| head"
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_FAILED


def _main(opts):
    if opts.command == "completion":
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

    with _Changes() as changes:
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
        changes.install_pager(_pager(not opts.no_pager and _is_terminal(sys.stdout)))
        if not _colour_wanted(opts):
            changes.setattr(module, "Color", _NoColor)
        try:
            return _run(opts, module)
        except _Failure as error:
            return _fail(str(error), opts.debug)
        except (KeyboardInterrupt, BrokenPipeError):
            raise
        except Exception as error:  # every failure of an operation: one line
            return _fail(_describe(error), opts.debug)
