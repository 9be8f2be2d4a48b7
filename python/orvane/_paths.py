"""Checks of the paths handed to the library, so a failure names the path and the
system's reason ("No such file or directory", "Permission denied") instead of the
library's generic text."""

import os
import stat

from orvane._errors import OrvaneError


def _fail(path, reason):
    raise OrvaneError("%s: %s" % (os.fsdecode(path), reason))


def input_file(path):
    """An existing, readable regular file (not a directory or a FIFO)."""
    if not path:
        _fail(path, "empty path")
    try:
        st = os.stat(path)
    except OSError as e:
        _fail(path, e.strerror or str(e))
    if not stat.S_ISREG(st.st_mode):
        _fail(path, "not a regular file")
    if not os.access(path, os.R_OK):
        _fail(path, os.strerror(13))  # EACCES


def output_file(path):
    """The file to write for `path`: a symbolic link's target, so the link stays a
    link. Refuses an existing non-regular file (a device, a directory) and a
    directory that cannot be written."""
    if not path:
        _fail(path, "empty path")
    target = os.path.realpath(path)
    try:
        st = os.stat(target)
    except FileNotFoundError:
        st = None
    except OSError as e:
        _fail(path, e.strerror or str(e))
    if st is not None and not stat.S_ISREG(st.st_mode):
        _fail(path, "exists and is not a regular file")
    parent = os.path.dirname(target)
    # The library creates missing directories: the nearest existing one must be writable.
    while parent and not os.path.exists(parent):
        parent = os.path.dirname(parent)
    parent = parent or os.curdir
    if not os.path.isdir(parent):
        _fail(path, "%s is not a directory" % os.fsdecode(parent))
    if not os.access(parent, os.W_OK | os.X_OK):
        _fail(path, "directory %s: %s" % (os.fsdecode(parent), os.strerror(13)))
    return target
