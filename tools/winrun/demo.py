#!/usr/bin/env python3
"""The demo: a 64 KB load flashed by the real flashfile.exe under Wine into
modemsim at the real line rate, the program's boxes answered here.

    demo.py --exe flashfile.exe --modemsim modemsim --out DIR [--display :0]

scripts/demo builds everything and calls this.
"""

import argparse
import os
import re
import sys

sys.path[:0] = [os.path.dirname(os.path.abspath(__file__)),
                os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness")]
from harness import Box, Checker, Failure, On, shot  # noqa: E402
from winrun import WineRun  # noqa: E402

LINE_RATE = 11520
RECORD = r"^devicewrite\(S[123]"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--exe", required=True)
    ap.add_argument("--modemsim", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--display", help="X display to show the program on (default: a private Xvfb)")
    ap.add_argument("--size", type=int, default=65536, help="bytes of firmware in the load")
    args = ap.parse_args()

    # In a Wine desktop the windows have Windows' own frames and titles, in
    # the screenshots too.
    run = WineRun("demo", args.exe, args.modemsim, args.out, display=args.display, desktop="Quillmarch,640x400")
    load = run.path("modem.hex")
    try:
        # A modem whose resident loader does not fit this load: the program asks
        # for a full erase, uploads its flash loader, then programs the load.
        run.make_files(size=args.size, seed=2024, checksum="5678")
        run.write_ini({"modemname": "Demo Modem", "filename": "modem.hex", "atcmd": "ATI5",
                       "response": "V.90^RRFL"})
        link = run.start_modem(["--rate", str(LINE_RATE), "--rrfl-checksum", "1234"])
        run.prepare_wine({"COM3": link,
                          "COM2": os.path.join(run.work, "no-modem-on-COM2"),
                          "COM1": os.path.join(run.work, "no-modem-on-COM1")})
        records = args.size // 32          # make-load puts 32 bytes in a record
        where = "on display %s" % args.display if args.display else "under Xvfb (no display)"
        print("demo: flashing %s (%d bytes) into modemsim on COM3 %s" % (load, os.path.getsize(load), where))
        run.run(boxes=[Box("Do you wish to Erase the Entire Flash", "MUST USE FULL ERASE !!! ", "y",
                           shot="1-erase-question"),
                       Box("Flash Programming Completed", "    All Done...", "Return", shot="5-completed")],
                # The search shows during the 3 s pause that a named load file brings.
                triggers=[On(r"^FLASH: Flash init state$", shot("0-search", 1.0)),
                          On(r"^devicewrite\(at&&f:", shot("2-loader-upload"), count=300),
                          On(RECORD, shot("3-programming"), count=max(1, records // 3)),
                          On(RECORD, shot("4-programming"), count=max(1, records * 3 // 4))],
                timeout=600)
    except Failure as e:
        run.finish()
        print("demo: FAILED: %s" % e)
        return 1

    c = Checker(run)
    c.exit_code(0)
    c.flash_equals_load(run.load_bin)
    outcome = [b.replace("\n", " ") for b in run.boxes()]
    first = next((t for t, k, s in run.events if k == "trace" and re.match(RECORD, s)), None)
    done = run.trace_time("FLASH: Dnld successful")
    size = os.path.getsize(load)

    print()
    print("==== demo result")
    print("outcome:           %s" % (" / ".join(outcome) if outcome else "no box"))
    print("exit code:         %s" % run.exit_code)
    print("elapsed:           %.1f s for the whole run (start to exit)" % run.elapsed)
    if first is not None and done is not None and done > first:
        secs = done - first
        rate = size / secs
        print("programming:       %d bytes of S-records in %.1f s = %.0f bytes/s, %.0f%% of the line's %d"
              % (size, secs, rate, 100.0 * rate / LINE_RATE, LINE_RATE))
    equal = not any("flash" in f for f in c.failures)
    print("flash equals load: %s" % ("yes" if equal else "NO"))
    print("screenshots:       %s" % run.art)
    for f in sorted(run.shots):
        print("                   %s" % os.path.basename(f))
    if c.failures:
        print("problems:")
        for f in c.failures:
            print("  - " + f)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
