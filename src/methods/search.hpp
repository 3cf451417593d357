#pragma once
// Top-k search on the codes: for each query, the rows whose dot product with
// it (or cosine similarity) is largest, the selection fused with the scan so
// that memory stays one tile of scores plus k per query.
#include <cstddef>
#include <cstdint>
#include <span>

#include "shared/superblock.hpp"
#include "shared/tensor.hpp"

namespace velmar::search {

// The order of results: a larger score first, a lower row first among equal
// scores, and a NaN score below every number.
struct Hit {
    float score;
    int64_t row;
};
bool better(const Hit& a, const Hit& b);

// For each of nq queries (cols floats each, row after row), merges the rows
// of v, numbered from `first_row`, into best[q * k, q * k + *filled) (sorted
// best first; *filled is the same for every query and becomes
// min(k, *filled + v.rows)). The score of a row is its 1-D dot with the query
// or, given norms (one per row of v), that dot divided by the row's norm.
template <class T>
void top_k(const Rows<T>& v, std::span<const float> queries, size_t nq, size_t k, std::span<const float> norms,
           int64_t first_row, std::span<Hit> best, size_t* filled, Check check = Check::Whole);

// The same over `rows` rows of super-block type t (bytes holds them all);
// a row's score is the product's, which is its 1-D dot.
void top_k(SuperType t, std::span<const uint8_t> bytes, size_t rows, size_t cols, std::span<const float> queries,
           size_t nq, size_t k, std::span<const float> norms, int64_t first_row, std::span<Hit> best, size_t* filled);

// The Euclidean norm of every row's decoded values, summed in double in
// element order and rounded to float.
template <class T>
void row_norms(const Rows<T>& v, std::span<float> out);
void row_norms(SuperType t, std::span<const uint8_t> bytes, size_t rows, size_t cols, std::span<float> out);

}  // namespace velmar::search
