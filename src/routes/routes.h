// Internal interface of the routes module.
//
// Three layers, one file each: arrays.cpp turns the arguments into checked
// copies (with the GIL), dijkstra.cpp settles the nodes of one source as
// networkx does (plain C++, no Python, run without the GIL), and
// shortest_routes.cpp is the function that ties them together.
//
// Note on shared buffers: the GIL is released while the routes are found, so
// another thread may write to the arguments' arrays meanwhile. Everything
// that the search uses as an index (indptr, neighbours, sources, targets) is
// therefore copied, and the copy is checked, before the GIL is released; the
// search reads only its copies, and the caller's arrays only for link ids,
// which it carries into the result and never follows. A concurrent write can
// change a result, but never what memory a call touches.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/function.h"

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
// NaN. ValueError names the array and the position at fault.
Graph checked_graph(const Array& indptr, const Array& neighbours, const Array& weights,
                    const Array& edges);

// The pairs, copied and checked: sources and targets of the same length,
// each one a node.
struct Pairs {
    std::vector<std::int64_t> sources;
    std::vector<std::int64_t> targets;
};
Pairs checked_pairs(const Graph& graph, const Array& sources, const Array& targets);

// Dijkstra from one source as networkx's _dijkstra_multisource runs it, the
// state kept between sources so that a run costs what it touches. Allocates
// only in the constructor and as its queue and lists grow; never uses Python.
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
    enum : unsigned char { kUnseen, kSeen, kSettled };
    // A queue entry: the distance as the bits of the double, which order as
    // the distances do, these being +0.0 or more (the source's is +0.0, and
    // +0.0 plus a weight of -0.0 is +0.0), and the push counter that breaks
    // ties in favour of the earlier push. The node is pushed_[order].
    struct Entry {
        std::uint64_t key;
        std::uint64_t order;
    };
    std::size_t bucket_of(std::uint64_t key) const noexcept {
        return key == last_ ? 0 : 64 - static_cast<std::size_t>(std::countl_zero(key ^ last_));
    }
    void push(double distance, std::int64_t node);
    Entry pop();
    void reset() noexcept;

    const Graph& graph_;
    std::int64_t source_ = -1;
    std::vector<unsigned char> state_;   // per node; kUnseen unless in touched_
    std::vector<unsigned char> wanted_;  // per node: a target still to settle
    // Per node, meaningful once the node is seen (kept together: a
    // relaxation that improves a node writes all three): its distance, final
    // once settled, the node it is reached from and the link it is reached by.
    struct Reached {
        double distance;
        std::int64_t pred;
        std::int64_t link;
    };
    std::unique_ptr<Reached[]> reached_;
    std::vector<std::int64_t> touched_;  // nodes whose state is not kUnseen
    // The radix heap (dijkstra.cpp): buckets_[0] holds the entries whose key
    // is last_, from head_ on, in push order; buckets_[i] those whose key
    // first differs from last_ in bit i - 1; bit i - 1 of nonempty_ says
    // whether buckets_[i] holds any.
    std::vector<Entry> buckets_[65];
    std::vector<Entry> spill_;  // the bucket being spread out, kept for its capacity
    std::uint64_t last_ = 0;
    std::uint64_t nonempty_ = 0;
    std::size_t head_ = 0;
    std::size_t queued_ = 0;
    std::vector<std::int64_t> pushed_;  // the node of each push, by order
};

// The function shortest_routes (shortest_routes.cpp).
extern const Signature shortest_routes_signature;

}  // namespace sorvane::routes
