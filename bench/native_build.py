"""Compiles the benchmark's small C++ programs into the cache, once per source and flags."""

import hashlib
import os
import shutil
import subprocess
from pathlib import Path

NATIVE_DIR = Path(__file__).resolve().parent / "native"
CXX_FLAGS = ["-O3", "-march=native", "-std=c++17", "-DNDEBUG"]


class NativeBuildError(RuntimeError):
    pass


def _compiler():
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not cxx:
        raise NativeBuildError("no C++ compiler found (install g++)")
    return cxx


def compile_native(source_name, cache_dir, shared=False, extra=()):
    """Path of the compiled program (or shared object) for bench/native/<source_name>.

    The output name carries a hash of the source, compiler and flags, so an
    edited source is rebuilt and an unchanged one is reused."""
    source = NATIVE_DIR / source_name
    cxx = _compiler()
    flags = CXX_FLAGS + (["-shared", "-fPIC"] if shared else []) + list(extra)
    version = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout
    digest = hashlib.sha256(source.read_bytes() + repr((cxx, version, flags)).encode())
    out_dir = Path(cache_dir) / "native"
    out_dir.mkdir(parents=True, exist_ok=True)
    out = out_dir / ("%s-%s%s" % (source.stem, digest.hexdigest()[:12], ".so" if shared else ""))
    if out.exists():
        return out
    tmp = out.with_name(out.name + ".tmp%d" % os.getpid())
    proc = subprocess.run([cxx, *flags, str(source), "-o", str(tmp), "-lpthread"],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        tmp.unlink(missing_ok=True)
        raise NativeBuildError("compiling %s failed:\n%s" % (source_name, proc.stderr.strip()))
    os.replace(tmp, out)
    return out
