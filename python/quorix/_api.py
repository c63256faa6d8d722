"""The library's exports, one table, and the loading of either library."""

import ctypes
import os

_HANDLE = ctypes.c_void_p
_U8P = ctypes.POINTER(ctypes.c_uint8)

# Every export of quorix.h: name -> (result type, argument types). All are cdecl.
PROTOTYPES = {
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
}

# The simulated library's control API (quorix_sim.h).
SIM_PROTOTYPES = {
    "QuorixSimReset": (ctypes.c_int, []),
    "QuorixSimAddBoard": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint16, ctypes.c_uint16]),
    "QuorixSimUnplug": (ctypes.c_int, [ctypes.c_int]),
    "QuorixSimReplug": (ctypes.c_int, [ctypes.c_int]),
    "QuorixSimPushIn": (ctypes.c_int, [ctypes.c_int, ctypes.c_void_p, ctypes.c_uint32]),
    "QuorixSimSetSource": (ctypes.c_int, [ctypes.c_int, ctypes.c_int, ctypes.c_uint32]),
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
    "QuorixSimGetBoardState": (ctypes.c_int, [ctypes.c_int, _U8P, _U8P, _U8P]),
}

NATIVE = "libquorix.so.1"
SIMULATED = "libquorix-sim.so.1"


class Library:
    """One loaded library with every export bound from the tables."""

    def __init__(self, path):
        self.path = path
        self._dll = ctypes.CDLL(path)
        missing = [name for name in PROTOTYPES if not hasattr(self._dll, name)]
        if missing:
            raise ImportError("%s lacks the exports %s" % (path, ", ".join(missing)))
        self.api = {name: self._bind(name, proto) for name, proto in PROTOTYPES.items()}
        self.simulated = all(hasattr(self._dll, name) for name in SIM_PROTOTYPES)
        self.sim = ({name: self._bind(name, proto) for name, proto in SIM_PROTOTYPES.items()}
                    if self.simulated else None)

    def _bind(self, name, prototype):
        function = getattr(self._dll, name)
        function.restype, function.argtypes = prototype
        return function


_loaded = None


def load(path=None, simulated=False):
    """Loads the library to use: path, else QUORIX_LIBRARY, else the simulated or the native
    library by its soname. Returns the Library; later calls use it."""
    global _loaded
    if path is None:
        path = os.environ.get("QUORIX_LIBRARY") or (SIMULATED if simulated else NATIVE)
    _loaded = Library(path)
    return _loaded


def library():
    """The loaded library, loading the default one on first use."""
    return _loaded if _loaded is not None else load()
