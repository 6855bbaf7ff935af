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
) -> tuple[bytes, bytes, bytes]: ...
