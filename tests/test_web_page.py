"""The search page in a real browser, against the real server: results as you type, the file
view, the keyboard, Back, and server text kept as text."""

from __future__ import annotations

import os
import re
import shutil
import socket
import subprocess
import sys
import time

import httpx
import pytest

from vorpaline.server.library import Library

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.common.exceptions import NoAlertPresentException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

SERVE = [sys.executable, "-m", "vorpaline", "serve"]
TOKEN = "page-test-token"
SCREENS = "/tmp/vorpaline-screens"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"

# A real browser's run is the long suite's (make test-long, which CI runs): it takes a quarter of a
# minute of a two-core machine.
pytestmark = [pytest.mark.skipif(not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)),
                                 reason="needs chromium and chromedriver"),
              pytest.mark.skipif(os.environ.get("VORPALINE_LONG_TESTS") != "1",
                                 reason="a browser run: make test-long")]

FILES = {
    "settings/loader.py": 'import os\n\n\ndef parse_config(path):\n    """Reads the settings file at path."""\n'
                          "    with open(path) as handle:\n        return handle.read()\n",
    "web/page.html": '<p>welcome</p>\n<script>alert("owned")</script>\n',
    "README.md": "# Demo\n\nA small repository for the page's tests.\n",
}


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    repo = tmp_path_factory.mktemp("repo")
    for path, text in FILES.items():
        (repo / path).parent.mkdir(parents=True, exist_ok=True)
        (repo / path).write_text(text)
    subprocess.run(["git", "init", "-q", str(repo)], check=True)
    Library.open([repo]).update()
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    process = subprocess.Popen(SERVE + [str(repo), "--port", str(port), "--no-watch", "--token", TOKEN],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    base = f"http://127.0.0.1:{port}"
    try:
        _wait_healthy(base, process)
        yield base
    finally:
        process.terminate()
        process.wait(10)


def _wait_healthy(base: str, process: subprocess.Popen) -> None:
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if process.poll() is not None:
            pytest.fail(f"the server stopped: {process.stderr.read().decode(errors='replace')}")
        try:
            if httpx.get(f"{base}/api/health", headers={"Authorization": f"Bearer {TOKEN}"}).status_code == 200:
                return
        except httpx.TransportError:
            pass
        time.sleep(0.1)
    pytest.fail("the server did not answer /api/health")


@pytest.fixture(scope="module")
def browser(server):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1100,800"):
        options.add_argument(argument)
    # The suite may run under a sanitizer's preload, which the browser must not inherit.
    clean = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=clean), options=options)
    driver.get(f"{server}/#token={TOKEN}")
    yield driver
    driver.quit()


def wait_for(driver, css: str, visible: bool = True):
    def found(_):
        shown = [e for e in driver.find_elements(By.CSS_SELECTOR, css) if e.is_displayed() or not visible]
        return shown or False
    # The page redraws as answers come: an element found a moment ago may be gone, so look again.
    return WebDriverWait(driver, 5, ignored_exceptions=[StaleElementReferenceException]).until(found)


def search_for(driver, query: str) -> None:
    box = driver.find_element(By.ID, "query")
    box.clear()
    box.send_keys(query)
    WebDriverWait(driver, 5, ignored_exceptions=[StaleElementReferenceException]).until(
        lambda _: " in " in driver.find_element(By.ID, "summary").text)


def test_the_token_leaves_the_address_and_still_answers(browser):
    assert "token" not in browser.current_url
    search_for(browser, "parse_config")
    assert "401" not in browser.find_element(By.ID, "results").text


@pytest.mark.parametrize("query, link, marked", [
    ("parse_config", "settings/loader.py:4", {"parse_config"}),
    ("PARSE config", "settings/loader.py:4", {"parse", "config"}),
    ("settings file", "settings/loader.py:5", {"settings", "file"}),
])
def test_a_typed_query_shows_its_hit_with_the_words_marked(browser, query, link, marked):
    search_for(browser, query)
    assert link in [e.text for e in wait_for(browser, ".hit-link")]
    hit = browser.find_element(By.XPATH, f"//article[.//a[text()='{link}']]")
    assert {e.text.lower() for e in hit.find_elements(By.TAG_NAME, "mark")} == marked
    assert [e.text for e in browser.find_elements(By.CSS_SELECTOR, ".file-heading")] == ["settings/loader.py"]
    assert [e.text for e in hit.find_elements(By.CSS_SELECTOR, ".badge")] == ["function parse_config"]
    count = len(browser.find_elements(By.CSS_SELECTOR, ".hit"))
    assert re.fullmatch(rf"{count} hits? in \d+\.\d ms", browser.find_element(By.ID, "summary").text)


def test_markup_in_a_file_shows_as_text(browser):
    search_for(browser, "alert owned")
    wait_for(browser, ".hit-link")
    assert '<script>alert("owned")</script>' in browser.find_element(By.ID, "results").text
    browser.find_element(By.CSS_SELECTOR, ".hit-link").click()
    line = wait_for(browser, "#file-lines .line.current")[0]
    assert line.text.endswith('<script>alert("owned")</script>')
    assert not browser.find_elements(By.CSS_SELECTOR, "main script")
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text
    browser.back()


def test_the_keyboard_opens_a_hit_and_back_returns_to_the_results(browser):
    os.makedirs(SCREENS, exist_ok=True)
    search_for(browser, "parse_config")
    browser.save_screenshot(f"{SCREENS}/results.png")
    browser.find_element(By.ID, "query").send_keys(Keys.ARROW_DOWN)
    assert "selected" in browser.find_element(By.CSS_SELECTOR, ".hit").get_attribute("class")
    browser.find_element(By.ID, "query").send_keys(Keys.ENTER)
    current = wait_for(browser, "#file-lines .line.current")[0]
    assert current.find_element(By.CSS_SELECTOR, ".number").text == "4"
    assert "def parse_config(path):" in current.text
    assert "#/file?" in browser.current_url and "path=settings%2Floader.py" in browser.current_url
    assert browser.find_element(By.ID, "file-title").text == "settings/loader.py"
    browser.save_screenshot(f"{SCREENS}/file.png")
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    browser.save_screenshot(f"{SCREENS}/file-dark.png")
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
    browser.back()
    wait_for(browser, "#results .hit-link")
    assert not browser.find_element(By.ID, "file-view").is_displayed()
    assert browser.find_element(By.ID, "query").get_attribute("value") == "parse_config"
    browser.find_element(By.TAG_NAME, "body").send_keys("j", Keys.ENTER)
    wait_for(browser, "#file-lines .line.current")
    browser.find_element(By.TAG_NAME, "body").send_keys(Keys.ESCAPE)
    wait_for(browser, "#results .hit-link")
    assert "#/file" not in browser.current_url


@pytest.mark.parametrize("glob, language, expected", [
    ("settings/**", "python", "settings/loader.py:4"),
    ("web/**", "", None),
    ("", "markdown", None),
])
def test_the_filters_narrow_the_hits(browser, glob, language, expected):
    browser.find_element(By.ID, "path-glob").clear()
    browser.find_element(By.ID, "path-glob").send_keys(glob)
    webdriver.support.select.Select(browser.find_element(By.ID, "language")).select_by_visible_text(language or "any language")
    search_for(browser, "parse_config")
    links = [e.text for e in browser.find_elements(By.CSS_SELECTOR, ".hit-link")]
    assert links == ([expected] if expected else [])
