"""The runner-neutral part of a run against modemsim: the program's folder and
files, modemsim on a pseudo-terminal, the events (traces, boxes) in order,
the modem's transcript and flash, what a run expects (boxes, the open-file
dialog, actions on traces) and the Checker. tools/winrun (flashfile.exe under
Wine) and tools/nativerun (the Linux flashfile on a terminal) each give a Run
that starts and drives its program.
"""

import os
import re
import shutil
import signal
import subprocess
import threading
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


class Failure(Exception):
    pass


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


# ---- the run -------------------------------------------------------------------

class Run:
    """One job: a fresh folder with the program and its files, modemsim, the
    events. A runner gives program_name, prepare(ports), run(...), finish()."""
    program_name = None

    def __init__(self, name, exe, modemsim, out_dir, log=None):
        self.name = name
        out_dir = os.path.abspath(out_dir)
        self.exe = os.path.abspath(exe)
        self.modemsim = os.path.abspath(modemsim) if modemsim else None
        self.art = os.path.join(out_dir, "artefacts", name)
        self.work = os.path.join(out_dir, "work", name)
        self.app = os.path.join(self.work, "app")
        self.log = log or (lambda s: print(s, flush=True))
        for d in (self.art, self.work):
            shutil.rmtree(d, ignore_errors=True)
        os.makedirs(self.app)
        os.makedirs(self.art)
        # (seconds since start, kind, text): kind 'trace', 'box', 'key' (the runner
        # has answered a box), 'dialog' (the load file asked for), 'answer' (the
        # answer the native program took)
        self.events = []
        self.shots = []
        self.errors = []
        self.modem = None
        self.modem_log = os.path.join(self.art, "modemsim.log")
        self.image = os.path.join(self.art, "flash.bin")
        self.transcript = os.path.join(self.art, "modem-transcript.txt")
        self.exit_code = None
        self.t0 = None
        self.exit_at = None       # seconds since start when the program ended
        self.rusage = None        # its resource usage, from os.wait4 (ru_maxrss counts the forked runner too)
        self.on_start = None      # on_start(run, pid) as soon as the program runs (the bench samples it)
        self._watcher = None
        self.finished = False
        self.elapsed = 0.0
        self.default_timeout = 240
        shutil.copy(exe, os.path.join(self.app, self.program_name))

    def path(self, name):
        return os.path.join(self.app, name)

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

    def watch(self, proc):
        """Notes the moment the program (`proc`, just started) ends, then reaps
        it with os.wait4 for its CPU times. The reaping holds Popen's own lock
        (_waitpid_lock), so its poll and wait still give the exit status."""
        def watcher():
            try:
                os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
            except ChildProcessError:  # reaped already
                return
            self.exit_at = time.time() - self.t0
            with proc._waitpid_lock:
                if proc.returncode is None:
                    _, status, self.rusage = os.wait4(proc.pid, 0)
                    proc.returncode = os.waitstatus_to_exitcode(status)
        self._watcher = threading.Thread(target=watcher, daemon=True)
        self._watcher.start()
        if self.on_start:
            self.on_start(self, proc.pid)

    def wait_program(self, proc, timeout):
        """The program's exit status once it has ended (subprocess.TimeoutExpired if not in `timeout` s)."""
        self._watcher.join(timeout)
        if self._watcher.is_alive():
            raise subprocess.TimeoutExpired(proc.args, timeout)
        return proc.wait(timeout)

    def program_ended(self):
        return self.exit_at is not None

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

    def write_events(self):
        with open(os.path.join(self.art, "events.txt"), "w") as f:
            for t, kind, text in self.events:
                f.write("%8.3f %-6s %r\n" % (t, kind, text))

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
