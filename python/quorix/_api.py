"""The library's exports, one table, and the loading of either library."""

from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path
from typing import Any, Callable, Optional, Union

_HANDLE = ctypes.c_void_p
_U8P = ctypes.POINTER(ctypes.c_uint8)

Prototype = tuple[Any, list[Any]]

# QuorixNativeHandle: the data-ready descriptor on POSIX, an event HANDLE on Windows.
NativeHandle: Any = ctypes.c_void_p if sys.platform in ("win32", "cygwin") else ctypes.c_int

# QuorixPlugCallback(context, event, serial, device). QUORIX_CALL is __cdecl on every platform,
# so CFUNCTYPE, not WINFUNCTYPE, even on 32-bit Windows.
PlugCallback: Any = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_char_p,
                                     ctypes.c_void_p)


class ReadQueueRecord(ctypes.Structure):
    """QuorixReadQueue."""

    _fields_ = [("reads", ctypes.c_uint32), ("read_size", ctypes.c_uint32),
                ("ring_size", ctypes.c_uint32)]


class StreamStatisticsRecord(ctypes.Structure):
    """QuorixStreamStatistics."""

    _fields_ = [("size", ctypes.c_uint32), ("reads_posted", ctypes.c_uint32)] + [
        (name, ctypes.c_uint64) for name in (
            "bytes_received", "reads_completed", "gaps", "gap_total_us", "gap_longest_us",
            "ring_full", "ring_full_total_us", "ring_full_longest_us", "last_completion_us",
            "now_us")]


# Every export of quorix.h: name -> (result type, argument types). All are cdecl.
PROTOTYPES: dict[str, Prototype] = {
    "QuorixCountDevices": (ctypes.c_int, [ctypes.POINTER(ctypes.c_int32)]),
    "QuorixGetDeviceSerialNumber": (ctypes.c_char_p, [ctypes.c_int32]),
    "QuorixOpenDevice": (ctypes.c_int, [ctypes.c_int32, ctypes.POINTER(_HANDLE)]),
    "QuorixOpenDeviceWithSerial": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(_HANDLE)]),
    "QuorixCloseDevice": (ctypes.c_int, [_HANDLE]),
    "QuorixNumberOfBytesAvailable": (ctypes.c_int, [_HANDLE, ctypes.POINTER(ctypes.c_uint32)]),
    "QuorixReadDevice": (ctypes.c_int, [_HANDLE, ctypes.c_uint32, ctypes.c_void_p]),
    "QuorixWriteDevice": (ctypes.c_int, [_HANDLE, ctypes.c_uint32, ctypes.c_void_p]),
    "QuorixSetTimeOut": (ctypes.c_int, [_HANDLE, ctypes.c_uint32]),
    "QuorixSetPortDOutputs": (ctypes.c_int, [_HANDLE, ctypes.c_uint8]),
    "QuorixSetPortDOutputsExt": (ctypes.c_int, [_HANDLE, ctypes.c_uint8, _U8P]),
    "QuorixGetPortDOutputs": (ctypes.c_int, [_HANDLE, _U8P]),
    "QuorixSetPortDOutputEnable": (ctypes.c_int, [_HANDLE, ctypes.c_uint8]),
    "QuorixSetConfFpgaMode": (ctypes.c_int, [_HANDLE, ctypes.c_uint8]),
    "QuorixReadEprom": (ctypes.c_int, [_HANDLE, ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint8, _U8P]),
    "QuorixWriteEprom": (ctypes.c_int, [_HANDLE, ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint8, _U8P]),
    "QuorixSetStartupCommand": (ctypes.c_int, [_HANDLE, ctypes.c_uint16, _U8P]),
    "QuorixLoadFirmware": (ctypes.c_int, [_HANDLE, ctypes.c_char_p]),
    # Beyond the classic calls.
    "QuorixOpenDeviceQueued": (ctypes.c_int, [ctypes.c_int32, ctypes.c_char_p,
                                              ctypes.POINTER(ReadQueueRecord),
                                              ctypes.POINTER(_HANDLE)]),
    "QuorixGetReadQueue": (ctypes.c_int, [_HANDLE, ctypes.POINTER(ReadQueueRecord)]),
    "QuorixGetStreamStatistics": (ctypes.c_int, [_HANDLE,
                                                 ctypes.POINTER(StreamStatisticsRecord)]),
    "QuorixGetReadyHandle": (ctypes.c_int, [_HANDLE, ctypes.POINTER(NativeHandle)]),
    "QuorixSetReadyThreshold": (ctypes.c_int, [_HANDLE, ctypes.c_uint32]),
    "QuorixWaitForBytes": (ctypes.c_int, [_HANDLE, ctypes.c_uint32, ctypes.c_uint32,
                                          ctypes.POINTER(ctypes.c_uint32)]),
    "QuorixRegisterPlugCallback": (ctypes.c_int, [PlugCallback, ctypes.c_void_p, ctypes.c_uint32,
                                                  ctypes.POINTER(ctypes.c_uint32)]),
    "QuorixUnregisterPlugCallback": (ctypes.c_int, [ctypes.c_uint32]),
}

# The simulated library's control API (quorix_sim.h).
SIM_PROTOTYPES: dict[str, Prototype] = {
    "QuorixSimReset": (ctypes.c_int, []),
    "QuorixSimAddBoard": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint16, ctypes.c_uint16]),
    "QuorixSimUnplug": (ctypes.c_int, [ctypes.c_int]),
    "QuorixSimReplug": (ctypes.c_int, [ctypes.c_int]),
    "QuorixSimPushIn": (ctypes.c_int, [ctypes.c_int, ctypes.c_void_p, ctypes.c_uint32]),
    "QuorixSimSetSource": (ctypes.c_int, [ctypes.c_int, ctypes.c_int, ctypes.c_uint32]),
    "QuorixSimSetBoardFifo": (ctypes.c_int, [ctypes.c_int, ctypes.c_uint32]),
    "QuorixSimGetDroppedBytes": (ctypes.c_int, [ctypes.c_int, ctypes.POINTER(ctypes.c_uint64)]),
    "QuorixSimSaveState": (ctypes.c_int, []),
    "QuorixSimSetLoopback": (ctypes.c_int, [ctypes.c_int, ctypes.c_int]),
    "QuorixSimTakeOut": (ctypes.c_int, [ctypes.c_int, ctypes.c_void_p, ctypes.c_uint32,
                                        ctypes.POINTER(ctypes.c_uint32)]),
    "QuorixSimReadEeprom": (ctypes.c_int, [ctypes.c_int, ctypes.c_uint8, ctypes.c_uint16,
                                           ctypes.c_uint32, ctypes.c_void_p]),
    "QuorixSimWriteEeprom": (ctypes.c_int, [ctypes.c_int, ctypes.c_uint8, ctypes.c_uint16,
                                            ctypes.c_uint32, ctypes.c_void_p]),
    "QuorixSimClearStartupArea": (ctypes.c_int, [ctypes.c_int]),
    "QuorixSimReadMemory": (ctypes.c_int, [ctypes.c_int, ctypes.c_uint16, ctypes.c_uint32,
                                           ctypes.c_void_p]),
    "QuorixSimCpuRunning": (ctypes.c_int, [ctypes.c_int]),
    "QuorixSimStartSourceOnPortD": (ctypes.c_int, [ctypes.c_int, ctypes.c_uint8, ctypes.c_uint32]),
    "QuorixSimStateStatus": (ctypes.c_int, []),
    "QuorixSimGetBoardState": (ctypes.c_int, [ctypes.c_int, _U8P, _U8P, _U8P]),
}

# The file names of the native and the simulated library on each platform.
_FILE_NAMES: dict[str, tuple[str, str]] = {
    "win32": ("KV420_FX2.dll", "quorix-sim.dll"),
    "cygwin": ("KV420_FX2.dll", "quorix-sim.dll"),
    "darwin": ("libquorix.1.dylib", "libquorix-sim.1.dylib"),
}
_ELF_NAMES = ("libquorix.so.1", "libquorix-sim.so.1")

# Written by cmake --install beside the package: where the prefix keeps the libraries,
# relative to the package's folder.
_INSTALLED_LIBRARY_DIR = "_library_dir.txt"


def library_name(simulated: bool = False) -> str:
    """The file name of the native library on this platform (libquorix.so.1,
    libquorix.1.dylib, KV420_FX2.dll), or of the simulated one. Sends nothing."""
    native, sim = _FILE_NAMES.get(sys.platform, _ELF_NAMES)
    return sim if simulated else native


def bundled_directories() -> list[Path]:
    """The folders where the package looks for a copy of the libraries of its own, in order:
    its _lib folder (a wheel carries both libraries there), then the library folder of the
    prefix that cmake --install put it into. Sends nothing."""
    here = Path(__file__).resolve().parent
    folders = [here / "_lib"]
    marker = here / _INSTALLED_LIBRARY_DIR
    if marker.is_file():
        folders.append(here / marker.read_text(encoding="utf-8").strip())
    return folders


class Library:
    """One loaded library with every export bound from the tables.

    api maps each export of quorix.h to its bound function; sim the QuorixSim... controls,
    or is None when the library is the native one. timeouts holds, per device handle, the
    transfer timeout last set through this package.
    """

    path: str
    api: dict[str, Callable[..., Any]]
    sim: Optional[dict[str, Callable[..., Any]]]
    simulated: bool
    timeouts: dict[int, int]

    def __init__(self, path: Union[str, os.PathLike[str]]) -> None:
        """Loads the library at path and binds every export. Raises OSError when it cannot be
        loaded and ImportError when it lacks an export of quorix.h."""
        self.path = os.fspath(path)
        self._dll = ctypes.CDLL(self.path)
        missing = [name for name in PROTOTYPES if not hasattr(self._dll, name)]
        if missing:
            raise ImportError("%s lacks the exports %s" % (self.path, ", ".join(missing)))
        self.api = {name: self._bind(name, proto) for name, proto in PROTOTYPES.items()}
        self.simulated = all(hasattr(self._dll, name) for name in SIM_PROTOTYPES)
        self.sim = ({name: self._bind(name, proto) for name, proto in SIM_PROTOTYPES.items()}
                    if self.simulated else None)
        self.timeouts = {}

    def _bind(self, name: str, prototype: Prototype) -> Callable[..., Any]:
        function = getattr(self._dll, name)
        function.restype, function.argtypes = prototype
        return function  # type: ignore[no-any-return]


_loaded: Optional[Library] = None


def _locate(simulated: bool) -> str:
    chosen = os.environ.get("QUORIX_LIBRARY")
    if chosen:
        return chosen
    name = library_name(simulated)
    for folder in bundled_directories():
        if (folder / name).is_file():
            return str(folder / name)
    return name  # the system's search path


def load(path: Union[str, os.PathLike[str], None] = None, simulated: bool = False) -> Library:
    """Loads the library that later calls use, and returns it.

    The first of these is taken: path; the library that the QUORIX_LIBRARY environment
    variable names; the package's own copy (bundled_directories()); the system's, by its file
    name (library_name()). simulated picks the simulated library instead of the native one
    where the package chooses. Loading sends nothing to a board.

    Raises OSError, saying what was tried, when the library cannot be loaded, and ImportError
    when it lacks an export.
    """
    global _loaded
    chosen = os.fspath(path) if path is not None else _locate(simulated)
    try:
        _loaded = Library(chosen)
    except OSError as error:
        raise OSError("cannot load the Quorix library %s (%s); looked at the path given, "
                      "QUORIX_LIBRARY, %s and the system's search path"
                      % (chosen, error, ", ".join(str(f) for f in bundled_directories()))) from error
    return _loaded


def library() -> Library:
    """The loaded library; the first call without load() loads the default one as load()
    does. Raises what load() raises."""
    return _loaded if _loaded is not None else load()
