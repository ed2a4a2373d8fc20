"""Runs the native Linux flashfile against modemsim, as a technician would in
a terminal.

A NativeRun is a harness.Run (tools/harness: the program's folder and files,
modemsim, the events, the modem's transcript and flash, the Checker), the
sibling of winrun's WineRun, whose program is the
Linux one: its standard input and output are a pseudo-terminal that is its
controlling terminal, so questions are typed (y, n, Enter), the load file is
typed at its prompt and a close request is a real Ctrl-C; --trace gives the
debug trace on standard error. The message boxes are read from the records
the program prints (box:, warning:, question:), between the redraws of the
status lines, and each is checked for its caption as well as its text.
The run ends with the program's exit status (0 completed, 1 failed, 3
stopped by the user, 4 either after the flash was given work). Without a
terminal (terminal=False) standard input is empty and standard output a
pipe; lines on standard error that begin "flashfile: " are its error lines
(events 'error'), and the records file: and stopped: are events too.

    tmux_run()  the same job in a real terminal emulator (tmux), with
                snapshots of its screen taken while it runs
"""

import fcntl
import os
import pty
import re
import select
import shlex
import signal
import struct
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from harness import Failure, Run  # noqa: E402

CSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")
_Q = r'"((?:[^"\\]|\\.)*)"'
RECORD = re.compile(r"^(box|warning|question): %s %s$" % (_Q, _Q))
_ESCAPE = re.compile(r"\\(x[0-9A-Fa-f]{2}|.)")
QUESTION_PROMPT = "y/n, Enter = no: "
FILE_PROMPT = re.compile(r"^Load file \[.*\]: $")
KEYS = {"y": "y\n", "n": "n\n", "Return": "\n", "ctrl-c": "\x03"}


def unescape(s):
    """Undoes the program's escapes (\\\\ \\" \\n \\r \\t \\xNN)."""
    def one(m):
        e = m.group(1)
        if len(e) == 3 and e[0] == "x":
            return chr(int(e[1:], 16))
        return {"n": "\n", "r": "\r", "t": "\t"}.get(e, e)
    return _ESCAPE.sub(one, s)


def screen_text(raw):
    """What a terminal line shows: escapes dropped, only what follows the last CR."""
    s = CSI.sub("", raw).rstrip("\r")
    return s[s.rfind("\r") + 1:]


class NativeRun(Run):
    program_name = "flashfile"

    def __init__(self, name, program, modemsim, out_dir, log=None):
        super().__init__(name, program, modemsim, out_dir, log=log)
        self.ports = {}
        self.proc = None
        self.master = None
        self.key_due = None  # what to type at the next question prompt
        self.file_due = None

    def program_path(self, name):
        return self.path(name)

    def expected_exit(self, linux_status):
        return linux_status

    def prepare(self, ports):
        """ports: {'COM3': device, ...}: given to the program in flashfile.ini's
        [Ports], or without a settings file as --port (one port only)."""
        self.ports = dict(ports)

    def _argv(self, cmdline, args):
        argv = [self.path(self.program_name), "--dir", self.app] + list(args)
        ini = self.path("flashfile.ini")
        if os.path.exists(ini):
            with open(ini, "a", newline="") as f:
                f.write("[Ports]\r\n" + "".join("%s=%s\r\n" % kv for kv in self.ports.items()))
            return argv + ([cmdline] if cmdline else [])
        if len(self.ports) != 1:
            raise Failure("without flashfile.ini only one port can be named (--port)")
        return argv + ["--port", list(self.ports.values())[0]]

    # -- one job --
    def run(self, cmdline="3", boxes=(), dialog=None, triggers=(), timeout=None, args=("--trace",),
            terminal=True, nohup=False, env=None):
        """Starts the program on a new terminal (or none) and drives it to its
        end; boxes, dialog and triggers as for the Wine run; nohup: SIGHUP
        ignored from the start; env: more of the environment."""
        boxes, triggers = list(boxes), list(triggers)
        timeout = timeout or self.default_timeout
        argv = self._argv(cmdline, args)
        self.log("[%s] %s" % (self.name, " ".join(shlex.quote(a) for a in argv)))
        self.file_due = dialog
        slave = None
        if terminal:
            self.master, slave = pty.openpty()
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))

        def child():
            if nohup:
                signal.signal(signal.SIGHUP, signal.SIG_IGN)
            if terminal:  # Ctrl-C typed there reaches the program as from a keyboard
                fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        self.t0 = time.time()
        self.proc = subprocess.Popen(argv, cwd=self.work, stdin=slave or subprocess.DEVNULL,
                                     stdout=slave or subprocess.PIPE, stderr=subprocess.PIPE,
                                     start_new_session=True, preexec_fn=child,
                                     env=dict(os.environ, **(env or {})))
        self.watch(self.proc)
        if terminal:
            os.close(slave)
        else:
            self.master = self.proc.stdout.fileno()
        streams = {self.master: "tty", self.proc.stderr.fileno(): "trace"}
        pending = {"tty": b"", "trace": b""}
        with open(os.path.join(self.art, "terminal.txt"), "wb") as screen:
            deadline = self.t0 + timeout
            while streams:
                if time.time() > deadline:
                    self.errors.append("the program did not end within %d s" % timeout)
                    self.kill_program()
                    deadline = float("inf")
                ready, _, _ = select.select(list(streams), [], [], 0.2)
                for fd in ready:
                    try:
                        data = os.read(fd, 65536)
                    except OSError:  # EIO: nobody has the terminal open any more
                        data = b""
                    kind = streams[fd]
                    if not data:
                        del streams[fd]
                        continue
                    if kind == "tty":
                        screen.write(data)
                    lines = (pending[kind] + data).split(b"\n")
                    pending[kind] = lines.pop()
                    for raw in lines:
                        self._line(kind, raw.decode("latin-1"), boxes, triggers)
                    if kind == "tty":
                        self._prompt(screen_text(pending["tty"].decode("latin-1")))
        try:
            self.exit_code = self.wait_program(self.proc, 30)
        except subprocess.TimeoutExpired:
            self.errors.append("the program did not exit after its output ended")
            self.kill_program()
        if terminal:
            os.close(self.master)
        else:
            self.proc.stdout.close()
        self.proc.stderr.close()
        self.elapsed = time.time() - self.t0
        if self.file_due:
            self.errors.append("the load file prompt was expected but never came")
        return self.ended(boxes, triggers)

    def _line(self, kind, raw, boxes, triggers):
        now = time.time() - self.t0
        if kind == "trace":
            if raw.startswith("flashfile: "):
                self.events.append((now, "error", raw[11:]))
            else:
                self.traced(now, unescape(raw), triggers)
            return
        text = screen_text(raw)
        for record in ("answer", "file", "stopped"):
            if text.startswith(record + ": "):
                self.events.append((now, record, text[len(record) + 2:]))
        m = RECORD.match(text)
        if m:
            self.events.append((now, "box", unescape(m.group(3))))
            self._do_box(m.group(1), unescape(m.group(2)), unescape(m.group(3)), boxes)

    def _do_box(self, kind, caption, text, boxes):
        if not boxes or boxes[0].text != text:
            self.errors.append("unexpected %s %r (expected %s)" % (kind, text, repr(boxes[0]) if boxes else "no box"))
            self.key_due = "n\n" if kind == "question" else None
            return
        b = boxes.pop(0)
        if caption != b.caption:
            self.errors.append("box %r: caption %r, wanted %r" % (text, caption, b.caption))
        if (kind == "question") != (b.key != "Return"):
            self.errors.append("box %r came as a %s" % (text, kind))
        if b.before:
            b.before(self)
        self.key_due = KEYS[b.key] if kind == "question" else None

    def _prompt(self, shown):
        """Types the answer once the program asks on the terminal."""
        if shown.endswith(QUESTION_PROMPT) and self.key_due:
            self.type(self.key_due)
            self.events.append((time.time() - self.t0, "key", self.key_due.strip() or "Return"))
            self.key_due = None
        elif FILE_PROMPT.match(shown):
            self.events.append((time.time() - self.t0, "dialog", shown))
            if not self.file_due:
                self.errors.append("the program asked for the load file unexpectedly")
            path = self.file_due.path if self.file_due else None
            self.type("\x04" if path is None else path + "\n")  # Ctrl-D cancels
            self.file_due = None

    def type(self, keys):
        os.write(self.master, keys.encode("latin-1"))

    def close_request(self):
        """Ctrl-C on the program's terminal."""
        self.type("\x03")

    def terminate(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)

    def screenshot(self, name):
        pass

    def kill_program(self):
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def finish(self):
        if self.finished:
            return
        self.finished = True
        self.kill_program()
        # What the program wrote last (the record in flight, "Y") is still on
        # the paced line when it exits: the cable stays in while it crosses.
        time.sleep(0.5)
        self.stop_modem()

    # -- the same job in tmux --
    def tmux_run(self, cmdline="3", args=(), every=None, timeout=None, size=(100, 24)):
        """Runs the program in a detached tmux session: a real terminal
        emulator with a screen. `every(screen)` sees each capture of the
        screen (a list of its rows) while the program runs. Returns the
        exit status."""
        argv = self._argv(cmdline, args)
        status = os.path.join(self.work, "status")
        sock = os.path.join(self.work, "tmux.sock")
        tmux = ["tmux", "-S", sock]
        inner = "%s; echo $? > %s" % (" ".join(shlex.quote(a) for a in argv), shlex.quote(status))
        env = dict(os.environ, TERM="xterm")
        self.log("[%s] in tmux: %s" % (self.name, inner))
        self.t0 = time.time()
        subprocess.run(tmux + ["-f", "/dev/null", "new-session", "-d", "-x", str(size[0]), "-y", str(size[1]),
                               "-c", self.work, inner], env=env, check=True)
        deadline = self.t0 + (timeout or self.default_timeout)
        try:
            while not os.path.exists(status) and time.time() < deadline:
                shown = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True).stdout
                if every and shown:
                    every(shown.split("\n"))
                time.sleep(0.1)
        finally:
            subprocess.run(tmux + ["kill-server"], capture_output=True)
        self.elapsed = time.time() - self.t0
        try:
            self.exit_code = int(open(status).read())
        except (OSError, ValueError):
            self.errors.append("the program did not end within the time")
        self.finish()
        return self.exit_code
