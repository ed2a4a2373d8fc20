#!/usr/bin/env python3
"""End-to-end scenarios: the real flashfile.exe under Wine against modemsim.

    scenarios.py --list                     names and time limits, for ctest
    scenarios.py NAME --exe E --modemsim M --out DIR
                                            one scenario; artefacts under DIR/artefacts/NAME

Exit status: 0 passed, 1 failed, 77 skipped (no flashfile.exe to run).
"""

import argparse
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (SOURCE_DIR, Box, Checker, Dialog, Failure, On, Run,  # noqa: E402
                     close_request, note_port_state, shot)

MAKE_LOAD = os.path.join(SOURCE_DIR, "scripts", "make-load")
MAKE_LOADER = os.path.join(SOURCE_DIR, "scripts", "make-loader")

# Texts of the program, byte for byte.
ERASE_Q = "Do you wish to Erase the Entire Flash"
ERASE_Q_CAPTION = "MUST USE FULL ERASE !!! "
DONE = "Flash Programming Completed"
DONE_CAPTION = "    All Done..."
FAILED = "Flash Programming Failed."
FAILED_CAPTION = "    Try again..."
KILL_Q = "Are you Sure you want to Kill the Flash Loader?"
COOKED = "You May Have Cooked the Flash Chip!"
NOK1_Q = "Chip Failed to Erase Properly\nWould you like to Retry."
NO_MODEM = "Modem is not responding.\nPlease try again later."
RECORD = re.compile(r"^devicewrite\(S[123]")
LOADER_LINE = re.compile(r"^devicewrite\(at&&f:")

# The modem that every scenario starts from: firmware running, type I, a
# resident loader of sector size 64 with checksum 1234; the load is made for it
# unless the scenario says otherwise.
LOAD_SIZE = 4096

SCENARIOS = {}


def scenario(limit):
    def reg(f):
        SCENARIOS[f.__name__] = (f, limit)
        return f
    return reg


class Ctx:
    def __init__(self, args, name, limit=240):
        self.args = args
        self.name = name
        self.run = Run(name, args.exe, args.modemsim, args.out)
        # The program must be over well before ctest's limit for the scenario,
        # so that everything the run started is ended here, not left behind.
        self.run.default_timeout = max(30, limit - 30)
        self.load_bin = os.path.join(self.run.art, "load.bin")
        self.load = None

    def make_load(self, name="modem.hex", size=LOAD_SIZE, checksum="1234", extra=()):
        path = self.run.path(name)
        self.run.tool([MAKE_LOAD, "--quiet", "-o", path, "--size", str(size), "--seed", "5",
                       "--type", "I", "--sector", "40", "--checksum", checksum,
                       "--bin", self.load_bin] + list(extra))
        self.load = path
        return path

    def make_loader(self):
        self.run.tool([MAKE_LOADER, "--quiet", "-o", self.run.path("kivfldr.hex")])

    def settings(self, **extra):
        # With the modem and the file named, the probe sends atcmd instead of
        # ATI5 (an empty one when the key is missing) and wants one of the
        # responses in its reply.
        keys = {"modemname": "Test Modem", "filename": "modem.hex", "atcmd": "ATI5",
                "response": "V.34^V.90^RRFL"}
        keys.update(extra)
        self.run.write_ini(keys)

    def start(self, modem_args=(), com1_com2_empty=False):
        link = self.run.start_modem(list(modem_args))
        ports = {"COM3": link}
        if com1_com2_empty:
            # Nothing behind COM1 and COM2, whatever serial ports this machine
            # has. (Wine still opens such a port; every call on it then fails.)
            ports["COM2"] = os.path.join(self.run.work, "no-modem-on-COM2")
            ports["COM1"] = os.path.join(self.run.work, "no-modem-on-COM1")
        self.run.prepare_wine(ports)

    def standard_files(self, loader=True, **ini):
        self.make_load()
        if loader:
            self.make_loader()
        self.settings(**ini)


def success_checks(ctx, c, boxes=(DONE,)):
    r = ctx.run
    c.exit_code(0)
    c.bar("search", None, None)
    c.bar("programming", 0.01, 1.0)
    c.bar("completed", None, None)
    c.boxes(list(boxes))
    c.traces_in_order(["FLASH: Flash init state", "Flash Trying Comm 3 ", "FLASH: Dnld successful",
                       "FLASH: Flash Destroy Window", "FLASH: NULL"])
    c.flash_equals_load(ctx.load_bin)
    c.modem_got_y()
    c.screenshots(["search", "programming", "completed"] if DONE in boxes else ["search", "programming"])
    return r


def search_and_programming_shots(record=100):
    return [On(r"^FLASH: Flash init state$", shot("search", 1.0)),
            On(RECORD.pattern, shot("programming"), count=record)]


DONE_BOX = Box(DONE, DONE_CAPTION, "Return", shot="completed")


# ---- the scenarios ---------------------------------------------------------------

@scenario(240)
def full_erase_loader_upload(ctx):
    """Firmware running, its resident loader does not fit the load: full erase, loader upload, programming."""
    r = ctx.run
    ctx.standard_files()
    ctx.make_load(checksum="5678")          # the modem's resident loader reports 1234
    ctx.start()
    r.run(boxes=[Box(ERASE_Q, ERASE_Q_CAPTION, "y", shot="question"), DONE_BOX],
          triggers=search_and_programming_shots() + [
              On(LOADER_LINE.pattern, shot("loader-1"), count=100),
              On(LOADER_LINE.pattern, shot("loader-2"), count=400)])
    c = Checker(r)
    success_checks(ctx, c, boxes=(ERASE_Q, DONE))
    c.traces_in_order(["ldsAreCompat() FAILED", "MUST USE FULL ERASE - LOADS ARE INCOMPAT",
                       "Flash Open Comm Success on Com3 ", "FLASH: Flash loader code download success"])
    c.count(LOADER_LINE, at_least=602)
    # The bar moved: a repaint every 20 lines and from line 603 on.
    c.count("flash_download_loader calls ReDraw()", n=31)
    c.modem_count("loader", 603)
    c.screenshots(["question", "loader-1", "loader-2"])
    # The bar moves: about 100 and 400 lines of 603 (the repaint comes every 20).
    first = c.bar("loader-1", 0.1, 0.4)
    second = c.bar("loader-2", 0.6, 0.95)
    c.check(first is None or second is None or second > first, "the bar did not move during the upload")
    return c


@scenario(150)
def resident_loader_started_by_sequencer(ctx):
    """Firmware running with a fitting resident loader: result 4, no loader upload."""
    r = ctx.run
    ctx.standard_files()
    ctx.start()
    r.run(boxes=[DONE_BOX], triggers=search_and_programming_shots())
    c = Checker(r)
    success_checks(ctx, c)
    c.traces_in_order(["FLASH: entering RRFL", "devicewrite(AT&&FGO\r)\n"])
    c.count(LOADER_LINE, n=0)
    c.no_trace("MUST USE FULL ERASE - LOADS ARE INCOMPAT")
    c.modem_count("loader", 0)
    return c


@scenario(150)
def resident_loader_running(ctx):
    """The modem boots into its fitting resident loader: result 2, no loader upload."""
    r = ctx.run
    ctx.standard_files()
    ctx.start(["--resident"])
    r.run(boxes=[DONE_BOX], triggers=search_and_programming_shots())
    c = Checker(r)
    success_checks(ctx, c)
    c.traces_in_order(["WE ARE IN RRFL", "devicewrite(AT&&FGO\r)\n"])
    c.no_trace("FLASH: entering RRFL")
    c.count(LOADER_LINE, n=0)
    c.modem_count("loader", 0)
    return c


@scenario(150)
def nok1_erase_again_yes(ctx):
    """NOK1 in the middle of programming, the erase question answered Yes: restart, success."""
    r = ctx.run
    ctx.standard_files()
    ctx.start(["--fault", "nok:1@rec:60"])
    r.run(boxes=[Box(NOK1_Q, COOKED, "y", shot="nok1-question"), DONE_BOX],
          triggers=search_and_programming_shots())
    c = Checker(r)
    success_checks(ctx, c, boxes=(NOK1_Q, DONE))
    c.traces_in_order(["FLASH: Got a NOK", "FLASH: Failure to Erase", "FLASH: Sending Z",
                       "FLASH: Dnld successful"])
    c.modem_count("Z", 1)
    return c


@scenario(150)
def nok1_erase_again_no(ctx):
    """NOK1 in the middle of programming, answered No: "Abandon Chip!!" in the "Flash Error" box."""
    r = ctx.run
    ctx.standard_files()
    ctx.start(["--fault", "nok:1@rec:60"])
    r.run(boxes=[Box(NOK1_Q, COOKED, "n"), Box("Abandon Chip!!", "Flash Error", "Return", shot="abandon")],
          triggers=search_and_programming_shots()[:1])
    c = Checker(r)
    c.exit_code(0)
    c.boxes([NOK1_Q, "Abandon Chip!!"])
    c.traces_in_order(["FLASH: Got a NOK", "FLASH: Failure to Erase", "FLASH: Flash Open Comm Failed",
                       "FLASH: Flash Destroy Window", "FLASH: NULL"])
    c.no_trace("FLASH: Sending Z")
    c.no_trace("FLASH: Dnld successful")
    c.modem_got_y()
    c.modem_count("Z", 0)
    return c


@scenario(120)
def no_modem(ctx):
    """Nothing answers on COM3, COM2 or COM1: the "not responding" box after the probe's waits."""
    r = ctx.run
    ctx.standard_files()
    ctx.start(["--fault", "silence@time:0"], com1_com2_empty=True)
    r.run(boxes=[Box(NO_MODEM, "Error...", "Return", shot="not-responding")],
          triggers=[On(r"^Flash Trying Comm 3 $", shot("search", 0.3))])
    c = Checker(r)
    c.exit_code(0)
    c.boxes([NO_MODEM])
    c.traces_in_order(["Flash Trying Comm 3 ", "Not a Quillmarch Flashable modem!",
                       "Flash Trying Comm 2 ", "Not a Quillmarch Flashable modem!",
                       "Flash Trying Comm 1 ", "Not a Quillmarch Flashable modem!",
                       "FLASH: Flash Open Comm Failed", "FLASH: NULL"])
    # Each port: 4000 + 2000 + 2000 + 2000 ms of waits.
    t_search = r.trace_time("Flash Trying Comm 3 ")
    t_box = r.event_time("box", NO_MODEM)
    if c.check(t_search is not None and t_box is not None, "no search or no box"):
        took = t_box - t_search
        c.check(30.0 <= took <= 36.0, "the search took %.1f s, wanted 30 s of waits (up to 36)" % took)
    c.modem_count("commands", 0)
    return c


@scenario(150)
def no_settings_dialog_path_typed(ctx):
    """No flashfile.ini: the open-file dialog, a path typed in, the job goes on."""
    r = ctx.run
    ctx.make_load(name="chosen.hex")
    ctx.make_loader()
    ctx.start()
    r.run(dialog=Dialog(r.win_path("chosen.hex"), shot="dialog"), boxes=[DONE_BOX],
          triggers=search_and_programming_shots())
    c = Checker(r)
    success_checks(ctx, c)
    c.traces_in_order(["FLASH: Flash init state", "Load Modem type is Internal", "Flash Trying Comm 3 ",
                       "devicewrite(ATI5\r)\n"])
    c.screenshots(["dialog"])
    return c


@scenario(90)
def no_settings_dialog_cancelled(ctx):
    """No flashfile.ini and the dialog cancelled: the program ends without a box."""
    r = ctx.run
    ctx.make_load()
    ctx.make_loader()
    ctx.start()
    r.run(dialog=Dialog(None, shot="dialog"))
    c = Checker(r)
    c.exit_code(0)
    c.boxes([])
    c.traces_in_order(["FLASH: Flash init state", "FLASH: Flash Destroy Window", "FLASH: NULL"])
    c.no_trace("Flash Trying Comm 3 ")
    c.modem_count("commands", 0)
    return c


@scenario(90)
def load_file_missing(ctx):
    """The settings name a load file that is not there: one "File open failed " box."""
    r = ctx.run
    ctx.make_loader()
    ctx.settings(filename="missing.hex")
    ctx.start()
    r.run(boxes=[Box("File open failed ", "File Open Error...", "Return", shot="file-open-failed")])
    c = Checker(r)
    c.exit_code(0)
    c.boxes(["File open failed "])
    c.no_trace("Flash Trying Comm 3 ")
    c.traces_in_order(["FLASH: Flash init state", "FLASH: Flash Destroy Window", "FLASH: NULL"])
    c.modem_count("commands", 0)
    return c


@scenario(120)
def loader_file_missing(ctx):
    """The loader must be uploaded but kivfldr.hex is not in the program's folder."""
    r = ctx.run
    ctx.make_load(checksum="5678")
    ctx.settings()
    ctx.start()
    r.run(boxes=[Box(ERASE_Q, ERASE_Q_CAPTION, "y"),
                 Box("Flash file open failed - kivfldr.hex", "ERROR", "Return", shot="loader-missing")])
    c = Checker(r)
    c.exit_code(0)
    c.boxes([ERASE_Q, "Flash file open failed - kivfldr.hex"])
    c.count(LOADER_LINE, n=0)
    c.traces_in_order(["Flash Open Comm Success on Com3 ", "FLASH: Flash Destroy Window", "FLASH: NULL"])
    # Six commands of 16 bytes each, then the single "Y" (an ordinary
    # character to a modem in command mode, so it shows only in the count).
    c.check(c.modem_bytes_in() == 6 * 16 + 1, "the modem took in %r bytes, wanted 97 (6 commands and \"Y\")"
            % c.modem_bytes_in())
    return c


@scenario(150)
def close_during_programming_no(ctx):
    """A close request while records are sent, answered No: the job goes on and completes."""
    r = ctx.run
    ctx.standard_files()
    ctx.start()
    r.run(boxes=[Box(KILL_Q, COOKED, "n", shot="close-question"), DONE_BOX],
          triggers=search_and_programming_shots(40) + [On(RECORD.pattern, close_request, count=50)])
    c = Checker(r)
    success_checks(ctx, c, boxes=(KILL_Q, DONE))
    c.screenshots(["close-question"])
    return c


@scenario(150)
def close_during_programming_yes(ctx):
    """A close request while records are sent, answered Yes: "Y" to the modem, port closed, exit 0."""
    r = ctx.run
    ctx.standard_files()
    ctx.start()
    r.run(boxes=[Box(KILL_Q, COOKED, "y")],
          triggers=search_and_programming_shots(40) + [On(RECORD.pattern, close_request, count=50),
                                                       On(RECORD.pattern, note_port_state, count=45),
                                                       On(r"^FLASH: NULL$", note_port_state)])
    c = Checker(r)
    c.exit_code(0)
    c.boxes([KILL_Q])
    c.traces_in_order(["FLASH: Flash Destroy Window", "FLASH: NULL"])
    c.no_trace("FLASH: Dnld successful")
    c.modem_got_y()
    ports = [e[2] for e in r.events if e[1] == "port"]
    # Open while records went out; closed once the job has ended, while the
    # program is still winding down.
    c.check(ports[:1] == ["open"], "the port was not seen open during programming: %r" % ports)
    c.check(ports[1:] == ["closed"], "the port was not seen closed after the job: %r" % ports)
    n = c.count(RECORD, at_least=50)
    c.check(n < LOAD_SIZE // 32, "all %d records were sent after a confirmed close" % n)
    return c


@scenario(330)
def cable_pulled(ctx):
    """modemsim goes away while the program waits for a record's reply: time-out, five failed writes."""
    r = ctx.run
    ctx.standard_files()
    # The 60th data record's reply is late (the modem counts the S0 line as its
    # first), so the cable surely goes while the program waits for it. (The
    # line cannot be pulled between a reply and the next write: the program
    # writes within microseconds of reading "OK".)
    ctx.start(["--fault", "late:3000@rec:61"])

    def pull(run):
        time.sleep(1.0)
        run.stop_modem()
        run.events.append((time.time() - run.t0, "pulled", "cable"))
    r.run(boxes=[Box("Failed to write line to Modem", "Solid CommError", "Return", shot="comm-error")],
          triggers=search_and_programming_shots(40) + [On(RECORD.pattern, pull, count=60)])
    c = Checker(r)
    c.exit_code(0)
    c.boxes(["Failed to write line to Modem"])
    c.no_trace("FLASH: Dnld successful")
    record60 = [t for t in r.traces() if RECORD.search(t)][59]
    # The reply wait runs out (90 units), the record is resent, and the five
    # writes of the resend fail.
    c.traces_in_order([record60, "FLASH: Chars Received = 0 ", "Flash Comm Read Failed", "FLASH: Timeout Resend",
                       record60, record60, record60, record60, record60,
                       re.compile(r"^Com Error= [0-9A-F]+ $"), "FLASH: Flash Destroy Window", "FLASH: NULL"])
    t_pull = r.event_time("pulled", "cable")
    t_out = r.trace_time("FLASH: Timeout Resend")
    if c.check(t_pull is not None and t_out is not None, "no pull or no time-out"):
        c.check(175.0 <= t_out - t_pull <= 185.0,
                "the time-out came %.1f s after the pull, wanted 180 s after the record (less 1 s)" % (t_out - t_pull))
    return c


@scenario(150)
def checksum_confirmed(ctx):
    """atchecksum set and the modem gives the expected response: success."""
    r = ctx.run
    ctx.standard_files(atchecksum="AT&&FCS", checksumresponse="CS=GOOD")
    ctx.start(["--checksum-cmd", "AT&&FCS", "--checksum-reply", "CS=GOOD"])
    r.run(boxes=[DONE_BOX], triggers=search_and_programming_shots())
    c = Checker(r)
    success_checks(ctx, c)
    c.traces_in_order(["FLASH: Dnld successful", "devicewrite(AT&&FCS\r)\n"])
    return c


@scenario(150)
def checksum_not_confirmed(ctx):
    """atchecksum set, the modem answers something else: "Flash Programming Failed."."""
    r = ctx.run
    ctx.standard_files(atchecksum="AT&&FCS", checksumresponse="CS=GOOD")
    ctx.start(["--checksum-cmd", "AT&&FCS", "--checksum-reply", "CS=BAD"])
    r.run(boxes=[Box(FAILED, FAILED_CAPTION, "Return", shot="completed")],
          triggers=search_and_programming_shots())
    c = Checker(r)
    c.exit_code(0)
    c.boxes([FAILED])
    c.traces_in_order(["FLASH: Dnld successful", "devicewrite(AT&&FCS\r)\n", "FLASH: Flash Destroy Window"])
    # Every record went through; only the modem's own check said no.
    c.flash_equals_load(ctx.load_bin)
    c.modem_got_y()
    return c


@scenario(150)
def no_popups(ctx):
    """NoPopUps=yes: the job ends without the final box."""
    r = ctx.run
    ctx.standard_files(NoPopUps="yes")
    ctx.start()
    triggers = search_and_programming_shots() + [On(r"^FLASH: Flash Destroy Window$", shot("completed"))]
    r.run(triggers=triggers)
    c = Checker(r)
    success_checks(ctx, c, boxes=())
    return c


# ---- main ------------------------------------------------------------------------

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
        print("SKIPPED: no flashfile.exe at %s: build the windows preset first "
              "(cmake --preset windows && cmake --build build/windows)" % args.exe)
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
