// shortest_routes: without the GIL, one search from both ends per pair, or
// the pairs grouped by source and one Dijkstra per source; the routes laid
// out in the order of the pairs.
#include <time.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "routes/routes.h"

namespace sorvane::routes {

namespace {

// The GIL released for the scope, and taken back when the scope ends however
// it ends, so that an exception (std::bad_alloc from a vector) reaches the
// function boundary with the GIL held, as it must.
class WithoutGil {
public:
    WithoutGil() noexcept : saved_(PyEval_SaveThread()) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() {
        if (saved_ != nullptr) {
            PyEval_RestoreThread(saved_);
        }
    }

    // Runs the signal handlers with the GIL held. If one raises (Ctrl-C),
    // throws with the GIL kept, which the destructor then leaves alone.
    void check_signals() {
        PyEval_RestoreThread(saved_);
        saved_ = nullptr;
        check(PyErr_CheckSignals());
        saved_ = PyEval_SaveThread();
    }

private:
    PyThreadState* saved_;
};

// Signals are looked at between searches, at most this often: taking the GIL
// back may wait a switch interval for another thread, which for every one of
// ten thousand short runs would cost more than the runs.
constexpr long long kSignalsEveryNs = 20'000'000;

long long now_ns() noexcept {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The pair indices ordered by source, each source's pairs in their own
// order (a counting sort: the sources are nodes).
std::vector<std::int64_t> by_source(const Pairs& pairs, std::int64_t n_nodes) {
    std::vector<std::int64_t> next(static_cast<std::size_t>(n_nodes) + 1, 0);
    for (std::int64_t s : pairs.sources) {
        ++next[s + 1];
    }
    for (std::size_t i = 1; i < next.size(); ++i) {
        next[i] += next[i - 1];
    }
    std::vector<std::int64_t> order(pairs.sources.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        order[next[pairs.sources[k]]++] = static_cast<std::int64_t>(k);
    }
    return order;
}

template <typename T>
Ref bytes_of(const T* data, std::size_t count) {
    Ref bytes =
        check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T))));
    if (count > 0) {
        std::memcpy(PyBytes_AS_STRING(bytes.get()), data, count * sizeof(T));
    }
    return bytes;
}

// The routes of the pairs, in their order: route k is
// links[offsets[k]:offsets[k + 1]].
struct Found {
    std::vector<std::int64_t> offsets;
    std::vector<std::int64_t> links;
    std::vector<double> latency;
};

// One single-source search per distinct source, for all its pairs at once.
Found single_source_routes(const Graph& graph, const Pairs& pairs, WithoutGil& released) {
    const std::size_t m = pairs.sources.size();
    const std::vector<std::int64_t> order = by_source(pairs, graph.n_nodes);
    std::vector<std::int64_t> group_targets(m);  // the targets in that order
    for (std::size_t i = 0; i < m; ++i) {
        group_targets[i] = pairs.targets[order[i]];
    }
    // Route k is found[start[k]:start[k] + length[k]] until the pairs are back
    // in their own order; length[k] is kept in offsets[k + 1].
    std::vector<std::int64_t> found;
    std::vector<std::size_t> start(m);
    Found out{std::vector<std::int64_t>(m + 1, 0), {}, std::vector<double>(m)};
    Router router(graph);
    long long signals_checked = now_ns();
    for (std::size_t first = 0; first < m;) {
        const std::int64_t source = pairs.sources[order[first]];
        std::size_t last = first;
        while (last < m && pairs.sources[order[last]] == source) {
            ++last;
        }
        router.run(source, {group_targets.data() + first, last - first});
        for (std::size_t i = first; i < last; ++i) {
            const auto k = static_cast<std::size_t>(order[i]);
            out.latency[k] = router.distance(group_targets[i]);
            start[k] = found.size();
            router.append_route(group_targets[i], found);
            out.offsets[k + 1] = static_cast<std::int64_t>(found.size() - start[k]);
        }
        first = last;
        if (now_ns() - signals_checked >= kSignalsEveryNs) {
            released.check_signals();
            signals_checked = now_ns();
        }
    }
    out.links.resize(found.size());
    for (std::size_t k = 0; k < m; ++k) {
        const auto length = static_cast<std::ptrdiff_t>(out.offsets[k + 1]);
        const auto from = found.begin() + static_cast<std::ptrdiff_t>(start[k]);
        std::copy(from, from + length, out.links.begin() + out.offsets[k]);
        out.offsets[k + 1] += out.offsets[k];
    }
    return out;
}

// One search from both ends per pair, in the order of the pairs: unlike the
// searches from one source, each is its pair's own, its other half starting
// from the pair's target.
Found bidirectional_routes(const Graph& forward, const Graph& backward, const Pairs& pairs,
                           WithoutGil& released) {
    const std::size_t m = pairs.sources.size();
    Found out{std::vector<std::int64_t>(m + 1, 0), {}, std::vector<double>(m)};
    BidirectionalRouter router(forward, backward);
    long long signals_checked = now_ns();
    for (std::size_t k = 0; k < m; ++k) {
        router.run(pairs.sources[k], pairs.targets[k]);
        out.latency[k] = router.append_route(out.links);
        out.offsets[k + 1] = static_cast<std::int64_t>(out.links.size());
        if (now_ns() - signals_checked >= kSignalsEveryNs) {
            released.check_signals();
            signals_checked = now_ns();
        }
    }
    return out;
}

// TypeError unless `value` is True or False: an array passed here by
// position (the reverse adjacency one place too early) is refused, not
// taken for its truth. The type as tp_name has it, as CPython's own messages
// name it, so that numpy.bool is not called "bool".
bool as_bool(PyObject* value, const char* name) {
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError,
                     "shortest_routes() argument '%s' must be True or False, not %.200s", name,
                     Py_TYPE(value)->tp_name);
        propagate();
    }
    return value == Py_True;
}

Ref shortest_routes(const Call&, PyObject* indptr_arg, PyObject* neighbours_arg,
                    PyObject* weights_arg, PyObject* edges_arg, PyObject* sources_arg,
                    PyObject* targets_arg, PyObject* bidirectional_arg, PyObject* rindptr_arg,
                    PyObject* rneighbours_arg, PyObject* rweights_arg, PyObject* redges_arg) {
    const Array indptr(indptr_arg, "indptr", Element::kInt64);
    const Array neighbours(neighbours_arg, "neighbours", Element::kInt64);
    const Array weights(weights_arg, "weights", Element::kFloat64);
    const Array edges(edges_arg, "edges", Element::kInt64);
    const Array sources(sources_arg, "sources", Element::kInt64);
    const Array targets(targets_arg, "targets", Element::kInt64);
    const bool bidirectional = as_bool(bidirectional_arg, "bidirectional");
    const std::pair<const char*, PyObject*> reverse_args[] = {{"rindptr", rindptr_arg},
                                                              {"rneighbours", rneighbours_arg},
                                                              {"rweights", rweights_arg},
                                                              {"redges", redges_arg}};
    std::string missing;
    int given = 0;
    for (const auto& [name, arg] : reverse_args) {
        if (arg != Py_None) {
            ++given;
        } else {
            missing += missing.empty() ? "" : ", ";
            missing += name;
        }
    }
    if (given != 0 && given != 4) {
        PyErr_Format(PyExc_TypeError,
                     "shortest_routes(): the reverse adjacency is rindptr, rneighbours, rweights "
                     "and redges, all four or none; missing: %s",
                     missing.c_str());
        propagate();
    }
    const bool has_reverse = given == 4;
    // Held, when given, until the call returns, as the others are.
    std::optional<Array> rindptr, rneighbours, rweights, redges;
    if (has_reverse) {
        rindptr.emplace(rindptr_arg, "rindptr", Element::kInt64);
        rneighbours.emplace(rneighbours_arg, "rneighbours", Element::kInt64);
        rweights.emplace(rweights_arg, "rweights", Element::kFloat64);
        redges.emplace(redges_arg, "redges", Element::kInt64);
    }
    const Graph graph = checked_graph(indptr, neighbours, weights, edges);
    std::optional<Graph> reverse;
    if (has_reverse) {
        reverse.emplace(checked_graph(*rindptr, *rneighbours, *rweights, *redges, "r"));
        check_reverse(graph, *reverse);
    }
    const Pairs pairs = checked_pairs(graph, sources, targets);

    Found found;
    {
        WithoutGil released;
        found = bidirectional
                    ? bidirectional_routes(graph, reverse ? *reverse : graph, pairs, released)
                    : single_source_routes(graph, pairs, released);
    }
    Ref offsets_bytes = bytes_of(found.offsets.data(), found.offsets.size());
    Ref links_bytes = bytes_of(found.links.data(), found.links.size());
    Ref latency_bytes = bytes_of(found.latency.data(), found.latency.size());
    return check(PyTuple_Pack(3, offsets_bytes.get(), links_bytes.get(), latency_bytes.get()));
}

constexpr Param kParams[] = {
    param("indptr", "Buffer"),
    param("neighbours", "Buffer"),
    param("weights", "Buffer"),
    param("edges", "Buffer"),
    param("sources", "Buffer"),
    param("targets", "Buffer"),
    param_or_true("bidirectional", "bool"),
    param_or_none("rindptr", "Buffer | None"),
    param_or_none("rneighbours", "Buffer | None"),
    param_or_none("rweights", "Buffer | None"),
    param_or_none("redges", "Buffer | None"),
};

}  // namespace

const Signature shortest_routes_signature{
    .qualname = "shortest_routes",
    .params = kParams,
    .returns = "tuple[bytes, bytes, bytes]",
    .doc =
        "Shortest routes between pairs of nodes, with networkx's choice among equal ones.\n"
        "\n"
        "    For each pair (sources[k], targets[k]), the path of least total weight, and among\n"
        "    paths of equal weight the one networkx takes: by default that of shortest_path(G,\n"
        "    source, target, weight=...), which searches from both ends (bidirectional_dijkstra),\n"
        "    one search per pair; with bidirectional=False that of dijkstra_path (and\n"
        "    single_source_dijkstra), one search per distinct source that stops once all its\n"
        "    targets are reached. The two may differ where routes tie. The GIL is released\n"
        "    while the routes are found.\n"
        "\n"
        "    Args:\n"
        "        indptr: int64, n_nodes + 1 entries. The adjacency entries of node i are\n"
        "            indptr[i] to indptr[i + 1] - 1, in the order networkx iterates G._adj[i].\n"
        "        neighbours: int64, per entry: the node it leads to.\n"
        "        weights: float64, per entry: its weight, 0 or more.\n"
        "        edges: int64, per entry: the id of its link (both directions of an\n"
        "            undirected link carry the same id).\n"
        "        sources, targets: int64, one per pair.\n"
        "        bidirectional: True for shortest_path's route, False for dijkstra_path's.\n"
        "        rindptr, rneighbours, rweights, redges: the reverse adjacency, for a directed\n"
        "            graph, which the backward search of the bidirectional one walks: the\n"
        "            entries of node i are its predecessors p in the order of G._pred[i], each\n"
        "            with the weight and id of the link p -> i. All four or none; none for an\n"
        "            undirected graph, whose adjacency serves both ways. The single-source\n"
        "            search does not read them.\n"
        "\n"
        "    Returns:\n"
        "        (offsets, links, latency), raw native-endian arrays as bytes: offsets, int64,\n"
        "        one per pair and one more; links, int64, route k being\n"
        "        links[offsets[k]:offsets[k + 1]], the link ids from source to target; latency,\n"
        "        float64, per pair: the weights of the route's links summed from the source, in\n"
        "        route order, as networkx sums a path from its source (the bidirectional search's\n"
        "        own length adds a forward and a backward part, which may differ in the last\n"
        "        bits); inf (and no links) when the target cannot be reached, 0.0 (and no links)\n"
        "        when it is the source.\n"
        "\n"
        "    Raises:\n"
        "        TypeError: an argument is not an array of its type, bidirectional is not a\n"
        "            bool, or the reverse adjacency is given in part.\n"
        "        ValueError: arrays of the wrong shape or lengths, or a bad entry (named with\n"
        "            its position): indptr not rising from 0 to len(neighbours), a neighbour,\n"
        "            source or target that is not a node, a negative or NaN weight; a reverse\n"
        "            adjacency of other nodes, or other entries, than the adjacency.\n"
        "\n"
        "    Example:\n"
        "        >>> import numpy as np\n"
        "        >>> from sorvane_core.models._routes import shortest_routes\n"
        "        >>> # a - b - c as nodes 0, 1, 2; link 0 is a-b (1.5 ms), link 1 b-c (2 ms)\n"
        "        >>> indptr = np.array([0, 1, 3, 4])\n"
        "        >>> neighbours = np.array([1, 0, 2, 1])\n"
        "        >>> weights = np.array([1.5, 1.5, 2.0, 2.0])\n"
        "        >>> edges = np.array([0, 0, 1, 1])\n"
        "        >>> offsets, links, latency = shortest_routes(\n"
        "        ...     indptr, neighbours, weights, edges, np.array([0, 2]), np.array([2, 2]))\n"
        "        >>> np.frombuffer(offsets, np.int64).tolist()\n"
        "        [0, 2, 2]\n"
        "        >>> np.frombuffer(links, np.int64).tolist()\n"
        "        [0, 1]\n"
        "        >>> np.frombuffer(latency).tolist()\n"
        "        [3.5, 0.0]\n"
        "    ",
    .body = body<shortest_routes>,
};

}  // namespace sorvane::routes
