"""The administrator object's CPU-bound paths written out in plain Python.

bench_compiled.py compiles this file with Cython and times it beside the
module on the same workloads. It does the same work as the module on those
paths (the same library calls, output lines, checks and results), written
the way a Python developer would write it.
"""

import gettext
import json
import os
import pathlib

import zelta_events

_ = gettext.gettext
LANG = "name_en"


class Color:
    END = "\x1b[0m"
    GREY = "\x1b[90m"


def _audit_path_acceptable(path):
    if not isinstance(path, str) or not path.startswith("/") or len(path) >= 4096:
        return False
    return not any(ord(ch) < 32 or ord(ch) == 127 for ch in path)


class ZeltaAdminEvents:
    __default_config_dir = pathlib.Path("/usr/share/syslog-ng-mod-zelta/event-settings")
    __arch = os.uname().machine
    __audit_rules = {
        "b64": lambda p: "-a always,exit -F arch=b64 -F path=" + p + " -S open,openat -k " + p,
        "x86_64": lambda p: "-a always,exit -F arch=x86_64 -F path=" + p + " -S open,openat -k " + p,
        "aarch64": lambda p: "-a always,exit -F arch=aarch64 -F path=" + p + " -S openat -k " + p,
        "armv7l": lambda p: "-a always,exit -F arch=armv7l -F path=" + p + " -S open,openat -k " + p,
    }
    __special_events = frozenset({"modifying-file", "modifying-directory", "file-opened"})

    def __init__(self, event_id_list, group_id_list):
        self.__event_id_list = event_id_list
        self.__group_id_list = group_id_list
        self.__event_section_translations = None
        self.__need_daemon_restart = False
        self.__prepare_groups()
        self.__prepare_events()
        self.__event_description = self.__get_all_event_description()
        self.__group_description = self.__get_all_group_description()

    # ---- construction

    def __prepare_groups(self):
        if self.__group_id_list:
            known = set(zelta_events.get_group_ids())
            for group_id in list(self.__group_id_list):
                if group_id not in known:
                    self.__group_id_list.remove(group_id)
                    print(_("Unknown group ID") + ": " + group_id)

    def __prepare_events(self):
        if self.__event_id_list:
            known = set(zelta_events.get_event_ids())
            for event_id in list(self.__event_id_list):
                if event_id not in known:
                    self.__event_id_list.remove(event_id)
                    print(_("Unknown event ID") + ": " + event_id)

    @staticmethod
    def _description(records):
        result = {}
        for record in records:
            fields = record.split(",")
            result[fields[0]] = {"name_en": fields[1][1:-1], "name_ru": fields[2][1:-1]}
        return result

    @classmethod
    def __get_all_event_description(cls):
        return cls._description(zelta_events.get_event_ids_ex(2))

    @classmethod
    def __get_all_group_description(cls):
        return cls._description(zelta_events.get_group_ids_ex(2))

    # ---- settings outline and sorting

    def __get_event_section_translation(self, key):
        table = self.__event_section_translations
        if isinstance(table, dict):
            entry = table.get(key)
            if isinstance(entry, dict) and "ru" in entry:
                return "(" + str(entry["ru"]) + ")"
        return ""

    def __get_event_config_string(self, dictionary, indent=0):
        result = ""
        prefix = "    " * indent
        for key, value in dictionary.items():
            if isinstance(value, dict):
                result += (prefix + key + self.__get_event_section_translation(key) + ":\n"
                           + self.__get_event_config_string(value, indent + 1))
            else:
                result += prefix + key + ": " + str(value).replace("'", '"') + "\n"
        return result + "\n"

    @classmethod
    def __sort_nested_dict(cls, dictionary):
        result = {}
        for key in sorted(dictionary):
            value = dictionary[key]
            if isinstance(value, dict):
                value = cls.__sort_nested_dict(value)
            result[key] = value
        return result

    # ---- changes

    @classmethod
    def __get_events_by_group_id(cls, group_id):
        directory = cls.__default_config_dir / group_id
        candidates = []
        with os.scandir(directory) as entries:
            for entry in entries:
                if entry.is_file() and entry.name != directory.name:
                    candidates.append(entry.name)
        if not candidates:
            return candidates
        known = set(zelta_events.get_event_ids())
        return [name for name in candidates if name in known]

    def set_facility(self, facility):
        self.__set_syslog_message_param("facility", facility)

    def __set_syslog_message_param(self, param_type, param_value):
        parameter = "message-syslog-" + param_type
        value = json.dumps(param_value, ensure_ascii=False)
        if self.__event_id_list is not None:
            for event_id in self.__event_id_list:
                zelta_events.set_event_param(event_id, "", parameter, value)
                print(event_id + "\t" + param_type + ": " + param_value)
        if self.__group_id_list is not None:
            for group_id in self.__group_id_list:
                for event_id in self.__get_events_by_group_id(group_id):
                    zelta_events.set_event_param(event_id, "", parameter, value)
                print(group_id + "\t" + param_type + ": " + param_value)
        self.__need_daemon_restart = True

    def __process_path_value(self, event_id, value):
        result_list = []
        for path in [value] if isinstance(value, str) else value:
            escaped_path = path.replace(" ", "\\ ")
            if event_id != "file-opened":
                result_list.append("-w " + escaped_path + " -p wa -k " + escaped_path)
            else:
                builder = self.__audit_rules.get(self.__arch) or self.__audit_rules["b64"]
                result_list.append(builder(escaped_path))
        return json.dumps(result_list, ensure_ascii=False)

    def set_properties(self, section, parameter, value):
        try:
            json_value = json.loads(value)
        except json.JSONDecodeError:
            print(_("The VALUE should be in JSON format"))
            return
        if not isinstance(json_value, (str, dict, list)):
            print(_("Invalid VALUE") + ": " + value + " (" + str(type(json_value)) + ")")
            return
        events = list(self.__event_id_list or [])
        special = [event_id in self.__special_events for event_id in events]
        if any(special):
            for path in [json_value] if isinstance(json_value, str) else list(json_value):
                if not _audit_path_acceptable(path):
                    print(_("Invalid path in VALUE") + ": " + repr(path))
                    return
        rules = [self.__process_path_value(e, json_value) if s else None for e, s in zip(events, special)]
        self.__need_daemon_restart = True
        for event_id, rule in zip(events, rules):
            zelta_events.set_event_param(event_id, section, parameter, value)
            if rule is not None:
                zelta_events.set_event_param(event_id, "", "message-audit-rules", rule)
