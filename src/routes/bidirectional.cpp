// Dijkstra from both ends of a pair, node for node as networkx's
// bidirectional_dijkstra settles them, for the route that shortest_path
// takes among equal ones.
//
// networkx keeps a heap per direction, forward from the source and backward
// from the target, and takes turns, forward first. A turn pops one entry of
// its heap: a node already settled in that direction is skipped (the turn is
// still used up); a node settled in the other direction ends the search with
// the best meeting recorded so far; any other node is settled and its
// neighbours relaxed in the order of the adjacency (forward the node's
// successors, backward its predecessors), as in the single-source search:
// settled neighbours are left alone, and a neighbour never seen or seen
// farther is recorded, pushed and given the node as predecessor. A
// neighbour so recorded that the other direction has seen is a meeting,
// worth its new distance plus the other direction's current one; it replaces
// the best only if it is strictly less, and the first one always. Either heap
// running empty means that there is no route. The route is the forward
// predecessors from the source to the meeting node, then the backward ones
// from there to the target, as they stand when the search ends.
#include <algorithm>
#include <limits>

#include "routes/routes.h"

namespace sorvane::routes {

BidirectionalRouter::BidirectionalRouter(const Graph& forward, const Graph& backward)
    : forward_(forward), backward_(backward) {}

namespace {

// One turn of the search in the direction of `here`. Returns true when the
// node popped is settled in the direction of `there`: the search is over.
inline bool turn(Search& here, const Search& there, double& best, std::int64_t& meet) {
    // Locals, not members, in the loop: its writes through unsigned char
    // could alias any member, which the compiler would then read again.
    const std::int64_t* const indptr = here.graph.indptr.get();
    const Graph::Arc* const arcs = here.graph.arcs.get();
    unsigned char* const state = here.state.data();
    Search::Reached* const reached = here.reached.get();
    const unsigned char* const other_state = there.state.data();
    const Search::Reached* const other_reached = there.reached.get();

    const auto [dv, v] = here.queue.pop();
    if (state[v] == Search::kSettled) {
        return false;
    }
    state[v] = Search::kSettled;
    reached[v].distance = dv;
    if (other_state[v] == Search::kSettled) {
        return true;
    }
    for (std::int64_t j = indptr[v], end = indptr[v + 1]; j < end; ++j) {
        const std::int64_t u = arcs[j].node;
        const unsigned char seen = state[u];
        // networkx raises here if d were less than u's distance, which
        // weights of 0 or more never allow.
        if (seen == Search::kSettled) {
            continue;
        }
        const double d = dv + arcs[j].weight;
        if (seen == Search::kUnseen) {
            state[u] = Search::kSeen;
            here.touched.push_back(u);
        } else if (!(d < reached[u].distance)) {
            continue;
        }
        reached[u] = {d, v, j};
        here.queue.push(d, u);
        if (other_state[u] != Search::kUnseen) {
            const double total = d + other_reached[u].distance;
            if (meet < 0 || best > total) {
                best = total;
                meet = u;
            }
        }
    }
    return false;
}

}  // namespace

void BidirectionalRouter::run(std::int64_t source, std::int64_t target) {
    forward_.reset();
    backward_.reset();
    source_ = source;
    target_ = target;
    meet_ = -1;
    if (source == target) {
        return;
    }
    forward_.start(source);
    backward_.start(target);
    double best = std::numeric_limits<double>::infinity();
    std::int64_t meet = -1;
    // networkx tests both heaps before every turn, not only the next one's.
    for (;;) {
        if (forward_.queue.empty() || backward_.queue.empty()) {
            return;
        }
        if (turn(forward_, backward_, best, meet)) {
            break;
        }
        if (forward_.queue.empty() || backward_.queue.empty()) {
            return;
        }
        if (turn(backward_, forward_, best, meet)) {
            break;
        }
    }
    // A node settled both ways was seen both ways, and the later of the two
    // sightings (the ends being different nodes) was a relaxation that
    // recorded a meeting: there is one.
    meet_ = meet;
}

double BidirectionalRouter::append_route(std::vector<std::int64_t>& out) const {
    if (source_ == target_) {
        return 0.0;
    }
    if (meet_ < 0) {
        return std::numeric_limits<double>::infinity();
    }
    // The forward part, walked back from the meeting node and turned round.
    // Its distances were summed from the source along these very links, so
    // the meeting node's is the part's latency as a left-to-right sum.
    const std::size_t first = out.size();
    const Search::Reached* const ahead = forward_.reached.get();
    for (std::int64_t v = meet_; v != source_; v = ahead[v].pred) {
        out.push_back(forward_.graph.edges[ahead[v].arc]);
    }
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
    double latency = ahead[meet_].distance;
    // The backward part, in route order: each node's backward predecessor is
    // the next node on the way to the target, over the entry recorded.
    const Search::Reached* const behind = backward_.reached.get();
    for (std::int64_t v = meet_; v != target_; v = behind[v].pred) {
        const std::int64_t arc = behind[v].arc;
        out.push_back(backward_.graph.edges[arc]);
        latency += backward_.graph.arcs[arc].weight;
    }
    return latency;
}

}  // namespace sorvane::routes
