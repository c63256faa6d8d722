#!/usr/bin/env python3
"""The kernel test's host side: boots the guest on each host controller with two usbredir
boards, serves the guest's requests, and reports every scenario.

  run.py --cache build/kernel --bin build/default [--hc ehci,xhci] [--run all|a,b]

The guest's console (ttyS0) goes to CACHE/<hc>-console.log; its RESULT lines become the
report, closed by "N passed, M failed". Requests arrive on the guest's ttyS1, one line each,
and are answered with one line:
  board N COMMAND       a line for board N's program (see usbredir_board.cpp); for a board
                        that cannot wait, "source fixed RATE [FIFO]" makes its source produce
                        RATE bytes per second into a FIFO of FIFO bytes whether or not the
                        guest has requests queued, dropping what does not fit, "dropped"
                        answers "ok N" with the bytes dropped so far, and "source counter"
                        goes back to the counter source, which waits for the guest
  later MS REQUEST      REQUEST after MS milliseconds; answered at once
  device-del N          QEMU's device_del of board N
  device-add N          board N's device and connection made anew
  ensure-plugged N      board N plugged in, whichever way it went
  ram-matches N FILE    board N's RAM against the data records of examples/firmware/FILE
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SERIALS = ["QX-KVM-0001", "QX-KVM-0002"]
BOOT_LIMIT = 90  # seconds from start to the guest's "booted" line
RUN_LIMIT = 400  # seconds for the whole guest run


def connect_unix(path, limit=10.0):
    deadline = time.monotonic() + limit
    while True:
        try:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.connect(path)
            return sock
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


class Monitor:
    """QEMU's human monitor: one command at a time, answered up to the next prompt."""

    def __init__(self, path):
        self.sock = connect_unix(path)
        self.lock = threading.Lock()
        self._until_prompt()

    def _until_prompt(self):
        data = b""
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                raise OSError("monitor closed")
            data += chunk
        return data.decode(errors="replace")

    def command(self, line):
        with self.lock:
            self.sock.sendall(line.encode() + b"\n")
            return self._until_prompt()


class Board:
    """One usbredir board program, driven line by line."""

    def __init__(self, program, sock_path, serial, log):
        self.process = subprocess.Popen([program, sock_path, serial], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=log, text=True, bufsize=1)
        self.lock = threading.Lock()
        self.serial = serial

    def command(self, line):
        with self.lock:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()
            return self.process.stdout.readline().strip() or "error board program ended"

    def stop(self):
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.close()
            self.process.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        if self.process.returncode != 0:
            print("board program %s ended with %d" % (self.serial, self.process.returncode),
                  flush=True)


def hex_records(path):
    """The data records of an Intel HEX file: (address, bytes)."""
    records = []
    with open(path) as image:
        for line in image:
            line = line.strip()
            if not line.startswith(":"):
                continue
            raw = bytes.fromhex(line[1:])
            count, address, kind = raw[0], raw[1] << 8 | raw[2], raw[3]
            if kind != 0:
                break
            records.append((address, raw[4:4 + count]))
    return records


class Guest:
    def __init__(self, args, hc, workdir):
        self.args, self.hc, self.dir = args, hc, workdir
        self.results = []
        self.booted = threading.Event()
        self.finished = False
        self.boards = []
        self.monitor = None
        self.deleted = set()  # boards whose device QEMU's device_del took
        self.device_generation = 0

    def path(self, name):
        return os.path.join(self.dir, name)

    def qemu_command(self):
        controller = {"ehci": "usb-ehci", "xhci": "qemu-xhci"}[self.hc]
        command = [
            "qemu-system-x86_64", "-accel", "tcg", "-machine", "pc", "-m", "512", "-smp", "1",
            "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", os.path.join(self.args.cache, "vmlinux"),
            "-initrd", os.path.join(self.args.cache, "initramfs.cpio"),
            # no_timer_check: on a busy host the emulated timer can miss the kernel's IO-APIC
            # check, which then panics at boot ("IO-APIC + timer doesn't work").
            "-append", "console=ttyS0 quiet loglevel=3 panic=-1 no_timer_check quorix.hc=%s "
            "quorix.run=%s" % (self.hc, self.args.run),
            "-serial", "stdio",
            "-chardev", "socket,id=host,path=%s,server=on,wait=off" % self.path("host.sock"),
            "-serial", "chardev:host",
            "-monitor", "unix:%s,server=on,wait=off" % self.path("monitor.sock"),
            "-device", "%s,id=hc" % controller,
        ]
        for n in range(len(SERIALS)):
            command += ["-chardev", self.board_chardev(n), "-device", self.board_device(n)]
        return command

    def board_chardev(self, n, suffix=""):
        return "socket,id=b%d%s,path=%s,server=on,wait=off" % (n, suffix, self.path("b%d.sock" % n))

    def board_device(self, n, suffix=""):
        return "usb-redir,chardev=b%d%s,id=board%d,bus=hc.0,port=%d" % (n, suffix, n, n + 1)

    # ---- the guest's requests ----

    def serve(self, request):
        words = request.split()
        try:
            if words[0] == "board":
                return self.boards[int(words[1])].command(" ".join(words[2:]))
            if words[0] == "later":
                timer = threading.Timer(int(words[1]) / 1000.0, self.serve, [" ".join(words[2:])])
                timer.daemon = True
                timer.start()
                return "ok"
            if words[0] == "device-del":
                n = int(words[1])
                self.monitor.command("device_del board%d" % n)
                self.deleted.add(n)
                return "ok"
            if words[0] == "device-add":
                return self.device_add(int(words[1]))
            if words[0] == "ensure-plugged":
                n = int(words[1])
                if n in self.deleted:
                    return self.device_add(n)
                return self.boards[n].command("plug")
            if words[0] == "ram-matches":
                return self.ram_matches(int(words[1]), words[2])
        except (IndexError, ValueError, OSError) as error:
            return "error %s" % error
        return "error unknown request"

    def device_add(self, n):
        # device_del took the device and its chardev with it: both are made anew, and the
        # board connects to the new socket.
        self.boards[n].command("unplug socket")
        self.deleted.discard(n)
        self.device_generation += 1
        suffix = "g%d" % self.device_generation
        os.unlink(self.path("b%d.sock" % n)) if os.path.exists(self.path("b%d.sock" % n)) else None
        answer = self.monitor.command("chardev-add " + self.board_chardev(n, suffix))
        if "rror" in answer:
            return "error chardev-add: " + answer.strip()
        answer = self.monitor.command("device_add " + self.board_device(n, suffix))
        if "rror" in answer:
            return "error device_add: " + answer.strip()
        return self.boards[n].command("plug")

    def ram_matches(self, n, name):
        for address, data in hex_records(os.path.join(SOURCE, "examples", "firmware", name)):
            if not data:
                continue
            answer = self.boards[n].command("ram %d %d" % (address, len(data)))
            if answer != "ok " + data.hex():
                return "error RAM at 0x%04x: %s, image %s" % (address, answer, data.hex())
        return "ok"

    def serve_host_line(self, sock):
        pending = b""
        while True:
            try:
                chunk = sock.recv(4096)
            except OSError:
                return
            if not chunk:
                return
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                request = line.decode(errors="replace").strip()
                if request:
                    answer = self.serve(request)
                    sock.sendall(answer.encode() + b"\n")

    def read_console(self, stream, log):
        for raw in stream:
            line = raw.decode(errors="replace").rstrip("\r\n")
            log.write(line + "\n")
            log.flush()
            if line.startswith("QUORIX-GUEST booted"):
                self.booted.set()
            if line.startswith("QUORIX-GUEST done"):
                self.finished = True
            if line.startswith("RESULT "):
                self.results.append(line.split(" ", 3)[1:])
                print(line, flush=True)

    # ---- one boot ----

    def run(self):
        log = open(os.path.join(self.args.cache, "%s-console.log" % self.hc), "w")
        board_log = open(os.path.join(self.args.cache, "%s-boards.log" % self.hc), "w")
        start = time.monotonic()
        qemu = subprocess.Popen(self.qemu_command(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=log)
        try:
            program = os.path.join(self.args.bin, "tests", "kernel", "quorix_usbredir_board")
            for n, serial in enumerate(SERIALS):
                self.boards.append(Board(program, self.path("b%d.sock" % n), serial, board_log))
                answer = self.boards[n].command("plug")
                if answer != "ok":
                    raise RuntimeError("board %d: %s" % (n, answer))
            self.monitor = Monitor(self.path("monitor.sock"))
            host = connect_unix(self.path("host.sock"))
            threading.Thread(target=self.serve_host_line, args=(host,), daemon=True).start()
            console = threading.Thread(target=self.read_console, args=(qemu.stdout, log),
                                       daemon=True)
            console.start()
            if not self.booted.wait(BOOT_LIMIT):
                return "boot"
            booted = time.monotonic() - start
            try:
                qemu.wait(timeout=RUN_LIMIT)
            except subprocess.TimeoutExpired:
                print("%s: the guest ran past %d s; see %s" % (self.hc, RUN_LIMIT, log.name))
            console.join(timeout=5)
            print("%s: booted in %.1f s, ran in %.1f s" % (self.hc, booted,
                                                        time.monotonic() - start), flush=True)
            return "ran"
        finally:
            if qemu.poll() is None:
                qemu.kill()
            qemu.wait()
            for board in self.boards:
                board.stop()
            log.close()
            board_log.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cache", required=True, help="the guest's folder (make-guest.sh)")
    parser.add_argument("--bin", required=True, help="the CMake build folder")
    parser.add_argument("--hc", default="ehci,xhci", help="host controllers, comma-separated")
    parser.add_argument("--run", default="all", help="scenarios, comma-separated, or all")
    args = parser.parse_args()
    args.cache = os.path.abspath(args.cache)

    passed = failed = 0
    for hc in args.hc.split(","):
        results = []
        for attempt in range(2):  # a second boot only when the first did not come up
            workdir = tempfile.mkdtemp(prefix="quorix-kernel-")
            try:
                guest = Guest(args, hc, workdir)
                outcome = guest.run()
                results = guest.results
            finally:
                shutil.rmtree(workdir, ignore_errors=True)
            if outcome != "boot":
                break
            print("%s: the guest did not boot (attempt %d)" % (hc, attempt + 1), flush=True)
        if not guest.finished:
            print("FAIL %s: the guest stopped before its end; see %s/%s-console.log"
                  % (hc, args.cache, hc), flush=True)
            failed += 1
        for name, outcome in ((r[1], r[2]) for r in results):
            if outcome.startswith("pass"):
                passed += 1
            else:
                failed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
