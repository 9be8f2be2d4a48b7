"""The package's version: the project version CMake declares (a test keeps them equal)."""

__version__ = "0.1.0"


def library_version():
    """The version liborvane_py reports."""
    from orvane import _native
    return _native.load().orvane_version().decode("ascii")
