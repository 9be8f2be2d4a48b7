"""Loading liborvane_py and declaring its C functions for ctypes."""

import ctypes
import os
import threading
from pathlib import Path

from orvane._errors import OrvaneError

LIB_NAME = "liborvane_py.so"
CORE_LIB_NAME = "liborvane.so"
ERR_LEN = 1024

_lock = threading.Lock()
_lib = None

_c_float_p = ctypes.c_void_p  # arrays are passed as raw addresses (or None)
_SIGNATURES = {
    "orvane_builder_create": (ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "orvane_builder_destroy": (None, [ctypes.c_void_p]),
    "orvane_builder_pretrain": (
        ctypes.c_int,
        [ctypes.c_void_p, _c_float_p, ctypes.c_uint64, ctypes.c_int, ctypes.c_char_p,
         ctypes.c_int],
    ),
    "orvane_builder_insert": (
        ctypes.c_int,
        [ctypes.c_void_p, _c_float_p, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_int,
         ctypes.c_char_p, ctypes.c_int],
    ),
    "orvane_builder_dump": (
        ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "orvane_searcher_create": (
        ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "orvane_searcher_destroy": (None, [ctypes.c_void_p]),
    "orvane_searcher_open": (
        ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "orvane_searcher_get_count": (ctypes.c_uint64, [ctypes.c_void_p]),
    "orvane_searcher_get_dimension": (ctypes.c_uint32, [ctypes.c_void_p]),
    "orvane_searcher_search": (
        ctypes.c_int,
        [ctypes.c_void_p, _c_float_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
         ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int],
    ),
    "orvane_searcher_search_with_filter": (
        ctypes.c_int,
        [ctypes.c_void_p, _c_float_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
         ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_char_p, ctypes.c_char_p,
         ctypes.c_int],
    ),
    "orvane_version": (ctypes.c_char_p, []),
    "orvane_free": (None, [ctypes.c_void_p]),
    "orvane_hardware_threads": (ctypes.c_uint, []),
    "orvane_build_thread_keys": (ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "orvane_describe": (
        ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "orvane_describe_buffer": (
        ctypes.c_void_p,
        [ctypes.c_char_p, ctypes.c_uint64, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "orvane_builder_dump_buffer": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_uint64),
         ctypes.c_char_p, ctypes.c_int]),
    "orvane_searcher_open_buffer": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int]),
    "orvane_set_log_level": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "orvane_check_option_keys": (
        ctypes.c_int,
        [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int],
    ),
}

# The library's log level while the host has not chosen one: warnings and errors,
# on standard error (the host's standard output is its own).
DEFAULT_LOG_LEVEL = "warn"


def candidate_dirs():
    """Directories searched for liborvane_py.so, in order."""
    dirs = []
    here = Path(__file__).resolve().parent
    # An installed wheel carries the libraries inside the package: they come first,
    # so an installed package never picks up another build's library.
    if (here / LIB_NAME).is_file():
        dirs.append(here)
    env = os.environ.get("ORVANE_LIB_DIR")
    if env:
        dirs.append(Path(env))
    if here not in dirs:
        dirs.append(here)
    # python/orvane/_native.py -> the repository's build directory.
    dirs.append(here.parent.parent / "build")
    return dirs


def _load():
    tried = []
    for directory in candidate_dirs():
        path = directory / LIB_NAME
        tried.append(str(path))
        if not path.is_file():
            continue
        core = directory / CORE_LIB_NAME
        if core.is_file():
            # Make the core library resolvable even without an rpath.
            ctypes.CDLL(str(core), mode=ctypes.RTLD_GLOBAL)
        lib = ctypes.CDLL(str(path))
        for name, (restype, argtypes) in _SIGNATURES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _set_log_level(lib, DEFAULT_LOG_LEVEL)
        return lib
    raise OrvaneError(
        "cannot find %s; set ORVANE_LIB_DIR to the build directory (tried: %s)"
        % (LIB_NAME, ", ".join(tried)))


def load():
    """The process-wide liborvane_py handle, loaded on first use."""
    global _lib
    with _lock:
        if _lib is None:
            _lib = _load()
        return _lib


def _set_log_level(lib, level):
    err = ctypes.create_string_buffer(ERR_LEN)
    if lib.orvane_set_log_level(level.encode("ascii", "replace"), err, ERR_LEN) != 0:
        raise_error(err)


def set_log_level(level: str) -> None:
    """Sets the library's log level: "trace", "debug", "info", "warn", "error" or "off".

    The library's log lines go to standard error; the default is "warn"."""
    if not isinstance(level, str):
        raise TypeError("level must be a str, got %s" % type(level).__name__)
    _set_log_level(load(), level)


_buffers = threading.local()


def error_buffer():
    """This thread's message buffer, reused across calls (threads search concurrently)."""
    buf = getattr(_buffers, "buf", None)
    if buf is None:
        buf = _buffers.buf = ctypes.create_string_buffer(ERR_LEN)
    return buf


def take_text(lib, address):
    """The text at a malloc'd address the library returned, which is freed."""
    try:
        return ctypes.string_at(address).decode("utf-8")
    finally:
        lib.orvane_free(address)


def take_bytes(lib, address, size):
    """The size bytes at a malloc'd address the library returned, which is freed."""
    try:
        return ctypes.string_at(address, size)
    finally:
        lib.orvane_free(address)


def raise_error(buf):
    message = buf.value.decode("utf-8", errors="replace")
    raise OrvaneError(message)
