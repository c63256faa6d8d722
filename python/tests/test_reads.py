"""Reads that lose nothing when they time out, over the C API's exact-count read."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import quorix
from quorix import device as device_module
from quorix import sim


def pattern(count: int, first: int) -> bytes:
    return bytes((first + i) & 0xFF for i in range(count))


def test_a_read_that_times_out_hands_over_the_bytes_it_took(quiet_board: int) -> None:
    with quorix.open() as device:
        device.timeout = 20
        sim.push_in(quiet_board, pattern(100, 0))  # 100 bytes arrive; 200 are asked for
        with pytest.raises(quorix.TimeoutError) as caught:
            device.read(200)
        assert caught.value.partial == pattern(100, 0)
        assert caught.value.transferred == 100
        assert "after 100 bytes" in str(caught.value)

        sim.push_in(quiet_board, pattern(100, 100))
        buffer = bytearray(b"\xee" * 200)
        with pytest.raises(TimeoutError) as timed_out:  # Python's own TimeoutError too
            device.readinto(buffer)
        assert isinstance(timed_out.value, quorix.QuorixError)
        assert timed_out.value.transferred == 100
        assert bytes(timed_out.value.partial) == pattern(100, 100)  # a view of the buffer
        assert buffer == pattern(100, 100) + b"\xee" * 100
        del timed_out

        # Nothing was held back or dropped: the next bytes pushed are the next ones read.
        sim.push_in(quiet_board, pattern(30, 7))
        assert device.read(30) == pattern(30, 7)


def test_read_up_to_returns_what_arrived_within_the_timeout(quiet_board: int) -> None:
    with quorix.open() as device:
        device.timeout = 20
        sim.push_in(quiet_board, pattern(100, 5))
        assert device.read_up_to(200) == pattern(100, 5)
        assert device.read_up_to(200) == b""  # nothing arrived: no error either

        sim.push_in(quiet_board, pattern(1500, 1))  # three packets, the last one short
        words = np.zeros(50, dtype="<u4")
        assert device.readinto_up_to(words) == 200  # a full buffer returns at once
        assert words.tobytes() == pattern(200, 1)
        assert device.available == 1300
        assert device.read_up_to(5000) == pattern(1300, 201)
        with pytest.raises(TypeError):
            device.readinto_up_to(b"read-only")
        with pytest.raises(ValueError):
            device.read_up_to(-1)


def test_bytes_the_ring_kept_after_the_read_failed_are_still_delivered(quiet_board: int) -> None:
    with quorix.open() as device:
        sim.push_in(quiet_board, pattern(100, 3))
        assert device.available == 100  # in the ring, the next read posted
        sim.unplug(quiet_board)  # which ends that read with 1167
        with pytest.raises(quorix.DriverError) as caught:
            device.read_up_to(200)
        assert caught.value.winerror == 1167
        assert caught.value.partial == pattern(100, 3)


def test_a_buffer_beyond_four_gibibytes_is_not_cut_to_32_bits(quiet_board: int) -> None:
    try:
        huge = np.empty((1 << 32) + 16, dtype=np.uint8)  # address space; untouched pages are free
    except MemoryError:
        pytest.skip("no 4 GiB of address space")
    with quorix.open() as device:
        device.timeout = 20
        sim.push_in(quiet_board, pattern(16, 9))
        assert device.readinto_up_to(huge) == 16  # not 4294967312 after reading 16
        assert huge[:16].tobytes() == pattern(16, 9)


def test_a_write_beyond_one_call_goes_out_whole_in_pieces(board: int,
                                                          monkeypatch: pytest.MonkeyPatch) -> None:
    # The pieces of a write over 4 GiB, at a size a test can afford.
    monkeypatch.setattr(device_module, "_LARGEST_WRITE", 512)
    payload = pattern(1500, 11)
    with quorix.open() as device:
        assert device.write(memoryview(payload)[100:]) == 1400  # read-only, not bytes: copied
        assert device.write(bytearray(payload[:100])) == 100
        assert device.write(b"") == 0
    assert sim.take_out(board) == payload[100:] + payload[:100]


def test_the_usb_rate_in_odd_sized_reads_keeps_the_counter_whole(board: int) -> None:
    sim.set_source(board, sim.SOURCE_COUNTER, 53248000)
    total = 16 << 20
    stream = bytearray(total)
    view = memoryview(stream)
    with quorix.open() as device:
        device.timeout = 1000
        offset = 0
        exact = False
        while offset < total:
            size = min(100003, total - offset)
            if exact:
                offset += device.readinto(view[offset:offset + size])
            else:
                offset += device.readinto_up_to(view[offset:offset + size])
            exact = not exact
    words = np.frombuffer(stream, dtype="<u4")
    assert np.array_equal(words, np.arange(len(words), dtype="<u4"))


def test_buffers_of_objects_are_refused(quiet_board: int) -> None:
    # Raw bytes over the references of an object array crashed the interpreter.
    sim.push_in(quiet_board, pattern(64, 0))
    with quorix.open() as device:
        device.timeout = 20
        for target in (np.empty(8, dtype=object), np.zeros(4, dtype=[("a", "<u4"), ("b", object)])):
            with pytest.raises(TypeError, match="plain bytes"):
                device.readinto(target)
            with pytest.raises(TypeError, match="plain bytes"):
                device.readinto_up_to(target)
            with pytest.raises(TypeError, match="plain bytes"):
                device.write(target)
            with pytest.raises(TypeError, match="plain bytes"):
                device.eeprom.write(0, target)
        plain = np.zeros(8, dtype=[("a", "<u4"), ("b", "<f4")])  # a structure of numbers is fine
        assert device.readinto(plain) == 64
        assert plain.tobytes() == pattern(64, 0)


def test_ctrl_c_ends_a_read_without_limit_and_hands_over_its_bytes(quiet_board: int) -> None:
    with quorix.open() as device:
        device.timeout = None  # no limit: before, only data or a close ended the wait
        sim.push_in(quiet_board, b"abc")
        ended = threading.Event()
        sent: list[float] = []

        def interrupt() -> None:
            # The first poll takes the three bytes into the ring; it is empty again once the read
            # has them, and waits for more.
            while device.available:
                time.sleep(0.001)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
            if not ended.wait(20):
                device.close()  # without the fix nothing else ends the read

        helper = threading.Thread(target=interrupt)
        helper.start()
        try:
            with pytest.raises(quorix.Interrupted) as caught:
                device.read(100)
            print("Ctrl-C ended the read %.0f ms after the signal" % (1000 * (time.monotonic() - sent[0])))
        finally:
            ended.set()
            helper.join()
        assert isinstance(caught.value, KeyboardInterrupt)
        assert (caught.value.partial, caught.value.transferred) == (b"abc", 3)

        # A program's own handler runs instead; when it does not raise, the read goes on and
        # loses nothing.
        calls: list[int] = []
        previous = signal.signal(signal.SIGINT, lambda number, frame: calls.append(number))
        try:
            def interrupt_then_send() -> None:
                os.kill(os.getpid(), signal.SIGINT)
                while not calls:
                    time.sleep(0.001)
                sim.push_in(quiet_board, b"defg")

            helper = threading.Thread(target=interrupt_then_send)
            helper.start()
            assert device.read(4) == b"defg"
            helper.join()
        finally:
            signal.signal(signal.SIGINT, previous)
        assert calls == [signal.SIGINT]


def test_a_device_reads_with_queued_reads_unless_told_otherwise(board: int,
                                                                 monkeypatch: pytest.MonkeyPatch) -> None:
    counter = np.arange(1 << 20, dtype="<u4").tobytes()
    with quorix.open() as device:
        assert device.read_queue == quorix.DEFAULT_READ_QUEUE
        assert device.read(len(counter)) == counter
        stats = device.statistics()
        assert stats.bytes_received >= len(counter)
        assert stats.reads_completed >= len(counter) // quorix.DEFAULT_READ_QUEUE.read_size
    with quorix.open(read_queue=None) as device:
        assert device.read_queue.reads == 0
    with quorix.open(read_queue=quorix.ReadQueue(4, 64 * 1024, 1 << 20)) as device:
        assert device.read_queue == quorix.ReadQueue(4, 64 * 1024, 1 << 20)
    monkeypatch.setenv("QUORIX_READ_QUEUE", "2x4K")
    with quorix.open() as device:
        assert device.read_queue.reads == 2
    with pytest.raises(quorix.FailedError):
        quorix.open(read_queue=quorix.ReadQueue(4, 1000, 0))
