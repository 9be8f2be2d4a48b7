"""_Handle: the lifecycle of one liborvane_py handle, shared by Builder and Searcher."""

from orvane import _convert, _native


def _configured_dimension(options):
    try:
        return int(str(options.get("index.dimension")).strip())
    except (TypeError, ValueError, AttributeError):
        return None


def _checked(fn, *args, failed):
    """Calls fn(*args, err, len(err)) and raises the library's message when failed(result)."""
    err = _native.error_buffer()
    result = fn(*args, err, len(err))
    if failed(result):
        _native.raise_error(err)
    return result


class _Handle:
    """Owns one native object created by orvane_<kind>_create from an options map.

    close() frees it with orvane_<kind>_destroy and is safe to call more than
    once; the object is also a context manager and frees itself when collected.
    Subclasses set _KIND to "builder" or "searcher".
    """

    _KIND = None
    _handle = None  # also what close() sees when __init__ failed half way

    def __init__(self, options):
        text = _convert.options_json(options)  # bad options never reach the library
        self._dim = _configured_dimension(options)
        self._lib = _native.load()
        self._handle = _checked(self._fn("create"), text, failed=lambda handle: not handle)

    def _fn(self, name):
        return getattr(self._lib, "orvane_%s_%s" % (self._KIND, name))

    def _live(self):
        """The native handle; ValueError once closed."""
        if self._handle is None:
            raise ValueError("%s is closed" % self._KIND)
        return self._handle

    def _call(self, name, handle, *args):
        """Calls orvane_<kind>_<name>(handle, *args, err, len) and raises if it returns non-zero."""
        _checked(self._fn(name), handle, *args, failed=lambda rc: rc != 0)

    def close(self):
        """Frees the native object; safe to call more than once."""
        handle, self._handle = self._handle, None
        if handle is not None:
            self._fn("destroy")(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # interpreter shutdown: nothing sensible left to do
            pass
