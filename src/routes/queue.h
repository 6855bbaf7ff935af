// The queue of a Dijkstra search: the least distance first, and among equal
// distances the earliest push, as networkx's heap of (distance, push counter,
// node) yields them.
//
// The counter makes the order of the entries total, so any queue that yields
// the least entry first yields them in heapq's order. Two heaps that share one
// counter (networkx's bidirectional search) order their own entries as each
// would with a counter of its own: a shared counter still rises with each
// push. So each queue counts its own pushes.
//
// It is a radix heap: Dijkstra never pushes a distance below the one it
// popped last, and the bits of doubles of 0 or more order as the doubles, so
// an entry is kept in the bucket of the highest bit in which its key differs
// from the last key popped, and moves to a lower bucket only when that bucket
// is spread out. A push is an append, and an entry moves at most once per bit.
// The entries of equal key are put in push order when they reach bucket 0,
// and later pushes of that key come after them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

namespace sorvane::routes {

class Queue {
public:
    struct Popped {
        double distance;
        std::int64_t node;
    };

    bool empty() const noexcept { return queued_ == 0; }

    // `distance` must be +0.0 or more, and no less than the last one popped.
    // (The sources' +0.0 plus a weight of -0.0 is +0.0.)
    void push(double distance, std::int64_t node) {
        const Entry entry{std::bit_cast<std::uint64_t>(distance), pushed_.size()};
        pushed_.push_back(node);
        put(entry);
        ++queued_;
    }

    // The least entry; the queue must not be empty.
    Popped pop() {
        if (head_ == buckets_[0].size()) {
            spread();
        }
        --queued_;
        const Entry entry = buckets_[0][head_++];
        return {std::bit_cast<double>(entry.key), pushed_[entry.order]};
    }

    // Empty again, keeping the capacity for the next search.
    void clear() noexcept {
        buckets_[0].clear();
        for (std::uint64_t bits = nonempty_; bits != 0; bits &= bits - 1) {
            buckets_[1 + std::countr_zero(bits)].clear();
        }
        last_ = 0;
        nonempty_ = 0;
        head_ = 0;
        queued_ = 0;
        pushed_.clear();
    }

private:
    // The distance as the bits of the double, and the push that made it (its
    // node is pushed_[order]).
    struct Entry {
        std::uint64_t key;
        std::uint64_t order;
    };

    std::size_t bucket_of(std::uint64_t key) const noexcept {
        return key == last_ ? 0 : 64 - static_cast<std::size_t>(std::countl_zero(key ^ last_));
    }

    void put(const Entry& entry) {
        const std::size_t bucket = bucket_of(entry.key);
        buckets_[bucket].push_back(entry);
        if (bucket != 0) {
            nonempty_ |= std::uint64_t{1} << (bucket - 1);
        }
    }

    // Bucket 0 is used up: the lowest bucket that holds entries holds the
    // least key, which becomes last_; its entries spread over the lower
    // buckets, the least of them into bucket 0. The entries of the higher
    // buckets stay where they are: last_ changed only in bits below theirs.
    void spread() {
        buckets_[0].clear();
        head_ = 0;
        const std::size_t bucket = 1 + static_cast<std::size_t>(std::countr_zero(nonempty_));
        spill_.swap(buckets_[bucket]);
        nonempty_ &= ~(std::uint64_t{1} << (bucket - 1));
        std::uint64_t least = spill_.front().key;
        for (const Entry& entry : spill_) {
            least = std::min(least, entry.key);
        }
        last_ = least;
        for (const Entry& entry : spill_) {
            put(entry);
        }
        spill_.clear();
        std::vector<Entry>& front = buckets_[0];
        const auto by_order = [](const Entry& a, const Entry& b) { return a.order < b.order; };
        if (!std::is_sorted(front.begin(), front.end(), by_order)) {
            std::sort(front.begin(), front.end(), by_order);
        }
    }

    // buckets_[0] holds the entries whose key is last_, from head_ on, in
    // push order; buckets_[i] those whose key first differs from last_ in bit
    // i - 1; bit i - 1 of nonempty_ says whether buckets_[i] holds any.
    std::vector<Entry> buckets_[65];
    std::vector<Entry> spill_;  // the bucket being spread out, kept for its capacity
    std::uint64_t last_ = 0;
    std::uint64_t nonempty_ = 0;
    std::size_t head_ = 0;
    std::size_t queued_ = 0;
    std::vector<std::int64_t> pushed_;  // the node of each push, by order
};

}  // namespace sorvane::routes
