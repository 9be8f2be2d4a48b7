"""Benchmark datasets: vector file readers, the ready-made cases and exact ground truth.

A prepared dataset is a directory in the cache holding base.npy, queries.npy
(float32, C order) and gt_ids.npy / gt_dist.npy (the exact top-K neighbours of
every query by squared L2, best first, K = GT_K). Runner subprocesses load the
.npy files from there, so every runner reads the very same matrices.
"""

import gzip
import hashlib
import json
import os
import re
import struct
from pathlib import Path

import numpy as np

GT_K = 100
FASHION_DIR = Path("/usr/share/datasets/fashion-mnist")


# ---------------------------------------------------------------------------
# Vector file readers.

def _read_vecs(path, dtype):
    """.fvecs / .ivecs: every row is an int32 dimension followed by that many values."""
    raw = np.fromfile(path, dtype=np.int32)
    if raw.size == 0:
        return np.zeros((0, 0), dtype=dtype)
    dim = int(raw[0])
    if dim <= 0 or raw.size % (dim + 1) != 0:
        raise ValueError("%s: not a %s file (dimension %d, %d words)"
                         % (path, "vecs", dim, raw.size))
    rows = raw.reshape(-1, dim + 1)
    if not np.all(rows[:, 0] == dim):
        raise ValueError("%s: rows of different dimensions" % path)
    return np.ascontiguousarray(rows[:, 1:]).view(dtype)


def _read_bin(path, dtype):
    """.fbin / .ibin: uint32 rows, uint32 dimension, then rows x dimension values."""
    with open(path, "rb") as f:
        header = f.read(8)
        if len(header) != 8:
            raise ValueError("%s: too short for a .bin header" % path)
        n, d = struct.unpack("<II", header)
        data = np.fromfile(f, dtype=dtype)
    if data.size != n * d:
        raise ValueError("%s: header says %d x %d but holds %d values" % (path, n, d, data.size))
    return data.reshape(n, d)


def read_matrix(path, kind="float"):
    """Reads a .fvecs/.ivecs/.fbin/.ibin/.npy file as a 2-D array."""
    path = str(path)
    ext = os.path.splitext(path)[1].lower()
    if ext == ".npy":
        arr = np.load(path)
        if arr.ndim != 2:
            raise ValueError("%s: expected a 2-D array, got shape %s" % (path, arr.shape))
        return arr
    if ext in (".fvecs", ".ivecs"):
        return _read_vecs(path, np.float32 if ext == ".fvecs" else np.int32)
    if ext in (".fbin", ".ibin", ".u8bin", ".i32bin"):
        dtype = {".fbin": np.float32, ".ibin": np.int32, ".i32bin": np.int32,
                 ".u8bin": np.uint8}[ext]
        return _read_bin(path, dtype)
    raise ValueError("%s: unknown vector file type %r (use .fvecs, .fbin, .ivecs, .ibin or .npy)"
                     % (path, ext))


def write_fbin(path, matrix):
    """Writes a float32 or int32 matrix as .fbin/.ibin (uint32 n, uint32 d, values)."""
    matrix = np.ascontiguousarray(matrix)
    with open(path, "wb") as f:
        f.write(struct.pack("<II", matrix.shape[0], matrix.shape[1]))
        matrix.tofile(f)


# ---------------------------------------------------------------------------
# Exact ground truth.

def exact_knn(base, queries, k, block=65536):
    """Exact squared-L2 top-k of every query, as (ids int64, distances float32), best first.

    The base is scanned in blocks with a float32 matrix product; 2k candidates
    per query survive each block, and the survivors are re-scored in float64 so
    cancellation in |b|^2 - 2 q.b + |q|^2 cannot misorder the final list."""
    base = np.asarray(base, dtype=np.float32)
    queries = np.asarray(queries, dtype=np.float32)
    n = base.shape[0]
    k = min(k, n)
    keep = min(2 * k, n)
    nq = queries.shape[0]
    cand_ids = np.zeros((nq, 0), dtype=np.int64)
    cand_d = np.zeros((nq, 0), dtype=np.float32)
    qn = (queries.astype(np.float64) ** 2).sum(1).astype(np.float32)
    for start in range(0, n, block):
        chunk = base[start:start + block]
        bn = (chunk.astype(np.float64) ** 2).sum(1).astype(np.float32)
        d = qn[:, None] - 2.0 * (queries @ chunk.T) + bn[None, :]
        ids = np.broadcast_to(np.arange(start, start + chunk.shape[0]), d.shape)
        d = np.concatenate([cand_d, d], axis=1)
        ids = np.concatenate([cand_ids, ids], axis=1)
        if d.shape[1] > keep:
            part = np.argpartition(d, keep - 1, axis=1)[:, :keep]
            d = np.take_along_axis(d, part, axis=1)
            ids = np.take_along_axis(ids, part, axis=1)
        cand_d, cand_ids = d, np.ascontiguousarray(ids)
    exact = np.empty(cand_ids.shape, dtype=np.float64)
    q64 = queries.astype(np.float64)
    for i in range(nq):
        diff = base[cand_ids[i]].astype(np.float64) - q64[i]
        exact[i] = (diff * diff).sum(1)
    order = np.lexsort((cand_ids, exact), axis=1)[:, :k]
    return (np.take_along_axis(cand_ids, order, axis=1),
            np.take_along_axis(exact, order, axis=1).astype(np.float32))


# ---------------------------------------------------------------------------
# Prepared datasets.

def allowed_rows(n, selectivity, seed=7):
    """The rows a filtered search may return: max(1, round(selectivity * n)) of
    0..n-1 drawn without repetition by a seeded generator, ascending. The same
    arguments give the same rows in every process."""
    count = min(n, max(1, int(round(selectivity * n))))
    rng = np.random.default_rng([seed, int(round(selectivity * 1e6))])
    return np.sort(rng.choice(n, size=count, replace=False)).astype(np.int64)


class Dataset:
    """A prepared dataset directory (see the module comment)."""

    def __init__(self, name, directory):
        self.name = name
        self.dir = Path(directory)
        meta = json.loads((self.dir / "meta.json").read_text())
        self.n, self.dim, self.nq = meta["n"], meta["dim"], meta["nq"]

    @property
    def base_path(self):
        return self.dir / "base.npy"

    @property
    def queries_path(self):
        return self.dir / "queries.npy"

    def base(self, mmap=False):
        return np.load(self.base_path, mmap_mode="r" if mmap else None)

    def queries(self):
        return np.load(self.queries_path)

    def gt(self):
        return np.load(self.dir / "gt_ids.npy"), np.load(self.dir / "gt_dist.npy")

    def fbin_paths(self):
        """base.fbin, queries.fbin and gt.ibin for the native programs, written once."""
        out = (self.dir / "base.fbin", self.dir / "queries.fbin", self.dir / "gt.ibin")
        if not all(p.exists() for p in out):
            write_fbin(out[0], self.base())
            write_fbin(out[1], self.queries())
            write_fbin(out[2], self.gt()[0].astype(np.int32))
        return out


def _save(directory, base, queries, gt=None, log=print):
    directory.mkdir(parents=True, exist_ok=True)
    base = np.ascontiguousarray(base, dtype=np.float32)
    queries = np.ascontiguousarray(queries, dtype=np.float32)
    if base.shape[1] != queries.shape[1]:
        raise ValueError("base has dimension %d, queries %d" % (base.shape[1], queries.shape[1]))
    np.save(directory / "base.npy", base)
    np.save(directory / "queries.npy", queries)
    if gt is None:
        log("computing exact top-%d for %d queries over %d x %d (once, cached in %s)"
            % (GT_K, queries.shape[0], base.shape[0], base.shape[1], directory))
        ids, dist = exact_knn(base, queries, GT_K)
    else:
        ids, dist = gt
    np.save(directory / "gt_ids.npy", ids.astype(np.int64))
    np.save(directory / "gt_dist.npy", dist.astype(np.float32))
    meta = {"n": base.shape[0], "dim": base.shape[1], "nq": queries.shape[0]}
    # meta.json is written last: its presence marks a complete directory.
    (directory / "meta.json").write_text(json.dumps(meta))


def _read_idx_images(path, limit=None):
    """An idx3-ubyte(.gz) image file as a float32 matrix (one flattened image per row)."""
    with gzip.open(path, "rb") as f:
        magic, count, rows, cols = struct.unpack(">IIII", f.read(16))
        if magic != 0x803:
            raise ValueError("%s: not an idx3-ubyte image file" % path)
        if limit is not None:
            count = min(count, limit)
        data = np.frombuffer(f.read(count * rows * cols), dtype=np.uint8)
    return data.reshape(count, rows * cols).astype(np.float32)


def _fashion_mnist(directory, log):
    train = FASHION_DIR / "train-images-idx3-ubyte.gz"
    test = FASHION_DIR / "t10k-images-idx3-ubyte.gz"
    if not train.exists() or not test.exists():
        raise SystemExit("Fashion-MNIST not found under %s; install Debian's "
                         "dataset-fashion-mnist (apt-get install dataset-fashion-mnist)"
                         % FASHION_DIR)
    _save(directory, _read_idx_images(train), _read_idx_images(test, 1000), log=log)


_SIZE = re.compile(r"^(\d+)([km]?)$")


def _parse_count(text):
    m = _SIZE.match(text.lower())
    if not m:
        raise ValueError("bad count %r" % text)
    return int(m.group(1)) * {"": 1, "k": 1000, "m": 1000000}[m.group(2)]


def generate_clustered(n, dim, nq, seed):
    """A seeded synthetic set that behaves like embedding data rather than uniform noise.

    Points are drawn from a Gaussian mixture in a 32-dimensional latent space
    (about one cluster per 1000 points, unequal spreads), mapped to `dim`
    dimensions by a fixed random matrix, plus small isotropic noise; queries
    come from the same distribution, not from the base."""
    rng = np.random.default_rng(seed)
    latent = min(32, dim)
    clusters = max(4, n // 1000)
    centers = rng.standard_normal((clusters, latent)).astype(np.float32) * 3.0
    spread = rng.uniform(0.5, 1.5, clusters).astype(np.float32)
    proj = (rng.standard_normal((latent, dim)) / np.sqrt(latent)).astype(np.float32)

    def draw(count):
        out = np.empty((count, dim), dtype=np.float32)
        step = 1 << 17
        for s in range(0, count, step):
            m = min(step, count - s)
            c = rng.integers(0, clusters, m)
            z = centers[c] + rng.standard_normal((m, latent), dtype=np.float32) * spread[c, None]
            out[s:s + m] = z @ proj + rng.standard_normal((m, dim), dtype=np.float32) * 0.1
        return out

    return draw(n), draw(nq)


def prepare(args, cache_dir, log=print):
    """The Dataset named by the command line (--dataset, or --base/--queries/--gt)."""
    cache_dir = Path(cache_dir)
    if args.base:
        if not args.queries:
            raise SystemExit("--base needs --queries (and optionally --gt)")
        paths = [Path(p).resolve() for p in (args.base, args.queries, args.gt) if p]
        key = hashlib.sha256(repr([(str(p), p.stat().st_size, p.stat().st_mtime_ns)
                                   for p in paths]).encode()).hexdigest()[:16]
        name = "%s-%s" % (paths[0].stem, key)
        directory = cache_dir / "files" / name
        if not (directory / "meta.json").exists():
            base = read_matrix(args.base).astype(np.float32)
            queries = read_matrix(args.queries).astype(np.float32)
            gt = None
            if args.gt:
                ids = read_matrix(args.gt).astype(np.int64)
                if ids.shape[0] != queries.shape[0]:
                    raise SystemExit("--gt has %d rows but there are %d queries"
                                     % (ids.shape[0], queries.shape[0]))
                # Distances of the given neighbours, for the tie-aware recall.
                dist = np.stack([((base[ids[i]] - queries[i]) ** 2).sum(1)
                                 for i in range(ids.shape[0])]).astype(np.float32)
                gt = (ids, dist)
            _save(directory, base, queries, gt, log=log)
        return Dataset(name, directory)

    name = args.dataset
    if name == "fashion-mnist":
        directory = cache_dir / "fashion-mnist"
        if not (directory / "meta.json").exists():
            _fashion_mnist(directory, log)
        return Dataset(name, directory)
    m = re.match(r"^random-([0-9]+[km]?)-([0-9]+)$", name or "")
    if m:
        n, dim = _parse_count(m.group(1)), int(m.group(2))
        nq = args.nq_generated
        directory = cache_dir / ("%s-q%d-s%d" % (name, nq, args.seed))
        if not (directory / "meta.json").exists():
            log("generating %s (%d x %d, %d queries, seed %d)" % (name, n, dim, nq, args.seed))
            base, queries = generate_clustered(n, dim, nq, args.seed)
            _save(directory, base, queries, log=log)
        return Dataset(name, directory)
    raise SystemExit("unknown --dataset %r (fashion-mnist, random-<N>-<D> such as "
                     "random-1m-128, or give --base/--queries)" % name)
