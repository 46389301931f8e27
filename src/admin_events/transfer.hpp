// The layout of a configuration archive and the rules an archive must meet
// before import writes anything, as plain functions over file-system bytes.
#pragma once

#include <optional>
#include <string_view>

namespace zelta::transfer {

// The name every archive file ends with.
inline constexpr std::string_view archive_suffix = ".tar.gz";

// The files export always archives, in archive order, relative to the root.
inline constexpr std::string_view config_files[] = {
    "etc/zelta-syslog.conf",
    "etc/audit/rules.d/zelta-syslog.rules",
    "etc/logrotate.d/syslog-ng-mod-zelta",
};
// The syslog-ng fragment directory and the prefix of the module's fragments.
inline constexpr std::string_view fragment_dir = "etc/syslog-ng/conf.d/";
inline constexpr std::string_view fragment_prefix = "mod-zelta";
// The event watcher's notification settings of the root user and their directory.
inline constexpr std::string_view notifyrc_dir = "root/.config";
inline constexpr std::string_view notifyrc = "root/.config/zelta-event-watcher.notifyrc";

// The top-level name T of an archive written to archive_path: the final
// path component's text before its first dot ("" for ".x.tar.gz").
std::string_view archive_top_name(std::string_view archive_path);

// The top-level name of an archive being read: the first member name's text
// up to its first "/".
std::string_view member_top_name(std::string_view first_member);

// A relative name made of plain components only: not empty, no leading
// "/", no empty, "." or ".." component, no NUL.
bool is_plain_relative(std::string_view name);

// The part of a member name below the top-level name: "" for the top itself,
// nothing when the name lies outside it.
std::optional<std::string_view> path_below_top(std::string_view name, std::string_view top);

// Whether export writes a member at this path below T. The top itself and the
// ancestor directories of the exported files count for directory members only.
bool is_exported_path(std::string_view relative, bool directory);

}  // namespace zelta::transfer
