"""The Win32 registry accessor (TRegistry) and the settings' load and save
on it, under Wine. The Windows side is tests/e2e/port/reg_probe.exe, which
runs the steps given on its command line and prints one line per step; the
registry is prepared and read back with Wine's own `reg`."""
import pathlib

KEY = r"HKLM\Software\Korva\Varnix\2.00"
KEY_CU = r"HKCU\Software\Korva\Varnix\2.00"
NAMES = ["Port", "Bit", "Stop", "Parity", "Baud", "Delay"]
DEFAULTS = [1, 8, 1, 0, 9600, 2000]


def exe(win_build, name):
    path = pathlib.Path(win_build) / "bin" / name
    assert path.is_file(), f"{name} not built in {win_build}"
    return path


def run_probe(prefix, win_build, *steps):
    code, out = prefix.run(exe(win_build, "reg_probe.exe"), *steps)
    lines = out.replace("\r", "").splitlines()
    assert code == 0 and lines and lines[-1] == "end", out
    return lines[:-1]


def put(prefix, key, name, kind, data):
    """Writes a value into the 32-bit view, where the program keeps its key."""
    code, out = prefix.reg("add", key, "/v", name, "/t", kind, "/d", str(data), "/f",
                           "/reg:32")
    assert code == 0, out


def stored(prefix, key=KEY, view=32):
    """The six values as REG_DWORD ints (None: missing or another type)."""
    return [prefix.reg_query_dword(key, n, view=view) for n in NAMES]


def fields(values):
    return "fields " + " ".join(map(str, values))


def test_first_start_writes_the_defaults(prefix, win_build):
    assert stored(prefix) == [None] * 6
    lines = run_probe(prefix, win_build, "open", "settings", "load", "close")
    assert lines == ["open 1", "load ok", fields(DEFAULTS)]
    assert stored(prefix) == DEFAULTS
    # In the 32-bit view only (Wow6432Node), shared by 32- and 64-bit builds.
    assert stored(prefix, view=64) == [None] * 6

    # A second start loads what is there, out-of-list values included, and a
    # save writes all six, changed or not.
    for name, value in zip(NAMES, [9, 7, 2, 1, 0, -5]):
        put(prefix, KEY, name, "REG_DWORD", value & 0xFFFFFFFF)
    lines = run_probe(prefix, win_build, "open", "settings", "load",
                      "save", 4, 8, 1, 2, 57600, 300, "close")
    assert lines == ["open 1", "load ok", fields([9, 7, 2, 1, 0, -5]), "save ok"]
    assert stored(prefix) == [4, 8, 1, 2, 57600, 300]


def test_key_without_port_is_overwritten_with_defaults(prefix, win_build):
    for name, value in [("Bit", 7), ("Stop", 2), ("Parity", 2), ("Baud", 1200),
                        ("Delay", 500)]:
        put(prefix, KEY, name, "REG_DWORD", value)
    put(prefix, KEY, "Other", "REG_SZ", "kept")
    lines = run_probe(prefix, win_build, "open", "settings", "load", "close")
    assert lines == ["open 1", "load ok", fields(DEFAULTS)]
    assert stored(prefix) == DEFAULTS


# What is stored besides five good values -> the load's error and the record.
LOAD_ERRORS = [
    # Delay missing: the first five are loaded, Delay stays 0.
    ({}, "Failed to get data for 'Delay'", [3, 7, 2, 1, 4800, 0]),
    # Baud as text of 4 bytes (UTF-16 "1" and its terminator): wrong type.
    ({"Baud": ("REG_SZ", "1"), "Delay": ("REG_DWORD", 100)},
     "Invalid data type for 'Baud'", [3, 7, 2, 1, 0, 0]),
    # Baud as longer text: the data does not fit a 32-bit integer at all.
    ({"Baud": ("REG_SZ", "9600"), "Delay": ("REG_DWORD", 100)},
     "Failed to get data for 'Baud'", [3, 7, 2, 1, 0, 0]),
    # Port present but not an integer: nothing is loaded.
    ({"Port": ("REG_SZ", "3"), "Delay": ("REG_DWORD", 100)},
     "Invalid data type for 'Port'", [0, 0, 0, 0, 0, 0]),
    # 4 bytes of binary data are not a REG_DWORD either; 8 do not fit.
    ({"Stop": ("REG_BINARY", "02000000"), "Delay": ("REG_DWORD", 100)},
     "Invalid data type for 'Stop'", [3, 7, 0, 0, 0, 0]),
    ({"Bit": ("REG_QWORD", "7"), "Delay": ("REG_DWORD", 100)},
     "Failed to get data for 'Bit'", [3, 0, 0, 0, 0, 0]),
]


def test_load_errors_name_the_value_and_keep_what_was_read(prefix, win_build):
    for i, (override, error, want) in enumerate(LOAD_ERRORS):
        key = KEY if i == 0 else rf"HKLM\Software\Korva\Varnix\Case{i}"
        values = {"Port": ("REG_DWORD", 3), "Bit": ("REG_DWORD", 7),
                  "Stop": ("REG_DWORD", 2), "Parity": ("REG_DWORD", 1),
                  "Baud": ("REG_DWORD", 4800), **override}
        for name, (kind, data) in values.items():
            put(prefix, key, name, kind, data)
        path = key.split("\\", 1)[1]
        lines = run_probe(prefix, win_build, "open", path, "load", "close")
        assert lines == ["open 1", f"load error {error}", fields(want)], (override, lines)
        # A failed load writes nothing back.
        assert prefix.reg_query_dword(key, "Delay") == values.get("Delay", (0, None))[1]


def test_accessor_operations(prefix, win_build):
    put(prefix, KEY, "Text", "REG_SZ", "abc")
    put(prefix, KEY, "Minus", "REG_DWORD", 0xFFFFFFFF)
    lines = run_probe(
        prefix, win_build,
        # no key open
        "exists", "Text", "read", "Port", "write", "Port", 5,
        # a key that does not exist is not created without permission
        "openonly", r"Software\Korva\Varnix\Absent", "write", "Port", 5,
        "open", "settings",
        "exists", "Text", "exists", "Minus", "exists", "Nothing",
        "read", "Minus", "read", "Nothing", "read", "Text",
        "write", "Fresh", 123456, "read", "Fresh",
        "close", "exists", "Text", "write", "Fresh", 1,
        # the current user's tree
        "root", "cu", "open", "settings", "write", "Port", 7, "close")
    assert lines == [
        "exists Text 0", "error Failed to get data for 'Port'",
        "error Failed to set data for 'Port'",
        "open 0", "error Failed to set data for 'Port'",
        "open 1",
        "exists Text 1", "exists Minus 1", "exists Nothing 0",
        "read Minus -1", "error Failed to get data for 'Nothing'",
        "error Failed to get data for 'Text'",  # 8 bytes of UTF-16: too long
        "write Fresh ok", "read Fresh 123456",
        "exists Text 0", "error Failed to set data for 'Fresh'",
        "open 1", "write Port ok",
    ]
    assert prefix.reg_query_dword(KEY, "Fresh") == 123456
    assert prefix.reg_query_dword(KEY, "Port") is None
    assert prefix.reg_query_dword(KEY_CU, "Port") == 7
    code, _ = prefix.reg("query", r"HKLM\Software\Korva\Varnix\Absent", "/reg:32")
    assert code != 0
