"""orvane.describe and orvane.open: index files that say what they hold."""

import json
import os  # noqa: F401 - named in type hints
from typing import TYPE_CHECKING, Any

from orvane import _convert, _native, _paths
from orvane._handle import _checked

if TYPE_CHECKING:
    from orvane._searcher import Searcher


def _io_text(io_options):
    return _convert.options_json(io_options) if io_options else None


def describe(path: "str | bytes | os.PathLike", **io_options: object) -> "dict[str, Any]":
    """What the index file at path holds, as a dict.

    Keys: kind, rows, dim, metric, encoding (None when the kind records none),
    pq_chunks, opq, params (the kind's own parameters, e.g. nlist for ivf or
    max_degree, sector_size, reorder, disk_encoding for diskann), format_version,
    file_size, ids_stored and sections. The file is checked as Searcher.open
    checks it, and a damaged or foreign file raises OrvaneError with the same
    message. io_options are file IO keys, e.g. {"io.reader.type": "mmap"}.
    """
    p = _convert.path_bytes(path)
    _paths.input_file(p)
    lib = _native.load()
    address = _checked(lib.orvane_describe, p, _io_text(io_options), failed=lambda a: not a,
                       context=path)
    return json.loads(_native.take_text(lib, address))


def describe_bytes(data: "bytes | bytearray | memoryview",
                   **io_options: object) -> "dict[str, Any]":
    """As describe, for an index file image held in a bytes-like object."""
    view = bytes(data)
    lib = _native.load()
    address = _checked(lib.orvane_describe_buffer, view, len(view), _io_text(io_options),
                       failed=lambda a: not a)
    return json.loads(_native.take_text(lib, address))


def _searcher_for(info, searcher_options):
    from orvane._searcher import Searcher
    options = {"index.type": info["kind"], "index.dimension": info["dim"]}
    options.update(searcher_options)
    return Searcher(options)


def open(path: "str | bytes | os.PathLike",  # noqa: A001 - mirrors the builtin on purpose
         **searcher_options: object) -> "Searcher":
    """An opened Searcher over the index file at path; its kind and dimension come
    from the file. searcher_options are searcher and file IO keys, passed as
    keywords with their dots, e.g. orvane.open(p, **{"io.reader.type": "mmap"})."""
    io = {k: v for k, v in searcher_options.items() if k.startswith("io.")}
    searcher = _searcher_for(describe(path, **io), searcher_options)
    try:
        searcher.open(path)
    except BaseException:
        searcher.close()
        raise
    return searcher


def from_bytes(data: "bytes | bytearray | memoryview", **searcher_options: object) -> "Searcher":
    """An opened Searcher over an index file image (as Builder.dump_bytes or
    Searcher.to_bytes give); the bytes are copied into the library."""
    io = {k: v for k, v in searcher_options.items() if k.startswith("io.")}
    searcher = _searcher_for(describe_bytes(data, **io), searcher_options)
    try:
        searcher.open_bytes(data)
    except BaseException:
        searcher.close()
        raise
    return searcher
