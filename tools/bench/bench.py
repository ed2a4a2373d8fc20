#!/usr/bin/env python3
"""The whole-job bench: loads of several sizes flashed into modemsim at the
real line rate (11,520 bytes a second each way, 5 ms reply latency) by the
native flashfile and by flashfile.exe under Wine, each load twice: once into
a modem whose resident loader fits it, and once into one whose resident
loader does not (the load's checksum differs from the modem's, the full-erase
question is answered Yes, the 603-line loader is uploaded, then the load is
programmed). Every run is timed phase by phase, with the CPU and the memory
of the program (and of Wine's processes with it). It prints figures and
asserts nothing about time.

    bench.py --native FLASHFILE --exe FLASHFILE.EXE --modemsim M --out DIR
             [--sizes 16K,64K,256K,1M] [--programs native,wine] [--loader no,yes]

--loader no: the resident loader fits; yes: the loader is uploaded.

Phases, bounded by the program's traces (and boxes) at the time the runner
reads them, in seconds since the runner started the program:

  start        start -> the first "devicewrite(" trace (the program's first
               write to the port). Floor: the 3 s pause before the search
               that a settings file naming the load brings.
  probe        the first write -> the full-erase question box (upload), or
               -> the first record's write (resident: "AT&&FGO" and the
               check of its answer are in the probe). No floor.
  upload       the first "devicewrite(at&&f" (the loader's first line) ->
               "FLASH: Flash loader code download success" (the sequencer
               has seen the worker end). Floor: each loader line as written
               up to its CR, "at&&f" + line + CR (the padding after the CR in
               its 16-byte chunk crosses while the modem prepares its reply,
               so it costs nothing), and each reply the modem gave to a
               loader record (from its -v log), at the line rate; per record
               the 5 ms latency and the 4 byte times for which the PC's
               receive FIFO holds a reply's last bytes (trigger level 14, as
               modemsim models the UART).
  programming  the first "devicewrite(S" -> "FLASH: Dnld successful". Floor:
               every record as the program writes it (16-byte chunks) and the
               modem's "OK\\r\\n", at the line rate, plus 5 ms latency per
               record (the 2 to 3 bytes after the CR that this counts, and the
               FIFO's 4 byte times that it does not, nearly cancel). The
               modem erases in no time here.
  end          "FLASH: Dnld successful" -> the program's exit (the moment the
               runner's waitid sees it end). No floor.

A box's time (its text on the debug channel or the terminal -> the program's
next trace) is in no phase; the second table shows it as "boxes", and the
rest of the job that no phase holds as "other" (the full-erase answer to
the upload's first line, the upload's end to the first record: the 100 ms
wait after the upload and the opening of the load). "boxes" holds
the runner's answer (a "key" event in events.txt) and, under Wine on Xvfb,
2 s after the key: with no window manager to answer, Wine waits that long
for the closed box to be withdrawn (as it does in DestroyWindow, which is
why the Windows program's end phase takes 2 s). The native program waits
for no key at its last box.

CPU and memory. The program's own CPU seconds (user + system, all threads)
for the whole run come from os.wait4 when the runner reaps it (its ru_maxrss
is not used: it keeps the forked runner's memory from before the exec). Ten
times a second a sampler reads utime + stime from
/proc/PID/stat and VmHWM from /proc/PID/status of the program and, under
Wine, of every process whose /proc/PID/environ holds the run's private
WINEPREFIX: the Wine server, Wine's other processes (services.exe,
winedevice.exe, ...) and the X server (Xvfb) the run started. A phase's CPU
is the rise of these counters over it (interpolated between samples; the
counters move in 10 ms ticks), given as % of one core; the whole run's is
their rise from start to the program's exit. Peak memory: VmHWM at its last
read before the exit: the program's, the Wine server's, and the sum of the
other Wine processes'.
"""

import argparse
import bisect
import json
import os
import re
import resource
import sys
import threading
import time

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path[:0] = [os.path.join(TOOLS, d) for d in ("harness", "winrun", "nativerun")]
from harness import SOURCE_DIR, Box, Checker, Failure  # noqa: E402
from nativerun import NativeRun  # noqa: E402
from winrun import WineRun  # noqa: E402

LINE_RATE = 11520     # bytes a second each way: 115200 baud, 8N1
LATENCY_MS = 5        # the modem's reply latency
CHUNK = 16            # the program writes in chunks of this many bytes
REPLY = len("OK\r\n")
PAUSE = 3.0           # before the search, when the settings name the load file
SHORT = 0.05          # phases shorter than this get no CPU share: the counters move in 10 ms ticks
FIFO = 14             # the PC's receive FIFO trigger level; below it, bytes wait 4 byte times
RESIDENT_SUM = "1234"  # the modem's resident loader checksum; a load with another needs the upload
ERASE = Box("Do you wish to Erase the Entire Flash", "MUST USE FULL ERASE !!! ", "y")
DONE = Box("Flash Programming Completed", "    All Done...")
PHASES = ("start", "probe", "upload", "programming", "end")
GROUPS = ("program", "server", "wine", "X")
CLK_TCK = os.sysconf("SC_CLK_TCK")


def size_arg(text):
    text = text.strip().upper()
    scale = {"K": 1024, "M": 1024 * 1024}.get(text[-1:], 1)
    return int(text.rstrip("KM")) * scale


def size_name(size):
    return "%dK" % (size // 1024) if size < 1024 * 1024 else "%dM" % (size // (1024 * 1024))


def programming_floor(load):
    """The line's own time for the records of `load`, how many there are, and the bytes."""
    records = [l.rstrip("\r\n") for l in open(load) if l.startswith("S")]
    wire = sum(-(-(len(r) + 1) // CHUNK) * CHUNK + REPLY for r in records)  # line + CR, whole chunks
    return wire / LINE_RATE + len(records) * LATENCY_MS / 1000.0, len(records), wire


_ESCAPED = re.compile(r"\\(x[0-9A-F]{2}|r|n)")


def upload_floor(loader, modem_log):
    """The upload's floor: the loader's lines up to their CR, the modem's replies to
    its records (as its -v log shows them), the latency and the FIFO's wait per record."""
    lines = open(loader, "rb").read().split(b"\n")   # the last one, after the final LF, is empty
    written = sum(len(b"at&&f") + len(l) + 1 for l in lines)
    replies = answered = 0
    line = ""
    for entry in open(modem_log, encoding="latin-1"):
        m = re.match(r"^ *[\d.]+  (<-|->) (.*)$", entry.rstrip("\n"))
        if not m:
            continue
        if m.group(1) == "<-":
            line = m.group(2).split("] ", 1)[-1]
        elif line.startswith("at&&f:"):
            replies += len(_ESCAPED.sub("_", m.group(2)))
            answered += 1
    return (written + replies + 4 * answered) / LINE_RATE + answered * LATENCY_MS / 1000.0


# ---- CPU and memory ----------------------------------------------------------------

def group_of(comm):
    """Which of a Wine run's processes this is, by its name; None for the runner's helpers."""
    if comm.startswith("wineserver"):
        return "server"
    if comm == "Xvfb":
        return "X"
    if comm in ("xdotool", "bash", "sh", "import", "sleep"):
        return None
    return "wine"


class Sampler:
    """CPU seconds and peak memory of the program and, under Wine, of the
    processes of the run's private prefix, ten times a second (see above)."""
    PERIOD = 0.1

    def __init__(self, prefix=None):
        self.prefix = prefix and b"WINEPREFIX=" + os.fsencode(prefix) + b"\0"
        self.known = {}      # pid -> True when it belongs to the run
        self.cpu = {}        # pid -> last CPU seconds read
        self.group = {}      # pid -> its group at the last read
        self.comm = {}       # pid -> its name at the last read
        self.hwm = {}        # pid -> highest VmHWM read, kB
        self.samples = []    # (seconds since start, {group: CPU seconds})
        self.stopping = threading.Event()
        self.thread = None

    def start(self, run, pid):
        self.run, self.pid = run, pid
        self.known[pid] = True
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def stop(self):
        if self.thread:
            self.stopping.set()
            self.thread.join()

    def loop(self):
        while True:
            self.sample()
            if self.stopping.wait(self.PERIOD):
                return

    def discover(self):
        for name in os.listdir("/proc"):
            if not name.isdigit() or int(name) in self.known:
                continue
            try:
                env = open("/proc/%s/environ" % name, "rb").read()
            except OSError:
                env = b""
            self.known[int(name)] = (b"\0" + env).find(b"\0" + self.prefix) >= 0

    def read(self, pid):
        try:
            stat = open("/proc/%d/stat" % pid).read()
        except OSError:
            return
        fields = stat[stat.rfind(")") + 2:].split()
        self.cpu[pid] = (int(fields[11]) + int(fields[12])) / CLK_TCK
        self.comm[pid] = stat[stat.find("(") + 1:stat.rfind(")")]
        self.group[pid] = "program" if pid == self.pid else group_of(self.comm[pid])
        try:
            for line in open("/proc/%d/status" % pid):
                if line.startswith("VmHWM:"):
                    self.hwm[pid] = max(self.hwm.get(pid, 0), int(line.split()[1]))
        except OSError:
            pass

    def sample(self):
        t = time.time() - self.run.t0
        if self.prefix:
            self.discover()
        for pid, mine in self.known.items():
            if mine:
                self.read(pid)
        totals = dict.fromkeys(GROUPS, 0.0)
        for pid, cpu in self.cpu.items():
            if self.group.get(pid):
                totals[self.group[pid]] += cpu
        self.samples.append((t, totals))

    def at(self, group, t):
        """The group's CPU seconds at `t`, between the samples around it."""
        s = self.samples
        i = bisect.bisect_left([x[0] for x in s], t)
        if i == 0 or i == len(s):
            return s[min(i, len(s) - 1)][1][group] if s else 0.0
        (t0, a), (t1, b) = s[i - 1], s[i]
        return a[group] + (b[group] - a[group]) * (t - t0) / (t1 - t0)

    def program_ended(self, t, cpu):
        """The program's CPU at its exit (from wait4), which the samples may have missed."""
        point = dict({g: self.at(g, t) for g in GROUPS}, program=cpu)
        self.samples = [(x, dict(v, program=cpu) if x >= t else v) for x, v in self.samples]
        self.samples.insert(bisect.bisect_left([x[0] for x in self.samples], t), (t, point))

    def used(self, group, spans):
        return sum(self.at(group, b) - self.at(group, a) for a, b in spans)

    def peak_kb(self, group):
        kbs = [kb for pid, kb in self.hwm.items() if self.group.get(pid) == group]
        return (max(kbs) if group in ("program", "server") else sum(kbs)) if kbs else None


# ---- phases --------------------------------------------------------------------------

def phase_spans(run, upload):
    """{phase: [(from, to), ...]} and the spans from each box to the program's next trace."""
    ev = run.events

    def find(pred, start):
        return next((i for i in range(max(start, 0), len(ev)) if pred(ev[i][1], ev[i][2])), None)

    def trace(prefix, exact=False):
        return lambda k, s: k == "trace" and (s == prefix if exact else s.startswith(prefix))

    def shown(b, start):
        """When the box came and when the program went on (its next trace)."""
        i = find(lambda k, s: k == "box" and s == b.text, start)
        j = find(trace(""), (i or 0) + 1) if i is not None else None
        return (ev[i][0], ev[j][0]) if j is not None else None

    t = lambda i: ev[i][0]
    write = find(trace("devicewrite("), 0)
    first = find(trace("devicewrite(S"), write or 0)
    done = find(trace("FLASH: Dnld successful", True), first or 0)
    question = shown(ERASE, write or 0) if upload else None
    loader = find(trace("devicewrite(at&&f"), write or 0)
    loaded = find(trace("FLASH: Flash loader code download success", True), loader or 0)
    if None in (write, first, done, run.exit_at) or (upload and None in (question, loader, loaded)):
        return None, None
    spans = {"start": [(0.0, t(write))]}
    boxes = []
    if upload:
        spans["probe"] = [(t(write), question[0])]
        boxes.append(question)
        spans["upload"] = [(t(loader), t(loaded))]
    else:
        spans["probe"] = [(t(write), t(first))]
    spans["programming"] = [(t(first), t(done))]
    final = shown(DONE, done)
    # The runner may read the last traces after it has seen the exit.
    exit_at = max([run.exit_at, t(done)] + list(final or ()))
    if final:
        spans["end"] = [(t(done), final[0]), (final[1], exit_at)]
        boxes.append(final)
    else:
        spans["end"] = [(t(done), exit_at)]
    return spans, boxes


# ---- one run --------------------------------------------------------------------------

def one(kind, size, upload, args):
    program = args.native if kind == "native" else args.exe
    runner = NativeRun if kind == "native" else WineRun
    name = "%s-%s-%s" % (kind, "upload" if upload else "resident", size_name(size))
    run = runner(name, program, args.modemsim, args.out, log=lambda s: None)
    sampler = Sampler(getattr(run, "prefix", None))
    run.on_start = sampler.start
    own = resource.getrusage(resource.RUSAGE_SELF)
    load, load_bin = run.path("modem.hex"), os.path.join(run.art, "load.bin")
    try:
        # S2 records at every size: 1 MB needs 24-bit addresses.
        run.tool([os.path.join(SOURCE_DIR, "scripts", "make-load"), "--quiet", "-o", load, "--size", str(size),
                  "--seed", "7", "--record", "S2", "--type", "I", "--sector", "40",
                  "--checksum", "5678" if upload else RESIDENT_SUM, "--bin", load_bin])
        if upload:
            run.tool([os.path.join(SOURCE_DIR, "scripts", "make-loader"), "--quiet", "-o", run.path("kivfldr.hex")])
        run.write_ini({"modemname": "Bench Modem", "filename": "modem.hex", "atcmd": "ATI5", "response": "V.90^RRFL"})
        run.prepare({"COM3": run.start_modem(["--rate", str(LINE_RATE), "--latency", str(LATENCY_MS),
                                              "--erase-ms", "0", "--flash-size", str(2 * 1024 * 1024),
                                              "--fifo", str(FIFO), "--rrfl-checksum", RESIDENT_SUM,
                                              "--verbose"])})
        run.run(boxes=[ERASE, DONE] if upload else [DONE], timeout=3600)
    except Failure as e:
        run.finish()
        return {"name": name, "error": str(e)}
    finally:
        sampler.stop()
    load_avg = os.getloadavg()[0]
    now = resource.getrusage(resource.RUSAGE_SELF)
    runner_cpu = now.ru_utime + now.ru_stime - own.ru_utime - own.ru_stime
    c = Checker(run)
    c.exit_code(0)
    c.flash_equals_load(load_bin)
    if upload:
        c.modem_count("loader", 603)
    floor, records, wire = programming_floor(load)
    row = {"name": name, "program": kind, "size": size, "upload": upload, "records": records, "wire": wire,
           "ok": not c.failures, "problems": c.failures, "load_avg": load_avg, "job": run.exit_at,
           "runner_cpu": runner_cpu}
    if run.rusage and run.exit_at is not None:
        sampler.program_ended(run.exit_at, run.rusage.ru_utime + run.rusage.ru_stime)
    spans, boxes = phase_spans(run, upload)
    if spans is None:
        row["problems"] = row["problems"] + ["the phases could not be found in the traces"]
        return row
    floors = {"start": PAUSE, "programming": floor}
    if upload:
        floors["upload"] = upload_floor(run.path("kivfldr.hex"), run.modem_log)
    row["phases"] = {}
    for p in PHASES:
        if p not in spans:
            continue
        secs = sum(b - a for a, b in spans[p])
        row["phases"][p] = {"time": secs, "floor": floors.get(p),
                            "cpu": {g: sampler.used(g, spans[p]) for g in GROUPS}}
    row["job"] = spans["end"][-1][1]
    row["boxes"] = sum(b - a for a, b in boxes)
    row["other"] = row["job"] - row["boxes"] - sum(p["time"] for p in row["phases"].values())
    whole = [(0.0, run.exit_at)]
    row["cpu"] = {g: sampler.used(g, whole) for g in GROUPS}
    row["peak_kb"] = {g: sampler.peak_kb(g) for g in GROUPS}
    row["cpu_from"] = "wait4" if run.rusage else "samples"
    row["processes"] = [(pid, sampler.comm.get(pid), sampler.group.get(pid), cpu, sampler.hwm.get(pid))
                        for pid, cpu in sampler.cpu.items()]
    return row


# ---- the tables --------------------------------------------------------------------------

def fmt(v, form, none="-"):
    return none if v is None else form % v


def phase_lines(r, wine):
    lines = []
    for p in PHASES:
        ph = r.get("phases", {}).get(p)
        if not ph:
            continue
        t, fl, cpu = ph["time"], ph["floor"], ph["cpu"]
        pct = lambda g: fmt(100.0 * cpu[g] / t if t >= SHORT and (wine or g == "program") else None, "%.0f")
        lines.append("%-5s %-8s %-7s %-11s %8.2f %8s %6s %6s %6s %6s" % (
            size_name(r["size"]), "upload" if r["upload"] else "resident", r["program"], p, t,
            fmt(fl, "%.2f"), fmt(t / fl if fl else None, "%.2f"), pct("program"), pct("server"), pct("wine")))
    return lines


def whole_line(r):
    head = "%-5s %-8s %-7s" % (size_name(r["size"]), "upload" if r["upload"] else "resident", r["program"])
    if "error" in r:
        return head + " could not run: " + r["error"]
    if "phases" not in r:
        return head + " did not complete: " + "; ".join(r["problems"])
    wine = r["program"] == "wine"
    cpu, kb = r["cpu"], r["peak_kb"]
    sec = lambda g: fmt(cpu[g] if wine or g == "program" else None, "%.2f")
    mb = lambda g: fmt(kb[g] / 1024.0 if kb[g] and (wine or g == "program") else None, "%.1f")
    return "%s %7.2f %5.2f %5.2f %6s %6s %6s %6s %6s %6s %6s %5.1f %s" % (
        head, r["job"], r["boxes"], r["other"], sec("program"), sec("server"), sec("wine"), sec("X"), mb("program"),
        mb("server"), mb("wine"), r["load_avg"], "equal" if r["ok"] else "PROBLEM: " + "; ".join(r["problems"]))


PHASE_HEAD = ("%-5s %-8s %-7s %-11s %8s %8s %6s %6s %6s %6s" % (
    "load", "loader", "program", "phase", "time s", "floor s", "ratio", "prog%", "serv%", "wine%"))
WHOLE_HEAD = ("%-5s %-8s %-7s %7s %5s %5s %6s %6s %6s %6s %6s %6s %6s %5s %s" % (
    "load", "loader", "program", "job s", "boxes", "other", "prog s", "serv s", "wine s", "X s", "progMB",
    "servMB", "wineMB", "load", "flash"))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--native", required=True, help="the Linux flashfile")
    ap.add_argument("--exe", required=True, help="flashfile.exe")
    ap.add_argument("--modemsim", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--sizes", default="16K,64K,256K,1M")
    ap.add_argument("--programs", default="native,wine")
    ap.add_argument("--loader", default="no,yes", help="no: the resident loader fits; yes: the loader is uploaded")
    args = ap.parse_args()
    sizes = [size_arg(s) for s in args.sizes.split(",")]
    programs = args.programs.split(",")
    uploads = [{"no": False, "yes": True}[w.strip()] for w in args.loader.split(",")]

    intro = ["line rate %d bytes/s each way, reply latency %d ms, S2 records of 32 data bytes; "
             "load average %.1f %.1f %.1f at the start" % ((LINE_RATE, LATENCY_MS) + os.getloadavg())]
    print("\n".join(intro), flush=True)
    rows = []
    for size in sizes:
        for upload in uploads:
            for kind in programs:
                r = one(kind, size, upload, args)
                rows.append(r)
                print(whole_line(r), flush=True)
    table = intro + ["", "Phases (CPU as % of one core over the phase: the program, the Wine server,",
                     "Wine's other processes):", PHASE_HEAD, "-" * len(PHASE_HEAD)]
    for r in rows:
        table += phase_lines(r, r.get("program") == "wine")
    table += ["", "Whole runs, from start to the program's exit (boxes: from each box to the program's next",
              "trace; other: the time in no phase and no box; CPU seconds and peak memory of the program,",
              "the Wine server, Wine's other processes, the X server; load average at the end):",
              WHOLE_HEAD, "-" * len(WHOLE_HEAD)]
    table += [whole_line(r) for r in rows]
    print("\n" + "\n".join(table), flush=True)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "bench.txt"), "w") as f:
        f.write("\n".join(table) + "\n")
    with open(os.path.join(args.out, "bench.json"), "w") as f:
        json.dump(rows, f, indent=1)
    print("(kept in %s and bench.json)" % os.path.join(args.out, "bench.txt"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
