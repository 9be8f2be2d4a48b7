"""The searchers compared by compare.py: Orvane's index kinds and the peers.

Every runner has a build step and a search step, each run in its own
subprocess by compare.py (see runner_child.py): the build step reads the base
and leaves an index in the work directory; the search step opens it and
answers one query per call for each value of the runner's sweep. Runners are
described by plain dicts (`config`) so they can cross the process boundary.

Adding a configuration means adding a row to one of the tables below.
"""

import ctypes
import importlib.util
import os
import sys
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parent.parent

# A FAISS Python package to use instead of Debian's python3-faiss: the folder
# that holds its `faiss` package (see bench/README.md, "FAISS built for this
# machine"). compare.py sets it from --faiss-path; the runner subprocesses put
# it first on sys.path before FAISS is imported.
FAISS_PATH_ENV = "ORVANE_BENCH_FAISS"


def faiss_path():
    """The FAISS package folder chosen through ORVANE_BENCH_FAISS, or None (Debian's)."""
    return os.environ.get(FAISS_PATH_ENV) or None


def faiss_path_problem(path):
    """Why `path` cannot serve as a FAISS package folder, or None."""
    if not (Path(path) / "faiss" / "__init__.py").is_file():
        return "%s holds no faiss package (faiss/__init__.py)" % path
    return None


def use_faiss_path():
    """Puts the chosen FAISS package first on sys.path (before FAISS is imported)."""
    path = faiss_path()
    if path and path not in sys.path:
        sys.path.insert(0, path)


def faiss_description(faiss):
    """Which FAISS an imported module is: where it was loaded from, which of its
    extension modules was loaded and the options it was compiled with."""
    where = Path(faiss.__file__).resolve().parent
    debian = str(where).startswith("/usr/lib/")
    module = "swigfaiss_avx2" if "faiss.swigfaiss_avx2" in sys.modules else "swigfaiss"
    options = faiss.get_compile_options().strip() if hasattr(faiss, "get_compile_options") \
        else "unknown"
    return "%s FAISS %s from %s (module %s, compile options: %s)" % (
        "Debian" if debian else "native", getattr(faiss, "__version__", "?"), where, module,
        options or "none")

# Orvane configurations, one row per built index; `search` is the swept search
# option and its values. A kind missing from the library is reported as skipped.
# `{lists}` and `{threads}` are filled from the command line.
ORVANE_CONFIGS = [
    {"kind": "demo", "label": "demo", "build": {}},
    {"kind": "bruteforce", "label": "bruteforce rawf32", "build": {"encoding.type": "rawf32"}},
    {"kind": "bruteforce", "label": "bruteforce sq8", "build": {"encoding.type": "sq8"}},
    # One query split over two workers: the only row that is not single-threaded.
    {"kind": "bruteforce", "label": "bruteforce rawf32 parallel 2",
     "build": {"encoding.type": "rawf32"}, "fixed": {"search.parallel_number": 2}},
    # IVF trains its lists with 10 k-means rounds, as FAISS's IVF indexes do by
    # default, so that build times compare like for like.
    {"kind": "ivf", "label": "ivf rawf32 L{lists}",
     "build": {"encoding.type": "rawf32", "ivf.build.num_lists": "{lists}",
               "ivf.build.thread_count": "{threads}", "ivf.build.max_epoch": 10},
     "search": ("search.nprobe", [1, 2, 4, 8, 16, 32, 64])},
    {"kind": "ivf", "label": "ivf sq8 L{lists}",
     "build": {"encoding.type": "sq8", "ivf.build.num_lists": "{lists}",
               "ivf.build.thread_count": "{threads}", "ivf.build.max_epoch": 10},
     "search": ("search.nprobe", [1, 2, 4, 8, 16, 32, 64])},
    {"kind": "diskann", "label": "diskann R32 efC200",
     "build": {"diskann.build.neighbor_count": 32, "diskann.build.ef_construction": 200,
               "diskann.build.thread_count": "{threads}"},
     "search": ("diskann.search.list_size", [10, 20, 40, 60, 80, 100, 150, 200])},
    {"kind": "diskann", "label": "diskann defaults",
     "build": {"diskann.build.thread_count": "{threads}"},
     "search": ("diskann.search.list_size", [10, 20, 40, 60, 80, 100, 150, 200])},
    # The default PQ splits a vector into chunks of two components (Fashion-MNIST:
    # 392 bytes per row); 8 components per chunk, as the FAISS IVFPQ row uses,
    # ranks candidates four times cheaper. Searched with either file reader.
    {"kind": "diskann", "label": "diskann R32 efC200 pq98",
     "build": {"diskann.build.neighbor_count": 32, "diskann.build.ef_construction": 200,
               "encoding.pq.m": 98, "diskann.build.thread_count": "{threads}"},
     "search": ("diskann.search.list_size", [10, 20, 30, 40, 60, 80, 100, 150, 200])},
    {"kind": "diskann", "label": "diskann R32 efC200 pq98 mmap",
     "build": {"diskann.build.neighbor_count": 32, "diskann.build.ef_construction": 200,
               "encoding.pq.m": 98, "diskann.build.thread_count": "{threads}"},
     "searcher": {"io.reader.type": "mmap"},
     "search": ("diskann.search.list_size", [10, 20, 30, 40, 60, 80, 100, 150, 200])},
]

ORVANE_KINDS = ["demo", "bruteforce", "ivf", "diskann"]

EF_SWEEP = [10, 20, 40, 80, 120, 200, 400]
NPROBE_SWEEP = [1, 2, 4, 8, 16, 32, 64]

# Peer groups selectable with --peers (a group name selects every runner whose
# group starts with it: "faiss" selects faiss-flat, faiss-ivf, ...).
PEER_GROUPS = ["ref", "numpy", "faiss-flat", "faiss-ivf", "faiss-ivfpq", "faiss-hnsw",
               "hnswlib-py", "hnswlib-native"]
DEFAULT_PEERS = ["ref", "faiss", "hnswlib"]


def _fill(value, params):
    if isinstance(value, str) and value.startswith("{") and value.endswith("}"):
        return params[value[1:-1]]
    return value


def _shorten(values):
    """The sweep used by --quick: first, middle and last value."""
    if len(values) <= 3:
        return list(values)
    return [values[0], values[len(values) // 2], values[-1]]


def _pq_m(dim):
    """Sub-quantizer count for IVFPQ: the largest divisor of dim with sub-vectors of >= 8."""
    for m in range(max(1, dim // 8), 0, -1):
        if dim % m == 0:
            return m
    return 1


def default_lists(n):
    """Number of inverted lists: the power of two nearest to sqrt(n), at least 16."""
    return max(16, 1 << int(round(np.log2(max(1.0, np.sqrt(n))))))


def make_configs(args, dim, n):
    """All runner configs selected by the command line, in report order."""
    lists = args.ivf_lists or default_lists(n)
    params = {"lists": lists, "threads": args.build_threads}
    quick = args.quick
    configs = []
    kinds = _selection(args.kinds, ORVANE_KINDS)
    for cfg in ORVANE_CONFIGS:
        if cfg["kind"] not in kinds:
            continue
        build = {"index.type": cfg["kind"], "index.dimension": dim, "distance.metric": "l2"}
        build.update({k: _fill(v, params) for k, v in cfg["build"].items()})
        key, values = cfg.get("search", (None, [None]))
        configs.append({
            "runner": "orvane", "group": "orvane-" + cfg["kind"],
            "name": "orvane " + cfg["label"].format(**params),
            "build": build, "fixed": cfg.get("fixed", {}), "searcher": cfg.get("searcher", {}),
            "sweep_key": key, "sweep": _shorten(values) if quick else values})
    peers = _selection(args.peers, PEER_GROUPS)
    ef = _shorten(EF_SWEEP) if quick else EF_SWEEP
    nprobe = _shorten(NPROBE_SWEEP) if quick else NPROBE_SWEEP
    table = [
        ("ref", {"runner": "l2scan", "name": "avx2 L2 scan (reference)"}),
        ("numpy", {"runner": "numpy", "name": "numpy scan"}),
        ("faiss-flat", {"runner": "faiss", "name": "faiss IndexFlatL2", "factory": "flat"}),
        ("faiss-ivf", {"runner": "faiss", "name": "faiss IndexIVFFlat L%d" % lists,
                       "factory": "ivfflat", "lists": lists,
                       "sweep_key": "nprobe", "sweep": nprobe}),
        ("faiss-ivfpq", {"runner": "faiss",
                         "name": "faiss IndexIVFPQ L%d m%d" % (lists, _pq_m(dim)),
                         "factory": "ivfpq", "lists": lists, "pq_m": _pq_m(dim),
                         "sweep_key": "nprobe", "sweep": nprobe}),
        ("faiss-hnsw", {"runner": "faiss", "name": "faiss IndexHNSWFlat M32 efC200",
                        "factory": "hnsw", "M": 32, "efc": 200,
                        "sweep_key": "efSearch", "sweep": ef}),
        ("hnswlib-py", {"runner": "hnswlib", "name": "hnswlib (python) M16 efC200",
                     "M": 16, "efc": 200, "sweep_key": "ef", "sweep": ef}),
        ("hnswlib-native", {"runner": "hnswlib-native",
                            "name": "hnswlib (C++ -O3 -march=native) M16 efC200",
                            "M": 16, "efc": 200, "sweep_key": "ef", "sweep": ef}),
    ]
    for group, config in table:
        if group in peers:
            config.setdefault("sweep_key", None)
            config.setdefault("sweep", [None])
            config["group"] = group
            configs.append(config)
    return configs


def _selection(text, names):
    """Names chosen by a comma list of names/prefixes, 'all' or 'none'."""
    if text is None:
        return set(names)
    chosen = set()
    for word in (w.strip() for w in text.split(",")):
        if not word or word == "none":
            continue
        if word == "all":
            chosen.update(names)
            continue
        hits = [n for n in names if n == word or n.startswith(word + "-")]
        if not hits:
            raise SystemExit("unknown selection %r (choose from %s, all, none)"
                             % (word, ", ".join(names)))
        chosen.update(hits)
    return chosen


def unavailable(config):
    """Why a runner cannot run in this environment, or None. Cheap: no heavy imports."""
    runner = config["runner"]
    if runner == "faiss":
        if faiss_path():
            return faiss_path_problem(faiss_path())
        if importlib.util.find_spec("faiss") is None:
            return "python3-faiss is not installed (apt-get install python3-faiss)"
    if runner == "hnswlib" and importlib.util.find_spec("hnswlib") is None:
        return "python3-hnswlib is not installed (apt-get install python3-hnswlib)"
    if runner == "hnswlib-native" and not Path("/usr/include/hnswlib/hnswlib.h").exists():
        return "hnswlib headers not found (apt-get install libhnswlib-dev)"
    if runner == "orvane":
        sys.path.insert(0, str(REPO / "python"))
        from orvane import _native
        if not any((d / _native.LIB_NAME).is_file() for d in _native.candidate_dirs()):
            return ("liborvane_py.so not found; build it (cmake --build build --target "
                    "orvane_py) or set ORVANE_LIB_DIR")
    return None


# ---------------------------------------------------------------------------
# Runners, used inside the build and search subprocesses.

class _Runner:
    """Build once, then open and search one query (shape (1, dim)) per call."""

    def __init__(self, config, workdir, cache_dir):
        self.config = config
        self.workdir = Path(workdir)
        self.cache_dir = Path(cache_dir)

    def build(self, base, threads):
        """Builds the index over base; returns the seconds until it could be searched."""
        raise NotImplementedError

    def save(self):
        """Writes what build made into the work directory for the search process."""

    def open(self, dataset):
        raise NotImplementedError

    def set_param(self, value):
        """Applies one value of the sweep (None for runners without one)."""

    def search(self, row, k):
        """Ids (int64, k entries, -1 for missing) of the k nearest rows to one query."""
        raise NotImplementedError

    # Whether search_batch is one call of the peer (False: the loop below).
    native_batch = False

    def search_batch(self, queries, k, threads):
        """Ids (queries x k) of one call over every query on `threads` threads."""
        found = np.full((queries.shape[0], k), -1, dtype=np.int64)
        for i in range(queries.shape[0]):
            ids = self.search(queries[i:i + 1], k)
            found[i, :len(ids)] = ids[:k]
        return found

    def search_filtered(self, queries, k, allowed, threads):
        """As search_batch, returning only rows of `allowed` (ascending int64);
        None when the peer cannot filter."""
        return None

    def close(self):
        pass

    def library(self):
        """Which build of the peer's library ran, or None when there is no choice."""
        return None


class OrvaneRunner(_Runner):
    def _path(self):
        return self.workdir / "orvane.idx"

    def _import(self):
        sys.path.insert(0, str(REPO / "python"))
        import orvane
        return orvane

    def build(self, base, threads):
        import time
        orvane = self._import()
        t0 = time.perf_counter()
        with orvane.Builder(self.config["build"]) as b:
            b.pretrain(base)
            b.insert(base)
            b.dump(self._path())
        return time.perf_counter() - t0

    def open(self, dataset):
        orvane = self._import()
        b = self.config["build"]
        self._searcher = orvane.Searcher({"index.type": b["index.type"],
                                          "index.dimension": b["index.dimension"],
                                          **self.config.get("searcher", {})})
        self._searcher.open(self._path())
        self._options = dict(self.config.get("fixed", {}))

    def set_param(self, value):
        key = self.config.get("sweep_key")
        if key is not None:
            self._options[key] = value

    def search(self, row, k):
        _, ids = self._searcher.search(row, k, **self._options)
        return ids[0].view(np.int64)  # a missing hit (2**64-1) reads as -1

    native_batch = True

    def search_batch(self, queries, k, threads):
        _, ids = self._searcher.search(queries, k, threads=threads, **self._options)
        return ids.view(np.int64)

    def search_filtered(self, queries, k, allowed, threads):
        orvane = self._import()
        try:
            _, ids = self._searcher.search_with_filter(queries, k, allowed.astype(np.uint64),
                                                       threads=threads, **self._options)
        except orvane.OrvaneError as exc:
            if "not attached" in str(exc) or "not supported" in str(exc):
                return None
            raise
        return ids.view(np.int64)

    def close(self):
        self._searcher.close()


class L2ScanRunner(_Runner):
    """The plain AVX2 scan of native/l2scan.cc over the base held in memory."""

    def build(self, base, threads):
        return 0.0  # nothing to build: the scan reads the matrix as it is

    def open(self, dataset):
        from native_build import compile_native
        lib = ctypes.CDLL(str(compile_native("l2scan.cc", self.cache_dir, shared=True)))
        lib.l2scan_search.restype = None
        lib.l2scan_search.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64,
                                      ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p,
                                      ctypes.c_void_p]
        self._fn = lib.l2scan_search
        self._base = np.ascontiguousarray(dataset.base(), dtype=np.float32)
        self._dist = np.empty(1024, dtype=np.float32)
        self._ids = np.empty(1024, dtype=np.int64)

    def search(self, row, k):
        n, d = self._base.shape
        self._fn(self._base.ctypes.data, n, d, row.ctypes.data, k, self._dist.ctypes.data,
                 self._ids.ctypes.data)
        return self._ids[:k].copy()


class NumpyRunner(_Runner):
    """Exact scan with numpy: |b|^2 - 2 b.q by one matrix-vector product, then a partition."""

    def build(self, base, threads):
        return 0.0

    def open(self, dataset):
        self._base = np.ascontiguousarray(dataset.base(), dtype=np.float32)
        self._norms = (self._base * self._base).sum(1)

    def search(self, row, k):
        d = self._norms - 2.0 * (self._base @ row[0])
        k = min(k, d.shape[0])
        part = np.argpartition(d, k - 1)[:k]
        return part[np.argsort(d[part], kind="stable")].astype(np.int64)

    native_batch = True

    @staticmethod
    def _top(base, norms, queries, k):
        """Positions in `base` of the k best rows per query, by one matrix product."""
        found = np.full((queries.shape[0], k), -1, dtype=np.int64)
        kk = min(k, base.shape[0])
        if kk == 0:
            return found
        d = norms[None, :] - 2.0 * (queries @ base.T)
        part = np.argpartition(d, kk - 1, axis=1)[:, :kk]
        order = np.argsort(np.take_along_axis(d, part, axis=1), axis=1, kind="stable")
        found[:, :kk] = np.take_along_axis(part, order, axis=1)
        return found

    def search_batch(self, queries, k, threads):
        return self._top(self._base, self._norms, queries, k)

    def search_filtered(self, queries, k, allowed, threads):
        found = self._top(self._base[allowed], self._norms[allowed], queries, k)
        return np.where(found >= 0, allowed[np.maximum(found, 0)], -1)


class FaissRunner(_Runner):
    def _path(self):
        return self.workdir / "faiss.index"

    def build(self, base, threads):
        import time
        import faiss
        faiss.omp_set_num_threads(threads)
        s, d = self.config, base.shape[1]
        t0 = time.perf_counter()
        if s["factory"] == "flat":
            index = faiss.IndexFlatL2(d)
        elif s["factory"] == "ivfflat":
            self._quantizer = faiss.IndexFlatL2(d)
            index = faiss.IndexIVFFlat(self._quantizer, d, s["lists"])
        elif s["factory"] == "ivfpq":
            self._quantizer = faiss.IndexFlatL2(d)
            index = faiss.IndexIVFPQ(self._quantizer, d, s["lists"], s["pq_m"], 8)
        else:
            index = faiss.IndexHNSWFlat(d, s["M"])
            index.hnsw.efConstruction = s["efc"]
        if not index.is_trained:
            index.train(base)
        index.add(base)
        self._index = index
        return time.perf_counter() - t0

    def save(self):
        import faiss
        faiss.write_index(self._index, str(self._path()))

    def open(self, dataset):
        import faiss
        faiss.omp_set_num_threads(1)
        self._index = faiss.read_index(str(self._path()))

    def set_param(self, value):
        import faiss
        key = self.config.get("sweep_key")
        if key == "nprobe":
            faiss.extract_index_ivf(self._index).nprobe = value
        elif key == "efSearch":
            self._index.hnsw.efSearch = value

    def search(self, row, k):
        return self._index.search(row, k)[1][0]

    def library(self):
        import faiss
        return faiss_description(faiss)

    native_batch = True

    def search_batch(self, queries, k, threads):
        import faiss
        faiss.omp_set_num_threads(threads)
        try:
            return self._index.search(queries, k)[1]
        finally:
            faiss.omp_set_num_threads(1)

    def search_filtered(self, queries, k, allowed, threads):
        import faiss
        if not hasattr(faiss, "IDSelectorBatch") or not hasattr(faiss, "SearchParameters"):
            return None
        selector = faiss.IDSelectorBatch(allowed.size, faiss.swig_ptr(allowed))
        key = self.config.get("sweep_key")
        if key == "nprobe":
            params = faiss.SearchParametersIVF(sel=selector,
                                               nprobe=faiss.extract_index_ivf(self._index).nprobe)
        elif key == "efSearch":
            params = faiss.SearchParametersHNSW(sel=selector, efSearch=self._index.hnsw.efSearch)
        else:
            params = faiss.SearchParameters(sel=selector)
        faiss.omp_set_num_threads(threads)
        try:
            return self._index.search(queries, k, params=params)[1]
        finally:
            faiss.omp_set_num_threads(1)


class HnswlibRunner(_Runner):
    def _path(self):
        return self.workdir / "hnswlib.bin"

    def build(self, base, threads):
        import time
        import hnswlib
        t0 = time.perf_counter()
        index = hnswlib.Index(space="l2", dim=base.shape[1])
        index.init_index(max_elements=base.shape[0], M=self.config["M"],
                         ef_construction=self.config["efc"], random_seed=100)
        index.set_num_threads(threads)
        index.add_items(base, np.arange(base.shape[0]))
        self._index = index
        return time.perf_counter() - t0

    def save(self):
        self._index.save_index(str(self._path()))

    def open(self, dataset):
        import hnswlib
        self._index = hnswlib.Index(space="l2", dim=dataset.dim)
        self._index.load_index(str(self._path()), max_elements=dataset.n)
        self._index.set_num_threads(1)

    def set_param(self, value):
        self._index.set_ef(value)

    def search(self, row, k):
        return self._index.knn_query(row, k=k)[0][0].astype(np.int64)

    native_batch = True

    def search_batch(self, queries, k, threads):
        return self._index.knn_query(queries, k=k, num_threads=threads)[0].astype(np.int64)

    def search_filtered(self, queries, k, allowed, threads):
        admitted = set(allowed.tolist())
        try:
            labels, _ = self._index.knn_query(queries, k=k, num_threads=threads,
                                              filter=lambda label: label in admitted)
        except TypeError:  # a hnswlib without filters
            return None
        except RuntimeError:  # fewer than k admitted rows reachable
            return None
        return labels.astype(np.int64)


RUNNERS = {"orvane": OrvaneRunner, "l2scan": L2ScanRunner, "numpy": NumpyRunner,
           "faiss": FaissRunner, "hnswlib": HnswlibRunner}


def make_runner(config, workdir, cache_dir):
    return RUNNERS[config["runner"]](config, workdir, cache_dir)


def status_mib(field):
    """A /proc/self/status field ("RssAnon", "VmRSS", "VmHWM") in MiB, or None."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def child_env(threads, blas_threads=None, faiss=None):
    """Environment for a runner subprocess: OpenMP pools limited to `threads`, BLAS
    pools to `blas_threads` (default `threads`), and the FAISS package folder to
    use (None: Debian's)."""
    env = dict(os.environ)
    env["OMP_NUM_THREADS"] = str(threads)
    for var in ("OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = str(blas_threads or threads)
    env.pop(FAISS_PATH_ENV, None)
    if faiss:
        env[FAISS_PATH_ENV] = str(faiss)
    return env
