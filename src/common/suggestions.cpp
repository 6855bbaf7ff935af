#include "common/suggestions.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string_view>
#include <utility>

namespace sorvane {

namespace {

// The interpreter's constants. A case flip costs half an edit; texts longer
// than kMaxText bytes (once their common ends are trimmed) are never near.
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxText = 40;
constexpr Py_ssize_t kMaxCandidates = 750;

std::size_t substitution_cost(char a, char b) noexcept {
    // Bytes that differ in their five low bits are not a case flip of each other.
    if ((a & 31) != (b & 31)) {
        return kMoveCost;
    }
    if (a == b) {
        return 0;
    }
    if ('A' <= a && a <= 'Z') {
        a += 'a' - 'A';
    }
    if ('A' <= b && b <= 'Z') {
        b += 'a' - 'A';
    }
    return a == b ? kCaseCost : kMoveCost;
}

// The edit distance of a and b, or max_cost + 1 as soon as it must exceed
// max_cost. One row of the matrix, updated in place, as the interpreter does.
std::size_t distance(std::string_view a, std::string_view b, std::size_t max_cost) noexcept {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty()) {
        return (a.size() + b.size()) * kMoveCost;
    }
    if (a.size() > kMaxText || b.size() > kMaxText) {
        return max_cost + 1;
    }
    if (b.size() < a.size()) {
        std::swap(a, b);
    }
    if ((b.size() - a.size()) * kMoveCost > max_cost) {
        return max_cost + 1;
    }
    std::size_t row[kMaxText];  // row[i]: from b[:j] to a[:i + 1]
    for (std::size_t i = 0; i < a.size(); ++i) {
        row[i] = (i + 1) * kMoveCost;
    }
    std::size_t result = 0;
    for (std::size_t j = 0; j < b.size(); ++j) {
        std::size_t diagonal = result = j * kMoveCost;
        std::size_t minimum = std::numeric_limits<std::size_t>::max();
        for (std::size_t i = 0; i < a.size(); ++i) {
            const std::size_t substitute = diagonal + substitution_cost(b[j], a[i]);
            diagonal = row[i];
            result = std::min(std::min(result, diagonal) + kMoveCost, substitute);
            row[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) {
            return max_cost + 1;  // every way on is already too dear
        }
    }
    return result;
}

std::string_view utf8(PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
}

}  // namespace

PyObject* suggest_name(PyObject* const* candidates, Py_ssize_t count, PyObject* name) noexcept {
    if (count >= kMaxCandidates) {
        return nullptr;
    }
    const std::string_view wrong = utf8(name);
    if (wrong.data() == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    std::size_t best_distance = std::numeric_limits<Py_ssize_t>::max();
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* candidate = candidates[k];
        // The same text is no suggestion (a str subclass may have compared unequal).
        if (PyUnicode_Compare(name, candidate) == 0) {
            continue;
        }
        const std::string_view text = utf8(candidate);
        if (text.data() == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        // No more than a third of the characters involved may change, and a
        // candidate must beat the best so far.
        const std::size_t bound =
            std::min((wrong.size() + text.size() + 3) * kMoveCost / 6, best_distance - 1);
        const std::size_t d = distance(wrong, text, bound);
        if (d <= bound) {
            best = candidate;
            best_distance = d;
        }
    }
    return best;
}

}  // namespace sorvane
