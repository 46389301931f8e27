"""Times the web console page in headless Chromium against a real console
(the harness of tests/test_cockpit.py): from the page's load to its complete
listing, on the sample and on a generated tree of 500 groups x 20 events,
with the part the page's own rendering takes; and a switch's round trip on
the sample (plan, confirmation, change, refreshed listing).

    .venv/bin/python bench/bench_cockpit.py [--repeat N]

as root (network and mount namespaces), with cockpit-ws, cockpit-bridge,
chromium, chromium-driver and Selenium installed. Goals: listing within 1 s,
of which rendering within 200 ms; a switch's round trip within 0.5 s. On the
generated tree the command's listing comes from a file (see serve_listing).
"""

import argparse
import json
import pathlib
import statistics
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from cockpit_console import (PAGE, Console, browser, generated_tree, missing_tools, network_namespace,  # noqa: E402
                             scratch, wait)

GROUPS, EVENTS_PER_GROUP = 500, 20

# Milliseconds from the navigation's start to the listing on screen, the
# command's part and the rendering's.
TIMES = """
const mark = name => performance.getEntriesByName(name)[0].startTime;
return {total: mark("listing-rendered"), command: mark("listing-received") - mark("listing-start"),
        render: performance.getEntriesByName("listing-render")[0].duration};
"""

# Milliseconds from a click on the switch to its plan on screen, and to the
# refreshed listing after Apply.
ROUND_TRIP = """
const done = arguments[arguments.length - 1];
const app = document.getElementById("app");
const loads = Number(app.dataset.loads);
const dialog = document.getElementById("plan");
const start = performance.now();
let planned = null;
document.querySelector('[data-event-switch="connection-opened"]').click();
const poll = () => {
    if (planned === null && dialog.open) {
        planned = performance.now() - start;
        document.getElementById("plan-apply").click();
    }
    if (planned !== null && Number(app.dataset.loads) > loads)
        done([planned, performance.now() - start]);
    else
        setTimeout(poll, 1);
};
poll();
"""


def listing_document(top):
    """What show-all-groups --json prints for the generated tree."""
    catalogue = json.loads((top / "usr/share/syslog-ng-mod-zelta/events-catalogue.json").read_text())
    return {"groups": [{"id": g["id"], "name": g["name_en"],
                        "events": [{"id": e["id"], "name": e["name_en"], "enabled": e["enabled"]}
                                   for e in catalogue["events"] if e["id"].startswith(g["id"] + "-")]}
                       for g in catalogue["groups"]], "events": []}


def serve_listing(console, top):
    """The console's command prints the generated tree's listing from a file:
    the stand-in events library reads its whole catalogue again for every
    event, so the real command takes minutes on this tree."""
    document = console.base / "large-listing.json"
    document.write_text(json.dumps(listing_document(top), indent=2))
    wrapper = console.base / "large-bin" / "zelta-admin-events"
    command = wrapper.resolve()
    wrapper.unlink()
    wrapper.write_text(f'#!/bin/sh\nif [ "$1" = show-all-groups ]; then exec cat {document}; fi\nexec {command} "$@"\n')
    wrapper.chmod(0o755)


def load_times(driver, console, repeat):
    driver.get(console.url + "/cockpit/@localhost/manifests.json")
    driver.execute_script("localStorage.setItem('shell:style', 'light')")
    runs = []
    for _ in range(repeat):
        driver.get(console.url + PAGE)
        wait(driver, lambda d: d.execute_script("return document.getElementById('app').dataset.ready") == "true",
             timeout=60)
        runs.append(driver.execute_script(TIMES))
    return {key: statistics.median(run[key] for run in runs) for key in runs[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if missing_tools():
        sys.exit("bench_cockpit: needs " + ", ".join(missing_tools()))
    with network_namespace(), scratch() as base:
        (base / "downloads").mkdir()
        large = generated_tree(base / "large-tree", GROUPS, EVENTS_PER_GROUP)
        consoles = [Console(base, "sample"), Console(base, "large", sample=large)]
        serve_listing(consoles[1], large)
        try:
            with browser(base / "downloads") as driver:
                driver.set_script_timeout(60)
                for console, label in zip(consoles, ("sample", f"{GROUPS} x {EVENTS_PER_GROUP}")):
                    times = load_times(driver, console, args.repeat)
                    print(f"listing, {label}: {times['total']:.0f} ms from load (command {times['command']:.0f} ms, "
                          f"rendering {times['render']:.0f} ms), median of {args.repeat}")
                sample = consoles[0]
                driver.get(sample.url + PAGE)
                wait(driver, lambda d: d.execute_script("return document.getElementById('app').dataset.ready") == "true")
                trips = [driver.execute_async_script(ROUND_TRIP) for _ in range(args.repeat)]
                print(f"switch round trip, sample: {statistics.median(t[1] for t in trips):.0f} ms "
                      f"(plan on screen after {statistics.median(t[0] for t in trips):.0f} ms), median of {args.repeat}")
        finally:
            for console in consoles:
                console.stop()


if __name__ == "__main__":
    main()
