"""K-means on a Dask array spread over a ``dask.distributed`` cluster.

Each row block is assigned by the core on the worker that holds it. A block
keeps its labels and drift bounds on that worker between iterations, so after
the first iteration it computes only the distances its bounds leave in doubt;
the per-block member sums and counts (double, each center's members in point
order) are added in a fixed tree, and the client divides and tests
convergence exactly as the single-machine loop does.

A block whose worker died, or that moved, finds no state where it runs: it
is rebuilt with one full assignment, which gives the same labels and sums,
so the fit ends with the same result. Labels are compared across iterations through a
64-bit digest per block, so a rebuilt block needs no copy of its old labels.
"""
from __future__ import annotations

import itertools
import operator
import threading
import uuid
import warnings
from collections.abc import Callable
from concurrent.futures import CancelledError
from numbers import Integral, Real
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

try:
    import dask
    import dask.array as da
    from distributed import get_client, get_worker, wait
except ImportError as exc:  # pragma: no cover - exercised only without dask
    raise ImportError("tavrine.dask needs dask[array] and distributed: "
                      "pip install 'tavrine[dask]'") from exc

from sklearn.base import BaseEstimator, ClusterMixin, _fit_context
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval, StrOptions

from . import _fit
from . import _validation as valid
from ._kmeans import (_centred32, _core_seed, _nearest, _nearest64, _power_of_two_scale,
                      _print_lloyd, _refuse_unfit64, _seed_from_candidates, _take_nearer)

__all__ = ["KMeans"]

_FAN_IN = 4  # partial results added per reduction task

# ---- worker side -------------------------------------------------------------
# Per process: the blocks and k-means|| distances of running fits, keyed by
# (worker address, fit id, block index), and one lock per worker, so that one
# block at a time runs on all of the worker's threads.

_registry_lock = threading.Lock()
_blocks = {}
_locks = {}


def _worker():
    """(address, threads) of the worker running this task."""
    try:
        w = get_worker()
    except ValueError:  # run outside a worker (synchronous scheduler)
        return "local", 0
    return w.address, w.state.nthreads


def _worker_lock(address):
    with _registry_lock:
        return _locks.setdefault(address, threading.Lock())


def _rows(part):
    return np.ascontiguousarray(part, dtype=np.float32)


def _exact(part, centers, w=None):
    """The float64 rows, centers and weights a float64 fit decides with
    (none for float32 blocks): float64 blocks are centred in double and
    their labels taken in double."""
    if np.asarray(part).dtype != np.float64:
        return {}
    return {"X64": np.ascontiguousarray(part),
            "centers64": None if centers is None else np.ascontiguousarray(centers),
            "weights64": None if w is None else np.ascontiguousarray(w, dtype=np.float64)}


def _float32(centers):
    return np.ascontiguousarray(centers, dtype=np.float32)


def _weights(w):
    return None if w is None else np.ascontiguousarray(w, dtype=np.float32)


def _step(part, fit_id, index, centers, full, w=None):
    """Assignment of block `index`: pruned by the bounds this worker holds for
    it, or a full assignment that rebuilds a block it does not hold. `w`: the
    block's sample weights."""
    address, threads = _worker()
    X = _rows(part)
    key = (address, fit_id, index)
    with _worker_lock(address):
        block = _blocks.get(key)
        rebuilt = block is None
        if rebuilt:
            block = _blocks[key] = _fit.Block(X.shape[0])
        sums, counts, digest, products = block.assign(X, _float32(centers), full or rebuilt,
                                                      threads, _weights(w),
                                                      **_exact(part, centers, w))
    return sums, counts, {index: digest}, products, int(rebuilt and not full)


def _finish(part, fit_id, index, centers, relabel, w=None):
    """Final labels and inertia of block `index` against the last centers."""
    address, threads = _worker()
    X = _rows(part)
    with _worker_lock(address):
        block = _blocks.pop((address, fit_id, index), None)
        if block is None or relabel:
            block = block or _fit.Block(X.shape[0])
            block.assign(X, _float32(centers), False, threads, _weights(w),
                         **_exact(part, centers, w))
        inertia = block.inertia(X, _float32(centers), threads, _weights(w),
                                **_exact(part, centers, w))
    labels = block.labels()
    return labels, inertia, np.bincount(labels, minlength=len(centers))


def _farthest(part, fit_id, index, centers, count, w=None):
    """Up to `count` rows of block `index` farthest from the centers
    (`centers`) of its last assignment: their squared distances, places in
    the block, labels, rows and weights; and the block's members of positive
    weight per center, which tell exactly when a center lends its last."""
    address, threads = _worker()
    X, sw = _rows(part), _weights(w)
    with _worker_lock(address):
        block = _assigned(address, threads, fit_id, index, part, centers, w)
        exact = _exact(part, None, w)
        exact.pop("centers64", None)
        dist, rows = block.farthest(X, count, sw, **exact)
        all_labels = block.labels()
    labels = all_labels[rows]
    weights = np.ones(len(rows), np.float32) if sw is None else (
        exact["weights64"] if exact else sw)[rows]
    members = np.bincount(all_labels if sw is None else all_labels[sw > 0],
                          minlength=len(centers))
    return dist, rows, labels, np.asarray(part)[rows], weights, members


def _assigned(address, threads, fit_id, index, part, centers, w):
    """Block `index` as its last assignment (to `centers`) left it; one lost
    with a worker is rebuilt by a full assignment, which gives the same labels."""
    block = _blocks.get((address, fit_id, index))
    if block is None:
        block = _blocks[(address, fit_id, index)] = _fit.Block(len(part))
        block.assign(_rows(part), _float32(centers), True, threads, _weights(w),
                     **_exact(part, centers, w))
    return block


def _step_inertia(part, fit_id, index, centers, w=None):
    """Block `index`'s inertia: its labels against the centers they came from."""
    address, threads = _worker()
    X, sw = _rows(part), _weights(w)
    with _worker_lock(address):
        block = _assigned(address, threads, fit_id, index, part, centers, w)
        return block.inertia(X, _float32(centers), threads, sw, **_exact(part, centers, w))


def _add(*parts):
    """Sum of partial step results, in the order given."""
    sums, counts, digests, products, rebuilt = parts[0]
    sums, counts, digests = sums.copy(), counts.copy(), dict(digests)
    for s, c, dg, p, r in parts[1:]:
        sums += s
        counts += c
        digests.update(dg)
        products += p
        rebuilt += r
    return sums, counts, digests, products, rebuilt


def _forget(fit_id, dask_worker=None):
    """Drops what a fit left on this worker."""
    address = dask_worker.address if dask_worker is not None else "local"
    with _registry_lock:
        for key in [key for key in _blocks if key[:2] == (address, fit_id)]:
            del _blocks[key]


def _seed_nearest(address, threads, fit_id, index, X, candidates):
    """Nearest candidate of each of block `index`'s rows and the distance to
    it, brought up to date with the candidates this worker has not yet seen
    for it."""
    key = (address, fit_id, ("seed", index))
    labels, mins, known = _blocks.get(key, (None, None, 0))
    if mins is None:
        labels = np.zeros(X.shape[0], np.int32)
        mins = np.full(X.shape[0], np.inf, np.float32)
    if known < len(candidates):
        _take_nearer(X, _float32(candidates[known:]), known, labels, mins, threads)
    _blocks[key] = (labels, mins, len(candidates))
    return labels, mins


def _seed_potential(part, fit_id, index, candidates, w=None):
    """Block `index`'s summed (weighted) distance to the candidates."""
    address, threads = _worker()
    X = _rows(part)
    with _worker_lock(address):
        mins = _seed_nearest(address, threads, fit_id, index, X, candidates)[1]
    if w is not None:
        return float(w.astype(np.float64) @ mins)
    return float(mins.sum(dtype=np.float64))


def _seed_sample(part, fit_id, index, candidates, scale, seed, w=None):
    """Rows of block `index` drawn each with probability min(1, scale * w * dist)."""
    address, threads = _worker()
    X = _rows(part)
    with _worker_lock(address):
        mins = _seed_nearest(address, threads, fit_id, index, X, candidates)[1]
    u = np.random.default_rng(seed).random(X.shape[0])
    share = mins.astype(np.float64) if w is None else mins * w.astype(np.float64)
    return X[u < scale * share]


def _seed_weights(part, fit_id, index, candidates, w=None):
    """The (weighted) number of block `index`'s rows each candidate is nearest to."""
    address, threads = _worker()
    X = _rows(part)
    with _worker_lock(address):
        labels = _seed_nearest(address, threads, fit_id, index, X, candidates)[0]
    return np.bincount(labels, weights=w, minlength=len(candidates)).astype(np.float64)


def _take_rows(part, offsets):
    return np.asarray(part)[offsets]


def _predict_part(part, mean, scale, centers, estimator=None):
    part = np.asarray(part)
    if centers.dtype == np.float64 and part.dtype != np.float32:
        _refuse_unfit64(part, mean, scale, estimator=estimator)
        return _nearest64(part, mean, scale, centers)[0]
    X32 = _centred32(part, mean, scale=scale, estimator=estimator)
    return _nearest(X32, _float32(centers), _worker()[1])[0]


# ---- client side -------------------------------------------------------------

def _centred_rows(X, mean, scale):
    """scale * (X less its column means), rounded to float32 after the
    subtraction and the exact power-of-two scaling, as tavrine.KMeans rounds
    it, one chunk of columns per block of rows. float64 X stays float64: its
    tasks take the float32 copy block by block."""
    V = (X.astype(np.float64) - mean) * scale
    return (V if X.dtype == np.float64 else V.astype(np.float32)).rechunk({1: -1})


_POLL_S = 0.25  # how often a waiting client checks that the pinned workers live
_MAX_ATTEMPTS = 10  # runs of one step before a fit gives up on a failing cluster


def _tree_sum(client, futures):
    """One future holding the sum of `futures`, added in a fixed tree."""
    while len(futures) > 1:
        futures = [client.submit(_add, *futures[i:i + _FAN_IN], pure=False)
                   for i in range(0, len(futures), _FAN_IN)]
    return futures[0]


class _Blocks:
    """The row blocks of one fit, as float32 futures, each task of a block
    pinned to the worker that holds its rows (and its labels): work stealing
    would otherwise move blocks and force full assignments. Centers travel
    inside the tasks, not as scattered data, so that a task can be run again
    anywhere after a worker is lost."""

    def __init__(self, client, X32, w32=None):
        self.client = client
        self.parts = client.compute(list(X32.to_delayed().ravel()))
        # Each block's weights travel as an extra last argument of its tasks.
        self.weights = ([None] * len(self.parts) if w32 is None
                        else client.compute(list(w32.to_delayed().ravel())))
        wait(self.parts)
        self.sizes = [int(c) for c in X32.chunks[0]]
        self._place()

    def _place(self):
        who = self.client.who_has(self.parts)
        self.workers = [list(who.get(p.key, ())) or None for p in self.parts]

    def run(self, fn, args, combine=False, weighted=True):
        """fn(part_b, *args[b]) on block b's worker, for every block. Returns the
        results, or with `combine` their sum by `_add` in a fixed tree. When a
        pinned worker leaves, the step is dropped and run again with each
        block on the worker that now holds its rows (the scheduler recomputes
        rows that were lost)."""
        for _ in range(_MAX_ATTEMPTS):
            futures = [self.client.submit(fn, part, *a, *([sw] if weighted else []), workers=w,
                                          pure=False)
                       for part, a, w, sw in zip(self.parts, args, self.workers, self.weights)]
            final = [_tree_sum(self.client, futures)] if combine else futures
            pinned = {addr for w in self.workers if w for addr in w}
            try:
                while True:
                    try:
                        wait(final, timeout=_POLL_S)
                        results = self.client.gather(final)
                        return results[0] if combine else results
                    except TimeoutError:
                        if not pinned <= set(self.client.nthreads()):
                            break
            except CancelledError:  # a result was lost with its worker
                pass
            del futures, final  # released, so the scheduler forgets them
            self._place()
        raise RuntimeError(f"{fn.__name__} failed {_MAX_ATTEMPTS} times as workers left")

    def submit(self, fn, args):
        """fn(part_b, *args[b]) for every block, preferring the block's worker
        but free to run elsewhere (its results may outlive that worker)."""
        # A block whose rows are being recomputed has no worker yet: then any will do.
        return [self.client.submit(fn, part, *a, sw, workers=w,
                                   allow_other_workers=w is not None, pure=False)
                for part, a, w, sw in zip(self.parts, args, self.workers, self.weights)]

    def rows(self, index):
        """Rows of X at the given global indices, in that order."""
        index = np.asarray(index)
        starts = np.concatenate([[0], np.cumsum(self.sizes)])
        owner = np.searchsorted(starts, index, side="right") - 1
        args = [(index[owner == b] - starts[b],) for b in range(len(self.parts))]
        taken = np.concatenate(self.run(_take_rows, args, weighted=False))
        # run returns the rows grouped by block; put them back in the asked order.
        order = np.argsort(owner, kind="stable")
        out = np.empty_like(taken)
        out[order] = taken
        return out


class KMeans(ClusterMixin, BaseEstimator):
    """K-means clustering of a Dask array on a ``dask.distributed`` cluster.

    The same Lloyd iterations as :class:`tavrine.KMeans`, with each row block
    assigned by the core on the worker that holds it, using that worker's
    threads. Needs a running ``distributed.Client``.

    Parameters
    ----------
    n_clusters : int, default=8
        Number of clusters.
    init : {"k-means||", "random"} or array-like of shape (n_clusters, n_features)
        ``"k-means||"``: scalable k-means++ (oversampled rounds over the
        blocks, then weighted k-means++ and Lloyd on the candidates, each
        weighted by the points nearest to it). ``"random"``: distinct random
        rows. An array gives the initial centers.
    max_iter : int, default=300
        Maximum number of Lloyd iterations.
    tol : float, default=1e-4
        Relative tolerance: a run stops once the summed squared center shifts
        are at most ``tol`` times the mean variance of the features.
    oversampling_factor : float, default=2
        k-means|| draws about ``oversampling_factor * n_clusters`` candidates
        per round.
    init_max_iter : int, default=5
        Rounds of k-means||.
    random_state : int, RandomState instance or None, default=None
        Seeds the initialisation; a given seed and block layout give the same
        centers on any cluster.
    verbose : int, default=0
        Print each iteration's inertia and why the run stopped, as
        scikit-learn's Lloyd does (the inertia costs one more pass over the
        blocks per iteration).

    Attributes
    ----------
    cluster_centers_ : ndarray of shape (n_clusters, n_features)
    labels_ : dask.array.Array of int32, shape (n_samples,)
        Chunked like the rows of X.
    inertia_ : float
    n_iter_ : int
    n_features_in_ : int
    products_per_iter_ : ndarray of shape (n_iter_,)
        Point-center products computed in each iteration (a full iteration
        computes n_samples x n_clusters of them).
    rebuilt_blocks_ : int
        Blocks rebuilt from their data after losing their labels.
    """

    def __init__(self, n_clusters: int = 8, *, init: str | ArrayLike = "k-means||",
                 max_iter: int = 300, tol: float = 1e-4, oversampling_factor: float = 2,
                 init_max_iter: int = 5,
                 random_state: int | np.random.RandomState | None = None, verbose: int = 0):
        self.n_clusters = n_clusters
        self.init = init
        self.max_iter = max_iter
        self.tol = tol
        self.oversampling_factor = oversampling_factor
        self.init_max_iter = init_max_iter
        self.random_state = random_state
        self.verbose = verbose

    # ---- parameters and data ---------------------------------------------

    _parameter_constraints: dict = {
        "n_clusters": [Interval(Integral, 1, None, closed="left")],
        "init": [StrOptions({"k-means||", "random"}), "array-like"],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "tol": [Interval(Real, 0, None, closed="left")],
        "oversampling_factor": [Interval(Real, 0, None, closed="left")],
        "init_max_iter": [Interval(Integral, 1, None, closed="left")],
        "random_state": ["random_state"],
        "verbose": ["verbose"],
    }

    def _validated(self, X, reset):
        """X checked as tavrine.KMeans checks it, as a Dask array; an
        in-memory X goes through the very same checks."""
        if isinstance(X, da.Array):
            valid.check_lazy_X(X, self, reset=reset)
        else:
            X = da.from_array(valid.check_X(X, self, reset=reset))
        return X

    # ---- initial centers ---------------------------------------------------

    def _kmeans_parallel(self, blocks, rng):
        client, n, k = blocks.client, sum(blocks.sizes), self.n_clusters
        nb = len(blocks.parts)
        candidates = blocks.rows([self._draw(n, 1, rng)[0]])
        for _ in range(self.init_max_iter):
            phi = float(np.sum(blocks.run(_seed_potential,
                                          [(self._fit_id, b, candidates) for b in range(nb)])))
            if phi <= 0.0:
                break
            scale = self.oversampling_factor * k / phi
            seeds = rng.randint(np.iinfo(np.int32).max, size=nb)
            drawn = blocks.run(_seed_sample, [(self._fit_id, b, candidates, scale, int(seeds[b]))
                                              for b in range(nb)])
            candidates = np.concatenate([candidates] + drawn)
        if len(candidates) < k:
            extra = rng.choice(n, size=k - len(candidates), replace=False)
            candidates = np.concatenate([candidates, blocks.rows(extra)])
        weights = np.sum(blocks.run(_seed_weights, [(self._fit_id, b, candidates)
                                                    for b in range(nb)]), axis=0)
        return _seed_from_candidates(candidates, weights, k, rng)

    def _draw(self, n, size, rng):
        """size distinct rows, drawn in proportion to their weights."""
        p = None if self._sw is None else self._sw / self._sw.sum()
        if size == 1:
            return [rng.randint(n)] if p is None else [rng.choice(n, p=p)]
        return rng.choice(n, size=size, replace=False, p=p)

    def _initial_centers(self, blocks, d, mean, scale, rng):
        init, k = self.init, self.n_clusters
        if isinstance(init, str):
            if init == "random":
                return blocks.rows(self._draw(sum(blocks.sizes), k, rng))
            return self._kmeans_parallel(blocks, rng)
        centers = valid.check_X(init, name="init")
        valid.check_init_shape(centers, k, d)
        init32 = _centred32(centers, mean, name="init", scale=scale)
        if self._dtype == np.float32:
            return init32
        return (np.asarray(centers, dtype=np.float64) - mean) * scale

    # ---- fitting -------------------------------------------------------------

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X: da.Array | ArrayLike, y: Any = None,
            sample_weight: da.Array | ArrayLike | None = None, *,
            progress: Callable[[int, int, float], Any] | None = None) -> KMeans:
        """Compute k-means clustering of a Dask array.

        Parameters
        ----------
        X : dask.array.Array or array-like of shape (n_samples, n_features)
            Training data, chunked by rows; column chunks are merged. Dense
            only: sparse blocks (and scipy.sparse matrices) are refused with
            a TypeError; tavrine.KMeans clusters CSR data on one machine.
        y : Ignored
            Not used, present for API consistency.
        sample_weight : dask.array.Array or array-like of shape (n_samples,), default=None
            Non-negative weight of each point in the seeding, the centers and
            the inertia, as in :meth:`tavrine.KMeans.fit`; rechunked like X's
            rows. None weighs every point 1.
        progress : callable or None, default=None
            Called on the client after every iteration as ``progress(iteration,
            products, shift)``, as in :meth:`tavrine.KMeans.fit`.

        Returns
        -------
        self : KMeans
            The fitted estimator.
        """
        try:
            client = get_client()
        except ValueError as exc:
            raise ValueError("tavrine.dask.KMeans runs on a dask.distributed cluster: start a "
                             "distributed.Client first") from exc
        X = self._validated(X, reset=True)
        n, d = X.shape
        # float64 data are clustered in float64, as tavrine.KMeans does.
        self._dtype = np.float32 if X.dtype == np.float32 else np.float64
        # n floats: checked on the client as tavrine.KMeans checks them.
        if isinstance(sample_weight, da.Array):
            sample_weight = sample_weight.compute()
        self._sw, sw32 = valid.check_weights(sample_weight, X)
        valid.check_n_samples(n, self.n_clusters)
        rng = check_random_state(self.random_state)
        mean, scale = self._column_mean(X)
        valid.check_n_features(self, X, reset=True)
        self._fit_id = uuid.uuid4().hex
        X32 = client.persist(_centred_rows(X, mean, scale))
        # float64 fits weigh in float64, as scikit-learn does.
        sw = sw32 if self._dtype == np.float32 else self._sw
        w32 = None if sw is None else da.from_array(sw, chunks=(X32.chunks[0],))
        blocks = _Blocks(client, X32, w32)
        try:
            tol = self._tolerance(X32)
            centers = self._initial_centers(blocks, d, mean, scale, rng).astype(self._dtype)
            client.run(_forget, self._fit_id)
            result = self._lloyd(blocks, centers, tol, 1.0 / scale / scale, progress)
        finally:
            client.run(_forget, self._fit_id)
        centers, labels, inertia, sizes, n_iter, products, rebuilt = result
        self._mean, self._scale, self._centers32 = mean, scale, centers.astype(np.float32)
        self._centers64 = centers if centers.dtype == np.float64 else None
        self.cluster_centers_ = (centers.astype(np.float64) / scale + mean).astype(
            np.float64 if X.dtype != np.float32 else np.float32)
        self.labels_ = da.concatenate([da.from_delayed(f, shape=(s,), dtype=np.int32)
                                       for f, s in zip(labels, blocks.sizes)])
        self.inertia_ = float(inertia) / scale / scale
        found = np.count_nonzero(sizes)
        if found < self.n_clusters:
            cause = ("X has fewer distinct points than clusters" if self._unfilled else
                     "clusters emptied in the last iteration were not refilled; a larger "
                     "max_iter gives them points")
            warnings.warn(f"Number of distinct clusters ({found}) found smaller than "
                          f"n_clusters ({self.n_clusters}): {cause}.", ConvergenceWarning,
                          stacklevel=2)
        self.n_iter_ = n_iter
        self.products_per_iter_ = np.asarray(products, dtype=np.int64)
        self.rebuilt_blocks_ = rebuilt
        return self

    def _column_mean(self, X):
        """float64 column means and the power of two that scales the centred
        data (see tavrine.KMeans), from the one pass that also refuses NaN
        and infinity, and data whose sums or spread overflow float64."""
        X64 = X.astype(np.float64)
        with np.errstate(over="ignore", invalid="ignore"):
            mean, low, high, finite, nan = dask.compute(
                X64.mean(axis=0), X64.min(axis=0), X64.max(axis=0), da.isfinite(X).all(),
                da.isnan(X).any())
            spread = max(np.max(high - mean), np.max(mean - low))
        if not finite:
            raise valid.non_finite_error(nan, X.dtype, "X", self)
        if not (np.isfinite(mean).all() and np.isfinite(spread)):
            raise valid.too_spread("X")
        return mean, _power_of_two_scale(spread)

    def _tolerance(self, X32):
        """tol scaled by the mean feature variance, from the pass that refuses
        values too large for float32 once centred."""
        variance, finite = dask.compute(X32.astype(np.float64).var(axis=0).mean(),
                                        da.isfinite(X32).all())
        if not finite:
            raise valid.too_large("X")
        return float(variance) * self.tol

    def _lloyd(self, blocks, centers, tol, unit, progress):
        """The single-machine loop, step for step: one full iteration, then
        pruned ones until the labels settle, the shifts fall to tol, or the
        cap; the last two end with a relabelling against the last centers.
        Reports give squared quantities times `unit`, in the data's scale."""
        client, nb = blocks.client, len(blocks.parts)
        products, rebuilt, relabel = [], 0, False
        prev_digests = None

        def update(iteration, full):
            nonlocal centers, rebuilt
            sums, counts, digests, work, lost = blocks.run(
                _step, [(self._fit_id, b, centers, full) for b in range(nb)], combine=True)
            sums, counts = np.array(sums), np.array(counts)  # gathered arrays may be read-only
            if self.verbose:
                inertia = sum(blocks.run(_step_inertia, [(self._fit_id, b, centers)
                                                         for b in range(nb)]))
                _print_lloyd(iteration, inertia * unit)
            moved, self._unfilled = self._refound(blocks, centers, sums, counts)
            # Weights may be fractional: divide by the summed weight itself.
            held = counts > 0  # emptied by a move: it stays where it was
            new = centers.copy()
            new[held] = (sums[held] / counts[held, None]).astype(centers.dtype)
            shift = float(np.sum((new.astype(np.float64) - centers) ** 2))
            centers, rebuilt = new, rebuilt + lost
            products.append(work)
            if progress is not None:
                progress(iteration, work, shift * unit)
            return digests, shift, moved

        digests, shift, moved = update(1, True)
        for iteration in itertools.count(1):
            if iteration > 1:
                if digests == prev_digests and not moved:
                    if self.verbose:
                        _print_lloyd(iteration, stop=_fit.STOP_LABELS)
                    break
                if shift <= tol:
                    if self.verbose:
                        _print_lloyd(iteration, stop=_fit.STOP_SHIFT, shift=shift * unit,
                                     tol=tol * unit)
                    relabel = True
                    break
            prev_digests = digests
            if iteration == self.max_iter:
                relabel = True
                break
            digests, shift, moved = update(iteration + 1, False)
        ends = blocks.submit(_finish, [(self._fit_id, b, centers, relabel) for b in range(nb)])
        labels = [client.submit(operator.getitem, f, 0, pure=False) for f in ends]
        inertia = sum(client.gather([client.submit(operator.getitem, f, 1, pure=False)
                                     for f in ends]))
        sizes = np.sum(client.gather([client.submit(operator.getitem, f, 2, pure=False)
                                      for f in ends]), axis=0)
        wait(labels)
        return centers, labels, inertia, sizes, iteration, products, rebuilt

    def _refound(self, blocks, centers, sums, counts):
        """Moves each center left without weight onto one of the points
        farthest from the center they were just assigned to (farthest to the
        lowest-numbered empty center, ties by lower row), as scikit-learn's
        Lloyd does: the point's weighted row leaves its cluster's sum and
        weight and becomes the new center's only member. `sums` and `counts`
        are changed in place; returns how many centers moved and how many
        found no point to move onto."""
        empty = np.flatnonzero(counts == 0)
        if len(empty) == 0:
            return 0, 0
        nb = len(blocks.parts)
        found = blocks.run(_farthest, [(self._fit_id, b, centers, len(empty))
                                       for b in range(nb)])
        starts = np.concatenate([[0], np.cumsum(blocks.sizes)])
        dist = np.concatenate([f[0] for f in found])
        where = np.concatenate([f[1].astype(np.int64) + starts[b] for b, f in enumerate(found)])
        labels = np.concatenate([f[2] for f in found])
        rows = np.concatenate([f[3] for f in found])
        weights = np.concatenate([f[4] for f in found])
        members = np.sum([f[5] for f in found], axis=0)
        # Every block sent its own best: the first of the merged list are the fit's.
        picks = np.lexsort((where, -dist))[:len(empty)]
        for c, j in zip(empty, picks):
            w, a = float(weights[j]), labels[j]
            x = w * rows[j].astype(np.float64)
            sums[a] -= x
            counts[a] -= w
            members[a] -= 1
            # Its last member lent: exactly empty, not a rounding residue
            # that the division would blow up.
            if members[a] == 0:
                sums[a] = 0.0
                counts[a] = 0.0
            sums[c] = x
            counts[c] = w
        return len(picks), len(empty) - len(picks)

    def _model_centers(self):
        """The centers predict compares with: float64 after a float64 fit."""
        c64 = getattr(self, "_centers64", None)
        return self._centers32 if c64 is None else c64

    def fit_predict(self, X: da.Array | ArrayLike, y: Any = None,
                    sample_weight: da.Array | ArrayLike | None = None) -> da.Array:
        """Fit, then return the labels (a Dask array)."""
        return self.fit(X, sample_weight=sample_weight).labels_

    def predict(self, X: da.Array | ArrayLike) -> da.Array | NDArray[np.int32]:
        """Label each row of X with its nearest center.

        Parameters
        ----------
        X : dask.array.Array or array-like of shape (n_samples, n_features)

        Returns
        -------
        labels : dask.array.Array or ndarray of int32
            A Dask array for a Dask input, else a NumPy array.
        """
        valid.check_is_fitted(self)
        lazy = isinstance(X, da.Array)
        if lazy:
            valid.check_lazy_X(X, self, reset=False)
        else:
            X = valid.check_X(X, self, reset=False)
        valid.check_n_features(self, X, reset=False)
        if not lazy:
            return _predict_part(X, self._mean, self._scale, self._model_centers(), self)
        X = X.rechunk({1: -1})
        return X.map_blocks(_predict_part, self._mean, self._scale, self._model_centers(),
                            type(self).__name__, dtype=np.int32,
                            drop_axis=1)
