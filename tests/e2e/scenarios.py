#!/usr/bin/env python3
"""End-to-end scenarios: the real flashfile.exe under Wine against modemsim,
run by tools/winrun. `scenarios.py --list`; `scenarios.py NAME --exe E
--modemsim M --out DIR` runs one (artefacts in DIR/artefacts/NAME)."""

import os
import sys
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "winrun"))
from winrun import Box, Checker, Dialog, On, scenario_main  # noqa: E402

ERASE = Box("Do you wish to Erase the Entire Flash", "MUST USE FULL ERASE !!! ", "y")
DONE = Box("Flash Programming Completed", "    All Done...")
NOK1 = Box("Chip Failed to Erase Properly\nWould you like to Retry.", "You May Have Cooked the Flash Chip!", "y")
KILL = Box("Are you Sure you want to Kill the Flash Loader?", "You May Have Cooked the Flash Chip!", "y")
SILENT = Box("Modem is not responding.\nPlease try again later.", "Error...")
SETTINGS = {"modemname": "Test Modem", "filename": "modem.hex", "atcmd": "ATI5", "response": "V.90^RRFL"}
SCENARIOS = {}


def scenario(limit):
    return lambda f: SCENARIOS.setdefault(f.__name__, (f, limit))[0]


def checked(run, boxes, y=True, flash=True):
    """Exit code 0, the boxes in order (each answered by its caption), "Y" as
    the modem's last input, its flash equal to the load."""
    c = Checker(run)
    c.exit_code(0)
    c.boxes([b.text for b in boxes])
    if y:
        c.modem_got_y()
    if flash:
        c.flash_equals_load(run.load_bin)
    return c


def line_settings(run):
    """What the program set on the pseudo-terminal."""
    fd = os.open(run.modem_link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    iflag, _, cflag, _, ispeed, ospeed = termios.tcgetattr(fd)[:6]
    os.close(fd)
    run.settings = [ispeed == ospeed == termios.B115200, cflag & termios.CSIZE == termios.CS8,
                    not cflag & (termios.PARENB | termios.CSTOPB), bool(cflag & termios.CRTSCTS),
                    not iflag & (termios.IXON | termios.IXOFF)]


@scenario(120)
def full_erase_loader_upload(run):
    """The modem's resident loader does not fit: full erase, the loader uploaded, the load programmed."""
    run.make_files(checksum="5678")
    run.write_ini(SETTINGS)
    run.modem_link, run.settings = run.start_modem([]), None
    run.prepare_wine({"COM3": run.modem_link})
    run.run(boxes=[ERASE, DONE], triggers=[On(r"^writing to COM3", line_settings)])
    c = checked(run, [ERASE, DONE])
    c.check(run.settings == [True] * 5, "line settings (115200 baud; 8 bits, no parity, 1 stop bit; RTS/CTS; "
            "no XON/XOFF): %r" % run.settings)
    c.modem_count("loader", 603)
    c.check(b'level="highestAvailable" uiAccess="false"' in open(run.exe, "rb").read(),
            "the program carries no manifest asking for the highest available rights")
    return c


@scenario(90)
def nok1_answered_yes(run):
    """NOK1 half-way, the retry question answered Yes: "Z" ahead of the queue, the whole load again."""
    run.make_files()
    run.write_ini(SETTINGS)
    run.prepare_wine({"COM3": run.start_modem(["--fault", "nok:1@rec:60"])})
    run.run(boxes=[NOK1, DONE])
    c = checked(run, [NOK1, DONE])
    c.modem_count("Z", 1)
    lines = run.modem_lines()
    z = [i for i, line in enumerate(lines) if line[3] and line[2] == "Z"][-1:]
    records = [line[2] for line in lines[z[0] + 1:] if line[2].startswith("S")] if z else []
    want = [line.strip() for line in open(run.path("modem.hex"))]
    c.check(records == want, "after Z the modem got %d lines, not the whole load (%d)" % (len(records), len(want)))
    return c


@scenario(90)
def no_modem(run):
    """Nothing answers on COM2 (a silent modem) or COM1 (nothing behind it)."""
    run.make_files()
    run.write_ini(SETTINGS)
    run.prepare_wine({"COM2": run.start_modem(["--fault", "silence@time:0"]), "COM1": os.path.join(run.work, "none")})
    run.run(cmdline="2", boxes=[SILENT])
    c = checked(run, [SILENT], y=False, flash=False)
    c.traces_in_order(["Flash Trying Comm 2 ", "Flash Trying Comm 1 ", "FLASH: Flash Open Comm Failed"])
    return c


@scenario(90)
def no_settings_file(run):
    """No flashfile.ini: the load is picked in the open-file dialog, then programmed."""
    run.make_files()
    run.prepare_wine({"COM3": run.start_modem([])})
    run.run(dialog=Dialog(run.win_path("modem.hex")), boxes=[DONE])
    return checked(run, [DONE])


@scenario(90)
def close_during_programming(run):
    """A close request while records go out, answered Yes: "Y" last, exit code 0."""
    run.make_files()
    run.write_ini(SETTINGS)
    run.prepare_wine({"COM3": run.start_modem([])})
    run.run(boxes=[KILL], triggers=[On(r"^devicewrite\(S[123]", lambda r: r.close_request(), count=30)])
    c = checked(run, [KILL], flash=False)
    c.check(len(c.modem_lines_matching(r"^S[1-9]")) < 128, "every record went out after a confirmed close")
    return c


@scenario(90)
def cable_pulled_during_upload(run):
    """The cable pulled during the loader upload: the 6 s wait for the record's OK ends the job."""
    run.make_files(checksum="5678")
    run.write_ini(SETTINGS)
    run.prepare_wine({"COM3": run.start_modem([])})

    def pull(r):
        r.stop_modem()
        r.pulled = time.time() - r.t0
    run.run(boxes=[ERASE, SILENT], triggers=[On(r"^devicewrite\(at&&f:", pull, count=100)])
    c = checked(run, [ERASE, SILENT], y=False, flash=False)
    box = run.event_time("box", SILENT.text)
    c.check(box is not None and 6.0 <= box - run.pulled <= 12.0,
            "the box came %s s after the pull, not 6 s (and the rest of the 5 s pause)" % (box and box - run.pulled))
    return c


if __name__ == "__main__":
    sys.exit(scenario_main(SCENARIOS, __doc__))
