#!/usr/bin/env bash
# Builds the Python wheel from the CMake build directory (default: build), installs
# it into a fresh venv that uses Debian's numpy, and from another directory opens an
# index written by `orvane build` and searches it, with no ORVANE_LIB_DIR set.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
unset ORVANE_LIB_DIR

# Wheel build inside a copy of the package, so the source tree stays clean.
cp -r "$root/python" "$work/src"
rm -rf "$work/src/build" "$work/src/"*.egg-info
(cd "$work/src" && ORVANE_BUILD_DIR="$build" /usr/bin/python3 -m pip wheel -q \
  --no-build-isolation --no-deps --no-index -w "$work/dist" .)
wheel="$(ls "$work"/dist/orvane-*.whl)"
/usr/bin/python3 -c 'import sys, zipfile; names = zipfile.ZipFile(sys.argv[1]).namelist()
missing = [n for n in ("orvane/liborvane_py.so", "orvane/liborvane.so", "orvane/py.typed") if n not in names]
sys.exit("wheel lacks %s" % missing if missing else 0)' "$wheel"

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install -q --no-index --no-deps "$wheel"

mkdir "$work/elsewhere"
cd "$work/elsewhere"
"$work/venv/bin/python" - <<'PY'
import numpy as np
rng = np.random.default_rng(3)
base = rng.standard_normal((500, 12)).astype(np.float32)
with open("base.fvecs", "wb") as f:
    for row in base:
        np.array([12], dtype=np.int32).tofile(f)
        row.tofile(f)
np.save("base.npy", base)
PY
"$build/orvane" build base.fvecs -o index.type=bruteforce --output index.idx -q
WHEEL_VENV="$work/venv" "$work/venv/bin/python" - <<'PY'
import os
import numpy as np
import orvane
assert "ORVANE_LIB_DIR" not in os.environ
assert orvane.__file__.startswith(os.environ["WHEEL_VENV"]), orvane.__file__
base = np.load("base.npy")
s = orvane.open("index.idx")
distances, ids = s.search(base[:5], 10)
assert ids.shape == (5, 10) and (ids[:, 0] == np.arange(5)).all(), ids
from orvane import _version
assert orvane.__version__ == _version.library_version()
print("wheel-test ok: orvane %s from %s" % (orvane.__version__, os.path.dirname(orvane.__file__)))
PY
