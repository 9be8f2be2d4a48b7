"""The exception raised when the library reports a failure."""


class OrvaneError(RuntimeError):
    """A failure reported by liborvane_py; the message is the library's own."""
