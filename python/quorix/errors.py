"""Statuses as exceptions: one class per status of the library, one for Windows codes."""

from __future__ import annotations

import builtins
from typing import Optional, Union

STATUS_NAMES: dict[int, str] = {
    0: "QUORIX_OK",
    -1: "QUORIX_ERR_FAILED",
    -2: "QUORIX_ERR_NO_DRIVER",
    -3: "QUORIX_ERR_ALREADY_OPEN",
    -4: "QUORIX_ERR_NOT_OPEN",
    -5: "QUORIX_ERR_TIMEOUT",
    -6: "QUORIX_ERR_TRANSFER",
    -7: "QUORIX_ERR_OVERFLOW",
    -8: "QUORIX_ERR_NO_STARTUP_AREA",
    -9: "QUORIX_ERR_NO_SPACE",
}

# What each status means, as the C++ wrapper and the quorix tool say it.
STATUS_MESSAGES: dict[int, str] = {
    0: "success",
    -1: "failed: unknown handle or board, missing argument, no memory, or unusable file",
    -2: "the board was unplugged while open",
    -3: "the device is already open",
    -4: "the device is not open, or another process opened it",
    -5: "the transfer did not complete in time",
    -6: "the transfer ended in time but failed",
    -7: "the driver reported more data than the read asked for; the ring was emptied",
    -8: "the EEPROM holds no startup-command area",
    -9: "the startup command does not fit the EEPROM",
}

# The Windows codes the library passes on most: their names and what they mean for a board,
# as the C++ wrapper and the quorix tool say it.
WINDOWS_CODES: dict[int, tuple[str, str]] = {
    2: ("ERROR_FILE_NOT_FOUND", "not found: the board's interface has gone"),
    5: ("ERROR_ACCESS_DENIED", "access denied: no permission to open the board"),
    8: ("ERROR_NOT_ENOUGH_MEMORY", "not enough memory"),
    31: ("ERROR_GEN_FAILURE", "the board stalled the request or is not functioning"),
    50: ("ERROR_NOT_SUPPORTED", "not supported"),
    87: ("ERROR_INVALID_PARAMETER", "invalid parameter"),
    121: ("ERROR_SEM_TIMEOUT", "timed out: the board did not answer within its second"),
    170: ("ERROR_BUSY", "busy: another process has this board open"),
    995: ("ERROR_OPERATION_ABORTED", "aborted: the transfer was cancelled"),
    1117: ("ERROR_IO_DEVICE", "I/O device error: the transfer failed on the wire"),
    1167: ("ERROR_DEVICE_NOT_CONNECTED", "not connected: the board was unplugged"),
}

# The meanings alone, by code.
WINDOWS_MESSAGES: dict[int, str] = {code: text for code, (_, text) in WINDOWS_CODES.items()}


def status_text(status: int) -> str:
    """A status's name and meaning: "QUORIX_ERR_TIMEOUT: the transfer did not complete in
    time", "Windows error 170 (ERROR_BUSY): busy: another process has this board open"."""
    if status > 0:
        known = WINDOWS_CODES.get(status)
        if known is None:
            return "Windows error %d" % status
        return "Windows error %d (%s): %s" % (status, known[0], known[1])
    if status in STATUS_NAMES:
        return "%s: %s" % (STATUS_NAMES[status], STATUS_MESSAGES[status])
    return "unknown status %d" % status

# What a failed read took: bytes of its own, or a view of the caller's buffer.
Partial = Union[bytes, memoryview]


class QuorixError(Exception):
    """A failed call.

    status is the library's status (negative, or a positive Windows error code) and call the
    C function that returned it. A read or write that fails after moving data says how much
    it moved: transferred is the number of bytes, and partial holds them (bytes for read(),
    a view of the start of the caller's buffer for readinto()); both are empty otherwise.
    """

    status: int
    call: Optional[str]
    transferred: int
    partial: Partial

    def __init__(self, status: int, call: Optional[str] = None, transferred: int = 0,
                 partial: Partial = b"", reason: Optional[str] = None) -> None:
        """The error of status returned by call; transferred and partial as above. reason,
        when the package knows what happened better than the status's meaning says ("no
        board is plugged in"), takes that meaning's place in the message."""
        self.status = status
        self.call = call
        self.transferred = transferred
        self.partial = partial
        name = status_text(status) if reason is None else "%s (%s)" % (
            reason, STATUS_NAMES.get(status, "status %d" % status))
        text = "%s failed: %s" % (call, name) if call else name
        if transferred:
            text += " (after %d bytes)" % transferred
        super().__init__(text)


class FailedError(QuorixError):
    """-1: unknown handle or board, missing argument, no memory, unusable file."""


class NoDriverError(QuorixError):
    """-2: the board was unplugged while it was open."""


class AlreadyOpenError(QuorixError):
    """-3: the device is already open."""


class NotOpenError(QuorixError):
    """-4: the device is not open, or another process opened it."""


class TimeoutError(QuorixError, builtins.TimeoutError):  # noqa: A001 - quorix.TimeoutError
    """-5: the transfer did not complete in time. Also a Python TimeoutError."""


class TransferError(QuorixError):
    """-6: the transfer ended in time but failed."""


class OverrunError(QuorixError):
    """-7: the driver reported more data than a read asked for; the ring was emptied."""


class NoStartupAreaError(QuorixError):
    """-8: the EEPROM holds no startup-command area."""


class NoSpaceError(QuorixError):
    """-9: the startup command does not fit."""


class DriverError(QuorixError):
    """A positive status: a Windows error code, in winerror as WindowsError keeps it, with a
    few words about it in strerror."""

    winerror: int
    strerror: str

    def __init__(self, status: int, call: Optional[str] = None, transferred: int = 0,
                 partial: Partial = b"", reason: Optional[str] = None) -> None:
        """The error of the Windows code status returned by call."""
        super().__init__(status, call, transferred, partial, reason)
        self.winerror = status
        self.strerror = WINDOWS_MESSAGES.get(status, "Windows error %d" % status)


class Interrupted(KeyboardInterrupt):
    """Ctrl-C during a read: a KeyboardInterrupt that hands over what the read took, as a
    QuorixError does: transferred is the number of bytes and partial holds them (bytes for
    read(), a view of the start of the caller's buffer for readinto())."""

    call: str
    transferred: int
    partial: Partial

    def __init__(self, call: str, transferred: int, partial: Partial) -> None:
        """Ctrl-C during call, after transferred bytes, which partial holds."""
        self.call = call
        self.transferred = transferred
        self.partial = partial
        super().__init__("%s interrupted after %d bytes" % (call, transferred))


ERRORS: dict[int, type[QuorixError]] = {
    -1: FailedError,
    -2: NoDriverError,
    -3: AlreadyOpenError,
    -4: NotOpenError,
    -5: TimeoutError,
    -6: TransferError,
    -7: OverrunError,
    -8: NoStartupAreaError,
    -9: NoSpaceError,
}


def error_for(status: int, call: Optional[str] = None, transferred: int = 0,
              partial: Partial = b"", reason: Optional[str] = None) -> QuorixError:
    """Returns (does not raise) the exception for a non-zero status: the class of a library
    status, DriverError for a Windows code, QuorixError for a negative status it does not
    know."""
    if status > 0:
        return DriverError(status, call, transferred, partial, reason)
    return ERRORS.get(status, QuorixError)(status, call, transferred, partial, reason)


def check(status: int, call: str) -> None:
    """Returns when status is 0; raises error_for(status, call) otherwise."""
    if status != 0:
        raise error_for(status, call)
