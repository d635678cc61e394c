"""The release package that scripts/package.sh writes (dist/varnix-<version>.zip,
or the zip named by VARNIX_PACKAGE): its layout, the encodings that Notepad
and regedit need, and the sample .reg. Imported into a fresh prefix, the
.reg holds exactly what a first start of Varnix writes; both packaged builds
then start on it with the defaults and write nothing back.

Run through `scripts/package.sh --test`, which builds the package first."""
import contextlib
import os
import pathlib
import re
import shutil
import zipfile

import pytest

from harness.fixtures_app import App
from harness.wine import WinePrefix

ROOT = pathlib.Path(__file__).resolve().parents[2]
KEY = r"HKLM\Software\Korva\Varnix\2.00"
NAMES = ("Port", "Bit", "Stop", "Parity", "Baud", "Delay")
# How the settings dialog shows the defaults: COM1, 8, 1, no parity, 9600, 2000.
DEFAULTS_SHOWN = ["COM1", "8", "1", "无", "9600", "2000"]
ENTRIES = ["README-zh_CN.txt", "README-en.txt", "clients.md", "clients.zh_CN.md",
           "settings-dialog.png", "advanced-settings.png",
           "examples/", "examples/send_execute.c", "examples/send_pokes.c",
           "examples/watch_results.c",
           "varnix-defaults.reg", "varnix-recommended.reg",
           "x86/", "x86/Varnix.exe", "x86/varnix-send.exe",
           "x64/", "x64/Varnix.exe", "x64/varnix-send.exe"]
# IMAGE_FILE_MACHINE_I386 and IMAGE_FILE_MACHINE_AMD64.
MACHINE = {"x86": 0x014C, "x64": 0x8664}
# The builds whose programs this machine can start: a kernel without 32-bit
# support runs only the x64 ones (scripts/wine-env.sh says so).
RUNNABLE = ("x64",) if os.environ.get("VARNIX_NO_32BIT") else ("x86", "x64")


def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\([^)]*VERSION ([0-9.]+)", text).group(1)


@pytest.fixture(scope="module")
def package():
    named = os.environ.get("VARNIX_PACKAGE")
    path = pathlib.Path(named) if named else ROOT / "dist" / f"varnix-{version()}.zip"
    if not path.is_file():
        pytest.skip(f"{path} not built: run scripts/package.sh --test")
    return path


@pytest.fixture(scope="module")
def unpacked(package, tmp_path_factory):
    dest = tmp_path_factory.mktemp("package")
    with zipfile.ZipFile(package) as z:
        z.extractall(dest)
    return dest


def pe_machine(data):
    pe = int.from_bytes(data[0x3C:0x40], "little")
    assert data[:2] == b"MZ" and data[pe:pe + 4] == b"PE\0\0"
    return int.from_bytes(data[pe + 4:pe + 6], "little")


def crlf_only(text):
    return "\n" not in text.replace("\r\n", "") and "\r" not in text.replace("\r\n", "")


# The recommended set of the capabilities: the values varnix-recommended.reg
# holds, and how the advanced settings dialog shows them (a switch as "1").
RECOMMENDED = {"Parts": 5, "Alphabet": 1, "Dialogue": 1, "Outbox": 1, "Retries": 3,
               "Watch": 60, "Receive": 10, "Report": 1}
ADVANCED = ("Parts", "Alphabet", "Dialogue", "Outbox", "Retries", "Watch", "Receive",
            "Report", "Log")


def test_layout_and_encodings(package):
    with zipfile.ZipFile(package) as z:
        assert z.namelist() == ENTRIES
        for arch, machine in MACHINE.items():
            for prog in ("Varnix.exe", "varnix-send.exe"):
                assert pe_machine(z.read(f"{arch}/{prog}")) == machine, (arch, prog)

        for guide in ("README-zh_CN.txt", "README-en.txt"):
            readme = z.read(guide)
            assert readme.startswith(b"\xef\xbb\xbf"), guide
            text = readme[3:].decode("utf-8")
            assert crlf_only(text), guide
            assert "@VERSION@" not in text and f"Varnix {version()}" in text, guide
            for key in (r"HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Korva\Varnix\2.00",
                        r"HKEY_LOCAL_MACHINE\SOFTWARE\Korva\Varnix\2.00",
                        r"HKEY_CURRENT_USER\Software\Korva\Varnix\2.00"):
                assert key in text, (guide, key)

        # The client guides as in docs/, with a BOM and CRLF line ends.
        for guide in ("clients.md", "clients.zh_CN.md"):
            data = z.read(guide)
            assert data.startswith(b"\xef\xbb\xbf"), guide
            text = data[3:].decode("utf-8")
            assert crlf_only(text), guide
            assert text.replace("\r\n", "\n") == (ROOT / "docs" / guide).read_text(), guide

        # What the guides show and link, as in docs/: the pictures byte for
        # byte, the examples with CRLF line ends.
        for picture in ("settings-dialog.png", "advanced-settings.png"):
            assert z.read(picture) == (ROOT / "docs" / picture).read_bytes(), picture
        for name in (n for n in ENTRIES if n.startswith("examples/") and n != "examples/"):
            text = z.read(name).decode("utf-8")
            assert crlf_only(text), name
            assert text.replace("\r\n", "\n") == (ROOT / "docs" / name).read_text(), name

        for name in ("varnix-defaults.reg", "varnix-recommended.reg"):
            reg = z.read(name)
            assert reg.startswith(b"\xff\xfe"), name
            text = reg[2:].decode("utf-16-le")
            assert crlf_only(text), name
            assert text.split("\r\n")[0] == "Windows Registry Editor Version 5.00", name
            assert "@VERSION@" not in text and f"Varnix {version()}" in text, name


def key_values(prefix, view):
    """{name: (type, data)} of the settings key in one registry view, or
    None when the key is missing."""
    code, out = prefix.reg("query", KEY, f"/reg:{view}")
    if code != 0:
        return None
    values = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2])
    return values


def run_varnix(prefix, exe, ui_exe, workdir):
    """Starts a packaged Varnix.exe with its registry calls traced, reads
    what its settings dialog shows and closes it. Returns the shown values
    and the names of the values it stored."""
    app = App(prefix, workdir, workdir)
    app.exe, app.ui_exe = exe, ui_exe
    app.no_modem()
    app.proc = prefix.start(exe, env={"WINEDEBUG": "+reg"})
    try:
        app.wait_started()
        ui = app.ui("menu:O2", "wait-com", "com-read", "com-press:cancel", "wait-com-hidden")
        shown = [ui[f"com_{f}"] for f in ("port", "bits", "stop", "parity", "baud", "delay")]
        app.ui("menu:X1", "answer:OK")
        assert app.wait_exit(20) is not None, "Varnix did not exit"
    finally:
        app.proc.kill()
    stored = re.findall(r'NtSetValueKey \([^,]*,L"([^"]*)"', app.proc.output())
    return shown, [n for n in stored if n in NAMES]


@contextlib.contextmanager
def fresh_prefix(path):
    p = WinePrefix.copy_of(os.environ["VARNIX_PREFIX_TEMPLATE"], path)
    try:
        yield p
    finally:
        p.shutdown()
        shutil.rmtree(p.path, ignore_errors=True)


def test_sample_reg_is_what_a_first_start_writes(win_build, unpacked, tmp_path):
    found = sorted(pathlib.Path(win_build).rglob("varnix-ui.exe"))
    assert found, f"varnix-ui.exe not built in {win_build}"
    ui_exe = found[0]

    # The reference: a first start of either build on an empty registry
    # stores the six defaults, and the trace sees every one of them stored.
    references = []
    for arch in RUNNABLE:
        with fresh_prefix(tmp_path / f"prefix-first-{arch}") as p:
            shown, stored = run_varnix(p, unpacked / arch / "Varnix.exe", ui_exe,
                                       tmp_path / f"first-{arch}")
            assert (shown, stored) == (DEFAULTS_SHOWN, list(NAMES)), arch
            references.append(key_values(p, 32))
    reference = references[0]
    assert sorted(reference) == sorted(NAMES) and all(r == reference for r in references)

    for importer_view in (64, 32):
        # 64: regedit or reg on 64-bit Windows; 32: their 32-bit copies
        # (SysWOW64), which see the WOW6432Node section as their own key.
        with fresh_prefix(tmp_path / f"prefix-{importer_view}") as p:
            code, out = p.reg("import", str(unpacked / "varnix-defaults.reg"),
                              f"/reg:{importer_view}")
            assert code == 0, out
            assert key_values(p, 32) == reference, importer_view
            if importer_view == 64:
                # The section that 32-bit Windows reads.
                assert key_values(p, 64) == reference
            for arch in RUNNABLE:
                shown, stored = run_varnix(p, unpacked / arch / "Varnix.exe", ui_exe,
                                           tmp_path / f"{arch}-{importer_view}")
                assert (shown, stored) == (DEFAULTS_SHOWN, []), (arch, importer_view)
            assert key_values(p, 32) == reference


def test_recommended_reg_switches_on_the_recommended_set(win_build, unpacked, tmp_path):
    found = sorted(pathlib.Path(win_build).rglob("varnix-ui.exe"))
    assert found, f"varnix-ui.exe not built in {win_build}"
    ui_exe = found[0]
    wanted = {n: ("REG_DWORD", hex(v)) for n, v in RECOMMENDED.items()}

    for importer_view in (64, 32):
        with fresh_prefix(tmp_path / f"prefix-rec-{importer_view}") as p:
            code, out = p.reg("import", str(unpacked / "varnix-recommended.reg"),
                              f"/reg:{importer_view}")
            assert code == 0, out
            # Only the eight: the six line settings are not touched.
            assert key_values(p, 32) == wanted, importer_view
            if importer_view == 64:
                assert key_values(p, 64) == wanted
                continue
            for arch in RUNNABLE:
                app = App(p, tmp_path, tmp_path / f"rec-{arch}")
                app.exe, app.ui_exe = unpacked / arch / "Varnix.exe", ui_exe
                app.no_modem()
                app.start()
                try:
                    app.wait_started()
                    ui = app.ui("menu:O3", "wait-adv", "adv-read", "adv-press:cancel",
                                "wait-adv-hidden")
                    shown = {n: ui["adv_" + n] for n in ADVANCED}
                    app.ui("menu:X1", "answer:OK")
                    assert app.wait_exit(20) is not None, "Varnix did not exit"
                finally:
                    app.proc.kill()
                assert shown == {**{n: str(v) for n, v in RECOMMENDED.items()}, "Log": "0"}, arch
                # The first start added the six defaults beside them, nothing else.
                stored = key_values(p, 32)
                assert sorted(stored) == sorted(NAMES + tuple(RECOMMENDED)), arch
                assert {n: stored[n] for n in RECOMMENDED} == wanted, arch
