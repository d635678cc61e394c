"""DDE fixtures: `dde_host` starts the DDE test host (service VarnixDdeHost)
in the test's prefix; `dde_host_factory(name=..., args=...)` starts more or
other ones (for example as Varnix.exe, or with --no-items). Every host is
killed with the prefix at the end of the test."""
import pytest

from harness.dde import DdeHost


@pytest.fixture
def dde_host_factory(prefix, win_build, tmp_path):
    def make(name="VarnixDdeHost", args=()):
        return DdeHost.start(prefix, win_build, tmp_path / "dde", name, args)
    return make


@pytest.fixture
def dde_host(dde_host_factory):
    return dde_host_factory()
