#!/usr/bin/env python3
"""The programming bench: loads of several sizes flashed into modemsim at the
real line rate by the native flashfile and by flashfile.exe under Wine, one
after the other; for each, the programming time against the floor and the
bytes a second. It prints figures and asserts nothing about time.

    bench.py --native FLASHFILE --exe FLASHFILE.EXE --modemsim M --out DIR
             [--sizes 16K,64K,256K,1M] [--programs native,wine]

Programming time: from the first record written to "FLASH: Dnld successful",
as the runner sees the program's traces. The floor: every byte that crosses
the line during programming (each record as the program writes it, in
16-byte chunks, and the modem's "OK\\r\\n"), at the line rate, plus the
modem's reply latency once a record. The modem erases in no time here, so
that only the program's own pace counts.
"""

import argparse
import os
import sys

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path[:0] = [os.path.join(TOOLS, d) for d in ("harness", "winrun", "nativerun")]
from harness import SOURCE_DIR, Box, Checker, Failure  # noqa: E402
from nativerun import NativeRun  # noqa: E402
from winrun import WineRun  # noqa: E402

LINE_RATE = 11520     # bytes a second each way: 115200 baud, 8N1
LATENCY_MS = 5        # the modem's reply latency
CHUNK = 16            # the program writes in chunks of this many bytes
REPLY = len("OK\r\n")
RECORD = "devicewrite(S"
DONE = Box("Flash Programming Completed", "    All Done...")


def size_arg(text):
    text = text.strip().upper()
    scale = {"K": 1024, "M": 1024 * 1024}.get(text[-1:], 1)
    return int(text.rstrip("KM")) * scale


def floor_seconds(load):
    """The line's own time for the records of `load`, and how many there are."""
    records = [l.rstrip("\r\n") for l in open(load) if l.startswith("S")]
    wire = sum(-(-(len(r) + 1) // CHUNK) * CHUNK + REPLY for r in records)  # line + CR, whole chunks
    return wire / LINE_RATE + len(records) * LATENCY_MS / 1000.0, len(records), wire


def one(kind, size, args):
    program = args.native if kind == "native" else args.exe
    runner = NativeRun if kind == "native" else WineRun
    run = runner("%s-%d" % (kind, size), program, args.modemsim, args.out, log=lambda s: None)
    load, load_bin = run.path("modem.hex"), os.path.join(run.art, "load.bin")
    try:
        # S2 records at every size: 1 MB needs 24-bit addresses.
        run.tool([os.path.join(SOURCE_DIR, "scripts", "make-load"), "--quiet", "-o", load, "--size", str(size),
                  "--seed", "7", "--record", "S2", "--type", "I", "--sector", "40", "--checksum", "1234",
                  "--bin", load_bin])
        run.write_ini({"modemname": "Bench Modem", "filename": "modem.hex", "atcmd": "ATI5", "response": "V.90^RRFL"})
        run.prepare({"COM3": run.start_modem(["--rate", str(LINE_RATE), "--latency", str(LATENCY_MS),
                                              "--erase-ms", "0", "--flash-size", str(2 * 1024 * 1024)])})
        run.run(boxes=[DONE], timeout=3600)
    except Failure as e:
        run.finish()
        return {"error": str(e)}
    c = Checker(run)
    c.exit_code(0)
    c.flash_equals_load(load_bin)
    start = next((t for t, k, s in run.events if k == "trace" and s.startswith(RECORD)), None)
    end = run.trace_time("FLASH: Dnld successful")
    floor, records, wire = floor_seconds(load)
    row = {"records": records, "bytes": os.path.getsize(load), "wire": wire, "floor": floor,
           "ok": not c.failures, "problems": c.failures}
    if start is not None and end is not None and end > start:
        row["time"] = end - start
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--native", required=True, help="the Linux flashfile")
    ap.add_argument("--exe", required=True, help="flashfile.exe")
    ap.add_argument("--modemsim", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--sizes", default="16K,64K,256K,1M")
    ap.add_argument("--programs", default="native,wine")
    args = ap.parse_args()
    sizes = [size_arg(s) for s in args.sizes.split(",")]
    programs = args.programs.split(",")

    head = "%-6s %-7s %7s %9s %9s %9s %9s %6s %8s %s" % ("load", "program", "records", "file B", "wire B",
                                                          "floor s", "time s", "ratio", "bytes/s", "flash")
    lines = ["line rate %d bytes/s each way, reply latency %d ms, S2 records of 32 data bytes"
             % (LINE_RATE, LATENCY_MS), head, "-" * len(head)]
    print("\n".join(lines), flush=True)
    for size in sizes:
        for kind in programs:
            r = one(kind, size, args)
            name = "%dK" % (size // 1024) if size < 1024 * 1024 else "%dM" % (size // (1024 * 1024))
            if "error" in r:
                line = "%-6s %-7s could not run: %s" % (name, kind, r["error"])
            elif "time" not in r:
                line = "%-6s %-7s did not program: %s" % (name, kind, "; ".join(r["problems"]))
            else:
                line = "%-6s %-7s %7d %9d %9d %9.1f %9.1f %6.2f %8.0f %s" % (
                    name, kind, r["records"], r["bytes"], r["wire"], r["floor"], r["time"], r["time"] / r["floor"],
                    r["bytes"] / r["time"], "equal" if r["ok"] else "DIFFERS: " + "; ".join(r["problems"]))
            lines.append(line)
            print(line, flush=True)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "bench.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("(table kept in %s)" % os.path.join(args.out, "bench.txt"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
