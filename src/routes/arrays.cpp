// The arguments of shortest_routes as checked arrays.
//
// Every message names the argument and, for a bad entry, its position, so
// that a caller who built the adjacency wrongly sees where.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>

#include "routes/routes.h"

namespace sorvane::routes {

namespace {

// The byte-order prefix of a format that says "native order", besides '@'
// and '=' (which the item size then tells apart).
#if PY_BIG_ENDIAN
constexpr bool native_order(char c) { return c == '>' || c == '!'; }
#else
constexpr bool native_order(char c) { return c == '<'; }
#endif

bool has_format(const Py_buffer& view, Element element) {
    const char* format = view.format != nullptr ? view.format : "B";  // null means bytes
    if (*format == '@' || *format == '=' || native_order(*format)) {
        ++format;
    }
    if (view.itemsize != 8) {
        return false;
    }
    if (element == Element::kInt64) {
        return std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0;
    }
    return std::strcmp(format, "d") == 0;
}

const char* element_text(Element element) {
    return element == Element::kInt64 ? "int64 (buffer format 'q' or 'l')"
                                      : "float64 (buffer format 'd')";
}

// Raises ValueError, the argument's checks having failed.
template <typename... Args>
[[noreturn]] void fail(const char* format, Args... args) {
    PyErr_Format(PyExc_ValueError, format, args...);
    propagate();
}

long long as_ll(std::int64_t value) { return static_cast<long long>(value); }

// ValueError for `name[position] = value`, which should be a node.
[[noreturn]] void not_a_node(const char* name, std::int64_t position, std::int64_t value,
                             std::int64_t n_nodes) {
    if (n_nodes == 0) {
        fail("shortest_routes(): %s[%lld] = %lld is not a node (the graph has none)", name,
             as_ll(position), as_ll(value));
    }
    fail("shortest_routes(): %s[%lld] = %lld is not a node (the graph has %lld: 0 to %lld)", name,
         as_ll(position), as_ll(value), as_ll(n_nodes), as_ll(n_nodes - 1));
}

}  // namespace

Array::Array(PyObject* obj, const char* name, Element element) {
    if (!PyObject_CheckBuffer(obj)) {
        Ref type_name = check(PyType_GetName(Py_TYPE(obj)));
        PyErr_Format(PyExc_TypeError,
                     "shortest_routes() argument '%s' must be a 1-D array of %s, such as a "
                     "numpy array, not %U",
                     name, element_text(element), type_name.get());
        propagate();
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) < 0) {
        // The exporter's own error, as the cause of one that names the argument.
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_TypeError, "shortest_routes() argument '%s' cannot be read as an array",
                     name);
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, Py_XNewRef(cause));
        PyException_SetCause(raised, cause);
        PyErr_SetRaisedException(raised);
        propagate();
    }
    // From here on the buffer is held, and the destructor of a half-made
    // object does not run: a failed check releases it first.
    try {
        if (view_.ndim != 1) {
            fail("shortest_routes() argument '%s' must be 1-D, not %d-D", name, view_.ndim);
        }
        if (!has_format(view_, element)) {
            PyErr_Format(PyExc_TypeError,
                         "shortest_routes() argument '%s' must hold %s of 8 bytes in native byte "
                         "order, not format '%s' of %zd bytes",
                         name, element_text(element), view_.format ? view_.format : "B",
                         view_.itemsize);
            propagate();
        }
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            fail(
                "shortest_routes() argument '%s' must be C-contiguous "
                "(numpy.ascontiguousarray makes a copy that is)",
                name);
        }
    } catch (...) {
        PyBuffer_Release(&view_);
        throw;
    }
    size_ = view_.shape[0];
}

Graph checked_graph(const Array& indptr, const Array& neighbours, const Array& weights,
                    const Array& edges, const char* prefix) {
    const char* r = prefix;
    if (indptr.size() == 0) {
        fail("shortest_routes(): %sindptr must have one entry per node and one more, not 0", r);
    }
    Graph g;
    g.n_entries = neighbours.size();
    if (weights.size() != g.n_entries || edges.size() != g.n_entries) {
        const bool w = weights.size() != g.n_entries;
        fail(
            "shortest_routes(): %s%s has %lld entries and %sneighbours %lld; they must have one "
            "per adjacency entry",
            r, w ? "weights" : "edges", as_ll(w ? weights.size() : edges.size()), r,
            as_ll(g.n_entries));
    }
    g.n_nodes = indptr.size() - 1;
    const auto n_nodes = static_cast<std::size_t>(g.n_nodes);
    const auto n_entries = static_cast<std::size_t>(g.n_entries);
    // Copied first, then checked: the copies are what the search reads.
    g.indptr.reset(new std::int64_t[n_nodes + 1]);
    std::copy_n(indptr.ints(), n_nodes + 1, g.indptr.get());
    g.arcs.reset(new Graph::Arc[n_entries]);
    for (std::size_t j = 0; j < n_entries; ++j) {
        g.arcs[j] = {neighbours.ints()[j], weights.doubles()[j]};
    }
    g.edges = edges.ints();

    // Each check first runs over the whole array without a branch (which the
    // compiler vectorises), and looks for the first bad entry only when there
    // is one: a call that routes two pairs should not cost a test per entry.
    const std::int64_t* p = g.indptr.get();
    if (p[0] != 0) {
        fail("shortest_routes(): %sindptr[0] must be 0, not %lld", r, as_ll(p[0]));
    }
    bool fine = true;
    for (std::size_t i = 1; i <= n_nodes; ++i) {
        fine &= p[i] >= p[i - 1];
    }
    for (std::size_t i = 1; !fine && i <= n_nodes; ++i) {
        if (p[i] < p[i - 1]) {
            fail(
                "shortest_routes(): %sindptr[%zu] = %lld is less than %sindptr[%zu] = %lld; "
                "%sindptr must not decrease",
                r, i, as_ll(p[i]), r, i - 1, as_ll(p[i - 1]), r);
        }
    }
    if (p[n_nodes] != g.n_entries) {
        fail(
            "shortest_routes(): %sindptr[%zu] = %lld, the last entry, must be the number of "
            "adjacency entries, len(%sneighbours) = %lld",
            r, n_nodes, as_ll(p[n_nodes]), r, as_ll(g.n_entries));
    }
    const Graph::Arc* arcs = g.arcs.get();
    fine = true;
    for (std::size_t j = 0; j < n_entries; ++j) {
        // A negative node wraps to a large one; a NaN weight is not >= 0.
        fine &= (static_cast<std::uint64_t>(arcs[j].node) < n_nodes) & (arcs[j].weight >= 0.0);
    }
    for (std::size_t j = 0; !fine && j < n_entries; ++j) {
        if (arcs[j].node < 0 || arcs[j].node >= g.n_nodes) {
            const std::string name = std::string(r) + "neighbours";
            not_a_node(name.c_str(), static_cast<std::int64_t>(j), arcs[j].node, g.n_nodes);
        }
    }
    for (std::size_t j = 0; !fine && j < n_entries; ++j) {
        const double w = arcs[j].weight;
        if (std::isnan(w)) {
            fail("shortest_routes(): %sweights[%zu] is NaN; a weight must be 0 or more", r, j);
        }
        if (w < 0) {
            Ref shown = check(PyFloat_FromDouble(w));
            fail("shortest_routes(): %sweights[%zu] = %R is negative; a weight must be 0 or more",
                 r, j, shown.get());
        }
    }
    return g;
}

void check_reverse(const Graph& graph, const Graph& reverse) {
    if (reverse.n_nodes != graph.n_nodes) {
        fail(
            "shortest_routes(): rindptr has %lld entries and indptr %lld; the reverse adjacency "
            "must have the same nodes",
            as_ll(reverse.n_nodes + 1), as_ll(graph.n_nodes + 1));
    }
    if (reverse.n_entries != graph.n_entries) {
        fail(
            "shortest_routes(): rneighbours has %lld entries and neighbours %lld; the reverse "
            "adjacency must have the same entries, turned round",
            as_ll(reverse.n_entries), as_ll(graph.n_entries));
    }
    // Each node's entries in one adjacency against the entries that lead to
    // it in the other: counted down from its own, both ways.
    const auto n_nodes = static_cast<std::size_t>(graph.n_nodes);
    const auto n_entries = static_cast<std::size_t>(graph.n_entries);
    for (const auto& [from, to, named, other] :
         {std::tuple{&reverse, &graph, "rindptr", "neighbours"},
          std::tuple{&graph, &reverse, "indptr", "rneighbours"}}) {
        std::vector<std::int64_t> left(n_nodes);
        for (std::size_t v = 0; v < n_nodes; ++v) {
            left[v] = from->indptr[v + 1] - from->indptr[v];
        }
        for (std::size_t j = 0; j < n_entries; ++j) {
            --left[static_cast<std::size_t>(to->arcs[j].node)];
        }
        for (std::size_t v = 0; v < n_nodes; ++v) {
            if (left[v] != 0) {
                const std::int64_t own = from->indptr[v + 1] - from->indptr[v];
                fail(
                    "shortest_routes(): the degree of node %zu in %s is %lld, and in %s it is "
                    "%lld (the entries that lead to it); the reverse adjacency must hold each "
                    "entry of the adjacency, turned round",
                    v, named, as_ll(own), other, as_ll(own - left[v]));
            }
        }
    }
}

Pairs checked_pairs(const Graph& graph, const Array& sources, const Array& targets) {
    if (sources.size() != targets.size()) {
        fail(
            "shortest_routes(): sources has %lld entries and targets %lld; they must have one "
            "per pair",
            as_ll(sources.size()), as_ll(targets.size()));
    }
    Pairs pairs;
    const auto m = static_cast<std::size_t>(sources.size());
    pairs.sources.resize(m);
    pairs.targets.resize(m);
    // Copied before they are checked: the copies are what the call uses.
    std::copy_n(sources.ints(), m, pairs.sources.begin());
    std::copy_n(targets.ints(), m, pairs.targets.begin());
    for (const auto* nodes : {&pairs.sources, &pairs.targets}) {
        for (std::size_t k = 0; k < m; ++k) {
            const std::int64_t node = (*nodes)[k];
            if (node < 0 || node >= graph.n_nodes) {
                not_a_node(nodes == &pairs.sources ? "sources" : "targets",
                           static_cast<std::int64_t>(k), node, graph.n_nodes);
            }
        }
    }
    return pairs;
}

}  // namespace sorvane::routes
