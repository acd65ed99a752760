"""The web page in a real browser, headless Chromium driven by Playwright:
it shows what another client set, refuses control without the token and
controls with it, shows a trip and clears it, and keeps its plot's history
bounded. One browser and one server for the module."""

import time

import pytest
from serving import scpi_client

pytest.importorskip("starlette", reason="the web extra is not installed: pip install 'qm4410[web]'")
sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is not installed: pip install playwright")

from web_browser import chromium  # noqa: E402

TOKEN = "the-page-s-token-for-tests"
# How long the page may take to show a change (a bound on the wait, not a
# measure of latency: bench/web.py measures that).
SHOWN_WITHIN_MS = 1000
# How long a page may take to open and settle on a busy machine.
SETTLED_MS = 15_000
WITHIN_S = 30


@pytest.fixture(scope="module")
def browser():
    with sync_api.sync_playwright() as playwright:
        browser = chromium(playwright)
        yield browser
        browser.close()


@pytest.fixture(scope="module")
def served(start_server, tmp_path_factory):
    control = tmp_path_factory.mktemp("web") / "control"
    server = start_server(
        "--sim",
        "--load",
        "10",
        "--control",
        control,
        "--trip-current",
        "1.5",
        "--http",
        "0",
        "--http-control",
        "--http-token",
        TOKEN,
    )
    assert server.http and server.http.startswith("http://127.0.0.1:"), server.log()

    def change(line):
        with open(control, "w") as pipe:
            pipe.write(line + "\n")

    server.change = change
    return server


@pytest.fixture
def page(browser, served):
    """A page of the supply, live."""
    context = browser.new_context()
    page = context.new_page()
    page.goto(served.http)
    sync_api.expect(page.locator("#link-state")).to_have_text("live", timeout=SETTLED_MS)
    yield page
    context.close()


@pytest.fixture
def scpi(visa, served):
    client = scpi_client(visa, served)
    yield client
    client.close()


def unlock(page, token):
    page.fill("#token", token)
    page.click("#unlock")


def test_the_page_shows_a_set_point_another_client_changed(page, scpi):
    for volts in ("3.210", "4.567"):
        assert scpi.query(f"VOLT {volts};*OPC?") == "1"
        sync_api.expect(page.locator("#set-voltage")).to_have_text(volts, timeout=SHOWN_WITHIN_MS)
    assert page.locator("#measured-voltage").inner_text() != "–"


def test_control_is_refused_without_the_token_and_works_with_it(page, scpi):
    scpi.write("VOLT 1")
    controls = page.locator("#voltage-input")
    assert not controls.is_visible() and page.locator("#unlock-form").is_visible()
    unlock(page, "not-the-token-at-all")
    sync_api.expect(page.locator("#message")).to_contain_text("the token is wrong", timeout=SETTLED_MS)
    sync_api.expect(page.locator("#link-state")).to_have_text("live", timeout=SETTLED_MS)
    assert not controls.is_visible()
    assert scpi.query("VOLT?") == "1.000"

    unlock(page, TOKEN)
    sync_api.expect(controls).to_be_visible(timeout=SETTLED_MS)
    controls.fill("2.5")
    controls.press("Enter")
    sync_api.expect(page.locator("#message")).to_have_text("voltage 2.5 V: done", timeout=SETTLED_MS)
    assert scpi.query("VOLT?") == "2.500"
    controls.fill("31")
    controls.press("Enter")
    # Refused in the guard's words, and nothing sent.
    sync_api.expect(page.locator("#message")).to_contain_text(
        "refused: the voltage 31.0 V is outside the supply's range, 0 to 30.000 V", timeout=SETTLED_MS
    )
    assert scpi.query("VOLT?") == "2.500"


def test_a_trip_banner_appears_on_a_short_and_the_page_clears_it(page, scpi, served):
    banner = page.locator("#trip-banner")
    assert not banner.is_visible()
    unlock(page, TOKEN)
    sync_api.expect(page.locator("#clear-trip")).to_be_attached(timeout=SETTLED_MS)
    scpi.write("VOLT 2.5;CURR 2;OUTP ON")
    served.change("load 1")  # 2 A through the short, above the 1.5 A that trips
    try:
        sync_api.expect(banner).to_be_visible(timeout=WITHIN_S * 1000)
        sync_api.expect(page.locator("#trip-reason")).to_contain_text("above 1.5 A", timeout=SETTLED_MS)
        assert page.locator("#trip-name").inner_text() == "current"
        sync_api.expect(page.locator("#trip-reason")).to_contain_text("the output is off", timeout=WITHIN_S * 1000)
        page.click("#output-on")
        sync_api.expect(page.locator("#message")).to_contain_text(
            "refused: the guard tripped on current", timeout=SETTLED_MS
        )
    finally:
        served.change("load 10")
    page.click("#clear-trip")
    sync_api.expect(banner).to_be_hidden(timeout=WITHIN_S * 1000)
    assert scpi.query("OUTP:PROT:TRIP?") == "0"
    assert "http client 127.0.0.1" in served.log() and "clears the current trip" in served.log()


def test_the_plot_keeps_a_bounded_history_however_long_the_page_stays(page):
    kept = page.evaluate(
        """async () => {
            const { Plot } = await import("./static/plot.js");
            const canvas = document.createElement("canvas");
            const plot = new Plot(canvas, [{ label: "v", unit: "V", color: "#000" }], 300, 3000);
            let t = 0;
            for (; t < 86400; t += 0.05) plot.add(t, [1]);  // a day of readings, twenty a second
            return [plot.times.length, plot.values[0].length, t - plot.times[0]];
        }"""
    )
    points, values, span = kept
    assert points == values <= 3000 and span <= 300 + 1


def test_a_page_opened_later_gets_the_plot_of_what_came_before(page, browser, served):
    time.sleep(0.5)  # a few readings since the first page opened
    later = browser.new_page()
    try:
        later.goto(served.http)
        history = later.evaluate(
            """url => new Promise((resolve, reject) => {
                const socket = new WebSocket(url);
                socket.onopen = () => socket.send(JSON.stringify({ type: "hello" }));
                socket.onmessage = (event) => { resolve(JSON.parse(event.data)); socket.close(); };
                socket.onerror = reject;
            })""",
            served.http.replace("http://", "ws://") + "ws",
        )
    finally:
        later.close()
    assert history["type"] == "hello" and history["history"], history.keys()
    times = [point[0] for point in history["history"]]
    assert times == sorted(times) and times[-1] - times[0] <= history["history_s"]
    assert all(len(point) == 4 for point in history["history"])
