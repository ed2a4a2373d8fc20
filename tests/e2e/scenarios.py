#!/usr/bin/env python3
"""End-to-end scenarios against modemsim: the real flashfile.exe under Wine
(tools/winrun) and the native Linux flashfile on a terminal (tools/nativerun).

    scenarios.py --list                     runner, name and time limit, for ctest
    scenarios.py NAME --runner wine|linux --exe PROGRAM --modemsim M --out DIR

Exit status: 0 passed, 1 failed, 77 skipped (no program to run).
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import termios
import time

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path[:0] = [os.path.join(TOOLS, d) for d in ("harness", "winrun", "nativerun")]
from harness import Box, Checker, Dialog, Failure, On, read_log  # noqa: E402
from nativerun import NativeRun  # noqa: E402
from winrun import WineRun  # noqa: E402

ERASE = Box("Do you wish to Erase the Entire Flash", "MUST USE FULL ERASE !!! ", "y")
DONE = Box("Flash Programming Completed", "    All Done...")
COOKED = "You May Have Cooked the Flash Chip!"
NOK1 = Box("Chip Failed to Erase Properly\nWould you like to Retry.", COOKED, "y")
KILL = Box("Are you Sure you want to Kill the Flash Loader?", COOKED, "y")
SILENT = Box("Modem is not responding.\nPlease try again later.", "Error...")
RECORD = r"^devicewrite\(S[123]"
RUNNERS = {"wine": WineRun, "linux": NativeRun}
# By the Linux exit status: the summary, and the last line after a stop.
OUTCOME = {0: "completed", 1: "failed", 3: "stopped by the user", 4: "(stopped by the user|failed)"}
STOPPED = {3: "nothing was written to the modem",
           4: "the modem's flash is incomplete; run the job again"}
SCENARIOS = {}


def scenario(limit, runners=("wine", "linux")):
    def register(f):
        SCENARIOS[f.__name__] = (f, limit, runners)
        return f
    return register


class Ctx:
    def __init__(self, args, limit):
        self.runner = args.runner
        name = args.name if args.runner == "wine" else "native." + args.name
        self.run = RUNNERS[args.runner](name, args.exe, args.modemsim, args.out)
        # Ends before ctest would, so everything is cleaned up here.
        self.run.default_timeout = limit - 20

    def files(self, checksum="1234", ini=True, log=None):
        """A 4 KB load for modem type I, sector size 64, the given checksum; the loader; the
        settings (with a log file when `log` names one)."""
        self.run.make_files(checksum=checksum)
        if ini:
            self.run.write_ini({"modemname": "Test Modem", "filename": "modem.hex", "atcmd": "ATI5",
                                "response": "V.90^RRFL", **({"logfile": log} if log else {})})

    def files_and_modem(self, fault=None, **files):
        """The files, and modemsim (with `fault`) as COM3; its device."""
        self.files(**files)
        link = self.run.start_modem(["--fault", fault] if fault else [])
        self.run.prepare({"COM3": link})
        return link

    def check(self, boxes, status=0, y=True, flash=True, summary=True):
        """The exit status (Linux; Windows always 0), the boxes in order, "Y" last,
        the flash equal to the load, and the run summary as the last trace (none in tmux)."""
        c = self.checks = Checker(self.run)
        c.exit_code(self.run.expected_exit(status))
        c.boxes([b.text for b in boxes])
        last = (self.run.traces() or [""])[-1]
        c.check(not summary or re.match(r"FLASH: Summary: %s, \d+ (of \d+ )?records"
                                        % OUTCOME[status], last),
                "the last trace is not a summary of a job %s: %r" % (OUTCOME[status], last))
        if self.runner == "linux":
            want = [STOPPED[status]] if "stopped by the user" in last else []
            c.check(events(self.run, "stopped") == want, "after the job: %r, wanted %r"
                    % (events(self.run, "stopped"), want))
        if y:
            c.modem_got_y()
        if flash:
            c.flash_equals_load(self.run.load_bin)
        return c


def events(run, kind):
    return [text for _, k, text in run.events if k == kind]


def line_settings(run):
    """What the program set on the pseudo-terminal: 115200 8N1, RTS/CTS, no XON/XOFF."""
    fd = os.open(run.modem_link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    iflag, _, cflag, _, ispeed, ospeed = termios.tcgetattr(fd)[:6]
    os.close(fd)
    run.settings = [ispeed == ospeed == termios.B115200, cflag & termios.CSIZE == termios.CS8,
                    not cflag & (termios.PARENB | termios.CSTOPB), bool(cflag & termios.CRTSCTS),
                    not iflag & (termios.IXON | termios.IXOFF)]


def cut_short(c):
    """A stop at the 30th record of 131 kept the rest from going out."""
    c.check(len(c.modem_lines_matching(r"^S[1-9]")) < 128, "every record went out after the stop")


def spoil(run, name, n):
    """The checksum on line n of the file made one more than it is; the right and the wrong."""
    lines = open(run.path(name)).read().split("\n")
    right = lines[n - 1][-2:]
    wrong = "%02X" % ((int(right, 16) + 1) % 256)
    lines[n - 1] = lines[n - 1][:-2] + wrong
    open(run.path(name), "w").write("\n".join(lines))
    return right, wrong


def job(boxes=(), status=0, y=True, checksum="1234", fault=None, damage=lambda run: None, stop=None,
        limit=60, runners=("linux",), **options):
    """A scenario of the function under it, which checks more given the checker and the run: the
    files (`checksum` "5678" asks the full-erase question), `damage(run)` done to them, modemsim
    with `fault` as COM3, the run with `options`, `stop(run)` at the 30th record, then `check`."""
    if stop:
        options["triggers"] = [On(RECORD, stop, count=30)]

    def register(own_checks):
        def run_and_check(ctx):
            ctx.files_and_modem(fault, checksum=checksum)
            damage(ctx.run)
            ctx.run.run(boxes=boxes, **options)
            own_checks(ctx.check(boxes, status=status, y=y, flash=status == 0), ctx.run)
        run_and_check.__name__, run_and_check.__doc__ = own_checks.__name__, own_checks.__doc__
        return scenario(limit, runners)(run_and_check)
    return register


@scenario(120)
def full_erase_loader_upload(ctx):
    """The resident loader does not fit: full erase, the loader uploaded, the load written."""
    ctx.run.modem_link = ctx.files_and_modem(checksum="5678")
    ctx.run.settings = None
    ctx.run.run(boxes=[ERASE, DONE], triggers=[On(r"^writing to COM3", line_settings)])
    c = ctx.check([ERASE, DONE])
    c.check(ctx.run.settings == [True] * 5, "line settings (115200, 8 bits, no parity and 1 stop "
            "bit, RTS/CTS, no XON/XOFF): %r" % ctx.run.settings)
    c.modem_count("loader", 603)


@scenario(90)
def nok1_answered_yes(ctx):
    """NOK1 half-way, the retry question answered Yes: "Z" ahead of the queue, the whole load again.
    With logfile: the log holds the header, every trace in order, the boxes with their answers."""
    ctx.files_and_modem("nok:1@rec:60", log="flash.log")
    ctx.run.run(boxes=[NOK1, DONE])
    c = ctx.check([NOK1, DONE])
    header, log = read_log(ctx.run.path("flash.log"))
    c.check(re.match(r"Quillmarch Flash Loader 1\.4f, run of \d{4}-\d\d-\d\d \d\d:\d\d:\d\d, "
                     r"settings \S*flashfile\.ini, load file modem\.hex$", header),
            "log header %r" % header)
    c.check([t for t, _, _ in log] == sorted(t for t, _, _ in log), "the log's times go back")
    logged = {k: [text for _, kind, text in log if kind == k] for k in ("trace", "box", "status")}
    c.check(logged["trace"] == ctx.run.traces(), "the log's %d traces are not the %d of the "
            "debug output, in order" % (len(logged["trace"]), len(ctx.run.traces())))
    c.check(logged["box"] == ['"%s" "%s" answered Yes' % (NOK1.caption, NOK1.text),
                              '"%s" "%s" answered OK' % (DONE.caption, DONE.text)],
            "logged boxes %r" % logged["box"])
    first = '"Quillmarch Flash Loader Ver:1.4" "Searching for Test Modem."'
    c.check(logged["status"][:1] == [first] and
            '"Programming Completed" "<100%>  Complete."' in logged["status"],
            "logged status lines %r" % logged["status"])
    load = ctx.run.path("modem.hex")
    want = [l.strip() for l in open(load)]
    c.check(re.match(r"FLASH: Summary: completed, %d records \(0 resent\), %d bytes in \d+\.\d s, "
                     r"\d+ bytes/s$" % (len(want), os.path.getsize(load)), logged["trace"][-1]),
            "the summary %r" % logged["trace"][-1:])
    c.modem_count("Z", 1)
    lines = ctx.run.modem_lines()
    z = [i for i, l in enumerate(lines) if l[3] and l[2] == "Z"]
    records = [l[2] for l in lines[z[-1] + 1:] if l[2].startswith("S")] if z else []
    c.check(records == want, "after Z the modem got %d lines, wanted the whole load (%d)"
            % (len(records), len(want)))


@scenario(90)
def no_modem(ctx):
    """Nothing answers on COM2 (a silent modem) and COM1 (nothing behind it)."""
    ctx.files()
    link = ctx.run.start_modem(["--fault", "silence@time:0"])
    ctx.run.prepare({"COM2": link, "COM1": os.path.join(ctx.run.work, "nothing")})
    ctx.run.run(cmdline="2", boxes=[SILENT])
    c = ctx.check([SILENT], status=1, y=False, flash=False)
    tried = [t for t in ctx.run.traces() if t.startswith("Flash Trying Comm ")]
    c.check(tried == ["Flash Trying Comm 2 ", "Flash Trying Comm 1 "], "ports tried: %r" % tried)
    c.traces_in_order(["Flash Trying Comm 1 ", "FLASH: Flash Open Comm Failed"])


@scenario(90)
def no_settings_file(ctx):
    """No flashfile.ini: the load is picked in the open-file dialog, then programmed."""
    ctx.files_and_modem(ini=False)
    ctx.run.run(dialog=Dialog(ctx.run.program_path("modem.hex")), boxes=[DONE])
    ctx.check([DONE])


@job([KILL], status=3, limit=90, runners=("wine",), stop=lambda run: run.close_request())
def close_during_programming(c, run):
    """A close request (Alt+F4, Ctrl-C) while records go out, answered Yes: "Y" last."""
    cut_short(c)


@scenario(90)
def cable_pulled(ctx):
    """The cable pulled. Under Wine during the loader upload: the 6 s wait for the record's OK ends
    the job. On Linux while records go out: the device hangs up; within a second a box names it."""
    wine = ctx.runner == "wine"
    link = ctx.files_and_modem(checksum="5678" if wine else "1234")

    def pull(run):
        run.pulled = time.time() - run.t0
        run.stop_modem()
    lost = Box("The line to the modem was lost: %s hung up.\nThe job was stopped; the "
               "modem may be left without its firmware." % link, "Line Lost")
    boxes, low, high = ([ERASE, SILENT], 5.8, 9.0) if wine else ([lost], 0, 1.0)
    at = On(r"^devicewrite\(at&&f:", pull, count=100) if wine else On(RECORD, pull, count=30)
    ctx.run.run(boxes=boxes, triggers=[at])
    c = ctx.check(boxes, status=4, y=False, flash=False)
    box = ctx.run.event_time("box", boxes[-1].text)
    # The line in flight may have gone out just before the pull was noted.
    c.check(box is not None and low <= box - ctx.run.pulled <= high,
            "the box came %s s after the pull, wanted %s to %s s"
            % (box and box - ctx.run.pulled, low, high))


@scenario(60)
def damaged_load(ctx):
    """A checksum wrong in a srec_cat load: refused before a port opens; the modem hears nothing."""
    ctx.files_and_modem()
    box = Box("Line 40 of modem.hex: the checksum is %s, the record says %s.\n"
              "Nothing was sent to the modem." % spoil(ctx.run, "modem.hex", 40), "Load File Error")
    ctx.run.run(boxes=[box])
    c = ctx.check([box], status=1, y=False, flash=False)
    c.check(not ctx.run.modem_lines(), "the modem received %d lines" % len(ctx.run.modem_lines()))
    c.check(not any(t.startswith("Flash Trying Comm") for t in ctx.run.traces()),
            "a port was tried")


@job(status=4, args=("--trace", "--log", "stopped.log"), stop=lambda run: run.terminate())
def terminated_during_programming(c, run):
    """SIGTERM while records go out: a close already confirmed, no question; "Y" last.
    With --log: the log ends with the summary of a job stopped by the user."""
    cut_short(c)
    _, log = read_log(run.path("stopped.log"))
    c.check(log and re.match(r"FLASH: Summary: stopped by the user, (29|30|31) of 131 records "
                             r"acknowledged", log[-1][2]), "the log ends with %r" % log[-1:])


@job([Box(ERASE.text, ERASE.caption, "n")], status=1, y=False, checksum="5678",
           args=("--trace", "--no"))
def erase_refused_by_no(c, run):
    """--no answers the full-erase question: no erase, no loader, exit status 1."""
    c.check(events(run, "answer") == ["no (--no)"], "the answer was not --no's")
    c.modem_count("loader", 0)


@scenario(60, runners=("linux",))
def terminal_screen(ctx):
    """In tmux, a real terminal: while records go out the screen shows both status lines and the
    bar, each once (redrawn in place); an answer 8 s late shows its wait on a third line."""
    ctx.files_and_modem("late:8000@rec:60")
    shown, waits = [], []

    def look(rows):
        screen = "\n".join(r.rstrip() for r in rows)
        waits.extend(re.findall(r"(?m)^waiting for the modem's answer: [6-8] s of 180 s$", screen))
        if re.search(r"^Programming the Flash\n<\d+%>  Complete\.\n\[#+\.+\] +\d+%$", screen, re.M):
            bars = re.findall(r"\[[#.]{50}\]", screen)
            shown.append(screen.count("Programming the Flash") == 1 and len(bars) == 1)
    ctx.run.tmux_run(every=look)
    c = ctx.check([], summary=False)
    c.check(shown and all(shown), "no screen showed the two lines and the bar once while "
            "programming (%d did, %d more than once)" % (len(shown), shown.count(False)))
    c.check(waits, "no screen showed the wait for the late answer")


@job([KILL], status=4, args=("--trace", "--no"), stop=lambda run: run.close_request())
def ctrl_c_with_no(c, run):
    """Ctrl-C while records go out, with --no: the kill question asked all the same, answered y."""
    cut_short(c)


@job(status=4, terminal=False, stop=lambda run: run.terminate(signal.SIGINT))
def sigint_without_terminal(c, run):
    """SIGINT while records go out, with no terminal: a close already confirmed; "Y" last."""
    cut_short(c)


@job([DONE], terminal=False, nohup=True, stop=lambda run: run.terminate(signal.SIGHUP))
def sighup_under_nohup(c, run):
    """SIGHUP while records go out, ignored from the start (nohup): the job completes."""


@job([Box(ERASE.text, ERASE.caption, "ctrl-c")], status=3, y=False, checksum="5678")
def ctrl_c_at_erase_question(c, run):
    """Ctrl-C at the full-erase question: no, and no "Y" (the job gives up without it), exit 3."""
    c.modem_count("Y", 0)


@job(status=3, y=False, fault="silence@time:0", terminal=False,
           triggers=[On(r"^<CE-3>$", lambda run: run.terminate(signal.SIGINT))])
def sigint_during_probe(c, run):
    """SIGINT without a terminal while a silent modem is probed: the wait ends at once, exit 3."""
    c.check(run.exit_at - run.trace_time("<CE-3>") < 2, "the probe went on after SIGINT")


@job([Box("Line 10 of kivfldr.hex: its checksum is wrong.\nNothing was erased.",
                "Loader File Error")], status=1, y=False, checksum="5678",
           damage=lambda run: spoil(run, "kivfldr.hex", 10))
def damaged_loader(c, run):
    """The modem needs kivfldr.hex and one of its checksums is wrong: refused before the full-erase
    question, no loader line sent, no "Y"."""
    c.modem_count("loader", 0)
    c.modem_count("Y", 0)


# The command line, without a modem: arguments, exit status, the line on standard error.
COMMAND_LINES = [
    (["10x"], 2, r'^flashfile: the port number must be a whole number from 1 to 255, not "10x"; '
     r"name a device with --port DEVICE$"),
    (["/dev/ttyUSB0"], 2, r"; name a device with --port /dev/ttyUSB0$"),
    (["--log", "none/x.log"], 2, r"^flashfile: cannot write the log file none/x.log: No such file"),
    (["--file", "none.hex", "3"], 1, r"^flashfile: none.hex: No such file or directory$"),
    (["--port", "modem.hex"], 1, r"^flashfile: modem.hex: not a serial device \(not a terminal\)$"),
    (["--port", "none"], 1, r"^flashfile: none: no such device$"),
]


@scenario(60, runners=("linux",))
def command_line(ctx):
    """Usage errors and files or devices that cannot be used: the exit status, and the line on
    standard error naming what and why."""
    ctx.files()
    c = ctx.checks = Checker(ctx.run)
    for args, status, line in COMMAND_LINES:
        r = subprocess.run([ctx.run.path("flashfile"), "--dir", ctx.run.app] + args, timeout=30,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
        c.check(r.returncode == status and re.search(line, r.stderr, re.M),
                "%s: exit %d, %r" % (args, r.returncode, r.stderr))


@scenario(90, runners=("linux",))
def search_devices_present(ctx):
    """Neither N nor --port: the serial devices present by their stable names; a silent one
    (usb-A) passed over, the modem (usb-B) found and named on the status line; --list shows
    both. flashfile.ini names modem.hex (not there), --file other.hex is flashed and named."""
    ctx.files(log="flash.log")
    os.rename(ctx.run.path("modem.hex"), ctx.run.path("other.hex"))
    with tempfile.TemporaryDirectory(prefix="ffdev") as root:
        by_id = os.path.join(root, "serial", "by-id")
        os.makedirs(by_id)
        _, silent = os.openpty()
        os.symlink(os.ttyname(silent), os.path.join(by_id, "usb-A-if00"))
        os.symlink(ctx.run.start_modem([]), os.path.join(by_id, "usb-B-if00"))
        env = {"FLASHFILE_DEV_ROOT": root}
        listed = subprocess.run([ctx.run.path("flashfile"), "--list"], capture_output=True,
                                text=True, env=dict(os.environ, **env)).stdout
        ctx.run.prepare({})
        ctx.run.run(cmdline=None, boxes=[DONE], env=env, args=("--trace", "--file", "other.hex"))
    c = ctx.check([DONE])
    c.check(events(ctx.run, "file") == ['"other.hex"'], "file: %r" % events(ctx.run, "file"))
    c.check(re.match(r"^/dev/pts/\d+ %s/usb-A-if00\n/dev/pts/\d+ %s/usb-B-if00\n$"
                     % (by_id, by_id), listed), "--list: %r" % listed)
    _, log = read_log(ctx.run.path("flash.log"))
    c.check(any(t.startswith('"Found Test Modem on %s/usb-B-if00..."' % by_id) for _, _, t in log),
            "no status line named the device")


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("name", nargs="?")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--runner", choices=RUNNERS, default="wine")
    for option in ("--exe", "--modemsim", "--out"):
        ap.add_argument(option)
    args = ap.parse_args()
    if args.list:
        for n, (_, limit, runners) in SCENARIOS.items():
            for r in runners:
                print(r, n, limit)
        return 0
    if args.name not in SCENARIOS or args.runner not in SCENARIOS[args.name][2]:
        ap.error("no scenario %r for %s; --list shows them" % (args.name, args.runner))
    if not args.exe or not os.path.exists(args.exe):
        print("SKIPPED: no program at %s: build it first" % args.exe)
        return 77
    fn, limit, _ = SCENARIOS[args.name]
    print("[%s] %s" % (args.name, fn.__doc__))
    # ctest ends a test that overruns with SIGTERM: clean up on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("[%s] terminated" % args.name))
    ctx = Ctx(args, limit)
    try:
        fn(ctx)
    except Failure as e:
        print("[%s] FAILED: %s" % (args.name, e))
        return 1
    finally:
        ctx.run.finish()
    return ctx.checks.report()


if __name__ == "__main__":
    sys.exit(main())
