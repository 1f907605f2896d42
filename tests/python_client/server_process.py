"""The real server binary on a temporary socket, store, registry and data folder.

It must never hang or outlive the run: ready is when it prints its ready line (the socket file
appears before it listens), it runs in a process group of its own that is killed on every way
out, and it dies with the test process through the parent-death signal.
"""
import ctypes
import os
import signal
import subprocess
import tempfile
import time

READY_LINE = "kelvarin ready"
# Bounds a server that never gets ready on a loaded machine; not a measure of anything.
START_LIMIT_SECONDS = 60
PR_SET_PDEATHSIG = 1


def _child_setup():
    os.setpgid(0, 0)
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class ServerProcess:
    def __init__(self):
        self.binary = os.environ.get("KELVARIN_BINARY", "")
        self._tmp = tempfile.TemporaryDirectory(prefix="kelvarin-py-")
        self.dir = self._tmp.name
        self.socket = os.path.join(self.dir, "bus")
        self.store = os.path.join(self.dir, "store")
        self.output_file = os.path.join(self.dir, "server.out")
        self.proc = None

    def env(self):
        env = dict(os.environ)
        env.pop("NOTIFY_SOCKET", None)
        env.pop("KELVARIN_SOCKET", None)
        env["KELVARIN_REGISTRY_DIR"] = os.path.join(self.dir, "reg")
        env["KELVARIN_PROGRAMDATA"] = os.path.join(self.dir, "data")
        env["MORVANE_CALC_BASE"] = self.store
        return env

    def output(self):
        try:
            with open(self.output_file, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def start(self):
        with open(self.output_file, "wb") as out:
            self.proc = subprocess.Popen([self.binary, "--socket", self.socket], stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT, env=self.env(),
                                         preexec_fn=_child_setup, close_fds=True)
        deadline = time.monotonic() + START_LIMIT_SECONDS
        while True:
            if any(line == READY_LINE for line in self.output().splitlines()):
                return
            if self.proc.poll() is not None:
                raise RuntimeError("the server ended (status %s) before it was ready:\n%s"
                                   % (self.proc.returncode, self.output()))
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the server was not ready within %d s:\n%s" % (START_LIMIT_SECONDS, self.output()))
            time.sleep(0.005)

    def stop(self):
        if self.proc is None:
            return
        try:
            if self.proc.poll() is None:
                self.proc.terminate()
                try:
                    self.proc.wait(10)
                except subprocess.TimeoutExpired:
                    pass
        finally:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            self.proc.wait()
            self.proc = None

    def close(self):
        self.stop()
        self._tmp.cleanup()
