// Dijkstra from one source, node for node as networkx settles them.
//
// networkx (single_source_dijkstra, _dijkstra_multisource) keeps a binary
// heap of (distance, push counter, node); a node popped again after it was
// settled is skipped; relaxing v -> u with d = dist[v] + w changes nothing
// for a settled u, and for a u never seen or seen farther than d records d,
// pushes u and makes v its predecessor. An equal distance keeps the earlier
// predecessor. Neighbours are relaxed in the order of the adjacency. The
// counter makes the order of the entries total, so any queue that yields the
// least entry first yields them in heapq's order, and the route among equal
// ones is the same.
//
// Stopping once every target is settled leaves the same predecessors as the
// run that stops at one target: a node's predecessor never changes once the
// node is settled, and a run that goes on only settles more nodes.
#include <algorithm>
#include <bit>
#include <limits>

#include "routes/routes.h"

namespace sorvane::routes {

Router::Router(const Graph& graph)
    : graph_(graph),
      state_(static_cast<std::size_t>(graph.n_nodes), kUnseen),
      wanted_(static_cast<std::size_t>(graph.n_nodes), 0),
      // Read only where state_ says they were written: left uninitialised.
      reached_(new Reached[static_cast<std::size_t>(graph.n_nodes)]) {}

// Only the nodes the last run reached are put back: a run from a source in a
// corner of a large graph costs what it touched, not the graph.
void Router::reset() noexcept {
    for (std::int64_t node : touched_) {
        state_[node] = kUnseen;
    }
    touched_.clear();
    for (auto& bucket : buckets_) {
        bucket.clear();
    }
    last_ = 0;
    nonempty_ = 0;
    head_ = 0;
    queued_ = 0;
    pushed_.clear();
}

// The queue is a radix heap: Dijkstra never pushes a distance below the one
// it popped last, and the bits of doubles of 0 or more order as the doubles,
// so an entry is kept in the bucket of the highest bit in which its key
// differs from the last key popped, and moves to a lower bucket only when
// that bucket is spread out. A push is an append, and an entry moves at most
// once per bit. Which queue it is does not matter to the result, only that
// it yields the least (distance, order) each time: the entries of equal key
// are put in push order when they reach bucket 0, and later pushes of that
// key come after them.
void Router::push(double distance, std::int64_t node) {
    const Entry entry{std::bit_cast<std::uint64_t>(distance), pushed_.size()};
    pushed_.push_back(node);
    const std::size_t bucket = bucket_of(entry.key);
    buckets_[bucket].push_back(entry);
    if (bucket != 0) {
        nonempty_ |= std::uint64_t{1} << (bucket - 1);
    }
    ++queued_;
}

Router::Entry Router::pop() {
    std::vector<Entry>& front = buckets_[0];
    if (head_ == front.size()) {
        front.clear();
        head_ = 0;
        // The lowest bucket that holds entries holds the least key, which
        // becomes last_; its entries spread over the lower buckets, the least
        // of them into bucket 0. The entries of the higher buckets stay where
        // they are: last_ changed only in bits below theirs.
        const std::size_t bucket = 1 + static_cast<std::size_t>(std::countr_zero(nonempty_));
        spill_.swap(buckets_[bucket]);
        nonempty_ &= ~(std::uint64_t{1} << (bucket - 1));
        std::uint64_t least = spill_.front().key;
        for (const Entry& entry : spill_) {
            least = std::min(least, entry.key);
        }
        last_ = least;
        for (const Entry& entry : spill_) {
            const std::size_t to = bucket_of(entry.key);
            buckets_[to].push_back(entry);
            if (to != 0) {
                nonempty_ |= std::uint64_t{1} << (to - 1);
            }
        }
        spill_.clear();
        const auto by_order = [](const Entry& a, const Entry& b) { return a.order < b.order; };
        if (!std::is_sorted(front.begin(), front.end(), by_order)) {
            std::sort(front.begin(), front.end(), by_order);
        }
    }
    --queued_;
    return front[head_++];
}

void Router::run(std::int64_t source, std::span<const std::int64_t> targets) {
    reset();
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
    const std::int64_t* const indptr = graph_.indptr.get();
    const Graph::Arc* const arcs = graph_.arcs.get();
    const std::int64_t* const edges = graph_.edges;
    unsigned char* const state = state_.data();
    const unsigned char* const wanted = wanted_.data();
    Reached* const reached = reached_.get();

    state[source] = kSeen;
    touched_.push_back(source);
    reached[source] = {0.0, -1, -1};
    push(0.0, source);
    while (remaining > 0 && queued_ > 0) {
        const Entry entry = pop();
        const std::int64_t v = pushed_[entry.order];
        if (state[v] == kSettled) {
            continue;
        }
        const double dv = std::bit_cast<double>(entry.key);
        state[v] = kSettled;
        reached[v].distance = dv;
        if (wanted[v] && --remaining == 0) {
            break;
        }
        for (std::int64_t j = indptr[v], end = indptr[v + 1]; j < end; ++j) {
            const std::int64_t u = arcs[j].node;
            const unsigned char seen = state[u];
            if (seen == kSettled) {
                continue;
            }
            const double d = dv + arcs[j].weight;
            if (seen == kUnseen) {
                state[u] = kSeen;
                touched_.push_back(u);
            } else if (!(d < reached[u].distance)) {
                continue;
            }
            // The link id is the caller's: carried along, never followed.
            reached[u] = {d, v, edges[j]};
            push(d, u);
        }
    }
    // The targets are marked for this run only; the next has its own.
    for (std::int64_t target : targets) {
        wanted_[target] = 0;
    }
}

double Router::distance(std::int64_t node) const noexcept {
    return state_[node] == kSettled ? reached_[node].distance
                                    : std::numeric_limits<double>::infinity();
}

void Router::append_route(std::int64_t node, std::vector<std::int64_t>& out) const {
    if (state_[node] != kSettled) {
        return;
    }
    // Each predecessor was settled before the node it leads to, so the walk
    // back ends at the source, whatever the weights were.
    const std::size_t first = out.size();
    for (std::int64_t v = node; v != source_; v = reached_[v].pred) {
        out.push_back(reached_[v].link);
    }
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

}  // namespace sorvane::routes
