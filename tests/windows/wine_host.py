"""Running programs under Wine for the Windows suite, the benchmark and the
sample's round trip: one environment for a prefix, bounded processes, and
the Wine paths of host files."""

import os
import subprocess
import tempfile


def windows_path(path):
    """The Wine path of a host path, through the Z: drive that maps "/"."""
    return "Z:" + path.replace("/", "\\")


def text_of(output):
    """Program output as text, with the console's CR LF line ends made LF."""
    return output.decode("utf-8", "replace").replace("\r\n", "\n")


class Wine:
    """Runs programs in the shared prefix; every process is bounded in time."""

    def __init__(self, prefix, display=None):
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "LC_ALL"):
            env.pop(name, None)
        env.update({
            "WINEPREFIX": prefix,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            "WINEDLLOVERRIDES": "mscoree=;mshtml=;winemenubuilder.exe=d;winedbg.exe=d",
        })
        if display is not None:
            env["DISPLAY"] = display
        self.env = env

    def run(self, args, extra_env=None, timeout=60):
        """Runs to exit; returns the code, standard output and standard error.

        The output goes to files rather than pipes: a process that Wine starts
        on the side (the desktop, the server) may keep an inherited pipe open
        long after the program itself has exited.
        """
        env = dict(self.env)
        env.update(extra_env or {})
        with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
            process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                                       stderr=stderr)
            try:
                code = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)
                raise
            stdout.seek(0)
            stderr.seek(0)
            return code, text_of(stdout.read()), text_of(stderr.read())

    def start(self, args, extra_env, stdout):
        """Starts a program that runs alongside, its output to the given file."""
        env = dict(self.env)
        env.update(extra_env or {})
        return subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=subprocess.DEVNULL)

    def start_server(self):
        # A server left from an earlier group may hold another display.
        self.stop_server()
        subprocess.run(["wineserver", "-p"], env=self.env, timeout=30, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
