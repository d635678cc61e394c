"""Fixtures shared by every end-to-end test: the Wine prefix per test and
the Windows builds. The display and the prefix template come from
scripts/wine-env.sh (run through scripts/test-all.sh). Further fixtures
(simulated modem, DDE client) live in harness/fixtures_*.py and are loaded
here."""
import os
import pathlib
import shutil
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness.wine import WinePrefix  # noqa: E402

pytest_plugins = sorted(
    "harness." + p.stem for p in (HERE / "harness").glob("fixtures_*.py"))


def _env_path(name):
    value = os.environ.get(name)
    if not value:
        pytest.exit(f"{name} is not set: run the end-to-end tests through "
                    "scripts/test-all.sh", returncode=2)
    return pathlib.Path(value)


@pytest.fixture(scope="session")
def win_build():
    """build/win-x64: every Windows program, the probes and the DDE test
    host among them."""
    return _env_path("VARNIX_WIN_BUILD")


# The trees whose Varnix.exe the application's tests run against. The x86
# tree holds Varnix.exe, varnix-send.exe and the test drivers (ddeclient,
# varnix-ui), so a test of the x86 build uses 32-bit programs throughout.
APP_BUILDS = {"x64": "VARNIX_WIN_BUILD", "x86": "VARNIX_WIN32_BUILD"}


@pytest.fixture(scope="session", params=sorted(APP_BUILDS))
def app_build(request):
    """The Windows tree of this run of an application test: "x64" or
    "x86", in the test's id."""
    name = APP_BUILDS[request.param]
    if not os.environ.get(name):
        pytest.skip(f"{name} is not set: no {request.param} build to test")
    return _env_path(name)


@pytest.fixture
def prefix(tmp_path):
    """A fresh copy of the template prefix, with its own wineserver, killed
    at the end of the test whatever happened."""
    template = _env_path("VARNIX_PREFIX_TEMPLATE")
    _env_path("DISPLAY")
    p = WinePrefix.copy_of(template, tmp_path / "prefix")
    try:
        yield p
    finally:
        p.shutdown()
        # A prefix is some 700 MB: fifty tests would fill a disk.
        shutil.rmtree(p.path, ignore_errors=True)
