"""Command-line front end: ``zelta-admin-events COMMAND [-e ID] [-g ID] ...``.

One ZeltaAdminEvents object per invocation, built from the named event and
group IDs; after a changing command the daemons are restarted when the
change needs it. Exit status: 0 success, 1 an operation failed, 2 usage.
"""

import argparse
import contextlib
import gettext
import io
import os
import pathlib
import sys
import traceback

PROG = "zelta-admin-events"

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

# The module's translation domain, which the front end's own messages share.
DOMAIN = "zelta_admin_events"
# Where a system package installs the catalogues, and where the module looks.
SYSTEM_LOCALEDIR = "/usr/share/locale"
# The catalogues a wheel carries inside the package.
PACKAGE_LOCALEDIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "locale")


def _localedir():
    """The system's catalogues when they have the user's language, else the package's own."""
    if gettext.find(DOMAIN, SYSTEM_LOCALEDIR) is None and gettext.find(DOMAIN, PACKAGE_LOCALEDIR):
        return PACKAGE_LOCALEDIR
    return SYSTEM_LOCALEDIR


def _translation():
    # Looked up at each message: the language comes from the environment of
    # the moment, and gettext keeps the parsed catalogue once read.
    return gettext.translation(DOMAIN, _localedir(), fallback=True)


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


# name, what it needs, positional arguments, summary (translated when shown), example
COMMANDS = {
    "show-groups": ("groups", (), N_("show the status of the named groups and their events"),
                    f"{PROG} show-groups -g file-system -g authentication"),
    "show-all-groups": (None, (), N_("show the status of every group and its events"),
                        f"{PROG} show-all-groups"),
    "show-event": ("events", (), N_("show the complete settings of the named events"),
                   f"{PROG} show-event -e modifying-file"),
    "enable": ("ids", (), N_("enable the named events and every event of the named groups"),
               f"{PROG} enable -e file-opened -g authentication"),
    "disable": ("ids", (), N_("disable the named events and every event of the named groups"),
                f"{PROG} disable -g file-system"),
    "set-facility": ("ids", ("VALUE",), N_("set the syslog facility of the named events and groups"),
                     f"{PROG} set-facility local3 -g file-system"),
    "set-priority": ("ids", ("VALUE",), N_("set the syslog priority of the named events and groups"),
                     f"{PROG} set-priority warning -e file-opened"),
    "set-properties": ("events", ("SECTION", "PARAMETER", "VALUE"),
                       N_("set a parameter of the named events to a JSON value (groups are not used)"),
                       f"{PROG} set-properties general paths '[\"/etc/passwd\"]' -e modifying-file"),
    "export": (None, ("FILE",), N_("save the configuration files into a .tar.gz archive"),
               f"{PROG} export /root/zelta-config.tar.gz"),
    "import": (None, ("FILE",), N_("restore the configuration files from an exported archive"),
               f"{PROG} import /root/zelta-config.tar.gz"),
}
CHANGING = {"enable", "disable", "set-facility", "set-priority", "set-properties", "import"}


class UsageError(Exception):
    pass


def _split_ids(values):
    """Repeated options and comma-separated lists, in order; empty items dropped."""
    return [item for value in values or () for item in value.split(",") if item]


def _add_common(parser, suffix):
    # The same options are accepted before and after the command; they land
    # under different names so that neither place overwrites the other.
    parser.add_argument("-e", "--event", metavar="ID", action="append", dest="events" + suffix,
                        help=_("an event ID; repeat the option or separate IDs with commas"))
    parser.add_argument("-g", "--group", metavar="ID", action="append", dest="groups" + suffix,
                        help=_("a group ID; repeat the option or separate IDs with commas"))
    parser.add_argument("--root", metavar="DIR", dest="root" + suffix,
                        help=_("work on the system tree below DIR instead of /; the daemons are not restarted"))
    parser.add_argument("--no-color", action="store_true", dest="no_color" + suffix,
                        help=_("no terminal colours (also when NO_COLOR is set)"))
    parser.add_argument("--debug", action="store_true", dest="debug" + suffix,
                        help=_("show the traceback of a failure"))


def build_parser():
    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=formatter,
        description=_("Administer the events that the syslog-ng zelta module records."),
        epilog=_("examples:") + "\n  " + "\n  ".join(spec[3] for spec in COMMANDS.values())
        + "\n\n" + _("Run '{prog} COMMAND --help' for the options of one command.").format(prog=PROG))
    _add_common(parser, "_top")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    parser.commands = {}
    for name, (_needs, positionals, summary, example) in COMMANDS.items():
        summary = _(summary)
        sub = parser.commands[name] = commands.add_parser(
            name, help=summary, description=summary[0].upper() + summary[1:] + ".",
            epilog=_("example:") + f"\n  {example}", formatter_class=formatter)
        for positional in positionals:
            sub.add_argument(positional.lower(), metavar=positional)
        _add_common(sub, "")
    return parser


def _options(ns):
    """Merges the options given before the command with those after it."""
    return argparse.Namespace(
        command=ns.command,
        events=_split_ids((ns.events_top or []) + (ns.events or [])),
        groups=_split_ids((ns.groups_top or []) + (ns.groups or [])),
        root=ns.root if ns.root is not None else ns.root_top,
        no_color=ns.no_color or ns.no_color_top,
        debug=ns.debug or ns.debug_top,
        args=[getattr(ns, p.lower()) for p in COMMANDS[ns.command][1]],
    )


def _check_ids(opts):
    needs = COMMANDS[opts.command][0]
    if needs == "groups" and not opts.groups:
        # TRANSLATORS: {command} is the command's name; "-e ID" and "-g ID" are options, kept as they are.
        raise UsageError(_("{command}: name at least one group with -g ID").format(command=opts.command))
    if needs == "events" and not opts.events:
        raise UsageError(_("{command}: name at least one event with -e ID").format(command=opts.command))
    if needs == "ids" and not (opts.events or opts.groups):
        raise UsageError(_("{command}: name at least one event with -e ID or group with -g ID")
                         .format(command=opts.command))


@contextlib.contextmanager
def _restored(module, names):
    """Puts back the module globals and environment variables main changed."""
    saved_env = {name: os.environ.get(name) for name in names}
    saved_color = module.Color if module is not None else None
    try:
        yield
    finally:
        for name, value in saved_env.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        if module is not None:
            module.Color = saved_color


@contextlib.contextmanager
def _catalogues_from(localedir):
    """Points the module's translation domain at localedir while main runs.

    The module reads the system's catalogues; installed from a wheel, the
    catalogues lie in the package instead, and the module's lines should be
    in the same language as the front end's.
    """
    previous = gettext.bindtextdomain(DOMAIN)
    gettext.bindtextdomain(DOMAIN, localedir)
    try:
        yield
    finally:
        gettext.bindtextdomain(DOMAIN, previous)


def _rooted_class(base, root):
    """A subclass of the administrator class whose paths lie below root."""
    constants = {}
    for name in ROOT_CONSTANTS:
        path = pathlib.Path(getattr(base, name))
        constants[name] = root / path.relative_to(path.anchor)
    constants["_ZeltaAdminEvents__root_dir"] = root
    return type(base.__name__, (base,), constants)


def _run(opts, module):
    cls = module.ZeltaAdminEvents
    root = pathlib.Path(os.path.abspath(opts.root)) if opts.root is not None else None
    if root is not None:
        cls = _rooted_class(cls, root)

    if opts.command == "export":
        # The export reports its outcome only as its one line.
        output = io.StringIO()
        with contextlib.redirect_stdout(output):
            cls.export_config(opts.args[0])
        sys.stdout.write(output.getvalue())
        return EXIT_OK if output.getvalue() == module._("Configuration exported") + "\n" else EXIT_FAILED

    events, groups = list(opts.events), list(opts.groups)
    admin = cls(events, groups)
    try:
        if opts.command == "show-groups":
            admin.show_groups()
        elif opts.command == "show-all-groups":
            admin.show_all_groups()
        elif opts.command == "show-event":
            admin.show_event()
        elif opts.command == "enable":
            admin.enable()
        elif opts.command == "disable":
            admin.disable()
        elif opts.command == "set-facility":
            admin.set_facility(*opts.args)
        elif opts.command == "set-priority":
            admin.set_priority(*opts.args)
        elif opts.command == "set-properties":
            admin.set_properties(*opts.args)
        elif opts.command == "import":
            admin.import_config(*opts.args)
    finally:
        # A change that failed half-way still leaves changes written: they
        # take effect as well.
        if opts.command in CHANGING:
            _restart(admin, root)

    # A refused value or archive is reported by the operation's own line and
    # leaves the object without a pending restart; every accepted one sets it.
    if opts.command in ("set-properties", "import") and not admin._ZeltaAdminEvents__need_daemon_restart:
        return EXIT_FAILED

    unknown = len(opts.events) + len(opts.groups) - len(events) - len(groups)
    if unknown:
        print(f"{PROG}: " + ngettext("{count} unknown ID skipped", "{count} unknown IDs skipped", unknown)
              .format(count=unknown), file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def _restart(admin, root):
    sys.stdout.flush()  # our lines before the output of systemctl
    if root is None:
        admin.restart_daemons()
    elif admin._ZeltaAdminEvents__need_daemon_restart:
        print(_("Restart of syslog-ng and auditd skipped: --root {root} is in use.").format(root=root))


def _fail(message, debug):
    if debug:
        traceback.print_exc()
    print(f"{PROG}: " + _("error: {message}").format(message=message), file=sys.stderr)
    return EXIT_FAILED


def _describe(error):
    text = str(error)
    if isinstance(error, KeyError) and error.args:
        text = _("unknown key {key}").format(key=repr(error.args[0]))
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def main(argv=None):
    parser = build_parser()
    try:
        ns = parser.parse_args(argv)
    except SystemExit as done:  # --help, or a usage error already reported
        return done.code if isinstance(done.code, int) else EXIT_USAGE
    opts = _options(ns)
    try:
        _check_ids(opts)
        if opts.root is not None and not os.path.isdir(opts.root):
            raise UsageError(_("--root: {directory}: not a directory").format(directory=opts.root))
    except UsageError as error:
        parser.commands[opts.command].print_usage(sys.stderr)
        print(f"{PROG}: " + _("error: {message}").format(message=error), file=sys.stderr)
        return EXIT_USAGE

    with _restored(None, ("LESS", "LESSSECURE", "ZELTA_EVENTS_ROOT")):
        if "LESS" not in os.environ:
            os.environ["LESS"] = "FRX"  # leave short text on screen, as git does
        if os.environ.get("SUDO_UID"):
            os.environ["LESSSECURE"] = "1"  # no shell escape from a pager run as root
        if opts.root is not None:
            os.environ["ZELTA_EVENTS_ROOT"] = os.path.abspath(opts.root)

        try:
            from zelta_admin_events import admin_events as module
        except Exception as error:  # the events library is imported with the module
            missing = isinstance(error, ImportError) and error.name == "zelta_events"
            message = (_("cannot load the events library: {error}") if missing
                       else _("cannot load the administration module: {error}"))
            return _fail(message.format(error=_describe(error)), opts.debug)

        with _restored(module, ()), _catalogues_from(_localedir()):
            if opts.no_color or os.environ.get("NO_COLOR"):
                module.Color = _NoColor
            try:
                return _run(opts, module)
            except KeyboardInterrupt:
                print(file=sys.stderr)
                return 130
            except Exception as error:  # every failure of an operation: one line
                return _fail(_describe(error), opts.debug)
