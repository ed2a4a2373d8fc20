"""A small PC-side client for modemsim over a real pseudo-terminal: writes go
out the way the flash program writes them (16-byte chunks: the data, the
byte after it, zero padding) and waits collect replies until a token."""
import os
import select
import signal
import subprocess
import time
import tty


class Modemsim:
    def __init__(self, exe, *args, link=None):
        cmd = [exe] + list(args)
        if link:
            cmd += ["--link", link]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.proc.stdout.readline().decode().strip()
        if not line:
            err = self.proc.stderr.read().decode()
            raise RuntimeError("modemsim printed no device: " + err)
        self.device = line

    def stop(self):
        """SIGTERM; returns (exit code, stderr)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            _, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
        return self.proc.returncode, err.decode()


class Port:
    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.rx = b""

    def close(self):
        os.close(self.fd)

    def write_raw(self, data):
        view = memoryview(data)
        while view:
            n = os.write(self.fd, view)
            view = view[n:]

    def devicewrite(self, data, after=b"\0"):
        """data, then the byte that followed it in the buffer, zero padding to 16."""
        total = (len(data) + 15) // 16 * 16
        buf = (data + after).ljust(total, b"\0")[:total]
        self.write_raw(buf)

    def command(self, text):
        self.devicewrite(text.encode() + b"\r")

    def line(self, text, ended_by=b"\n"):
        self.devicewrite(text.encode() + b"\r", ended_by)

    def wait(self, token, timeout):
        """Collects from an empty buffer until token arrives; True when it did."""
        self.rx = b""
        token = token.encode()
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return False
            r, _, _ = select.select([self.fd], [], [], left)
            if r:
                self.rx += os.read(self.fd, 4096)
                if token in self.rx:
                    return True

    def listen(self, secs):
        self.rx = b""
        end = time.monotonic() + secs
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return self.rx
            r, _, _ = select.select([self.fd], [], [], left)
            if r:
                self.rx += os.read(self.fd, 4096)


def text_lines(path):
    data = open(path, "rb").read().replace(b"\r\n", b"\n").decode("ascii")
    lines = data.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines
