#pragma once
// The arguments every search entry point takes after those of its rows:
// queries, nq, k, norms, first_row, scores, rows_out, filled. The results so
// far come in through scores and rows_out and go back out through them.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "methods/search.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "tensor/buffers.hpp"

namespace velmar::py {

// Merges `rows` rows of `cols` values into each query's k best so far:
// select(queries, nq, k, norms, first_row, best, &filled) runs the core
// selection, without the lock. Returns how many results are valid now.
template <class Select>
PyObject* merge_search(std::span<PyObject* const> a, size_t rows, size_t cols, Select&& select) {
    const Buffer queries(a[0], "queries", false);
    const size_t nq = arg_usize(a[1], "nq");
    const size_t k = arg_usize(a[2], "k");
    if (k == 0) raise(PyExc_ValueError, "k: expected at least 1");
    std::optional<Buffer> norms;
    if (a[3] != Py_None) norms.emplace(a[3], "norms", false);
    const size_t first = arg_usize(a[4], "first_row");
    // Row numbers are int64 and must not wrap.
    constexpr auto kLast = static_cast<size_t>(INT64_MAX);
    if (rows > kLast || first > kLast - rows) raise(PyExc_ValueError, "first_row: rows would pass 2**63 - 1");
    const auto first_row = static_cast<int64_t>(first);
    const Buffer scores(a[5], "scores", true);
    const Buffer rows_out(a[6], "rows_out", true);
    size_t filled = arg_usize(a[7], "filled");
    if (filled > k) raise(PyExc_ValueError, "filled: expected at most k");
    const std::span<const float> q = queries.floats(product(nq, cols));
    const std::span<const float> n = norms ? std::span<const float>(norms->floats(rows)) : std::span<const float>();
    const std::span<float> s = scores.floats(product(nq, k));
    const std::span<int64_t> r = rows_out.as<int64_t>();
    if (r.size() != s.size()) raise_for("rows_out", CoreError::length_mismatch(s.size(), r.size()));
    std::vector<search::Hit> best(s.size());
    for (size_t i = 0; i < best.size(); ++i) best[i] = {s[i], r[i]};
    {
        GilRelease unlocked;
        select(q, nq, k, n, first_row, std::span(best), &filled);
    }
    for (size_t i = 0; i < best.size(); ++i) {
        s[i] = best[i].score;
        r[i] = best[i].row;
    }
    return PyLong_FromSize_t(filled);
}

}  // namespace velmar::py
