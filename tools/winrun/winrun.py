"""Runs the real flashfile.exe under Wine against modemsim on a pseudo-terminal.

One Run is one job: a fresh folder with the program, its files and a private
Wine prefix; modemsim behind COM3; Xvfb (or the user's display); the program's
debug output and message boxes collected in order; boxes answered by their
text; screenshots or other actions when given traces appear; what the modem
received and its flash afterwards. scripts/demo and the end-to-end tests
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

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE_ENV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine-env.sh")
# What wine-env.sh decides once: which Wine runs the program, and its server.
WINE_VARS = ("WINE_ENV_BITS", "WINE_ENV_WHY", "WINELOADER", "WINESERVER", "WINEARCH")
MAIN_TITLE = "Quillmarch Flash Loader 1.4f"
DIALOG_TITLE = "Choose File to Download"


class Failure(Exception):
    pass


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


_LOG_ESCAPE = re.compile(r"\\(x[0-9A-F]{2}|[nrt])")


def read_log(path):
    """The program's log file (logfile, --log): its header line, and
    (milliseconds, kind, text) for each line after it, line ends unescaped."""
    try:
        lines = open(path, encoding="latin-1").read().split("\n")
    except OSError:
        return "", []
    unescape = lambda m: {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1)) or chr(int(m.group(1)[1:], 16))
    entries = []
    for line in lines[1:]:
        m = re.match(r"^ *(\d+) (\S+) (.*)$", line)
        if m:
            entries.append((int(m.group(1)), m.group(2), _LOG_ESCAPE.sub(unescape, m.group(3))))
    return lines[0], entries


# ---- expectations ------------------------------------------------------------

class Box:
    """A message box the run expects next: its text, caption and the key that answers it."""

    def __init__(self, text, caption, key="Return", shot=None, before=None):
        self.text, self.caption, self.key, self.shot, self.before = text, caption, key, shot, before

    def __repr__(self):
        return "Box(%r, %r)" % (self.text, self.caption)


class Dialog:
    """The open-file dialog: type `path` into it, or cancel it when path is None."""

    def __init__(self, path=None, shot=None):
        self.path, self.shot = path, shot


class On:
    """When the n-th trace matching `pattern` (a regex searched in the trace) appears, do `action(run)`."""

    def __init__(self, pattern, action, count=1):
        self.pattern, self.action, self.count = re.compile(pattern), action, count
        self.seen = 0
        self.done = False


def shot(name, delay=0.0):
    def act(run):
        if delay:
            time.sleep(delay)
        run.screenshot(name)
    return act


def close_request(run):
    run.close_request()


# ---- the run -------------------------------------------------------------------

def _ere_escape(s):
    return re.sub(r'([.\[\]()*+?{}|^$\\])', r'\\\1', s)


class Run:
    program_name = "flashfile.exe"

    def __init__(self, name, exe, modemsim, out_dir, display=None, keep_prefix=False, log=None, desktop=None):
        self.name = name
        out_dir = os.path.abspath(out_dir)
        self.exe = os.path.abspath(exe)
        self.modemsim = os.path.abspath(modemsim) if modemsim else None
        self.art = os.path.join(out_dir, "artefacts", name)
        self.work = os.path.join(out_dir, "work", name)
        self.app = os.path.join(self.work, "app")
        self.prefix = os.path.join(self.work, "prefix")
        self.user_display = display
        self.keep_prefix = keep_prefix
        self.log = log or (lambda s: print(s, flush=True))
        for d in (self.art, self.work):
            shutil.rmtree(d, ignore_errors=True)
        os.makedirs(self.app)
        os.makedirs(self.art)
        self.env = dict(os.environ)
        # The shared base prefix comes from wine-env.sh (or the caller's WINEPREFIX);
        # this run works in a private clone of it.
        self.base_env = dict(self.env)
        self.env["WINEPREFIX"] = self.prefix
        self.env.pop("WINEDEBUG", None)
        self.events = []          # (seconds since start, kind, text), kind 'trace' or 'box'
        self.shots = []
        self.errors = []
        self.modem = None
        self.modem_log = os.path.join(self.art, "modemsim.log")
        self.image = os.path.join(self.art, "flash.bin")
        self.transcript = os.path.join(self.art, "modem-transcript.txt")
        self.xvfb_pid = None
        self.wine = None
        self.exit_code = None
        self.t0 = None
        self.answered = set()
        self.finished = False
        self.elapsed = 0.0
        self.default_timeout = 240
        # "NAME,WxH": the program runs in a Wine desktop of that size, which
        # draws the windows' frames and titles as Windows does.
        self.desktop = desktop
        shutil.copy(exe, os.path.join(self.app, self.program_name))

    # -- files in the program's folder --
    def path(self, name):
        return os.path.join(self.app, name)

    def win_path(self, name):
        return "Z:" + self.path(name).replace("/", "\\")

    def program_path(self, name):
        """A file of the program's folder as the program names it."""
        return self.win_path(name)

    def expected_exit(self, linux_status):
        """The Windows program always ends with 0."""
        return 0

    def write_ini(self, keys, name="flashfile.ini"):
        lines = ["[FlashInfo]"] + ["%s=%s" % kv for kv in keys.items()]
        with open(self.path(name), "w", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")

    def make_files(self, load="modem.hex", size=4096, seed=5, checksum="1234"):
        """A load for modem type I with a resident loader of sector size 64 and
        the given checksum (srec_cat's binary of it in load.bin, beside the
        artefacts), and the flash loader kivfldr.hex, in the program's folder."""
        self.load_bin = os.path.join(self.art, "load.bin")
        self.tool([os.path.join(SOURCE_DIR, "scripts", "make-load"), "--quiet", "-o", self.path(load), "--size", str(size),
                   "--seed", str(seed), "--type", "I", "--sector", "40", "--checksum", checksum, "--bin", self.load_bin])
        self.tool([os.path.join(SOURCE_DIR, "scripts", "make-loader"), "--quiet", "-o", self.path("kivfldr.hex")])

    def tool(self, argv):
        r = subprocess.run(argv, capture_output=True, text=True)
        if r.returncode != 0:
            raise Failure("%s failed (%d): %s" % (" ".join(argv), r.returncode, r.stderr.strip()))
        return r.stdout

    # -- the modem --
    def start_modem(self, args):
        link = os.path.join(self.work, "modem-link")
        argv = [self.modemsim, "--link", link, "--image", self.image,
                "--transcript", self.transcript] + list(args)
        self.modem_argv = argv
        logf = open(self.modem_log, "w")
        self.modem = subprocess.Popen(argv, stdout=logf, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, start_new_session=True)
        for _ in range(100):
            if os.path.islink(link) or os.path.exists(link):
                return link
            if self.modem.poll() is not None:
                break
            time.sleep(0.05)
        raise Failure("modemsim did not make its link; its log:\n" + open(self.modem_log).read())

    def modem_device(self):
        """The pseudo-terminal modemsim serves (the first line of its output)."""
        try:
            return open(self.modem_log).readline().strip() or None
        except OSError:
            return None

    def stop_modem(self, sig=signal.SIGTERM):
        if self.modem and self.modem.poll() is None:
            self.modem.send_signal(sig)
            try:
                self.modem.wait(10)
            except subprocess.TimeoutExpired:
                self.modem.kill()
                self.modem.wait()

    # -- Wine --
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
        self.answered.add(w)
        return True

    # -- one job --
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
                exited_at = exited_at or (now if self.wine.poll() is not None else None)
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
                self.exit_code = self.wine.wait(30)
            except subprocess.TimeoutExpired:
                self.errors.append("wine did not exit after its output ended")
                self.kill_wine()
        self.elapsed = time.time() - self.t0
        if dialog_pending:
            self.errors.append("the open-file dialog was expected but never handled")
        return self.ended(boxes, triggers)

    def traced(self, now, text, triggers):
        """A trace line: kept, and the triggers it completes acted on."""
        self.events.append((now, "trace", text))
        for t in triggers:
            if not t.done and t.pattern.search(text):
                t.seen += 1
                if t.seen >= t.count:
                    t.done = True
                    t.action(self)

    def ended(self, boxes, triggers):
        """The boxes and triggers still waited for count as errors; the events written, the run cleaned up."""
        for b in boxes:
            self.errors.append("expected box never appeared: %r" % (b,))
        for t in triggers:
            if not t.done:
                self.errors.append("trace /%s/ seen %d times, wanted %d" % (t.pattern.pattern, t.seen, t.count))
        self.write_events()
        self.finish()
        return self.exit_code

    def _events_have(self, text):
        return any(e[2] == text for e in self.events)

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

    def write_events(self):
        with open(os.path.join(self.art, "events.txt"), "w") as f:
            for t, kind, text in self.events:
                f.write("%8.3f %-6s %r\n" % (t, kind, text))

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

    # -- what the run produced --
    def traces(self):
        return [e[2] for e in self.events if e[1] == "trace"]

    def boxes(self):
        return [e[2] for e in self.events if e[1] == "box"]

    def trace_time(self, text):
        return self.event_time("trace", text)

    def event_time(self, kind, text):
        for t, k, s in self.events:
            if k == kind and s == text:
                return t
        return None

    def modem_lines(self):
        """The modem's transcript: (seconds, mode, text, single_char) per line received."""
        out = []
        if not os.path.exists(self.transcript):
            return out
        for line in open(self.transcript, encoding="latin-1"):
            line = line.rstrip("\n")
            m = re.match(r"^(\d+)\.(\d+) (\S+)( char)? (.*)$", line)
            if m:
                out.append((int(m.group(1)) / 1000.0, m.group(3), m.group(5), bool(m.group(4))))
        return out


# ---- checks ----------------------------------------------------------------------

class Checker:
    def __init__(self, run):
        self.run = run
        self.failures = list(run.errors)

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
        return ok

    def exit_code(self, want=0):
        self.check(self.run.exit_code == want, "exit code %r, wanted %r" % (self.run.exit_code, want))

    def boxes(self, want):
        got = self.run.boxes()
        self.check(got == list(want), "boxes %r, wanted %r" % (got, list(want)))

    def traces_in_order(self, want):
        """Each wanted trace (a text, or a compiled regex) appears, in this order."""
        got = self.run.traces()
        i = 0
        for w in want:
            while i < len(got) and not _matches(w, got[i]):
                i += 1
            if not self.check(i < len(got), "trace %r missing (or out of order)" % _show(w)):
                return
            i += 1

    def flash_equals_load(self, load_bin, base=0):
        """The modem's flash holds srec_cat's binary of the load at `base`, and is erased elsewhere."""
        img_path = self.run.image
        if not self.check(os.path.exists(img_path), "modemsim wrote no flash image"):
            return
        img = open(img_path, "rb").read()
        want = open(load_bin, "rb").read()
        got = img[base:base + len(want)]
        if got != want:
            first = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), min(len(got), len(want)))
            self.check(False, "flash differs from the load at offset 0x%x (%d of %d bytes equal before it)"
                       % (base + first, first, len(want)))
            return
        rest = img[:base] + img[base + len(want):]
        self.check(rest.count(0xFF) == len(rest), "flash outside the load is not erased")

    def modem_got_y(self):
        """The modem received the end-of-job character "Y", as its last input."""
        lines = self.run.modem_lines()
        ys = [l for l in lines if l[3] and l[2] == "Y"]
        if self.check(ys, "the modem never received \"Y\""):
            self.check(lines[-1] == ys[-1], "the modem received more after \"Y\": %r" % (lines[-1],))

    def modem_lines_matching(self, pattern, single_char=False):
        rx = re.compile(pattern)
        return [l for l in self.run.modem_lines() if l[3] == single_char and rx.search(l[2])]

    def modem_count(self, what, n):
        """Counts of what the modem received: 'loader' lines, 'Z' and 'Y', 'commands', 'records'."""
        pats = {"loader": (r"^at&&f:", False), "Z": (r"^Z$", True), "Y": (r"^Y$", True),
                "commands": (r"(?i)at", False), "records": (r"^S[1-9]", False)}
        pat, single = pats[what]
        got = len(self.modem_lines_matching(pat, single))
        self.check(got == n, "the modem received %d %s, wanted %d" % (got, what, n))
        return got

    def report(self):
        r = self.run
        print("[%s] exit code %r, %.1f s, %d traces, boxes %r" % (r.name, r.exit_code, r.elapsed,
              len(r.traces()), r.boxes()))
        print("[%s] artefacts: %s" % (r.name, r.art))
        if self.failures:
            print("[%s] FAILED:" % r.name)
            for f in self.failures:
                print("  - " + f)
            tail = r.traces()[-25:]
            print("[%s] last traces:" % r.name)
            for t in tail:
                print("    " + repr(t))
            return 1
        print("[%s] passed" % r.name)
        return 0


def _matches(w, text):
    if hasattr(w, "search"):
        return bool(w.search(text))
    return w == text


def _show(w):
    return w.pattern if hasattr(w, "search") else w

