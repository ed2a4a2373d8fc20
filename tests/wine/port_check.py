#!/usr/bin/env python3
"""Checks the real Win32 serial backend under Wine on a pseudo-terminal.

    port_check.py PORT_CHECK_EXE [WORK_DIR]

Maps COM3 to a fresh pty in a private Wine prefix, runs port_check.exe,
and checks from the Linux side: the line settings open_comm_port made,
"AT\\r" as exactly 16 bytes, a read with nothing waiting returning at once,
a TransmitCommChar character arriving, and a reply found by the wait.
"""
import os
import pty
import select
import subprocess
import sys
import termios
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
WINE_ENV = os.path.join(HERE, "wine-env.sh")

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def env_shell(script, env):
    """Runs bash with wine-env.sh sourced; returns its stdout."""
    r = subprocess.run(["bash", "-c", '. "$0"; set -e; ' + script, WINE_ENV],
                       env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=900)
    if r.returncode != 0:
        sys.exit("wine set-up failed: %s\n%s" % (script, r.stderr))
    return r.stdout


def read_exact(fd, n, timeout):
    data = b""
    end = time.monotonic() + timeout
    while len(data) < n:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        data += os.read(fd, n - len(data))
    return data


def read_more(fd, wait):
    """Whatever else arrives within `wait` seconds."""
    data = b""
    while select.select([fd], [], [], wait)[0]:
        try:
            chunk = os.read(fd, 256)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


class Program:
    def __init__(self, exe, env):
        self.p = subprocess.Popen(["wine", exe, "3"], env=env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def answer(self, timeout=60):
        if not select.select([self.p.stdout], [], [], timeout)[0]:
            return None
        return self.p.stdout.readline().strip()

    def ask(self, command):
        self.p.stdin.write(command + "\n")
        self.p.stdin.flush()
        return self.answer()


def main():
    exe = sys.argv[1]
    work = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else "port_check")
    os.makedirs(work, exist_ok=True)
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all,+debugstr"

    master, slave = pty.openpty()
    tty.setraw(slave)
    pts = os.ttyname(slave)
    prefix = os.path.join(work, "prefix")
    env_shell('wine_private_prefix "%s"; wine_map_com COM3 "%s"' % (prefix, pts), env)
    env["WINEPREFIX"] = prefix

    prog = Program(exe, env)
    try:
        opened = prog.answer(120)
        check(opened == "opened COM3:19200,n,8,1", "open_comm_port on COM3 (%s)" % opened)
        if not opened or not opened.startswith("opened"):
            return

        attrs = termios.tcgetattr(slave)
        iflag, oflag, cflag, lflag, ispeed, ospeed = attrs[:6]
        check(ispeed == termios.B115200 and ospeed == termios.B115200,
              "115200 baud (in %d, out %d)" % (ispeed, ospeed))
        check(cflag & termios.CSIZE == termios.CS8, "8 data bits")
        check(not cflag & termios.PARENB, "no parity")
        check(not cflag & termios.CSTOPB, "one stop bit")
        check(bool(cflag & termios.CRTSCTS), "hardware flow control (CRTSCTS)")
        check(not iflag & (termios.IXON | termios.IXOFF), "no XON/XOFF")

        r = prog.ask("write")
        got = read_exact(master, 16, 10) + read_more(master, 0.5)
        check(r == "write 16", "send_command result (%s)" % r)
        check(got == b"AT\r" + bytes(13), "AT\\r arrives as 16 bytes, 13 of them zero (%r)" % got)

        r = prog.ask("idle")
        ok = False
        if r and r.startswith("idle "):
            f = r.replace(";", "").split()
            # idle <n> <ms> ms readfile <ok> <got> <ms> ms
            ok = f[1] == "0" and int(f[2]) < 200 and f[5] == "1" and f[6] == "0" and int(f[7]) < 200
        check(ok, "read with nothing waiting returns at once (%s)" % r)

        r = prog.ask("char Y")
        got = read_exact(master, 1, 10) + read_more(master, 0.5)
        check(r == "char 1" and got == b"Y", "TransmitCommChar Y arrives (%s, %r)" % (r, got))

        prog.p.stdin.write("wait\n")
        prog.p.stdin.flush()
        time.sleep(0.3)
        os.write(master, b"\r\nO")
        time.sleep(0.2)
        os.write(master, b"K\r\n")
        r = prog.answer(30)
        check(r == "wait 1 6", "reply split across reads found by wait_for_reply (%s)" % r)

        r = prog.ask("quit")
        check(r == "closed", "close_port (%s)" % r)
        try:
            err = prog.p.communicate(timeout=60)[1]
        except subprocess.TimeoutExpired:
            prog.p.kill()
            err = prog.p.communicate()[1]
        open(os.path.join(work, "stderr.txt"), "w").write(err)
        check('OutputDebugStringA "devicewrite(AT\\r)\\n"' in err, "debug trace reaches OutputDebugStringA")
        check(prog.p.returncode == 0, "program exit code %s" % prog.p.returncode)
    finally:
        if prog.p.poll() is None:
            prog.p.kill()
            prog.p.wait()
        # The server holds the pty; let it go before the master side closes.
        env_shell("wine_stop", env)
        os.close(slave)
        os.close(master)

    if failures:
        sys.exit("%d check(s) failed" % len(failures))


if __name__ == "__main__":
    main()
