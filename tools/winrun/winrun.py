"""Runs the real flashfile.exe under Wine against modemsim on a pseudo-terminal.

A WineRun is a harness.Run (tools/harness) whose program is the Windows one:
a private clone of the Wine prefix; modemsim behind COM3; Xvfb (or the
user's display); the program's debug output and message boxes read from
Wine's debug channels; boxes answered by their caption; screenshots or other
actions when given traces appear. scripts/demo and the end-to-end tests
(tests/e2e) are built on it.
"""

import os
import queue
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from harness import Failure, Run  # noqa: E402

WINE_ENV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine-env.sh")
# What wine-env.sh decides once: which Wine runs the program, and its server.
WINE_VARS = ("WINE_ENV_BITS", "WINE_ENV_WHY", "WINELOADER", "WINESERVER", "WINEARCH")
MAIN_TITLE = "Quillmarch Flash Loader 1.4f"
DIALOG_TITLE = "Choose File to Download"


# ---- Wine's debug channel output -------------------------------------------

_TRACE_RE = re.compile(r'^[0-9a-f]+:[a-z]+:debugstr:OutputDebugStringA "(.*)"(\.\.\.)?$')
_BOX_RE = re.compile(r'^[0-9a-f]+:[a-z]+:msgbox:MSGBOX_OnInit L"(.*)"(\.\.\.)?$')


def _unescape(s, width):
    """Undoes Wine's debugstr escaping (\\xNN in narrow, \\xNNNN in wide texts)."""
    out = []
    i = 0
    while i < len(s):
        c = s[i]
        if c != "\\" or i + 1 >= len(s):
            out.append(c)
            i += 1
            continue
        n = s[i + 1]
        if n == "x":
            out.append(chr(int(s[i + 2:i + 2 + width], 16)))
            i += 2 + width
            continue
        out.append({"n": "\n", "r": "\r", "t": "\t"}.get(n, n))
        i += 2
    return "".join(out)


def parse_wine_line(line):
    """('out', text) for a debug output, ('box', text) for a message box, else None."""
    m = _TRACE_RE.match(line)
    if m:
        return ("out", _unescape(m.group(1), 2))
    m = _BOX_RE.match(line)
    if m:
        return ("box", _unescape(m.group(1), 4))
    return None


def _ere_escape(s):
    return re.sub(r'([.\[\]()*+?{}|^$\\])', r'\\\1', s)


class WineRun(Run):
    program_name = "flashfile.exe"

    def __init__(self, name, exe, modemsim, out_dir, display=None, keep_prefix=False, log=None,
                 desktop=None):
        super().__init__(name, exe, modemsim, out_dir, log=log)
        self.prefix = os.path.join(self.work, "prefix")
        self.user_display = display
        self.keep_prefix = keep_prefix
        self.env = dict(os.environ)
        # The shared base prefix comes from wine-env.sh (or the caller's WINEPREFIX);
        # this run works in a private clone of it.
        self.base_env = dict(self.env)
        self.env["WINEPREFIX"] = self.prefix
        self.env.pop("WINEDEBUG", None)
        self.xvfb_pid = None
        self.wine = None
        self.answered = set()
        # "NAME,WxH": the program runs in a Wine desktop of that size, which
        # draws the windows' frames and titles as Windows does.
        self.desktop = desktop

    def win_path(self, name):
        return "Z:" + self.path(name).replace("/", "\\")

    def program_path(self, name):
        """A file of the program's folder as the program names it."""
        return self.win_path(name)

    def expected_exit(self, linux_status):
        """The Windows program always ends with 0."""
        return 0

    def _bash(self, script, *args, env=None):
        r = subprocess.run(["bash", "-c", '. "$0"; ' + script, WINE_ENV] + list(args),
                           env=env or self.env, capture_output=True, text=True)
        if r.returncode != 0:
            raise Failure("wine-env: %s: %s" % (script, r.stderr.strip()))
        return r.stdout.strip()

    def prepare(self, ports):
        self.prepare_wine(ports)

    def prepare_wine(self, ports):
        """ports: {'COM3': path, ...}. A private prefix so ports never clash with other runs."""
        values = self._bash('printf "%s\\n" ' + " ".join('"$%s"' % v for v in WINE_VARS),
                            env=self.base_env).split("\n")
        for env in (self.env, self.base_env):
            env.update(zip(WINE_VARS, values))
        self._bash('wine_private_prefix "$1"', self.prefix, env=self.base_env)
        # Wine makes dosdevices/comN from HKLM\Software\Wine\Ports when its
        # server starts; written into the registry file, no server runs for it.
        key = "[Software\\\\Wine\\\\Ports]"
        reg = os.path.join(self.prefix, "system.reg")
        text = open(reg, encoding="latin-1").read()
        if key not in text:
            text += "\n" + key + "\n"
        end = text.find("\n\n", text.index(key))
        end = len(text) if end < 0 else end
        values = "".join('\n"%s"="%s"' % (p, t) for p, t in ports.items())
        with open(reg, "w", encoding="latin-1") as f:
            f.write(text[:end] + values + text[end:])
        if self.user_display:
            self.env["DISPLAY"] = self.user_display
        else:
            out = self._bash('wine_xvfb_start && echo "$DISPLAY $WINE_XVFB_PID"')
            disp, pid = out.split()
            self.env["DISPLAY"] = disp
            self.xvfb_pid = int(pid)

    def xdo(self, *args, check=False):
        r = subprocess.run(["xdotool"] + list(args), env=self.env, capture_output=True, text=True)
        if check and r.returncode != 0:
            raise Failure("xdotool %s: %s" % (" ".join(args), r.stderr.strip()))
        return r.stdout.rstrip("\n")

    def find_window(self, title, timeout=10.0):
        end = time.time() + timeout
        pat = "^" + _ere_escape(title) + "$"
        while time.time() < end:
            ids = self.xdo("search", "--name", pat).split()
            for w in reversed(ids):
                if w not in self.answered and self.xdo("getwindowname", w) == title:
                    return w
            time.sleep(0.1)
        return None

    def window_names(self):
        names = []
        for w in self.xdo("search", "--name", ".").split():
            n = self.xdo("getwindowname", w)
            if n and n != "Default IME":
                names.append(n)
        return names

    def screenshot(self, name):
        f = os.path.join(self.art, name + ".png")
        w = None
        if self.desktop:
            w = self.find_window(self.desktop_title(), 1.0)
        elif self.user_display:
            w = self.find_window(MAIN_TITLE, 1.0)
        argv = ["import", "-window", w or "root", f]
        r = subprocess.run(argv, env=self.env, capture_output=True)
        if r.returncode == 0:
            self.shots.append(f)
        else:
            self.errors.append("screenshot %s failed" % name)

    def desktop_title(self):
        return self.desktop.split(",")[0] + " - Wine desktop"

    def close_request(self):
        """What the caption's close box does: Alt+F4 makes Wine send WM_CLOSE."""
        w = self.find_window(MAIN_TITLE, 5.0)
        if not w:
            self.errors.append("close request: no main window")
            return
        self.xdo("windowfocus", w)
        time.sleep(0.2)
        self.xdo("key", "--window", w, "alt+F4")

    def answer(self, caption, key):
        w = self.find_window(caption)
        if not w:
            return False
        self.xdo("windowfocus", w)
        time.sleep(0.1)
        self.xdo("key", "--window", w, key)
        self.events.append((time.time() - self.t0, "key", key))
        self.answered.add(w)
        return True

    def run(self, cmdline="3", boxes=(), dialog=None, triggers=(), timeout=None, cwd=None):
        """Starts `wine flashfile.exe <cmdline>` and drives it to its end.

        boxes: the message boxes expected, in order; each is answered by its key.
        dialog: a Dialog when the open-file dialog is expected.
        triggers: On(...) actions keyed on traces.
        """
        boxes = list(boxes)
        triggers = list(triggers)
        timeout = timeout or self.default_timeout
        env = dict(self.env)
        env["WINEDEBUG"] = "-all,+debugstr,+msgbox"
        desk = ["explorer", "/desktop=" + self.desktop] if self.desktop else []
        argv = [self.env["WINELOADER"]] + desk + [self.path(self.program_name)] + ([cmdline] if cmdline else [])
        self.log("[%s] %s" % (self.name, " ".join(shlex.quote(a) for a in argv)))
        self.t0 = time.time()
        self.wine = subprocess.Popen(argv, cwd=cwd or self.work, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     start_new_session=True)
        self.watch(self.wine)
        lines = queue.Queue()

        def reader():
            raw = open(os.path.join(self.art, "wine-stderr.txt"), "w", errors="replace")
            for b in self.wine.stderr:
                s = b.decode("latin-1").rstrip("\n")
                raw.write(s + "\n")
                lines.put(s)
            raw.close()
            lines.put(None)
        threading.Thread(target=reader, daemon=True).start()

        dialog_pending = dialog
        quiet_since = exited_at = None
        deadline = self.t0 + timeout
        eof = False
        while True:
            if time.time() > deadline:
                self.errors.append("the program did not end within %d s" % timeout)
                self.kill_wine()
                break
            try:
                line = lines.get(timeout=0.2)
                quiet_since = None
            except queue.Empty:
                # The program has ended and its output has been read (nothing
                # more for a second: the reader lags on a busy machine); the
                # wineserver would keep the pipe open for seconds more.
                # Quiet counts from the exit too: a program quiet for long before it
                # exits still writes its last traces on the way out.
                now = time.time()
                exited_at = exited_at or (now if self.program_ended() else None)
                quiet_since = quiet_since or now
                line = None if exited_at and now - max(quiet_since, exited_at) > 1.0 else ""
            if line is None:
                eof = True
                break
            if dialog_pending and self._events_have("FLASH: Flash init state"):
                self._do_dialog(dialog_pending)
                dialog_pending = None
            if not line:
                continue
            ev = parse_wine_line(line)
            if not ev:
                continue
            kind, text = ev
            now = time.time() - self.t0
            if kind == "out":
                if text == "\n":
                    continue
                self.traced(now, text, triggers)
            else:
                self.events.append((now, "box", text))
                self._do_box(text, boxes)
        if eof:
            try:
                self.exit_code = self.wait_program(self.wine, 30)
            except subprocess.TimeoutExpired:
                self.errors.append("wine did not exit after its output ended")
                self.kill_wine()
        self.elapsed = time.time() - self.t0
        if dialog_pending:
            self.errors.append("the open-file dialog was expected but never handled")
        return self.ended(boxes, triggers)

    def _do_dialog(self, d):
        w = self.find_window(DIALOG_TITLE, 20.0)
        if not w:
            self.errors.append("no window titled %r; windows: %r" % (DIALOG_TITLE, self.window_names()))
            return
        self.events.append((time.time() - self.t0, "dialog", DIALOG_TITLE))
        time.sleep(0.5)
        if d.shot:
            self.screenshot(d.shot)
        self.xdo("windowfocus", w)
        time.sleep(0.3)
        if d.path is None:
            self.xdo("key", "--window", w, "Escape")
        else:
            self.xdo("key", "--window", w, "ctrl+a")
            self.xdo("type", "--window", w, "--delay", "20", d.path)
            time.sleep(0.3)
            self.xdo("key", "--window", w, "Return")
        self.answered.add(w)

    def _do_box(self, text, boxes):
        if boxes and boxes[0].text == text:
            b = boxes.pop(0)
            if b.before:
                b.before(self)
            if b.shot:
                time.sleep(0.5)
                self.screenshot(b.shot)
            if not self.answer(b.caption, b.key):
                self.errors.append("box %r: no window captioned %r; windows: %r"
                                   % (text, b.caption, self.window_names()))
                self._answer_any()
            return
        want = repr(boxes[0]) if boxes else "no box"
        self.errors.append("unexpected box %r (expected %s)" % (text, want))
        self._answer_any()

    def _answer_any(self):
        """Gets rid of a box the run did not expect, so the job can end."""
        time.sleep(0.5)
        for w in self.xdo("search", "--name", ".").split():
            n = self.xdo("getwindowname", w)
            if n and n not in (MAIN_TITLE, "Default IME") and not n.endswith(" - Wine desktop") \
                    and w not in self.answered:
                self.xdo("windowfocus", w)
                self.xdo("key", "--window", w, "n")
                self.xdo("key", "--window", w, "Return")
                self.answered.add(w)

    def kill_wine(self):
        if self.wine and self.wine.poll() is None:
            try:
                os.killpg(self.wine.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.wineserver("-k")

    def wineserver(self, flag):
        subprocess.run([self.env.get("WINESERVER", "wineserver"), flag], env=self.env, capture_output=True)

    def finish(self):
        """Ends everything this run started; the modem writes its image and transcript."""
        if self.finished:
            return
        self.finished = True
        if self.wine is not None:
            if self.wine.poll() is None:
                self.kill_wine()
            self.wineserver("-k")
            self.wineserver("-w")
        self.stop_modem()
        if self.xvfb_pid:
            try:
                os.kill(self.xvfb_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            self.xvfb_pid = None
        if not self.keep_prefix:
            shutil.rmtree(self.prefix, ignore_errors=True)
