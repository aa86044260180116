"""Well-separated pair decompositions of NumPy arrays.

``quorlkit.decompose(points, s)`` computes the same decomposition as ``quorl.build_quorl`` on an
array of shape (n, d) and returns it as a :class:`Decomposition`: the fair split tree and the pairs
in arrays, whose size grows with the number of pairs rather than with the number of index entries.

``quorlkit.emst(points)`` gives the exact Euclidean minimum spanning tree, and
``quorlkit.single_linkage(points)`` the single-linkage hierarchy built from it;
``quorlkit.knn(points, k)`` the k nearest neighbours of every point,
``quorlkit.knn_query(points, queries, k)`` those of other points among them and
``quorlkit.closest_pair(points)`` the closest pair; ``quorlkit.spanner(points, t)`` a sparse
t-spanner; ``quorlkit.HDBSCAN`` clusters as ``sklearn.cluster.HDBSCAN`` does, from the exact
mutual-reachability minimum spanning tree; ``quorlkit.DBSCAN`` as ``sklearn.cluster.DBSCAN`` does,
in O(n d) memory, and ``quorlkit.friends_of_friends(points, b)`` the groups linked within b.
"""

from ._decomposition import Decomposition, decompose
from ._friends import friends_of_friends
from ._mst import MinimumSpanningTree, emst, linkage, single_linkage
from ._neighbors import closest_pair, knn, knn_graph, knn_query
from ._spanner import spanner

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._cluster import HDBSCAN
    from ._dbscan import DBSCAN


def __getattr__(name: str) -> object:
    # HDBSCAN imports scikit-learn when it is there: only a use of it pays for that.
    if name == "HDBSCAN":
        from ._cluster import HDBSCAN

        globals()["HDBSCAN"] = HDBSCAN
        return HDBSCAN
    if name == "DBSCAN":
        from ._dbscan import DBSCAN

        globals()["DBSCAN"] = DBSCAN
        return DBSCAN
    raise AttributeError(f"module 'quorlkit' has no attribute {name!r}")


__all__ = [
    "DBSCAN",
    "Decomposition",
    "HDBSCAN",
    "MinimumSpanningTree",
    "closest_pair",
    "decompose",
    "emst",
    "friends_of_friends",
    "knn",
    "knn_graph",
    "knn_query",
    "linkage",
    "single_linkage",
    "spanner",
]
