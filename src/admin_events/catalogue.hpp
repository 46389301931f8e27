// The event catalogue as the other subsystems reach it: group membership,
// the names and states listings show, and the settings an event has.
#pragma once

#include "module.hpp"

namespace zelta {

// While show_event, get_event_settings or a settings plan runs, the current
// configuration file is read and parsed once for all the events it reads:
// each event's member is taken out of that one parse. The
// listing belongs to that call and is known only to the thread that runs it.
// Outside a listing, and for an event read twice, the file is read at every
// request.
struct SettingsListing {
    const State* owner;          // the module whose show_event runs
    SettingsListing* enclosing;  // a show_event running further up this thread, if any
    Ref path;                    // the file as named when it was read; empty until then
    Ref document;                // its parsed content, less the members already taken
    Ref taken;                   // set of the event IDs whose member was taken
};

// Marks one show_event listing on the running thread for its duration.
class SettingsListingScope {
public:
    explicit SettingsListingScope(const State& owner);
    ~SettingsListingScope();
    SettingsListingScope(const SettingsListingScope&) = delete;
    SettingsListingScope& operator=(const SettingsListingScope&) = delete;

private:
    SettingsListing listing_;
};

// The section label of a settings key, "(description)" or "".
Ref event_section_label(Ctx c, Borrowed self, Borrowed key);

// zelta_events.is_event_enabled(event_id), as listings show it.
Ref event_state(Ctx c, Borrowed event_id);
// table[id][key]: the name of an ID in a description table, in the language
// that key (the value of LANG) picks.
Ref described_name(Borrowed table, Borrowed id, Borrowed key);

// The library's event ID list as last seen within one operation that lists
// many groups, and the set of its IDs. It lives in that operation's call.
struct EventIdMemo {
    Ref items;  // a tuple of the list's items
    Ref set;
};

// self.__get_events_by_group_id(group_id); while that is the class's own
// method, its work is done here with the operation's memo.
Ref events_of_group(Ctx c, Borrowed self, Borrowed group_id, EventIdMemo& memo);

// The two files an event's effective settings come from: its default
// settings and its member of the current configuration file (empty when it
// has none), with the group whose directory holds it. An event in no group
// and a missing current configuration file fail, unless lenient says
// otherwise: then the first has no defaults, and the second is taken for a
// file without members, as the events library takes it when it writes the
// first change.
struct SettingsParts {
    Ref defaults, current, group;
};
enum SettingsLeniency : unsigned { lenient_no_group = 1, lenient_missing_current = 2 };
SettingsParts event_settings_parts(Ctx c, Borrowed self, Borrowed event_id, unsigned lenient = 0);
// The effective settings: current over defaults (defaults are changed in
// place), sorted through the class's __sort_nested_dict.
Ref merged_settings(Ctx c, Borrowed self, Borrowed defaults, Borrowed current);

}  // namespace zelta
