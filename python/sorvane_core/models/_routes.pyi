"""Shortest routes over an infrastructure given as a CSR adjacency, with networkx's
choice among routes of equal latency, computed natively for many pairs at once.
"""

from collections.abc import Buffer

def shortest_routes(
    indptr: Buffer,
    neighbours: Buffer,
    weights: Buffer,
    edges: Buffer,
    sources: Buffer,
    targets: Buffer,
    bidirectional: bool = True,
    rindptr: Buffer | None = None,
    rneighbours: Buffer | None = None,
    rweights: Buffer | None = None,
    redges: Buffer | None = None,
) -> tuple[bytes, bytes, bytes]: ...
