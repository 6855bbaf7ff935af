// Dijkstra from one source, node for node as networkx settles them.
//
// networkx (single_source_dijkstra, _dijkstra_multisource) keeps a binary
// heap of (distance, push counter, node); a node popped again after it was
// settled is skipped; relaxing v -> u with d = dist[v] + w changes nothing
// for a settled u, and for a u never seen or seen farther than d records d,
// pushes u and makes v its predecessor. An equal distance keeps the earlier
// predecessor. Neighbours are relaxed in the order of the adjacency. The
// queue (queue.h) yields the entries in that heap's order, so the route among
// equal ones is the same.
//
// Stopping once every target is settled leaves the same predecessors as the
// run that stops at one target: a node's predecessor never changes once the
// node is settled, and a run that goes on only settles more nodes.
#include <algorithm>
#include <limits>

#include "routes/routes.h"

namespace sorvane::routes {

Search::Search(const Graph& g)
    : graph(g),
      state(static_cast<std::size_t>(g.n_nodes), kUnseen),
      // Read only where state says they were written: left uninitialised.
      reached(new Reached[static_cast<std::size_t>(g.n_nodes)]) {}

void Search::reset() noexcept {
    for (std::int64_t node : touched) {
        state[node] = kUnseen;
    }
    touched.clear();
    queue.clear();
}

void Search::start(std::int64_t node) {
    state[node] = kSeen;
    touched.push_back(node);
    reached[node] = {0.0, -1, -1};
    queue.push(0.0, node);
}

Router::Router(const Graph& graph)
    : search_(graph), wanted_(static_cast<std::size_t>(graph.n_nodes), 0) {}

void Router::run(std::int64_t source, std::span<const std::int64_t> targets) {
    search_.reset();
    source_ = source;
    std::size_t remaining = 0;
    for (std::int64_t target : targets) {
        if (!wanted_[target]) {
            wanted_[target] = 1;
            ++remaining;
        }
    }
    // Locals, not members, in the loop: its writes through unsigned char
    // could alias any member, which the compiler would then read again.
    const std::int64_t* const indptr = search_.graph.indptr.get();
    const Graph::Arc* const arcs = search_.graph.arcs.get();
    unsigned char* const state = search_.state.data();
    const unsigned char* const wanted = wanted_.data();
    Search::Reached* const reached = search_.reached.get();
    std::vector<std::int64_t>& touched = search_.touched;
    Queue& queue = search_.queue;

    search_.start(source);
    while (remaining > 0 && !queue.empty()) {
        const auto [dv, v] = queue.pop();
        if (state[v] == Search::kSettled) {
            continue;
        }
        state[v] = Search::kSettled;
        reached[v].distance = dv;
        if (wanted[v] && --remaining == 0) {
            break;
        }
        for (std::int64_t j = indptr[v], end = indptr[v + 1]; j < end; ++j) {
            const std::int64_t u = arcs[j].node;
            const unsigned char seen = state[u];
            if (seen == Search::kSettled) {
                continue;
            }
            const double d = dv + arcs[j].weight;
            if (seen == Search::kUnseen) {
                state[u] = Search::kSeen;
                touched.push_back(u);
            } else if (!(d < reached[u].distance)) {
                continue;
            }
            reached[u] = {d, v, j};
            queue.push(d, u);
        }
    }
    // The targets are marked for this run only; the next has its own.
    for (std::int64_t target : targets) {
        wanted_[target] = 0;
    }
}

double Router::distance(std::int64_t node) const noexcept {
    return search_.state[node] == Search::kSettled ? search_.reached[node].distance
                                                   : std::numeric_limits<double>::infinity();
}

void Router::append_route(std::int64_t node, std::vector<std::int64_t>& out) const {
    if (search_.state[node] != Search::kSettled) {
        return;
    }
    // Each predecessor was settled before the node it leads to, so the walk
    // back ends at the source, whatever the weights were. The link id is the
    // caller's: carried along, never followed.
    const std::size_t first = out.size();
    for (std::int64_t v = node; v != source_; v = search_.reached[v].pred) {
        out.push_back(search_.graph.edges[search_.reached[v].arc]);
    }
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

}  // namespace sorvane::routes
