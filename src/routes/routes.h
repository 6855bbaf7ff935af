// Internal interface of the routes module.
//
// Three layers: arrays.cpp turns the arguments into checked copies (with the
// GIL); dijkstra.cpp settles the nodes of one source and bidirectional.cpp
// those of a pair from both ends, as networkx does (plain C++, no Python, run
// without the GIL, over the queue of queue.h); shortest_routes.cpp is the
// function that ties them together.
//
// Note on shared buffers: the GIL is released while the routes are found, so
// another thread may write to the arguments' arrays meanwhile. Everything
// that the search uses as an index (indptr, neighbours, sources, targets) is
// therefore copied, and the copy is checked, before the GIL is released; the
// search reads only its copies, and the caller's arrays only for link ids,
// which it carries into the result and never follows. A concurrent write can
// change a result, but never what memory a call touches.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/function.h"
#include "routes/queue.h"

namespace sorvane::routes {

// What an argument must hold.
enum class Element { kInt64, kFloat64 };

// The buffer of one argument, held until the call returns: a 1-D,
// C-contiguous array of 8-byte elements of the native byte order. The
// constructor raises TypeError or ValueError naming the argument.
class Array {
public:
    Array(PyObject* obj, const char* name, Element element);
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() { PyBuffer_Release(&view_); }

    std::int64_t size() const noexcept { return size_; }
    const std::int64_t* ints() const noexcept {
        return static_cast<const std::int64_t*>(view_.buf);
    }
    const double* doubles() const noexcept { return static_cast<const double*>(view_.buf); }

private:
    Py_buffer view_{};
    std::int64_t size_ = 0;
};

// A graph as a CSR adjacency: the entries of node v are indptr[v] to
// indptr[v + 1] - 1, each the node it leads to and the weight of the way
// there (side by side, as the search reads them), and the id of the link it
// takes, in the caller's array.
struct Graph {
    struct Arc {
        std::int64_t node;
        double weight;
    };
    std::int64_t n_nodes = 0;
    std::int64_t n_entries = 0;
    std::unique_ptr<std::int64_t[]> indptr;
    std::unique_ptr<Arc[]> arcs;
    const std::int64_t* edges = nullptr;
};

// The graph of the four arrays, copied and checked: lengths that agree, an
// indptr that starts at 0, never decreases and ends at the number of
// entries, neighbours that are nodes, weights that are neither negative nor
// NaN. ValueError names the array (its name after `prefix`: "r" for those of
// the reverse adjacency) and the position at fault.
Graph checked_graph(const Array& indptr, const Array& neighbours, const Array& weights,
                    const Array& edges, const char* prefix = "");

// Checks that `reverse` can be `graph` with each entry turned round: the same
// nodes and entries, each node with as many entries in `reverse` as it is the
// neighbour of in `graph`, and the other way round. (Which link and weight
// each entry has is the caller's word.) ValueError otherwise.
void check_reverse(const Graph& graph, const Graph& reverse);

// The pairs, copied and checked: sources and targets of the same length,
// each one a node.
struct Pairs {
    std::vector<std::int64_t> sources;
    std::vector<std::int64_t> targets;
};
Pairs checked_pairs(const Graph& graph, const Array& sources, const Array& targets);

// What a search keeps per node, and its queue, from one run to the next: a
// run puts back only the nodes it touched, so that a run from a source in a
// corner of a large graph costs what it touched, not the graph. Allocates only
// in the constructor and as its queue and lists grow; never uses Python.
struct Search {
    enum : unsigned char { kUnseen, kSeen, kSettled };
    // Meaningful once the node is seen (kept together: a relaxation that
    // improves a node writes all three): its distance, final once settled,
    // the node it is reached from, and the adjacency entry it is reached by
    // (in the graph of the search), which gives the link and its weight.
    struct Reached {
        double distance;
        std::int64_t pred;
        std::int64_t arc;
    };

    explicit Search(const Graph& graph);
    void reset() noexcept;
    // The first node of a run: seen at +0.0, from nowhere, and queued.
    void start(std::int64_t node);

    const Graph& graph;
    std::vector<unsigned char> state;  // per node; kUnseen unless in touched
    std::unique_ptr<Reached[]> reached;
    std::vector<std::int64_t> touched;  // nodes whose state is not kUnseen
    Queue queue;
};

// Dijkstra from one source as networkx's _dijkstra_multisource runs it
// (dijkstra.cpp), for single_source_dijkstra and dijkstra_path.
class Router {
public:
    explicit Router(const Graph& graph);

    // Settles nodes from `source` until every node in `targets` is settled or
    // no node is left to settle.
    void run(std::int64_t source, std::span<const std::int64_t> targets);

    // After run(): the distance of `node`, +inf when it was not reached.
    double distance(std::int64_t node) const noexcept;

    // After run(): appends to `out` the link ids from the source to `node`,
    // in order; nothing when `node` is the source or was not reached.
    void append_route(std::int64_t node, std::vector<std::int64_t>& out) const;

private:
    Search search_;
    std::int64_t source_ = -1;
    std::vector<unsigned char> wanted_;  // per node: a target still to settle
};

// Dijkstra from both ends of one pair as networkx's bidirectional_dijkstra
// runs it (bidirectional.cpp), for shortest_path with a source and a target:
// forward over `forward`, backward over `backward`, the same graph with each
// entry turned round (for an undirected graph, the same adjacency).
class BidirectionalRouter {
public:
    BidirectionalRouter(const Graph& forward, const Graph& backward);

    // Searches from `source` and `target` until the searches meet for good or
    // one of them has nothing left to settle.
    void run(std::int64_t source, std::int64_t target);

    // After run(): appends to `out` the link ids of the route found, from the
    // source, and returns its latency, the weights summed from the source
    // along the route; +inf (and no links) when there is none.
    double append_route(std::vector<std::int64_t>& out) const;

private:
    Search forward_;
    Search backward_;
    std::int64_t source_ = -1;
    std::int64_t target_ = -1;
    std::int64_t meet_ = -1;  // the node where the route found turns; -1: none
};

// The function shortest_routes (shortest_routes.cpp).
extern const Signature shortest_routes_signature;

}  // namespace sorvane::routes
