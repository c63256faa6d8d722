"""asyncio: awaits that lose nothing when cancelled, on the data-ready descriptor and on the
waiter thread; their ends by a close, an unplug and Ctrl-C; plug events."""

import asyncio
import contextlib
import os
import random
import subprocess
import sys
import threading
from typing import Optional

import numpy as np
import pytest

import quorix
from quorix import device as device_module
from quorix import sim


def counter_bytes(count: int) -> bytes:
    return np.arange((count + 3) // 4, dtype="<u4").tobytes()[:count]


# The waiter thread's path costs a slice of its wait after each timeout: fewer rounds there.
@pytest.mark.parametrize("queue, path, wanted", [
    (quorix.ReadQueue(2, 16 * 1024, 64 * 1024), "descriptor", 1000), (None, "waiter thread", 250)])
def test_timeouts_around_awaits_lose_no_byte(board: int, queue: Optional[quorix.ReadQueue],
                                             path: str, wanted: int) -> None:
    # Slow enough that most awaits time out part of the way through, some past half the
    # ring, which the ready threshold cannot cover.
    sim.set_source(board, sim.SOURCE_COUNTER, 4 << 20)
    stream = bytearray()

    async def run(device: quorix.Device) -> int:
        rng = random.Random(29)
        timeouts = 0
        while timeouts < wanted:
            count = rng.randrange(1, 48 * 1024)
            try:
                stream.extend(await asyncio.wait_for(device.read_async(count),
                                                     rng.uniform(0.0005, 0.005)))
            except TimeoutError:
                timeouts += 1
            if rng.random() < 0.05:  # what the cancelled awaits took comes first here too
                stream.extend(device.read_up_to(count))
            elif rng.random() < 0.05:
                buffer = bytearray(count)
                assert await device.readinto_async(buffer) == count
                stream.extend(buffer)
        return timeouts

    with quorix.open(read_queue=queue) as device:
        assert (device._ready_descriptor(device._handle) >= 0) == (path == "descriptor")  # type: ignore[arg-type]
        timeouts = asyncio.run(run(device))
    print("%s: %d timeouts, %d bytes checked" % (path, timeouts, len(stream)))
    assert timeouts == wanted
    assert len(stream) > 0 and stream == counter_bytes(len(stream))


def test_awaits_end_with_a_close_or_an_unplug_and_hand_over_their_bytes(quiet_board: int) -> None:
    async def run() -> None:
        device = quorix.open()
        sim.push_in(quiet_board, b"abc")
        waiting = asyncio.ensure_future(device.read_async(100))
        while device.available:  # the await took the three bytes and waits for more
            await asyncio.sleep(0.001)
        closer = threading.Thread(target=device.close)
        closer.start()
        with pytest.raises(quorix.NotOpenError) as closed:
            await waiting
        closer.join()
        assert (closed.value.partial, closed.value.transferred) == (b"abc", 3)

        with quorix.open() as device:
            sim.push_in(quiet_board, bytes(range(250)))
            chunks = device.chunks(100)
            assert [await chunks.__anext__(), await chunks.__anext__()] == [bytes(range(100)),
                                                                          bytes(range(100, 200))]
            sim.unplug(quiet_board)
            with pytest.raises(quorix.DriverError) as gone:
                await chunks.__anext__()
            assert gone.value.winerror == 1167 and gone.value.partial == bytes(range(200, 250))

    asyncio.run(run())


def test_watch_reports_each_plug_and_unplug_and_unregisters_when_it_ends(board: int) -> None:
    async def run() -> None:
        with quorix.open() as device:
            async with contextlib.aclosing(quorix.watch(present=True)) as events:
                assert await events.__anext__() == quorix.PlugEvent("arrived", "QX-PY-0001", device)
                sim.unplug(board)
                assert await events.__anext__() == quorix.PlugEvent("left", "QX-PY-0001", device)
                sim.replug(board)
                assert await events.__anext__() == quorix.PlugEvent("arrived", "QX-PY-0001", None)
                assert len(device_module._plug_callbacks) == 1
            assert device_module._plug_callbacks == {}

        async def first_event() -> None:
            async for _ in quorix.watch():
                pass

        waiting = asyncio.ensure_future(first_event())
        while not device_module._plug_callbacks:
            await asyncio.sleep(0.001)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        assert device_module._plug_callbacks == {}

    asyncio.run(asyncio.wait_for(run(), 60))


# asyncio.run turns Ctrl-C into a cancellation of the main task, and KeyboardInterrupt after it.
_CTRL_C_PROGRAM = r"""
import asyncio, os, signal, sys, threading, time
sys.path.insert(0, sys.argv[1])
import quorix
from quorix import sim

quorix.load(simulated=True)
sim.reset()
board = sim.add_board("QX-PY-CTRL-C")
sim.set_source(board, sim.SOURCE_NONE, 0)
sent = []


async def main(device):
    sim.push_in(board, b"abc")
    waiting = asyncio.ensure_future(device.read_async(100))
    while device.available:  # the await took the three bytes and waits for more
        await asyncio.sleep(0.001)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
    await waiting


for queue in (quorix.DEFAULT_READ_QUEUE, None):
    with quorix.open(read_queue=queue) as device:
        try:
            asyncio.run(main(device))
        except KeyboardInterrupt:
            print("%s: Ctrl-C ended the await %.1f ms after the signal; then %r" % (
                "descriptor" if queue else "waiter thread", 1000 * (time.monotonic() - sent[-1]),
                device.read(3)), flush=True)
"""


def test_ctrl_c_ends_an_await_at_once_and_loses_nothing() -> None:
    package = os.path.join(os.path.dirname(__file__), "..")
    result = subprocess.run([sys.executable, "-c", _CTRL_C_PROGRAM, package],
                            capture_output=True, text=True, timeout=120)
    print(result.stdout, end="")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == ["descriptor", "waiter thread"]
    assert all(line.endswith("then b'abc'") for line in lines)
