"""modemsim over a real pseudo-terminal. Needs MODEMSIM (the program) and
TESTDATA (the build's testdata folder) in the environment."""
import os
import subprocess
import tempfile
import threading
import time
import unittest

from modem_client import Modemsim, Port, text_lines

MODEMSIM = os.environ.get("MODEMSIM", "modemsim")
TESTDATA = os.environ.get("TESTDATA", "testdata")


def srec(addr, data):
    body = bytes([len(data) + 5]) + addr.to_bytes(4, "big") + data
    return "S3" + body.hex().upper() + "%02X" % (~sum(body) & 0xFF)


class Dialogue(unittest.TestCase):
    def test_whole_job_over_the_symlink(self):
        with tempfile.TemporaryDirectory() as tmp:
            link = os.path.join(tmp, "COM3")
            image = os.path.join(tmp, "flash.bin")
            transcript = os.path.join(tmp, "transcript.txt")
            sim = Modemsim(MODEMSIM, "--erase-ms", "300", "--type", "S", "--image", image,
                           "--transcript", transcript, link=link)
            try:
                self.assertTrue(os.path.islink(link))
                self.assertEqual(os.readlink(link), sim.device)
                port = Port(link)
                # The probe's opening and the identification.
                for cmd, units in (("AAAAT", 2), ("AT", 1), ("AAAAT", 1), ("AT&&F", 1)):
                    port.command(cmd)
                    self.assertTrue(port.wait("OK", 2 * units), cmd)
                port.command("ATI5")
                self.assertTrue(port.wait("OK", 2))
                self.assertEqual(port.rx[:7], b"ATI5\r\r\n")
                self.assertEqual(port.rx[7:8], b"S")
                port.command("AT&&FFL")
                self.assertTrue(port.wait("OK", 2))
                self.assertIn(b"1234,40,", port.rx)
                # The loader upload; the last reply holds the version before OK.
                for line in text_lines(os.path.join(TESTDATA, "kivfldr.hex")):
                    port.line("at&&f" + line)
                    self.assertTrue(port.wait("OK", 6), line)
                self.assertIn(b"Ver:1.4", port.rx)
                self.assertLess(port.rx.index(b"Ver:1.4"), port.rx.index(b"OK"))
                port.line("at&&f", b"\xff")  # the empty rest after the last LF: no reply
                self.assertEqual(port.listen(0.3), b"")
                # The load, record by record; the first waits for the erase.
                load = text_lines(os.path.join(TESTDATA, "load_small.hex"))
                t0 = time.monotonic()
                for i, rec in enumerate(load):
                    port.line(rec)
                    self.assertTrue(port.wait("OK", 360 if i == 0 else 180), rec)
                    self.assertNotIn(b"NOK", port.rx)
                    if i == 0:
                        self.assertGreaterEqual(time.monotonic() - t0, 0.3)
                # A corrupted record: NOK3.
                port.line(load[1][:-2] + ("00" if load[1][-2:] != "00" else "01"))
                self.assertTrue(port.wait("OK", 2))
                self.assertIn(b"NOK3", port.rx)
                # Z: banner and OK; the load again; Y.
                port.write_raw(b"Z")
                self.assertTrue(port.wait("OK", 6))
                self.assertIn(b"Ver:1.4", port.rx)
                for rec in load:
                    port.line(rec)
                    self.assertTrue(port.wait("OK", 180))
                    self.assertNotIn(b"NOK", port.rx)
                port.write_raw(b"Y")
                time.sleep(0.2)
                port.close()
            finally:
                rc, err = sim.stop()
            self.assertEqual(rc, 0, err)
            self.assertFalse(os.path.lexists(link), "the symlink is removed on exit")
            flash = open(image, "rb").read()
            want = open(os.path.join(TESTDATA, "load_small.bin"), "rb").read()
            self.assertEqual(len(flash), 0x20000)
            self.assertEqual(flash[:len(want)], want)
            self.assertEqual(flash[len(want):], b"\xff" * (len(flash) - len(want)))
            lines = open(transcript).read().splitlines()
            self.assertIn("firmware ATI5", lines[4])
            self.assertTrue(lines[-1].endswith("loader char Y"), lines[-1])


class Pacing(unittest.TestCase):
    """Line-rate emulation: measured, reported, and held to a generous band."""

    def measure_input(self):
        sim = Modemsim(MODEMSIM, "--erase-ms", "0", "--latency", "1", "--no-echo")
        try:
            port = Port(sim.device)
            port.command("AT&&FGO")
            self.assertTrue(port.wait("OK", 2))
            records = [srec(32 * i, bytes((i + k) & 0xFF for k in range(32))) for i in range(1280)]
            wire = b"".join((r + "\r\n").encode().ljust(80, b"\0")[:80] for r in records)
            self.assertGreaterEqual(len(wire), 100 * 1024)
            got = bytearray()

            def reader():
                port.rx = b""
                end = time.monotonic() + 30
                while got.count(b"OK") < len(records) and time.monotonic() < end:
                    got.extend(port.listen(0.05))

            t = threading.Thread(target=reader)
            start = time.monotonic()
            t.start()
            port.write_raw(wire)
            t.join()
            elapsed = time.monotonic() - start
            self.assertEqual(got.count(b"OK"), len(records))
            self.assertEqual(got.count(b"NOK"), 0)
            port.close()
            return len(wire) / elapsed
        finally:
            sim.stop()

    def measure_output(self):
        sim = Modemsim(MODEMSIM, "--fault", "flood:102400@cmd:1", "--latency", "0")
        try:
            port = Port(sim.device)
            start = time.monotonic()
            port.command("AT")
            self.assertTrue(port.wait("OK", 30))
            elapsed = time.monotonic() - start
            n = len(port.rx)
            port.close()
            self.assertGreaterEqual(n, 102400)
            return n / elapsed
        finally:
            sim.stop()

    def test_100k_each_way(self):
        rate_in = self.measure_input()
        rate_out = self.measure_output()
        print("\nmodemsim pacing: PC->modem %.0f B/s, modem->PC %.0f B/s (line 11520 B/s)" % (rate_in, rate_out))
        for rate in (rate_in, rate_out):
            self.assertGreater(rate, 11520 * 0.8)
            self.assertLess(rate, 11520 * 1.2)


class Options(unittest.TestCase):
    def test_help_lists_every_option(self):
        out = subprocess.run([MODEMSIM, "--help"], capture_output=True, text=True).stdout
        for opt in ("--link", "--device", "--rate", "--type", "--resident", "--sector", "--rrfl-checksum",
                    "--rrfl-version", "--loader-version", "--custom-cmd", "--custom-reply", "--latency",
                    "--erase-ms", "--flash-size", "--fault", "--random", "--seed", "--image", "--transcript",
                    "noreply", "late", "nok", "split", "garbage", "flood", "silence", "erasefail"):
            self.assertIn(opt, out)

    def test_bad_option_is_explained(self):
        r = subprocess.run([MODEMSIM, "--fault", "nok:9@rec:1"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 2)
        self.assertIn("1 to 4", r.stderr)
        r = subprocess.run([MODEMSIM, "--sector", "32"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 2)
        self.assertIn("64, 16 or 0", r.stderr)

    def test_exit_after_y_writes_the_image(self):
        with tempfile.TemporaryDirectory() as tmp:
            image = os.path.join(tmp, "flash.bin")
            sim = Modemsim(MODEMSIM, "--exit-after-y", "--erase-ms", "10", "--flash-size", "4096",
                           "--image", image, "--timeout", "20")
            port = Port(sim.device)
            port.command("AT&&FGO")
            self.assertTrue(port.wait("OK", 2))
            port.line("S1070000AABBCCDDEA")
            self.assertTrue(port.wait("OK", 2))
            port.write_raw(b"Y")
            self.assertEqual(sim.proc.wait(timeout=5), 0)
            port.close()
            flash = open(image, "rb").read()
            self.assertEqual(flash[:5], b"\xaa\xbb\xcc\xdd\xff")
            self.assertEqual(len(flash), 4096)
            self.assertIn("1 records (1 OK", sim.proc.stderr.read().decode())

    def test_resident_modem_with_a_fault(self):
        sim = Modemsim(MODEMSIM, "--resident", "--type", "P", "--sector", "16", "--rrfl-checksum", "ABCD",
                       "--fault", "noreply@cmd:2")
        try:
            port = Port(sim.device)
            port.command("ATI5")
            self.assertTrue(port.wait("OK", 2))
            self.assertEqual(port.rx[7:8], b"P")
            self.assertIn(b"RRFL,10,ABCD", port.rx)
            port.command("ATI5")
            self.assertFalse(port.wait("OK", 1))
            self.assertEqual(port.rx, b"ATI5\r")
            port.close()
        finally:
            sim.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
