"""A Wine prefix of one test: running Windows programs in it and reading or
writing its registry."""
import os
import pathlib
import shutil
import signal
import subprocess
import time

# With wine32 installed, Debian's `wine` script starts Wine's own tools (reg,
# wineboot) with the 32-bit loader, whose HKLM\Software is the 32-bit view:
# COM port mappings would land in Wow6432Node where Wine never looks. Wine's
# tools go through the 64-bit loader; our programs through `wine`, which
# picks the loader that matches each executable.
WINE64 = "/usr/lib/wine/wine64"

_READ_ONLY_SUFFIXES = {".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm",
                       ".ax", ".tlb", ".nls", ".ttf", ".fon", ".ds", ".vxd"}


class WinePrefix:
    def __init__(self, path):
        self.path = pathlib.Path(path)
        self.env = dict(os.environ)
        self.env["WINEPREFIX"] = str(self.path)
        self.env.setdefault("WINEDEBUG", "-all")
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        self.env.setdefault("WINEARCH", "win64")
        self._procs = []
        self._n = 0

    @classmethod
    def copy_of(cls, template, dest):
        # symlinks=True keeps dosdevices/ pointing where Wine expects. The
        # prefix is over a gigabyte, nearly all of it the DLLs and programs
        # of drive_c/windows, which Wine only reads: those are hard links
        # into the template, so a test does not write a gigabyte first.
        # Everything Wine writes (the registry files, win.ini, what the
        # test creates) is a copy of its own.
        windows = pathlib.Path(template) / "drive_c" / "windows"

        def copy(src, dst):
            p = pathlib.Path(src)
            if p.suffix.lower() in _READ_ONLY_SUFFIXES and windows in p.parents:
                try:
                    os.link(src, dst)
                    return dst
                except OSError:
                    pass
            return shutil.copy2(src, dst)
        shutil.copytree(template, dest, symlinks=True, copy_function=copy)
        return cls(dest)

    def _outfile(self, tag):
        # Wine's helper processes inherit pipes and keep them open after the
        # program exits, so output always goes to a file.
        self._n += 1
        return self.path.parent / f"out-{self._n:03d}-{tag}.txt"

    def start(self, exe, *args, env=None, loader="wine"):
        """Starts a Windows program; returns a Started handle."""
        out = self._outfile(pathlib.Path(exe).stem)
        e = dict(self.env)
        if env:
            e.update(env)
        f = open(out, "wb")
        p = subprocess.Popen([loader, str(exe), *map(str, args)], env=e,
                             stdin=subprocess.DEVNULL, stdout=f,
                             stderr=subprocess.STDOUT, start_new_session=True)
        f.close()
        s = Started(p, out)
        self._procs.append(s)
        return s

    def run(self, exe, *args, timeout=60, env=None, loader="wine"):
        """Runs a Windows program to its end; returns (exit code, output).

        Now and then, in a loaded run, Wine's start.exe fails to launch the
        program at all ("ShellExecuteEx" and exit code 1), seen with reg.exe
        and with varnix-send.exe right after the gateway closed. The program
        never ran then, so it is asked once more; what a program that did
        run answers is never retried."""
        code, out = self._run_once(exe, args, timeout, env, loader)
        if code == 1 and "ShellExecuteEx" in out:
            code, out = self._run_once(exe, args, timeout, env, loader)
        return code, out

    def _run_once(self, exe, args, timeout, env, loader):
        s = self.start(exe, *args, env=env, loader=loader)
        code = s.wait(timeout)
        return code, s.output()

    def reg(self, *args, timeout=30):
        """`wine reg ...`; returns (exit code, output with CR removed)."""
        code, out = self.run("reg", *args, timeout=timeout, loader=WINE64)
        return code, out.replace("\r", "")

    def reg_query_dword(self, key, name, view=32):
        """A REG_DWORD value as int, or None when missing or of another
        type."""
        code, out = self.reg("query", key, "/v", name, f"/reg:{view}")
        if code != 0:
            return None
        for line in out.splitlines():
            parts = line.split()
            if len(parts) >= 3 and parts[0] == name and parts[1] == "REG_DWORD":
                return int(parts[2], 16)
        return None

    def wineserver_wait(self):
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)

    def shutdown(self):
        for s in self._procs:
            s.kill()
        subprocess.run(["wineserver", "-k"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30)


class Started:
    def __init__(self, popen, outpath):
        self.popen = popen
        self.outpath = outpath

    def wait(self, timeout):
        return self.popen.wait(timeout=timeout)

    def running(self):
        return self.popen.poll() is None

    def output(self):
        try:
            return self.outpath.read_bytes().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_for_output(self, needle, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if needle in self.output():
                return True
            if not self.running():
                return needle in self.output()
            time.sleep(0.02)
        return False

    def kill(self):
        if self.popen.poll() is None:
            try:
                os.killpg(self.popen.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.popen.wait(timeout=10)
