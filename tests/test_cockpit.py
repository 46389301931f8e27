"""The web console page in a real browser against a real console: cockpit-ws
in local-session mode serves the page built by scripts/build-cockpit-page,
the page runs the command of this environment on a sample copy, and
headless Chromium drives it through Selenium.

The console and the browser live in a network namespace of their own (the
test process's thread joins it for the module), so nothing outside the test
can reach them. Screenshots of the main views go to $ZELTA_SCREENSHOTS
(default build/screenshots) for reviewers; nothing compares pixels.
"""

import gzip
import io
import json
import os
import pathlib
import tarfile

import pytest

from cockpit_console import (REPO, Console, browser as start_browser, generated_tree, listing, missing_tools,
                             network_namespace, open_page, run_command, scratch, wait)
from conftest import snapshot

SHOTS = pathlib.Path(os.environ.get("ZELTA_SCREENSHOTS", REPO / "build" / "screenshots"))

# Under pytest-xdist (--dist loadgroup) these tests share one process, so the
# console and the browser start once, and their time is their own.
pytestmark = pytest.mark.xdist_group("browser")

if missing_tools():
    reason = "the browser tests need " + ", ".join(missing_tools())
    if os.environ.get("CI") == "true":
        raise RuntimeError(reason)  # CI installs them: a missing one is a fault there
    pytest.skip(reason, allow_module_level=True)

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402


def settings(root, event):
    return json.loads(run_command("show-event", "-e", event, "--json", root=root).stdout)["events"][0]["settings"]


@pytest.fixture(scope="module")
def base():
    try:
        with network_namespace(), scratch() as top:
            yield top
    except OSError as error:  # not root: a fault in CI, which runs as root
        reason = f"no network namespace for the console: {error}"
        pytest.fail(reason) if os.environ.get("CI") == "true" else pytest.skip(reason)


@pytest.fixture(scope="module")
def consoles(base):
    started = {}

    def get(name, **options):
        if name not in started:
            started[name] = Console(base, name, **options)
        return started[name]

    yield get
    for console in started.values():
        console.stop()


@pytest.fixture(scope="module")
def browser(base):
    (base / "downloads").mkdir()
    with start_browser(base / "downloads") as driver:
        yield driver


@pytest.fixture
def console(consoles):
    console = consoles("main")
    console.reset()
    return console


def shot(driver, name):
    SHOTS.mkdir(parents=True, exist_ok=True)
    driver.save_screenshot(str(SHOTS / f"{name}.png"))


def page_listing(driver):
    return driver.execute_script("""
        return [...document.querySelectorAll('#listing .group')].map(g => ({
            id: g.dataset.group, name: g.querySelector('.group-name').textContent,
            count: g.querySelector('.count').textContent,
            events: [...g.querySelectorAll('.event')].map(e => ({
                id: e.dataset.event, name: e.querySelector('.event-name').textContent,
                enabled: e.querySelector('input').checked}))}))""")


def loads(driver):
    return int(driver.find_element(By.ID, "app").get_attribute("data-loads") or 0)


def select_event(driver, event):
    driver.find_element(By.CSS_SELECTOR, f'[data-select="{event}"]').click()
    wait(driver, lambda d: d.find_elements(By.ID, "event-id") and d.find_element(By.ID, "event-id").text == event)


def open_plan(driver, click):
    click()
    wait(driver, lambda d: d.find_element(By.ID, "plan").is_displayed())


def apply_plan(driver):
    """Apply, then wait for the result and the refreshed listing."""
    before = loads(driver)
    driver.find_element(By.ID, "plan-apply").click()
    wait(driver, lambda d: loads(d) > before and d.find_element(By.ID, "result").is_displayed())


def plan_rows(driver):
    return [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
            for row in driver.find_elements(By.CSS_SELECTOR, "#plan-body tbody tr")]


def changed_settings(before, after):
    """{(section, parameter): (before, after)} of what differs."""
    out = {}
    for key in before.keys() | after.keys():
        b, a = before.get(key), after.get(key)
        if isinstance(b, dict) or isinstance(a, dict):
            for sub, change in changed_settings(b or {}, a or {}).items():
                out[(key, sub[1])] = change
        elif a != b:
            out[("", key)] = (b, a)
    return out


# ---- Listing, settings and the access banner -------------------------------


def test_listing_settings_and_filter(browser, console):
    open_page(browser, console)
    expected = listing(console.root)
    shown = page_listing(browser)
    assert [{k: g[k] for k in ("id", "name", "events")} for g in shown] == expected
    assert [g["count"] for g in shown] == [f"{sum(e['enabled'] for e in g['events'])} of {len(g['events'])} enabled"
                                           for g in expected]
    assert browser.find_element(By.ID, "banner").get_attribute("hidden") is not None
    shot(browser, "listing")

    select_event(browser, "file-opened")
    tree = browser.find_element(By.ID, "settings-tree").text
    assert "message-syslog-facility: local5" in tree and "/root/.ssh/authorized_keys" in tree
    assert browser.find_element(By.ID, "event-group").text == "File system activity (filesystem)"
    assert [i.get_attribute("value") for i in browser.find_elements(By.CSS_SELECTOR, "#paths input")] == \
        settings(console.root, "file-opened")["audit"]["paths"]
    shot(browser, "settings")

    # The filter narrows by ID or name as one types; a group collapses.
    browser.find_element(By.ID, "filter").send_keys("usb-device")
    visible = [e.get_attribute("data-event") for e in browser.find_elements(By.CSS_SELECTOR, "#listing .event")
               if e.is_displayed()]
    assert visible == ["usb-device-connected", "usb-device-removed"]
    browser.find_element(By.ID, "filter").clear()
    browser.find_element(By.ID, "filter").send_keys("network")
    assert [g.get_attribute("data-group") for g in browser.find_elements(By.CSS_SELECTOR, "#listing .group")
            if g.is_displayed()] == ["network"]
    toggle = browser.find_element(By.CSS_SELECTOR, '[data-toggle="network"]')
    toggle.send_keys(Keys.ENTER)
    assert toggle.get_attribute("aria-expanded") == "false"
    assert not browser.find_element(By.ID, "events-network").is_displayed()


def test_a_long_listing_fills_in_groups_as_they_come_near(browser, consoles, base):
    console = consoles("long", sample=generated_tree(base / "long-tree", 21, 20))
    open_page(browser, console)
    last = '[data-event="group-020-event-19"]'
    assert not browser.find_elements(By.CSS_SELECTOR, last)  # far below the first screen
    browser.find_element(By.ID, "filter").send_keys("event 19 of group 20")
    wait(browser, lambda d: d.find_elements(By.CSS_SELECTOR, last) and d.find_element(By.CSS_SELECTOR, last).is_displayed())
    assert [g.get_attribute("data-group") for g in browser.find_elements(By.CSS_SELECTOR, "#listing .group")
            if g.is_displayed()] == ["group-020"]
    browser.find_element(By.ID, "filter").clear()
    browser.find_element(By.ID, "filter").send_keys(Keys.SPACE, Keys.BACKSPACE)
    for _ in range(30):  # down to the end, a screen at a time
        browser.execute_script("window.scrollBy(0, 1200)")
        if not browser.find_elements(By.CSS_SELECTOR, "#listing [data-pending]"):
            break
    wait(browser, lambda d: not d.find_elements(By.CSS_SELECTOR, "#listing [data-pending]"))
    assert [{k: g[k] for k in ("id", "name", "events")} for g in page_listing(browser)] == listing(console.root)


# ---- Changes: plan first, Cancel, Apply -------------------------------------


@pytest.mark.parametrize("selector, args, cancel", [
    ('[data-event-switch="connection-opened"]', ["enable", "-e", "connection-opened"], "button"),
    ('[data-group-switch="network"]', ["enable", "-g", "network"], "escape"),
    ('[data-event-switch="file-opened"]', ["disable", "-e", "file-opened"], "button"),
])
def test_switch_plans_cancels_and_applies(browser, console, selector, args, cancel):
    open_page(browser, console)
    tree = snapshot(console.root)
    events = sorted({c["event"] for c in json.loads(run_command(*args, "--dry-run", "--json", root=console.root)
                                                      .stdout)["changes"]})
    before = {event: settings(console.root, event) for event in events}

    open_plan(browser, lambda: browser.find_element(By.CSS_SELECTOR, selector).find_element(By.XPATH, "..").click())
    rows = plan_rows(browser)
    if selector.startswith('[data-group'):
        shot(browser, "plan-dialog")
    if cancel == "escape":
        browser.switch_to.active_element.send_keys(Keys.ESCAPE)
    else:
        browser.find_element(By.ID, "plan-cancel").click()
    wait(browser, lambda d: not d.find_element(By.ID, "plan").is_displayed())
    assert snapshot(console.root) == tree

    open_plan(browser, lambda: browser.find_element(By.CSS_SELECTOR, selector).send_keys(Keys.SPACE))
    assert plan_rows(browser) == rows
    apply_plan(browser)
    # Exactly what the plan showed changed, and the listing shows it.
    done = {(event, parameter): (b, a) for event in events
            for (_, parameter), (b, a) in changed_settings(before[event], settings(console.root, event)).items()}
    assert {(row[0].split("\n")[1], row[1]): row[3] for row in rows} == \
        {key: json.dumps(a, indent=1) for key, (_, a) in done.items()}
    assert [{k: g[k] for k in ("id", "name", "events")} for g in page_listing(browser)] == listing(console.root)
    assert "Restart of syslog-ng and auditd skipped" in browser.find_element(By.ID, "result").text
    assert browser.switch_to.active_element == browser.find_element(By.CSS_SELECTOR, selector)  # keyboard focus kept


def test_facility_change_and_a_plan_with_nothing_to_change(browser, console):
    open_page(browser, console)
    select_event(browser, "file-opened")
    Select(browser.find_element(By.ID, "facility")).select_by_value("local3")
    open_plan(browser, lambda: browser.find_element(By.ID, "facility-change").click())
    assert plan_rows(browser) == [["File opened\nfile-opened", "message-syslog-facility", '"local5"', '"local3"']]
    apply_plan(browser)
    assert settings(console.root, "file-opened")["message-syslog-facility"] == "local3"
    # The same value again: the plan says so and offers no Apply.
    tree = snapshot(console.root)
    open_plan(browser, lambda: browser.find_element(By.ID, "facility-change").click())
    assert browser.find_element(By.CSS_SELECTOR, "#plan-body .nothing").is_displayed()
    assert not browser.find_element(By.ID, "plan-apply").is_displayed()
    browser.find_element(By.ID, "plan-cancel").send_keys(Keys.ENTER)
    assert snapshot(console.root) == tree


@pytest.mark.parametrize("path", ["relative/path", ""])
def test_invalid_path_is_refused_inline(browser, console, path):
    refused = run_command("set-properties", "audit", "paths", json.dumps([path]), "-e", "modifying-file", "--dry-run",
                          root=console.root)
    assert refused.returncode == 1
    open_page(browser, console)
    tree = snapshot(console.root)
    select_event(browser, "modifying-file")
    field = browser.find_element(By.CSS_SELECTOR, "#paths input")
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys(Keys.DELETE, path)
    error = wait(browser, lambda d: d.find_element(By.ID, "paths-error").is_displayed()
                 and d.find_element(By.ID, "paths-error"))
    assert error.text == refused.stderr.strip().splitlines()[-1]
    assert field.get_attribute("aria-invalid") == "true" and not browser.find_element(By.ID, "paths-change").is_enabled()
    if path:
        browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", error)
        shot(browser, "invalid-path")
    assert snapshot(console.root) == tree


# ---- Export and import ---------------------------------------------------


def _archive(path, members):
    with tarfile.open(path, "w:gz") as tar:
        for name, body in members.items():
            info = tarfile.TarInfo(name)
            info.size = len(body)
            tar.addfile(info, io.BytesIO(body))
    return path


def upload(driver, path):
    driver.find_element(By.ID, "import-file").send_keys(str(path))


@pytest.mark.parametrize("language", ["en", "ru"])  # the text plan is translated; its JSON is not
def test_export_then_import_plan_and_apply(browser, console, base, language):
    run_command("set-facility", "local3", "-g", "sessions", root=console.root)
    changed = snapshot(console.root / "etc")
    open_page(browser, console, language=language)
    browser.find_element(By.ID, "export").click()
    archive = browser.downloads / "zelta-config.tar.gz"
    wait(browser, lambda d: archive.exists() and archive.stat().st_size > 0)
    with tarfile.open(archive) as tar:
        assert "zelta-config/etc/zelta-syslog.conf" in tar.getnames()

    console.reset()
    upload(browser, archive)
    wait(browser, lambda d: d.find_element(By.ID, "plan").is_displayed())
    files = browser.find_elements(By.CSS_SELECTOR, "#plan-body .file")
    assert [f.text for f in files] == [str(console.root / "etc" / "zelta-syslog.conf")]
    diff = browser.find_element(By.CSS_SELECTOR, "#plan-body .diff").text.splitlines()
    assert '+    "message-syslog-facility": "local3"' in diff
    shot(browser, "import-plan")
    apply_plan(browser)
    assert snapshot(console.root / "etc") == changed
    archive.unlink()


@pytest.mark.parametrize("members, line", [
    ({"x/etc/zelta-syslog.conf": b"[]"}, "is not a JSON object"),
    (None, "Error importing configuration"),  # damaged: the first half of an archive
])
def test_refused_archive_changes_nothing(browser, console, base, members, line):
    path = base / "hostile.tar.gz"
    if members is None:
        data = gzip.compress(b"\x00" * 512 + b"nonsense" * 200)
        path.write_bytes(data[:len(data) // 2])
    else:
        _archive(path, members)
    expected = run_command("import", path, "--dry-run", "--json", root=console.root)
    assert expected.returncode == 1
    tree = snapshot(console.root)
    open_page(browser, console)
    upload(browser, path)
    alert = wait(browser, lambda d: d.find_element(By.CSS_SELECTOR, "#alerts .alert-danger"))
    own = (expected.stderr.strip().splitlines() or [json.loads(expected.stdout)["error"]])[-1]
    assert alert.text.splitlines()[0] == own and line in own
    assert not browser.find_element(By.ID, "plan").is_displayed() and snapshot(console.root) == tree


# ---- Other consoles: a failing restart, no administrative access, no command --


@pytest.mark.parametrize("status", [0, 3])
def test_daemon_restart_outcome(browser, consoles, status):
    console = consoles(f"restart{status}", rooted=False, systemctl_status=status)
    open_page(browser, console)
    open_plan(browser, lambda: browser.find_element(By.CSS_SELECTOR, '[data-event-switch="usb-device-removed"]')
              .find_element(By.XPATH, "..").click())
    apply_plan(browser)
    result = browser.find_element(By.ID, "result").text
    assert console.systemctl_log.read_text() == "restart syslog-ng.service\nrestart auditd\n"
    assert [e["enabled"] for g in page_listing(browser) for e in g["events"] if e["id"] == "usb-device-removed"] == [True]
    if status == 0:
        assert "The logging and audit daemons were restarted." in result
        assert not browser.find_elements(By.CSS_SELECTOR, "#alerts .alert-danger")
        return
    alerts = wait(browser, lambda d: d.find_elements(By.CSS_SELECTOR, "#alerts .alert-danger .alert-text"))
    assert [alert.text for alert in alerts] == [f"zelta-admin-events: Restart of {unit} failed with exit status 3"
                                                for unit in ("syslog-ng.service", "auditd")]
    assert "were restarted" not in result
    shot(browser, "restart-failed")


def test_without_administrative_access_the_page_reads_only(browser, consoles):
    console = consoles("reader", admin=False)
    open_page(browser, console)
    wait(browser, lambda d: d.find_element(By.ID, "banner").is_displayed())
    assert browser.find_element(By.ID, "banner").text == "Administrative access is needed to change events."
    assert [{k: g[k] for k in ("id", "name", "events")} for g in page_listing(browser)] == listing(console.root)
    switches = browser.find_elements(By.CSS_SELECTOR, "#listing input[role=switch]")
    assert switches and not any(s.is_enabled() for s in switches)
    assert not browser.find_element(By.ID, "import").is_enabled()
    select_event(browser, "file-opened")
    assert not any(c.is_enabled() for c in browser.find_elements(By.CSS_SELECTOR, "#details .admin-only"))
    shot(browser, "read-only")


def test_host_without_the_command_names_the_package(browser, consoles):
    console = consoles("bare", command=False)
    open_page(browser, console)
    assert "python3-zelta-admin-events" in browser.find_element(By.CSS_SELECTOR, ".empty-state").text


# ---- Language and theme --------------------------------------------------


def russian(console):
    """The environment in which the command speaks Russian, as the page has it."""
    return {"LANGUAGE": "ru", "LC_ALL": "ru_RU.UTF-8", "LOCPATH": str(console.base / "locale")}


def test_in_the_console_with_its_menu_entry(base, console):
    if not pathlib.Path("/usr/share/cockpit/shell").is_dir():
        if os.environ.get("CI") == "true":
            pytest.fail("cockpit-system (the console's shell) is not installed")
        pytest.skip("cockpit-system (the console's shell) is not installed")
    with start_browser(base) as shell:  # a browser of its own: the shell keeps state of its own
        shell.get(console.url + "/cockpit/@localhost/manifests.json")
        shell.add_cookie({"name": "CockpitLang", "value": "ru", "path": "/"})
        shell.get(console.url + "/zelta-admin-events")
        page = "iframe[name='cockpit1:localhost/zelta-admin-events']"
        frame = wait(shell, lambda d: d.find_element(By.CSS_SELECTOR, page))
        assert "События безопасности" in shell.find_element(By.TAG_NAME, "nav").text
        shell.switch_to.frame(frame)
        wait(shell, lambda d: d.find_element(By.ID, "app").get_attribute("data-ready") == "true")
        assert [{k: g[k] for k in ("id", "name", "events")} for g in page_listing(shell)] == \
            listing(console.root, russian(console))
        shell.switch_to.default_content()
        shot(shell, "in-console-ru")


def test_russian_page_and_dark_theme(browser, console):
    open_page(browser, console, language="ru", style="dark")
    assert [{k: g[k] for k in ("id", "name", "events")} for g in page_listing(browser)] == \
        listing(console.root, russian(console))
    assert browser.find_element(By.TAG_NAME, "h1").text == "События безопасности"
    assert "dark" in browser.find_element(By.TAG_NAME, "html").get_attribute("class")
    shot(browser, "listing-dark-ru")
    select_event(browser, "file-opened")
    labels = [e.text for e in browser.find_elements(By.CSS_SELECTOR, "#settings-tree .section-label")]
    assert "Наблюдение через подсистему аудита" in labels
    shot(browser, "settings-dark-ru")
    Select(browser.find_element(By.ID, "priority")).select_by_value("warning")
    open_plan(browser, lambda: browser.find_element(By.ID, "priority-change").click())
    assert plan_rows(browser) == [["Открытие файла\nfile-opened", "message-syslog-priority", '"info"', '"warning"']]
    assert browser.find_element(By.CSS_SELECTOR, "#plan-body p").text == "Изменится 1 параметр:"  # plural form
    assert [browser.find_element(By.ID, b).text for b in ("plan-apply", "plan-cancel")] == ["Применить", "Отмена"]
    shot(browser, "plan-dark-ru")
    browser.find_element(By.ID, "plan-cancel").click()
