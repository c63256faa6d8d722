"""Statuses as exceptions: one class per status of the library, one for Windows codes."""

import builtins

STATUS_NAMES = {
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

WINDOWS_MESSAGES = {
    2: "file not found",
    5: "access denied",
    8: "not enough memory",
    31: "the device stalled the request or is not functioning",
    50: "not supported",
    87: "invalid parameter",
    121: "the semaphore timeout period has expired",
    170: "the resource is busy",
    995: "the I/O operation has been aborted",
    1117: "I/O device error",
    1167: "the device is not connected",
}


class QuorixError(Exception):
    """A failed call; status is the library's status."""

    status = None

    def __init__(self, status, call=None):
        self.status = status
        self.call = call
        name = STATUS_NAMES.get(status, "Windows error %d" % status if status > 0 else str(status))
        super().__init__("%s failed: %s" % (call, name) if call else name)


class FailedError(QuorixError):
    """-1: unknown handle or board, missing argument, no memory, unusable file."""


class NoDriverError(QuorixError):
    """-2: the board was unplugged while it was open."""


class AlreadyOpenError(QuorixError):
    """-3: the device is already open."""


class NotOpenError(QuorixError):
    """-4: the device is not open, or another process opened it."""


class TimeoutError(QuorixError, builtins.TimeoutError):
    """-5: the transfer did not complete in time. Also a Python TimeoutError."""


class TransferError(QuorixError):
    """-6: the transfer ended in time but failed."""


class OverrunError(QuorixError):
    """-7: more data arrived than the receive ring could hold; reading goes on."""


class NoStartupAreaError(QuorixError):
    """-8: the EEPROM holds no startup-command area."""


class NoSpaceError(QuorixError):
    """-9: the startup command does not fit."""


class DriverError(QuorixError):
    """A positive status: a Windows error code, in winerror as WindowsError keeps it."""

    def __init__(self, status, call=None):
        super().__init__(status, call)
        self.winerror = status
        self.strerror = WINDOWS_MESSAGES.get(status, "Windows error %d" % status)


ERRORS = {
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


def error_for(status, call=None):
    """The exception for a non-zero status."""
    if status > 0:
        return DriverError(status, call)
    return ERRORS.get(status, QuorixError)(status, call)


def check(status, call):
    if status != 0:
        raise error_for(status, call)
