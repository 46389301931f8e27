// Runs the installed command zelta-admin-events through the console's bridge
// and hands back its JSON, exit status and standard error. Every check, plan
// and lock stays the command's own: the page only reads what it prints.

export const COMMAND = "zelta-admin-events";

// The command names events and groups in Russian under a Russian locale, and
// prints its own messages in the language of LANGUAGE.
function environment() {
    return cockpit.language.startsWith("ru")
        ? ["LANGUAGE=ru", "LC_ALL=ru_RU.UTF-8"]
        : ["LANGUAGE=en", "LC_ALL=C.UTF-8"];
}

// The command's own line for a failure: the last line it wrote on standard
// error, else the plan's error, else what the bridge reported.
export function failureLine(result) {
    const lines = result.err.split("\n").map(line => line.trim()).filter(Boolean);
    if (lines.length)
        return lines[lines.length - 1];
    if (result.json?.error)
        return result.json.error;
    return result.problem ? cockpit.message(result.problem) : `${COMMAND}: exit status ${result.status}`;
}

// Resolves, never rejects, to {status, out, err, json, problem}: status is
// the exit status (null when the command could not be started, problem
// then says why, "not-found" for a host without the command).
export function run(args, { admin = false, json = true } = {}) {
    const argv = [COMMAND, ...args];
    if (json)
        argv.push("--json");
    return new Promise(resolve => {
        const parse = (status, out, err, problem) => {
            let doc = null;
            if (json && out) {
                try {
                    doc = JSON.parse(out);
                } catch (e) {
                    doc = null;
                }
            }
            resolve({ status, out: out || "", err: err || "", json: doc, problem: problem || null });
        };
        cockpit.spawn(argv, { superuser: admin ? "require" : "try", err: "message", environ: environment() })
            .then((out, err) => parse(0, out, err),
                  (ex, out) => ex.problem
                      ? parse(null, out, "", ex.problem)
                      : parse(ex.exit_status, out, ex.message));
    });
}

// A scratch directory on the host for an archive on its way in or out, and
// its removal.
export function scratchDirectory(admin) {
    return cockpit.spawn(["mktemp", "-d", "/tmp/zelta-admin-events.XXXXXX"], { superuser: admin ? "require" : "try" })
        .then(out => out.trim());
}

export function removeScratch(directory, admin) {
    return cockpit.spawn(["rm", "-rf", "--", directory], { superuser: admin ? "require" : "try" })
        .catch(() => undefined);
}

// The sections of show-event's outline with their labels ("audit(Label):"),
// which the JSON document leaves out.
export function sectionLabels(outline) {
    const labels = {};
    for (const line of outline.split("\n")) {
        const match = /^([^\s(]+)\((.+)\):$/.exec(line);
        if (match)
            labels[match[1]] = match[2];
    }
    return labels;
}

// The unified diff of each file of an import's JSON plan, by file.
export function importDiffs(changes) {
    const diffs = {};
    for (const change of changes) {
        if (change.diff)
            diffs[change.file] = change.diff;
    }
    return diffs;
}
