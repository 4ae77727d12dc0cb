#!/usr/bin/env python3
"""A minimal Kestro host over ctypes: start-up with a message window, set kV, mA and ms,
wait for one exposure's notifications, close cleanly.

The library reads its settings below the host directory: KESTRO_HOST_DIR (an interpreter
is not the host program, so set it; `kestro init DIR` writes an example to edit).
Serial port N is the device named by KESTRO_COM<N>. KESTRO_LIBRARY names the library
(default libkestro.so.0 from the system's search path).

usage: host.py [KV [MA_TENTHS [MS_TENTHS [SECONDS]]]]"""

import ctypes
import os
import sys
import time

WM_GEN_NOTIFY = 0x7E8


class KestroMessage(ctypes.Structure):
    _fields_ = [("message", ctypes.c_uint32), ("wParam", ctypes.c_size_t), ("lParam", ctypes.c_ssize_t)]


class KestroString(ctypes.Structure):
    _fields_ = [("text", ctypes.c_char_p)]


def load(path):
    lib = ctypes.CDLL(path)
    lib.KestroCreateMessageWindow.restype = ctypes.c_void_p
    lib.KestroGetMessage.argtypes = [ctypes.c_void_p, ctypes.POINTER(KestroMessage), ctypes.c_int]
    lib.KestroDestroyMessageWindow.argtypes = [ctypes.c_void_p]
    lib.IO_InitGenerator.argtypes = [ctypes.c_void_p]
    for name in ("IO_RadKVValue", "IO_RadMAValue", "IO_RadMSValue", "IO_SetDemoMode"):
        getattr(lib, name).argtypes = [ctypes.c_ubyte, ctypes.c_int]
    lib.IO_GetErrorMessage.argtypes = [ctypes.c_int]
    lib.IO_GetErrorMessage.restype = KestroString
    lib.IO_DeleteRes.restype = None
    lib.KestroDestroyMessageWindow.restype = None
    return lib


MEANING = {(1, 1): "exposure ended", (1, 2): "exposure started", (2, 1): "prepare released",
           (2, 2): "preparing", (2, 3): "ready to expose", (9, 5): "ready light"}


def main(argv):
    kv, ma, ms, seconds = (int(a) for a in (argv + ["80", "200", "1000", "60"][len(argv):]))
    lib = load(os.environ.get("KESTRO_LIBRARY", "libkestro.so.0"))
    window = lib.KestroCreateMessageWindow()
    r = lib.IO_InitGenerator(window)
    if r != 1:
        print(f"start-up failed: {r} (0 port, -1 threads, -2 no answer, -5 compatibility)", file=sys.stderr)
        lib.IO_DeleteRes()
        lib.KestroDestroyMessageWindow(window)
        return 1
    print("generator ready" + (" (demonstration mode)" if lib.IO_SetDemoMode(1, 0) else ""))
    print(f"set: {lib.IO_RadKVValue(0, kv)} kV, {lib.IO_RadMAValue(0, ma) / 10:.1f} mA, "
          f"{lib.IO_RadMSValue(0, ms) / 10:.1f} ms")
    print("waiting for an exposure", flush=True)
    started = ended = False
    deadline = time.monotonic() + seconds
    m = KestroMessage()
    try:
        while not ended and time.monotonic() < deadline:
            if lib.KestroGetMessage(window, ctypes.byref(m), 500) != 1 or m.message != WM_GEN_NOTIFY:
                continue
            w, l = m.wParam, m.lParam
            text = MEANING.get((w, l), "generator error" if w == 6 else "error log entry" if w == 5 else "notification")
            if w in (5, 6):
                text += ": " + (lib.IO_GetErrorMessage(l).text or b"").decode("latin-1")
            print(f"notification ({w}, {l}): {text}", flush=True)
            started = started or (w, l) == (1, 2)
            ended = started and (w, l) == (2, 1)
        if ended:
            print(f"exposure done: {lib.IO_GetPostMASValue() / 10:.1f} mAs in {lib.IO_GetPostTIMEValue() / 10:.1f} ms")
        else:
            print(f"no exposure within {seconds} s")
    finally:
        lib.IO_CloseComm(1)
        lib.IO_DeleteRes()  # stops and joins the link threads
        lib.KestroDestroyMessageWindow(window)
    return 0 if ended else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
