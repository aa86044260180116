from collections.abc import Callable
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

def decompose(
    points: npt.NDArray[np.float64],
    s: float,
    max_pairs: int = ...,
    workers: int = ...,
    progress: Callable[[float, str], object] | None = ...,
) -> tuple[
    npt.NDArray[np.int32],
    npt.NDArray[np.int32],
    npt.NDArray[np.int32],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int32],
]: ...
def to_lists(
    order: npt.ArrayLike,
    node_start: npt.ArrayLike,
    node_size: npt.ArrayLike,
    pairs: npt.ArrayLike,
) -> list[tuple[list[int], list[int]]]: ...
def tree_depth(node_size: npt.ArrayLike) -> int: ...
def emst(
    points: npt.NDArray[np.float64],
    workers: int = ...,
    squared: bool = ...,
    algorithm: int = ...,
    progress: Callable[[float, str], object] | None = ...,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
def linkage(
    n: int, edges: npt.ArrayLike, heights: npt.ArrayLike, smaller_first: bool
) -> npt.NDArray[np.float64]: ...
def _fail_allocation_at(k: int) -> None: ...
def _stage_clock(on: bool) -> list[tuple[str, float, float]]: ...
def _allocation_count() -> int: ...
def _heap_in_use() -> int: ...
def available_memory() -> tuple[int, str]: ...
def knn(
    points: npt.NDArray[np.float64],
    k: int,
    workers: int = ...,
    squared: bool = ...,
    algorithm: int = ...,
    progress: Callable[[float, str], object] | None = ...,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def knn_query(
    points: npt.NDArray[np.float64],
    queries: npt.NDArray[np.float64],
    k: int,
    squared: bool = ...,
    workers: int = ...,
    algorithm: int = ...,
    progress: Callable[[float, str], object] | None = ...,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def check_rows(
    points: npt.NDArray[np.float64], first: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def check_spread(lo: npt.ArrayLike, hi: npt.ArrayLike) -> None: ...
def kruskal_compress(
    v: int, edges: npt.ArrayLike, terminal: npt.NDArray[np.uint8]
) -> tuple[npt.NDArray[np.int8], npt.NDArray[np.int64]]: ...
def dbscan(
    points: npt.NDArray[np.float64],
    eps: float,
    min_samples: float,
    weights: npt.NDArray[np.float64] | None = ...,
    workers: int = ...,
    cores: bool = ...,
    algorithm: int = ...,
    progress: Callable[[float, str], object] | None = ...,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
def _tree_share(points: npt.NDArray[np.float64], k: int) -> float: ...
def closest_pair(
    points: npt.NDArray[np.float64],
    workers: int = ...,
    algorithm: int = ...,
    progress: Callable[[float, str], object] | None = ...,
) -> tuple[float, int, int]: ...
def spanner(
    points: npt.NDArray[np.float64],
    t: float,
    max_edges: int,
    workers: int = ...,
    progress: Callable[[float, str], object] | None = ...,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64], int, int, str]: ...
def mutual_reachability_mst(
    points: npt.NDArray[np.float64],
    min_samples: int,
    alpha: float,
    workers: int = ...,
    algorithm: int = ...,
    progress: Callable[[float, str], object] | None = ...,
) -> tuple[
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
]: ...
def hdbscan_fit(
    points: npt.NDArray[np.float64],
    min_samples: int,
    alpha: float,
    workers: int,
    min_cluster_size: int,
    method: str,
    allow_single_cluster: bool,
    epsilon: float,
    max_cluster_size: int,
    argsort: Callable[[npt.NDArray[np.float64]], npt.NDArray[np.intp]],
    algorithm: int = ...,
    progress: Callable[[float, str], object] | None = ...,
) -> tuple[
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.uint8],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
]: ...
def hdbscan_of_tree(
    core: npt.ArrayLike,
    edges: npt.ArrayLike,
    lengths: npt.ArrayLike,
    ties: npt.ArrayLike,
    order: npt.ArrayLike | None,
    workers: int,
    min_cluster_size: int,
    method: str,
    allow_single_cluster: bool,
    epsilon: float,
    max_cluster_size: int,
    argsort: Callable[[npt.NDArray[np.float64]], npt.NDArray[np.intp]],
    sole: npt.ArrayLike | None = ...,
    length_ties: npt.ArrayLike = ...,
    length_weights: npt.ArrayLike = ...,
) -> tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.uint8],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
]: ...
@overload
def mutual_reachability_mst_of_cores(
    points: npt.NDArray[np.float64], core: npt.ArrayLike, alpha: float, min_samples: int = ...,
    near: npt.ArrayLike | None = ..., order: Literal[False] = ..., ties: Literal[False] = ...,
    lengths_only: bool = ...,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
@overload
def mutual_reachability_mst_of_cores(
    points: npt.NDArray[np.float64], core: npt.ArrayLike, alpha: float, min_samples: int = ...,
    near: npt.ArrayLike | None = ..., *, order: Literal[True], ties: Literal[False] = ...,
    lengths_only: bool = ...,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.int32]]: ...
@overload
def mutual_reachability_mst_of_cores(
    points: npt.NDArray[np.float64], core: npt.ArrayLike, alpha: float, min_samples: int = ...,
    near: npt.ArrayLike | None = ..., order: bool = ..., *, ties: Literal[True],
    lengths_only: bool = ...,
) -> tuple[npt.NDArray[Any], ...]: ...
def tree_ties(
    n: int, edges: npt.ArrayLike, lengths: npt.ArrayLike, pairs: npt.ArrayLike,
    weights: npt.ArrayLike,
) -> npt.NDArray[np.uint8]: ...
def sole_cores(
    core: npt.ArrayLike, edges: npt.ArrayLike, lengths: npt.ArrayLike
) -> npt.NDArray[np.uint8]: ...
def prim_order(
    core: npt.ArrayLike,
    edges: npt.ArrayLike,
    lengths: npt.ArrayLike,
    ties: npt.ArrayLike,
    order: npt.ArrayLike | None = ...,
    linkage_only: bool = ...,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
def hdbscan(
    n: int,
    edges: npt.ArrayLike,
    lengths: npt.ArrayLike,
    min_cluster_size: int,
    method: str,
    allow_single_cluster: bool,
    epsilon: float,
    max_cluster_size: int,
) -> tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
]: ...
