#!/usr/bin/env python3
"""End-to-end scenarios: the real flashfile.exe under Wine against modemsim,
run by tools/winrun.

    scenarios.py --list                     names and time limits, for ctest
    scenarios.py NAME --exe E --modemsim M --out DIR

Exit status: 0 passed, 1 failed, 77 skipped (no flashfile.exe to run).
"""

import argparse
import os
import signal
import sys
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "winrun"))
from winrun import SOURCE_DIR, Box, Checker, Dialog, Failure, On, Run  # noqa: E402

ERASE = Box("Do you wish to Erase the Entire Flash", "MUST USE FULL ERASE !!! ", "y")
DONE = Box("Flash Programming Completed", "    All Done...")
NOK1 = Box("Chip Failed to Erase Properly\nWould you like to Retry.", "You May Have Cooked the Flash Chip!", "y")
KILL = Box("Are you Sure you want to Kill the Flash Loader?", "You May Have Cooked the Flash Chip!", "y")
SILENT = Box("Modem is not responding.\nPlease try again later.", "Error...")
RECORD = r"^devicewrite\(S[123]"
SCENARIOS = {}


def scenario(limit):
    def register(f):
        SCENARIOS[f.__name__] = (f, limit)
        return f
    return register


class Ctx:
    def __init__(self, args, name, limit):
        self.run = Run(name, args.exe, args.modemsim, args.out)
        self.run.default_timeout = limit - 20  # ends before ctest would, so everything is cleaned up here
        self.load_bin = os.path.join(self.run.art, "load.bin")

    def files(self, checksum="1234", ini=True):
        """A 4 KB load for modem type I, sector size 64, the given checksum; the loader; the settings."""
        r = self.run
        r.tool([os.path.join(SOURCE_DIR, "scripts", "make-load"), "--quiet", "-o", r.path("modem.hex"), "--size",
                "4096", "--seed", "5", "--type", "I", "--sector", "40", "--checksum", checksum, "--bin", self.load_bin])
        r.tool([os.path.join(SOURCE_DIR, "scripts", "make-loader"), "--quiet", "-o", r.path("kivfldr.hex")])
        if ini:
            r.write_ini({"modemname": "Test Modem", "filename": "modem.hex", "atcmd": "ATI5", "response": "V.90^RRFL"})

    def check(self, boxes, y=True, flash=True):
        c = Checker(self.run)
        c.exit_code(0)
        c.boxes([b.text for b in boxes])
        if y:
            c.modem_got_y()
        if flash:
            c.flash_equals_load(self.load_bin)
        return c


def line_settings(run):
    """What the program set on the pseudo-terminal: 115200 8N1, RTS/CTS, no XON/XOFF."""
    fd = os.open(run.modem_link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    iflag, _, cflag, _, ispeed, ospeed = termios.tcgetattr(fd)[:6]
    os.close(fd)
    run.settings = [ispeed == ospeed == termios.B115200, cflag & termios.CSIZE == termios.CS8,
                    not cflag & (termios.PARENB | termios.CSTOPB), bool(cflag & termios.CRTSCTS),
                    not iflag & (termios.IXON | termios.IXOFF)]


@scenario(120)
def full_erase_loader_upload(ctx):
    """The modem's resident loader does not fit: full erase, the loader uploaded, the load programmed."""
    ctx.files(checksum="5678")
    ctx.run.modem_link = ctx.run.start_modem([])
    ctx.run.prepare_wine({"COM3": ctx.run.modem_link})
    ctx.run.settings = None
    ctx.run.run(boxes=[ERASE, DONE], triggers=[On(r"^writing to COM3", line_settings)])
    c = ctx.check([ERASE, DONE])
    c.check(ctx.run.settings == [True] * 5, "line settings (115200, 8 bits, no parity and 1 stop bit, "
            "RTS/CTS, no XON/XOFF): %r" % ctx.run.settings)
    c.modem_count("loader", 603)
    c.check(b'level="highestAvailable" uiAccess="false"' in open(ctx.run.exe, "rb").read(),
            "the program carries no manifest asking for the highest available rights")
    return c


@scenario(90)
def nok1_answered_yes(ctx):
    """NOK1 half-way, the retry question answered Yes: "Z" ahead of the queue, the whole load again."""
    ctx.files()
    ctx.run.prepare_wine({"COM3": ctx.run.start_modem(["--fault", "nok:1@rec:60"])})
    ctx.run.run(boxes=[NOK1, DONE])
    c = ctx.check([NOK1, DONE])
    c.modem_count("Z", 1)
    lines = ctx.run.modem_lines()
    z = [i for i, l in enumerate(lines) if l[3] and l[2] == "Z"]
    records = [l[2] for l in lines[z[-1] + 1:] if l[2].startswith("S")] if z else []
    want = [l.strip() for l in open(ctx.run.path("modem.hex"))]
    c.check(records == want, "after Z the modem got %d lines, wanted the whole load (%d)" % (len(records), len(want)))
    return c


@scenario(90)
def no_modem(ctx):
    """Nothing answers on COM2 (a silent modem) and COM1 (nothing behind it)."""
    ctx.files()
    link = ctx.run.start_modem(["--fault", "silence@time:0"])
    ctx.run.prepare_wine({"COM2": link, "COM1": os.path.join(ctx.run.work, "nothing")})
    ctx.run.run(cmdline="2", boxes=[SILENT])
    c = ctx.check([SILENT], y=False, flash=False)
    c.traces_in_order(["Flash Trying Comm 2 ", "Flash Trying Comm 1 ", "FLASH: Flash Open Comm Failed"])
    return c


@scenario(90)
def no_settings_file(ctx):
    """No flashfile.ini: the load is picked in the open-file dialog, then programmed."""
    ctx.files(ini=False)
    ctx.run.prepare_wine({"COM3": ctx.run.start_modem([])})
    ctx.run.run(dialog=Dialog(ctx.run.win_path("modem.hex")), boxes=[DONE])
    return ctx.check([DONE])


@scenario(90)
def close_during_programming(ctx):
    """A close request while records go out, answered Yes: "Y" last, exit code 0."""
    ctx.files()
    ctx.run.prepare_wine({"COM3": ctx.run.start_modem([])})
    ctx.run.run(boxes=[KILL], triggers=[On(RECORD, lambda run: run.close_request(), count=30)])
    c = ctx.check([KILL], flash=False)
    c.check(len(c.modem_lines_matching(r"^S[1-9]")) < 128, "every record went out after a confirmed close")
    return c


@scenario(90)
def cable_pulled_during_upload(ctx):
    """The cable pulled during the loader upload: the 6 s wait for the record's OK ends the job."""
    ctx.files(checksum="5678")
    ctx.run.prepare_wine({"COM3": ctx.run.start_modem([])})

    def pull(run):
        run.stop_modem()
        run.pulled = time.time() - run.t0
    ctx.run.run(boxes=[ERASE, SILENT], triggers=[On(r"^devicewrite\(at&&f:", pull, count=100)])
    c = ctx.check([ERASE, SILENT], y=False, flash=False)
    box = ctx.run.event_time("box", SILENT.text)
    c.check(box is not None and 6.0 <= box - ctx.run.pulled <= 9.0,
            "the box came %s s after the pull, wanted 6 s (and the rest of the 5 s pause)" % (box and box - ctx.run.pulled))
    return c


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("name", nargs="?")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--exe")
    ap.add_argument("--modemsim")
    ap.add_argument("--out")
    args = ap.parse_args()
    if args.list:
        for n, (_, limit) in SCENARIOS.items():
            print(n, limit)
        return 0
    if args.name not in SCENARIOS:
        ap.error("unknown scenario %r; --list shows them" % args.name)
    if not args.exe or not os.path.exists(args.exe):
        print("SKIPPED: no flashfile.exe at %s: build the windows preset first" % args.exe)
        return 77
    fn, limit = SCENARIOS[args.name]
    print("[%s] %s" % (args.name, fn.__doc__))
    # ctest ends a test that overruns with SIGTERM: clean up on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("[%s] terminated" % args.name))
    ctx = Ctx(args, args.name, limit)
    try:
        c = fn(ctx)
    except Failure as e:
        print("[%s] FAILED: %s" % (args.name, e))
        return 1
    finally:
        ctx.run.finish()
    return c.report()


if __name__ == "__main__":
    sys.exit(main())
