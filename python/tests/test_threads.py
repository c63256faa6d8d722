"""The package from several Python threads: a reader streams while the main thread uses the
same board, a close from the main thread ends a read that waits without limit, and a child
forked while a thread waits inside a read exits."""

import os
import subprocess
import sys
import threading

import numpy as np

import quorix
from quorix import sim


def test_a_reader_streams_while_another_thread_uses_the_board(board: int) -> None:
    sim.set_source(board, sim.SOURCE_COUNTER, sim.RATE_UNLIMITED)
    words = np.empty(4 << 20, dtype="<u4")  # 16 MiB
    errors: list[BaseException] = []
    with quorix.open() as device:
        device.timeout = 2000

        def read() -> None:
            try:
                for start in range(0, len(words), 65537):
                    device.readinto(words[start:start + 65537])
            except BaseException as error:  # noqa: BLE001 - reported by the main thread
                errors.append(error)

        reader = threading.Thread(target=read)
        reader.start()
        rounds = 0
        while reader.is_alive():
            device.port_d = rounds & 0xFF
            assert device.port_d == rounds & 0xFF
            device.eeprom.write(0x400, bytes([rounds & 0xFF] * 8))
            assert device.eeprom.read(0x400, 8) == bytes([rounds & 0xFF] * 8)
            assert device.available >= 0
            assert quorix.count() == 1
            rounds += 1
        reader.join()
    assert not errors
    assert np.array_equal(words, np.arange(len(words), dtype="<u4"))
    assert rounds > 0


def test_a_close_from_another_thread_ends_a_waiting_read(quiet_board: int) -> None:
    device = quorix.open()
    device.timeout = 0  # without limit: only the close can end it
    sim.push_in(quiet_board, b"abc")
    outcome: list[BaseException] = []

    def read() -> None:
        try:
            device.read(100)
        except quorix.QuorixError as error:
            outcome.append(error)

    reader = threading.Thread(target=read)
    reader.start()
    reader.join(0.05)
    assert reader.is_alive()
    device.close()
    reader.join(10)
    assert not reader.is_alive()
    assert isinstance(outcome[0], quorix.NotOpenError)
    assert outcome[0].partial == b"abc"


# A program of its own, so that each forked child ends as a Python program does: sys.exit(0),
# the interpreter's shutdown, then the library's destructors. It prints how many ended.
_FORK_PROGRAM = r"""
import os, sys, threading, time
sys.path.insert(0, sys.argv[1])
import quorix
from quorix import sim

quorix.load(simulated=True)
sim.reset()
board = sim.add_board("QX-PY-FORK")
sim.set_source(board, sim.SOURCE_NONE, 0)
device = quorix.open()
device.timeout = 0  # without limit: the read waits until the close


def read() -> None:
    try:
        device.read(1)
    except quorix.QuorixError:
        pass


reader = threading.Thread(target=read)
reader.start()
reader.join(0.05)
ended = 0
for _ in range(16):
    child = os.fork()
    if child == 0:
        sys.exit(0)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        done, status = os.waitpid(child, os.WNOHANG)
        if done == child:
            ended += os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
            break
        time.sleep(0.002)
    else:
        os.kill(child, 9)
        os.waitpid(child, 0)
        break
device.close()
reader.join()
print("ended", ended, "of 16")
"""


def test_forked_children_exit_while_a_thread_waits_inside_a_read() -> None:
    package = os.path.join(os.path.dirname(__file__), "..")
    result = subprocess.run([sys.executable, "-c", _FORK_PROGRAM, package],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ended 16 of 16"
