"""The browser the web page's tests drive: Playwright's own Chromium where
it was downloaded, else Debian's package chromium (Playwright cannot
download its browsers here). Without either, the tests skip, naming the
package to install; under CI, which installs it, they fail instead."""

import os

import pytest

SYSTEM_CHROMIUM = ("/usr/bin/chromium",)
MISSING = (
    "no Chromium for Playwright: install Debian's package chromium (apt-get install chromium), "
    "or Playwright's own browser (playwright install chromium)"
)


def chromium(playwright):
    """A headless Chromium launched by `playwright` (its sync API)."""
    if os.path.exists(playwright.chromium.executable_path):
        return playwright.chromium.launch()
    for path in SYSTEM_CHROMIUM:
        if os.access(path, os.X_OK):
            return playwright.chromium.launch(executable_path=path)
    if os.environ.get("CI"):
        pytest.fail(MISSING)
    pytest.skip(MISSING)
