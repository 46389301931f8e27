// The console page of zelta-admin-events: the groups and events with their
// state, an event's settings, and every change planned with the command's
// --dry-run before it is made.

import { COMMAND, run, failureLine, scratchDirectory, removeScratch, sectionLabels, importDiffs } from "./command.js";

const _ = cockpit.gettext;
const ngettext = cockpit.ngettext;
const PACKAGE = "python3-zelta-admin-events";
const FACILITIES = ["auth", "authpriv", "cron", "daemon", "ftp", "kern", "lpr", "mail", "news", "security", "syslog",
    "user", "uucp", "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7"];
const PRIORITIES = ["emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"];

const state = {
    groups: [],
    selected: null, // event ID
    settings: null, // show-event's document of the selected event
    labels: {},
    admin: false,
    filter: "",
    collapsed: new Set(),
};

const app = document.getElementById("app");

function escape(text) {
    return String(text).replace(/[&<>"']/g, c => `&#${c.charCodeAt(0)};`);
}

function format(template, values) {
    return template.replace(/\{(\w+)\}/g, (whole, key) => key in values ? values[key] : whole);
}

function element(tag, attributes = {}, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes)) {
        if (value === false || value === null || value === undefined)
            continue;
        if (name === "text")
            node.textContent = value;
        else
            node.setAttribute(name, value === true ? "" : value);
    }
    for (const child of children)
        if (child !== null && child !== undefined)
            node.append(child);
    return node;
}

function valueText(value) {
    return typeof value === "string" ? value : JSON.stringify(value);
}

// ---- Theme -------------------------------------------------------------

// The console keeps its style in the local storage ("auto", "light" or
// "dark") and tells open pages of a change.
function applyTheme(style) {
    style = style || localStorage.getItem("shell:style") || "auto";
    const dark = style === "dark" || (style === "auto" && window.matchMedia?.("(prefers-color-scheme: dark)").matches);
    document.documentElement.classList.toggle("dark", Boolean(dark));
}

window.addEventListener("storage", event => {
    if (event.key === "shell:style")
        applyTheme();
});
window.addEventListener("cockpit-style", event => applyTheme(event.detail?.style));
window.matchMedia?.("(prefers-color-scheme: dark)").addEventListener("change", () => applyTheme());

// ---- Layout ------------------------------------------------------------

function layout() {
    document.documentElement.lang = cockpit.language;
    document.title = _("Security events");
    app.replaceChildren(
        element("header", { class: "page-header" },
                element("h1", { text: _("Security events") }),
                element("div", { class: "toolbar" },
                        element("input", {
                            id: "filter", type: "search", class: "filter",
                            placeholder: _("Filter by ID or name"), "aria-label": _("Filter groups and events by ID or name"),
                        }),
                        element("button", { id: "export", type: "button", class: "btn btn-secondary", text: _("Export…") }),
                        element("button", { id: "import", type: "button", class: "btn btn-secondary admin-only", text: _("Import…") }),
                        element("input", {
                            id: "import-file", type: "file", class: "hidden", accept: ".tar.gz,.tgz,application/gzip",
                            "aria-label": _("Archive to import"), tabindex: "-1",
                        }))),
        element("div", { id: "banner", class: "alert alert-info", role: "status", hidden: true },
                _("Administrative access is needed to change events.")),
        element("div", { id: "alerts", class: "alerts", "aria-live": "assertive" }),
        element("section", { id: "result", class: "result", hidden: true, "aria-live": "polite", "aria-labelledby": "result-title" }),
        element("main", { class: "columns" },
                element("section", { id: "listing", class: "listing card", "aria-label": _("Groups and events") }),
                element("section", { id: "details", class: "details card", "aria-label": _("Event settings") })),
        planDialog());

    document.getElementById("filter").addEventListener("input", event => {
        state.filter = event.target.value;
        applyFilter();
    });
    document.getElementById("export").addEventListener("click", exportArchive);
    document.getElementById("import").addEventListener("click", () => document.getElementById("import-file").click());
    document.getElementById("import-file").addEventListener("change", importArchive);
    const listing = document.getElementById("listing");
    listing.addEventListener("click", listingClick);
    listing.addEventListener("change", listingChange);
    renderDetails();
}

function planDialog() {
    const dialog = element("dialog", { id: "plan", class: "plan", "aria-labelledby": "plan-title" },
                           element("h2", { id: "plan-title" }),
                           element("div", { id: "plan-body", class: "plan-body" }),
                           element("div", { class: "dialog-buttons" },
                                   element("button", { id: "plan-apply", type: "button", class: "btn btn-primary", text: _("Apply") }),
                                   element("button", { id: "plan-cancel", type: "button", class: "btn btn-secondary", text: _("Cancel") })));
    return dialog;
}

// ---- Alerts and access ---------------------------------------------------

function showAlert(line, kind = "danger") {
    const alerts = document.getElementById("alerts");
    const close = element("button", { type: "button", class: "btn btn-link close", "aria-label": _("Close"), text: "×" });
    const alert = element("div", { class: `alert alert-${kind}`, role: "alert" },
                          element("span", { class: "alert-text", text: line }), close);
    close.addEventListener("click", () => alert.remove());
    alerts.append(alert);
}

function clearAlerts() {
    document.getElementById("alerts").replaceChildren();
}

function applyAccess() {
    document.getElementById("banner").hidden = state.admin;
    for (const control of document.querySelectorAll(".admin-only"))
        control.disabled = !state.admin;
}

// ---- Listing -----------------------------------------------------------

async function loadListing() {
    performance.mark("listing-start");
    const result = await run(["show-all-groups"]);
    if (result.status === null && result.problem === "not-found") {
        emptyState();
        return false;
    }
    if (result.status !== 0 || !result.json) {
        showAlert(failureLine(result));
        app.setAttribute("aria-busy", "false");
        return false;
    }
    state.groups = result.json.groups;
    performance.mark("listing-received");
    renderListing();
    performance.mark("listing-rendered");
    performance.measure("listing-render", "listing-received", "listing-rendered");
    app.setAttribute("aria-busy", "false");
    app.dataset.loads = String(Number(app.dataset.loads || 0) + 1);
    return true;
}

function emptyState() {
    app.setAttribute("aria-busy", "false");
    app.replaceChildren(element("div", { class: "empty-state", role: "status" },
                                element("h1", { text: _("Security events") }),
                                element("p", { text: format(_("The command {command} is not installed on this host."), { command: COMMAND }) }),
                                element("p", { text: format(_("Install the package {package} to administer the events."), { package: PACKAGE }) })));
}

function countText(group) {
    const enabled = group.events.filter(event => event.enabled).length;
    return format(_("{enabled} of {total} enabled"), { enabled, total: group.events.length });
}

// The events of the first groups are put in at once, those of the others
// when their group comes near the visible part of the page: a host with
// thousands of events gets its first screen without building every row.
const FIRST_EVENTS = 400;
let groupsById = new Map();
let observer = null;

function eventRows(group) {
    const disabled = state.admin ? "" : " disabled";
    const label = _("{event} enabled");
    const parts = [];
    for (const event of group.events) {
        const eid = escape(event.id);
        const selected = event.id === state.selected;
        parts.push(`<li class="event${selected ? " selected" : ""}" data-event="${eid}">`,
                   `<button type="button" class="event-name" data-select="${eid}" aria-pressed="${selected}">${escape(event.name)}</button>`,
                   `<span class="id">${eid}</span>`,
                   `<label class="switch"><input type="checkbox" role="switch" class="admin-only" data-event-switch="${eid}"`,
                   `${event.enabled ? " checked" : ""}${disabled} aria-label="${escape(label.replace("{event}", event.name))}">`,
                   `<span class="slider" aria-hidden="true"></span></label></li>`);
    }
    return parts.join("");
}

function renderListing() {
    const disabled = state.admin ? "" : " disabled";
    const parts = [];
    let budget = FIRST_EVENTS;
    groupsById = new Map(state.groups.map(group => [group.id, group]));
    for (const group of state.groups) {
        const enabled = group.events.filter(event => event.enabled).length;
        const all = enabled === group.events.length && enabled > 0;
        const collapsed = state.collapsed.has(group.id);
        const now = budget > 0;
        budget -= group.events.length;
        const gid = escape(group.id);
        parts.push(`<section class="group" data-group="${gid}">`,
                   `<div class="group-header"><button type="button" class="toggle" data-toggle="${gid}" aria-expanded="${!collapsed}" aria-controls="events-${gid}">`,
                   `<span class="caret" aria-hidden="true"></span><span class="group-name">${escape(group.name)}</span></button>`,
                   `<span class="id">${gid}</span><span class="count" data-count="${gid}">${escape(countText(group))}</span>`,
                   `<label class="switch"><input type="checkbox" role="switch" class="admin-only" data-group-switch="${gid}"`,
                   `${all ? " checked" : ""}${disabled} aria-label="${escape(format(_("All events of {group}"), { group: group.name }))}">`,
                   `<span class="slider" aria-hidden="true"></span></label></div>`,
                   `<ul class="events" id="events-${gid}"${collapsed ? " hidden" : ""}${now ? "" : " data-pending"}>`,
                   now ? eventRows(group) : "", "</ul></section>");
    }
    const listing = document.getElementById("listing");
    observer?.disconnect();
    listing.innerHTML = parts.join("");
    observer = new IntersectionObserver(entries => {
        for (const entry of entries)
            if (entry.isIntersecting)
                fillGroup(entry.target);
    }, { rootMargin: "1500px 0px" });
    for (const section of listing.children) {
        const group = groupsById.get(section.dataset.group);
        const enabled = group.events.filter(event => event.enabled).length;
        if (enabled > 0 && enabled < group.events.length)
            section.querySelector("[data-group-switch]").indeterminate = true;
        if (section.querySelector(".events").hasAttribute("data-pending"))
            observer.observe(section);
    }
    if (state.filter)
        applyFilter();
}

function fillGroup(section) {
    observer.unobserve(section);
    const list = section.querySelector(".events");
    if (!list.hasAttribute("data-pending"))
        return;
    list.removeAttribute("data-pending");
    list.innerHTML = eventRows(groupsById.get(section.dataset.group));
    filterGroup(section, state.filter.trim().toLowerCase());
}

function matches(item, needle) {
    return item.id.toLowerCase().includes(needle) || item.name.toLowerCase().includes(needle);
}

// A group shows when its ID or name matches (with all its events), or
// when one of its events does (with those events only).
function filterGroup(section, needle) {
    const group = groupsById.get(section.dataset.group);
    const whole = !needle || matches(group, needle);
    const shown = whole ? null : new Set(group.events.filter(event => matches(event, needle)).map(event => event.id));
    section.hidden = !whole && shown.size === 0;
    const list = section.querySelector(".events");
    for (const row of list.children)
        row.hidden = shown !== null && !shown.has(row.dataset.event);
    // A match inside a collapsed group is shown.
    if (needle && !section.hidden)
        list.hidden = false;
}

function applyFilter() {
    const needle = state.filter.trim().toLowerCase();
    for (const section of document.getElementById("listing").children)
        filterGroup(section, needle);
}

function findEvent(id) {
    for (const group of state.groups) {
        const event = group.events.find(e => e.id === id);
        if (event)
            return { group, event };
    }
    return null;
}

function listingClick(event) {
    const toggle = event.target.closest("[data-toggle]");
    if (toggle) {
        const id = toggle.dataset.toggle;
        const list = document.getElementById(`events-${id}`);
        const expanded = toggle.getAttribute("aria-expanded") !== "true";
        toggle.setAttribute("aria-expanded", String(expanded));
        list.hidden = !expanded;
        if (expanded)
            state.collapsed.delete(id);
        else
            state.collapsed.add(id);
        return;
    }
    const select = event.target.closest("[data-select]");
    if (select)
        selectEvent(select.dataset.select);
}

function listingChange(event) {
    const input = event.target;
    // The switch shows the state until the change is made.
    input.checked = !input.checked;
    if (input.dataset.eventSwitch) {
        const found = findEvent(input.dataset.eventSwitch);
        input.indeterminate = false;
        planAndApply([found.event.enabled ? "disable" : "enable", "-e", found.event.id],
                     format(found.event.enabled ? _("Disable {name}") : _("Enable {name}"), { name: found.event.name }),
                     `[data-event-switch="${CSS.escape(found.event.id)}"]`);
    } else if (input.dataset.groupSwitch) {
        const group = groupsById.get(input.dataset.groupSwitch);
        const enable = !group.events.every(e => e.enabled);
        input.indeterminate = enable && group.events.some(e => e.enabled);
        planAndApply([enable ? "enable" : "disable", "-g", group.id],
                     format(enable ? _("Enable every event of {name}") : _("Disable every event of {name}"), { name: group.name }),
                     `[data-group-switch="${CSS.escape(group.id)}"]`);
    }
}

// ---- Settings ------------------------------------------------------------

async function selectEvent(id) {
    state.selected = id;
    for (const row of document.querySelectorAll("#listing .event")) {
        const selected = row.dataset.event === id;
        row.classList.toggle("selected", selected);
        row.querySelector(".event-name").setAttribute("aria-pressed", String(selected));
    }
    await loadSettings();
}

async function loadSettings() {
    const id = state.selected;
    if (!id) {
        renderDetails();
        return;
    }
    const russian = cockpit.language.startsWith("ru");
    const [result, outline] = await Promise.all([
        run(["show-event", "-e", id]),
        russian ? run(["show-event", "-e", id, "--no-pager", "--color=never"], { json: false }) : null,
    ]);
    if (id !== state.selected)
        return;
    if (result.status !== 0 || !result.json?.events?.length) {
        state.settings = null;
        showAlert(failureLine(result));
    } else {
        state.settings = result.json.events[0];
    }
    state.labels = outline && outline.status === 0 ? sectionLabels(outline.out) : {};
    renderDetails();
}

function tree(value, labels) {
    const list = element("ul", { class: "tree" });
    for (const [key, item] of Object.entries(value)) {
        const label = labels?.[key];
        const name = element("span", { class: "key", text: key });
        const colon = element("span", { class: "colon", text: ":" });
        const caption = label ? element("span", { class: "section-label", text: label }) : null;
        if (item !== null && typeof item === "object" && !Array.isArray(item)) {
            list.append(element("li", {}, element("details", { open: true },
                                                  element("summary", {}, name, caption), tree(item))));
        } else if (Array.isArray(item) && item.length && item.every(v => typeof v !== "object")) {
            const values = element("ul", { class: "values" });
            for (const v of item)
                values.append(element("li", { text: valueText(v) }));
            list.append(element("li", {}, name, caption, colon, values));
        } else {
            list.append(element("li", {}, name, caption, colon, " ", element("span", { class: "value", text: valueText(item) })));
        }
    }
    return list;
}

function renderDetails() {
    const details = document.getElementById("details");
    const settings = state.settings;
    if (!settings || settings.id !== state.selected) {
        details.replaceChildren(element("p", { class: "placeholder", text: _("Select an event to see its settings.") }));
        return;
    }
    const group = groupsById.get(settings.group);
    details.replaceChildren(
        element("h2", { id: "event-title", text: settings.name }),
        element("dl", { class: "facts" },
                element("dt", { text: _("ID") }), element("dd", { id: "event-id", text: settings.id }),
                element("dt", { text: _("Group") }), element("dd", { id: "event-group", text: group ? `${group.name} (${group.id})` : settings.group }),
                element("dt", { text: _("State") }), element("dd", { text: settings.enabled ? _("Enabled") : _("Disabled") })),
        element("h3", { text: _("Effective settings") }),
        element("div", { id: "settings-tree" }, tree(settings.settings, state.labels)),
        changeForms(settings));
    applyAccess();
}

function selectField(id, label, names, current) {
    const select = element("select", { id, class: "admin-only" });
    for (const name of names)
        select.append(element("option", { value: name, selected: name === current, text: name }));
    return [element("label", { for: id, text: label }), select];
}

function changeForms(settings) {
    const id = settings.id;
    const forms = element("div", { class: "changes" }, element("h3", { text: _("Change") }));

    const [facilityLabel, facility] = selectField("facility", _("Facility"), FACILITIES, settings.settings["message-syslog-facility"]);
    const [priorityLabel, priority] = selectField("priority", _("Priority"), PRIORITIES, settings.settings["message-syslog-priority"]);
    const facilityButton = element("button", { type: "button", id: "facility-change", class: "btn btn-secondary admin-only", text: _("Change facility…") });
    const priorityButton = element("button", { type: "button", id: "priority-change", class: "btn btn-secondary admin-only", text: _("Change priority…") });
    facilityButton.addEventListener("click", () => planAndApply(["set-facility", facility.value, "-e", id],
                                                                format(_("Set the facility of {name} to {value}"), { name: settings.name, value: facility.value }),
                                                                "#facility-change"));
    priorityButton.addEventListener("click", () => planAndApply(["set-priority", priority.value, "-e", id],
                                                                format(_("Set the priority of {name} to {value}"), { name: settings.name, value: priority.value }),
                                                                "#priority-change"));
    forms.append(element("div", { class: "form-grid" }, facilityLabel, facility, facilityButton, priorityLabel, priority, priorityButton));

    const paths = settings.settings.audit?.paths;
    if (Array.isArray(paths))
        forms.append(pathEditor(settings, paths));

    const section = element("input", { id: "property-section", class: "admin-only", type: "text", autocomplete: "off" });
    const parameter = element("input", { id: "property-parameter", class: "admin-only", type: "text", autocomplete: "off" });
    const value = element("textarea", { id: "property-value", class: "admin-only", rows: "2", spellcheck: "false" });
    const propertyButton = element("button", { type: "button", id: "property-change", class: "btn btn-secondary admin-only", text: _("Change property…") });
    propertyButton.addEventListener("click", () => planAndApply(["set-properties", section.value, parameter.value, value.value, "-e", id],
                                                                format(_("Set {section} {parameter} of {name}"),
                                                                       { section: section.value, parameter: parameter.value, name: settings.name }),
                                                                "#property-change"));
    forms.append(element("fieldset", { class: "properties" },
                         element("legend", { text: _("Property") }),
                         element("div", { class: "form-grid" },
                                 element("label", { for: "property-section", text: _("Section") }), section, element("span"),
                                 element("label", { for: "property-parameter", text: _("Parameter") }), parameter, element("span"),
                                 element("label", { for: "property-value", text: _("Value (JSON)") }), value, propertyButton)));
    return forms;
}

// The watched paths of a file-watching event, one field each; the command's
// own check of the paths is shown under the list as one types.
function pathEditor(settings, paths) {
    const list = element("ol", { id: "paths", class: "paths" });
    const message = element("p", { id: "paths-error", class: "field-error", role: "alert", hidden: true });
    const apply = element("button", { type: "button", id: "paths-change", class: "btn btn-secondary admin-only", text: _("Change paths…") });
    let generation = 0;

    const values = () => [...list.querySelectorAll("input")].map(input => input.value);
    const check = async () => {
        const mine = ++generation;
        const result = await run(["set-properties", "audit", "paths", JSON.stringify(values()), "-e", settings.id, "--dry-run"],
                                 { admin: state.admin });
        if (mine !== generation)
            return;
        const invalid = result.status !== 0;
        message.hidden = !invalid;
        message.textContent = invalid ? failureLine(result) : "";
        for (const input of list.querySelectorAll("input"))
            input.setAttribute("aria-invalid", String(invalid));
        apply.disabled = invalid || !state.admin;
    };
    let timer = null;
    const changed = () => {
        clearTimeout(timer);
        timer = setTimeout(check, 250);
    };
    const addRow = value => {
        const index = list.children.length + 1;
        const input = element("input", { type: "text", class: "admin-only", value, "aria-label": format(_("Path {number}"), { number: index }), "aria-describedby": "paths-error" });
        const remove = element("button", { type: "button", class: "btn btn-link admin-only", "aria-label": format(_("Remove path {number}"), { number: index }), text: _("Remove") });
        input.addEventListener("input", changed);
        remove.addEventListener("click", () => {
            input.closest("li").remove();
            changed();
        });
        list.append(element("li", {}, input, remove));
        return input;
    };
    for (const path of paths)
        addRow(path);
    const add = element("button", { type: "button", id: "paths-add", class: "btn btn-link admin-only", text: _("Add path") });
    add.addEventListener("click", () => {
        addRow("").focus();
        changed();
    });
    apply.addEventListener("click", () => planAndApply(["set-properties", "audit", "paths", JSON.stringify(values()), "-e", settings.id],
                                                       format(_("Change the watched paths of {name}"), { name: settings.name }),
                                                       "#paths-change"));
    return element("fieldset", { class: "path-editor" }, element("legend", { text: _("Watched paths") }), list, message,
                   element("div", { class: "row" }, add, apply));
}

// ---- Plans ---------------------------------------------------------------

function eventName(id) {
    return findEvent(id)?.event.name ?? id;
}

function changesTable(changes) {
    const table = element("table", { class: "plan-table" },
                          element("thead", {}, element("tr", {},
                                                       element("th", { scope: "col", text: _("Event") }),
                                                       element("th", { scope: "col", text: _("Parameter") }),
                                                       element("th", { scope: "col", text: _("Before") }),
                                                       element("th", { scope: "col", text: _("After") }))));
    const body = element("tbody");
    for (const change of changes) {
        const parameter = change.section ? `${change.section} ${change.parameter}` : change.parameter;
        body.append(element("tr", {},
                            element("td", {}, element("span", { text: eventName(change.event) }), element("span", { class: "id", text: change.event })),
                            element("td", { class: "parameter", text: parameter }),
                            element("td", {}, element("pre", { class: "before", text: change.before === null ? "—" : JSON.stringify(change.before, null, 1) })),
                            element("td", {}, element("pre", { class: "after", text: JSON.stringify(change.after, null, 1) }))));
    }
    table.append(body);
    return table;
}

function filesTable(changes, diffs) {
    const list = element("ul", { class: "plan-files" });
    for (const change of changes) {
        const action = change.action === "create" ? _("Create") : _("Replace");
        const diff = diffs[change.file];
        let text = null;
        if (diff) {
            text = element("pre", { class: "diff", tabindex: "0", "aria-label": format(_("Changes of {file}"), { file: change.file }) });
            for (const line of diff.split("\n")) {
                const kind = /^(\+\+\+|---|@@)/.test(line) ? "hunk" : line[0] === "+" ? "added" : line[0] === "-" ? "removed" : null;
                text.append(element("span", { class: kind }, line), "\n");
            }
        }
        list.append(element("li", {},
                            element("div", {}, element("strong", { text: action }), " ", element("code", { class: "file", text: change.file })),
                            text));
    }
    return list;
}

// Shows the plan and resolves true when the person confirms it.
function confirmPlan(title, body, changed) {
    const dialog = document.getElementById("plan");
    document.getElementById("plan-title").textContent = title;
    document.getElementById("plan-body").replaceChildren(...body);
    const apply = document.getElementById("plan-apply");
    const cancel = document.getElementById("plan-cancel");
    apply.hidden = !changed;
    cancel.textContent = changed ? _("Cancel") : _("Close");
    return new Promise(resolve => {
        const done = answer => {
            apply.removeEventListener("click", onApply);
            cancel.removeEventListener("click", onCancel);
            dialog.removeEventListener("close", onClose);
            if (dialog.open)
                dialog.close();
            resolve(answer);
        };
        const onApply = () => done(true);
        const onCancel = () => done(false);
        const onClose = () => done(false);
        apply.addEventListener("click", onApply);
        cancel.addEventListener("click", onCancel);
        dialog.addEventListener("close", onClose);
        dialog.showModal();
        (changed ? apply : cancel).focus();
    });
}

function planBody(plan) {
    if (!plan.changed)
        return [element("p", { class: "nothing", text: _("Nothing to change: every value is already as requested.") })];
    const count = plan.changes.length;
    return [element("p", { text: cockpit.format(ngettext("This parameter will change:", "These $0 parameters will change:", count), count) }),
        changesTable(plan.changes),
        element("p", { class: "note", text: _("Nothing changes until you apply. The logging and audit daemons are restarted afterwards.") })];
}

// Plans the change, shows the plan and makes the change when confirmed;
// focus then returns to the control (by selector: the listing and the
// settings are drawn again).
async function planAndApply(args, title, focusAfter) {
    clearAlerts();
    const plan = await run([...args, "--dry-run"], { admin: true });
    if (plan.status !== 0 || !plan.json || plan.json.error) {
        showAlert(failureLine(plan));
        return;
    }
    const confirmed = await confirmPlan(title, planBody(plan.json), plan.json.changed);
    if (confirmed) {
        const done = await run(args, { admin: true });
        showResult(title, done);
        await refresh();
    }
    if (focusAfter)
        document.querySelector(focusAfter)?.focus();
}

// What was done, the command's own lines, and a failure (a daemon that did
// not restart) as an alert.
function showResult(title, done, diffs) {
    const result = document.getElementById("result");
    const lines = done.err.split("\n").filter(line => line.trim());
    const ok = done.status === 0;
    // A change made whose daemons did not restart is not a change that failed.
    const made = done.json?.changed && done.json?.failed_units?.length;
    const heading = ok ? _("Done: {title}") : made ? _("Done, but the daemons did not all restart: {title}")
        : _("Failed: {title}");
    const body = [element("h2", { id: "result-title", text: format(heading, { title }) })];
    if (done.json?.changes?.length) {
        body.push(done.json.changes[0].file ? filesTable(done.json.changes, diffs || {}) : changesTable(done.json.changes));
    }
    if (done.json?.restarted && !done.json.failed_units?.length)
        body.push(element("p", { class: "restart", text: _("The logging and audit daemons were restarted.") }));
    if (lines.length)
        body.push(element("pre", { class: "output", text: lines.join("\n") }));
    const close = element("button", { type: "button", class: "btn btn-link", text: _("Dismiss") });
    close.addEventListener("click", () => result.hidden = true);
    body.push(close);
    result.replaceChildren(...body);
    result.classList.toggle("failed", !ok);
    result.hidden = false;
    if (!ok) {
        // A line of its own for each daemon that did not restart.
        const units = (done.json?.failed_units ?? []).map(String);
        const failed = lines.filter(line => units.some(unit => line.includes(unit)));
        for (const line of failed.length ? failed : [failureLine(done)])
            showAlert(line.trim());
    }
}

async function refresh() {
    await Promise.all([loadListing(), loadSettings()]);
}

// ---- Export and import ---------------------------------------------------

async function exportArchive() {
    clearAlerts();
    let directory;
    try {
        directory = await scratchDirectory(state.admin);
    } catch (ex) {
        showAlert(cockpit.message(ex));
        return;
    }
    try {
        const path = `${directory}/zelta-config.tar.gz`;
        const result = await run(["export", path], { admin: state.admin, json: false });
        if (result.status !== 0) {
            showAlert(failureLine(result));
            return;
        }
        const data = await cockpit.file(path, { binary: true, superuser: state.admin ? "require" : "try" }).read();
        const url = URL.createObjectURL(new Blob([data], { type: "application/gzip" }));
        const link = element("a", { href: url, download: "zelta-config.tar.gz", class: "hidden" });
        document.body.append(link);
        link.click();
        link.remove();
        setTimeout(() => URL.revokeObjectURL(url), 60000);
    } catch (ex) {
        showAlert(cockpit.message(ex));
    } finally {
        await removeScratch(directory, state.admin);
    }
}

async function importArchive(event) {
    const input = event.target;
    const file = input.files[0];
    input.value = "";
    if (!file)
        return;
    clearAlerts();
    let directory;
    try {
        directory = await scratchDirectory(true);
    } catch (ex) {
        showAlert(cockpit.message(ex));
        return;
    }
    try {
        const name = file.name.replace(/[^\w.-]+/g, "_").replace(/^\.+/, "") || "archive.tar.gz";
        const path = `${directory}/${name}`;
        const bytes = new Uint8Array(await file.arrayBuffer());
        await cockpit.file(path, { binary: true, superuser: "require" }).replace(bytes);
        const title = format(_("Import {file}"), { file: file.name });
        const plan = await run(["import", path, "--dry-run"], { admin: true });
        if (plan.status !== 0 || !plan.json || plan.json.error) {
            showAlert(failureLine(plan));
            return;
        }
        const diffs = importDiffs(plan.json.changes);
        const body = plan.json.changed
            ? [element("p", { text: _("These files will be created or replaced:") }), filesTable(plan.json.changes, diffs),
                element("p", { class: "note", text: _("Nothing changes until you apply. The logging and audit daemons are restarted afterwards.") })]
            : [element("p", { class: "nothing", text: _("Nothing to change: every file is already as in the archive.") })];
        if (await confirmPlan(title, body, plan.json.changed)) {
            const done = await run(["import", path], { admin: true });
            showResult(title, done, diffs);
            await refresh();
        }
    } catch (ex) {
        showAlert(cockpit.message(ex));
    } finally {
        await removeScratch(directory, true);
    }
}

// ---- Start ---------------------------------------------------------------

async function start() {
    applyTheme();
    layout();
    const permission = cockpit.permission({ admin: true });
    const access = () => {
        state.admin = permission.allowed === true;
        applyAccess();
        for (const input of document.querySelectorAll("#listing .admin-only"))
            input.disabled = !state.admin;
    };
    permission.addEventListener("changed", access);
    access();
    if (await loadListing())
        applyAccess();
    app.dataset.ready = "true";
}

start();
