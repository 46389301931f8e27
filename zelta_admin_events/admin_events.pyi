"""Administration back end for the events of the syslog-ng zelta module."""

from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any, ClassVar, Literal, NotRequired, TypeAlias, TypedDict

# An entry of a description table: {"name_en": ..., "name_ru": ...}.
_Description: TypeAlias = dict[str, str]
# Event settings: section -> parameter -> JSON value.
_Settings: TypeAlias = dict[str, Any]
# A change of the events library, such as zelta_events.enable_event.
_Action: TypeAlias = Callable[[str], object]

# ---- Shapes of the data interface ------------------------------------------
# Plain dicts and lists at run time, ready for json.dumps; these classes
# exist for type checkers only.

class _EventState(TypedDict):
    id: str
    name: str  # in the object's language (LANG)
    enabled: bool  # the events library reports 1

class _GroupState(TypedDict):
    id: str
    name: str
    events: list[_EventState]  # ascending by ID, as show_groups lists them

class _Status(TypedDict):
    groups: list[_GroupState]  # ascending by ID, each group once
    events: list[_EventState]  # the named events, in the order named

class _EventSettings(TypedDict):
    id: str
    name: str
    group: str | None  # the first group in the library's order that holds it; None: no settings
    enabled: bool
    settings: dict[str, Any]  # merged and sorted, as show_event shows them

class _ParameterChange(TypedDict):
    event: str
    # "" for parameters stored directly under the event: message-syslog-facility,
    # message-syslog-priority, message-audit-rules, and "enabled" for a switch.
    section: str
    parameter: str
    before: Any  # the merged current value; None when the event has none
    after: Any

class _FileChange(TypedDict):
    file: str  # the destination below the object's root directory
    action: Literal["create", "replace"]
    type: Literal["file", "directory"]
    before_sha256: str | None  # None for a file that does not exist yet, and directories
    after_sha256: str | None  # None for directories
    # Only when asked for with texts=True: the contents decoded as UTF-8
    # (undecodable bytes replaced); None where there is no file.
    before_text: NotRequired[str | None]
    after_text: NotRequired[str | None]

class _Plan(TypedDict):
    # Whether applying the operation now would change anything: changes is not empty.
    changed: bool
    # In the order the operation would make them; one entry per event and
    # parameter (or per destination) with its first value and its last.
    changes: list[_ParameterChange] | list[_FileChange]
    # The line the operation would print instead of changing anything (an
    # invalid value, a refused archive), translated; None when it would go ahead.
    error: str | None

class _SkippedMember(TypedDict):
    member: str  # the member's name in the archive
    # "symbolic link", "hard link", "character device", "block device",
    # "FIFO", or "type b'X'" for a type flag tar has no name for.
    type: str

class _ImportPlan(TypedDict):
    # As _Plan, for an archive: changes lists files and directories.
    changed: bool
    changes: list[_FileChange]
    # The members of the layout's places that the import skips (links and
    # special files), in archive order; empty when the archive is refused.
    skipped: list[_SkippedMember]
    error: str | None

class _ImportReport(TypedDict):
    # What the import did, as _ImportPlan lists it (error is None).
    changed: bool
    changes: list[_FileChange]
    skipped: list[_SkippedMember]
    error: None
    # What import_config prints as "Extended attribute not kept: ..." lines.
    notes: list[str]

class _UnknownIds(TypedDict):
    events: list[str]  # removed from the event list by the constructor, in order
    groups: list[str]

# The events library, loaded with the module.
zelta_events: ModuleType

def _(message: str) -> str:
    """The translation of a message ID in the domain "zelta_admin_events"."""

# "name_ru" under a ru_RU locale, else "name_en": the key of the names shown.
LANG: str

# The operations of ZeltaAdminEvents as the module declares them, for tests
# and tools: (name, kind, parameters, positional_only, doc) each, kind one of
# "method", "classmethod", "constructor", each parameter (name, expected
# type, required, default text or None). Not an interface for front ends.
_Parameter: TypeAlias = tuple[str, str, bool, str | None]
_operations: tuple[tuple[str, str, tuple[_Parameter, ...], bool, str], ...]

class Color:
    """Terminal escapes for grey text."""

    END: ClassVar[str]
    GREY: ClassVar[str]

class ZeltaAdminEvents:
    """Administration of the events recorded by the syslog-ng zelta module."""

    # Class constants; a subclass may point the paths at another system tree.
    _ZeltaAdminEvents__default_config_dir: ClassVar[Path]
    _ZeltaAdminEvents__current_config_file: ClassVar[Path]
    _ZeltaAdminEvents__param_ru_translations_file: ClassVar[Path]
    _ZeltaAdminEvents__arch: ClassVar[str]
    _ZeltaAdminEvents__audit_rules: ClassVar[dict[str, Callable[[object], str]]]
    _ZeltaAdminEvents__special_events: ClassVar[frozenset[str]]
    _ZeltaAdminEvents__root_dir: ClassVar[Path]

    # Fields of an object, set by the constructor.
    _ZeltaAdminEvents__event_id_list: list[str] | None
    _ZeltaAdminEvents__group_id_list: list[str] | None
    _ZeltaAdminEvents__event_section_translations: dict[str, Any] | None
    _ZeltaAdminEvents__need_daemon_restart: bool
    _ZeltaAdminEvents__event_description: dict[str, _Description]
    _ZeltaAdminEvents__group_description: dict[str, _Description]

    def __init__(self, event_id_list: list[str] | None, group_id_list: list[str] | None) -> None: ...

    # Public operations.
    def show_all_groups(self) -> None: ...
    def show_groups(self) -> None: ...
    def show_event(self) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    def set_priority(self, priority: str) -> None: ...
    def set_facility(self, facility: str) -> None: ...
    def set_properties(self, section: str, parameter: str, value: str) -> None: ...
    def import_config(self, input_file: str) -> None: ...
    @classmethod
    def export_config(cls, file_path: str, /) -> None: ...
    # The units whose restart command failed, each also reported on a line
    # of its own; empty when none failed or nothing was run.
    def restart_daemons(self) -> list[str]: ...

    # Data interface: the same queries as the operations above, returned as
    # data. Nothing is printed or paged; plans read and never write, call no
    # changing function of the events library and run no command.
    def get_unknown_ids(self) -> _UnknownIds:
        """The named IDs that the constructor reported as unknown and removed."""
    def get_status(self, all_groups: bool = False) -> _Status:
        """The named groups (all groups with all_groups) with their events, and the named events."""
    def get_event_settings(self) -> list[_EventSettings]:
        """The merged settings of each named event, in the order named."""
    def plan_enable(self) -> _Plan:
        """What enable() would switch: parameter "enabled" in section "", False to True."""
    def plan_disable(self) -> _Plan:
        """What disable() would switch: parameter "enabled" in section "", True to False."""
    def plan_set_facility(self, facility: str) -> _Plan:
        """What set_facility() would change: message-syslog-facility in section ""."""
    def plan_set_priority(self, priority: str) -> _Plan:
        """What set_priority() would change: message-syslog-priority in section ""."""
    def plan_set_properties(self, section: str, parameter: str, value: str) -> _Plan:
        """What set_properties() would change, with the derived message-audit-rules."""
    def plan_import_config(self, input_file: str, texts: bool = False) -> _ImportPlan:
        """The files import_config() would create or replace, after the same checks;
        an archive it would refuse gives its failure line as the plan's error."""
    def import_config_archive(self, input_file: str) -> _ImportReport:
        """import_config() without its lines: returns what changed and was skipped
        (error None), sets the restart flag when anything changed, raises on failure."""
    @classmethod
    def write_config_archive(cls, file_path: str, /) -> str:
        """export_config() without its line: returns the archive path, raises on failure."""

    # Private operations, under the names the class holds them by.
    def _ZeltaAdminEvents__prepare_groups(self) -> None: ...
    def _ZeltaAdminEvents__prepare_events(self) -> None: ...
    @classmethod
    def _ZeltaAdminEvents__get_events_by_group_id(cls, group_id: str) -> list[str]: ...
    @classmethod
    def _ZeltaAdminEvents__get_all_event_description(cls) -> dict[str, _Description]: ...
    @classmethod
    def _ZeltaAdminEvents__get_all_group_description(cls) -> dict[str, _Description]: ...
    def _ZeltaAdminEvents__get_grouped_events(self, group_id_list: list[str] | None) -> dict[str, list[str]]: ...
    def _ZeltaAdminEvents__get_event_group(self, event_id: str) -> str | None: ...
    def _ZeltaAdminEvents__get_event_config(self, event_id: str) -> _Settings: ...
    @classmethod
    def _ZeltaAdminEvents__sort_nested_dict(cls, dictionary: dict[str, Any]) -> dict[str, Any]: ...
    def _ZeltaAdminEvents__load_event_section_translations(self) -> None: ...
    def _ZeltaAdminEvents__get_event_section_translation(self, key: str | None) -> str: ...
    def _ZeltaAdminEvents__process_ids(self, action: _Action) -> None: ...
    def _ZeltaAdminEvents__process_group(self, group_id: str, action: _Action) -> None: ...
    def _ZeltaAdminEvents__process_event(self, event_id: str, action: _Action) -> None: ...
    def _ZeltaAdminEvents__set_syslog_message_param(self, param_type: str, param_value: str) -> None: ...
    def _ZeltaAdminEvents__process_path_value(self, event_id: str, value: str | list[str] | dict[str, Any]) -> str: ...
    def _ZeltaAdminEvents__show_groups(self) -> None: ...
    def _ZeltaAdminEvents__get_multiple_string(self, id_list: list[str] | None, new_status: int | None = None) -> str: ...
    def _ZeltaAdminEvents__get_group_string(self, group_id: str) -> str: ...
    def _ZeltaAdminEvents__get_event_config_string(self, dictionary: dict[str, Any], indent: int = 0) -> str: ...
