#include "methods/search.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/block.hpp"
#include "methods/superblock.hpp"

namespace velmar::search {

bool better(const Hit& a, const Hit& b) {
    const bool a_nan = a.score != a.score, b_nan = b.score != b.score;
    if (a_nan || b_nan) return !a_nan || (b_nan && a.row < b.row);
    return a.score > b.score || (a.score == b.score && a.row < b.row);
}

namespace {

// The one tile of scores: kTileRows rows per query at least, more up to
// kTileScores when there are few queries, since each call of the kernels
// arranges the queries for its lanes first.
constexpr size_t kTileRows = 256, kTileScores = 8192;
// Rows a query's scores are screened against its worst kept one at a time.
constexpr size_t kScreen = 16;

// Whether any of kScreen values is >= worst: four compares of four lanes
// (the compiler keeps sixteen scalar ones otherwise).
bool any_at_least(const float* value, float worst) {
    using F4 = float __attribute__((vector_size(16)));
    using I4 = int32_t __attribute__((vector_size(16)));
    I4 pass{};
    for (size_t i = 0; i < kScreen; i += 4) {
        F4 v;
        std::memcpy(&v, value + i, sizeof v);
        pass |= v >= worst;
    }
    return (pass[0] | pass[1] | pass[2] | pass[3]) != 0;
}

// A query's k best as a heap whose root is the worst of them.
class Best {
public:
    Best(Hit* hits, size_t k, size_t filled) : h_(hits), k_(k), n_(filled) {
        std::make_heap(h_, h_ + n_, better);
    }
    // The score a row must beat once the heap is full (or any, until then).
    bool full() const { return n_ == k_; }
    const Hit& worst() const { return h_[0]; }
    void offer(const Hit& hit) {
        if (n_ < k_) {
            h_[n_++] = hit;
            std::push_heap(h_, h_ + n_, better);
        } else if (better(hit, h_[0])) {
            std::pop_heap(h_, h_ + n_, better);
            h_[n_ - 1] = hit;
            std::push_heap(h_, h_ + n_, better);
        }
    }
    size_t finish() {
        std::sort_heap(h_, h_ + n_, better);
        return n_;
    }

private:
    Hit* h_;
    size_t k_, n_;
};

// The selection over `rows` rows; score(row, n, out) writes the dots of rows
// [row, row + n) with every query, out[q * n + i].
template <class Score>
void select(size_t rows, size_t cols, Score&& score, size_t nq, size_t k, std::span<const float> norms,
            int64_t first_row, std::span<Hit> best, size_t* filled) {
    require(k >= 1 && *filled <= k, "top_k: k below 1 or more results than k");
    size_t need = 0;
    require(!__builtin_mul_overflow(nq, k, &need) && best.size() == need, "top_k: results are not nq * k");
    require(norms.empty() || norms.size() == rows, "top_k: not one norm per row");
    // Rows of no values all score alike, and ties keep the lower row: only
    // the first k can be kept, however many rows are claimed.
    if (cols == 0) rows = std::min(rows, k);
    std::vector<Best> heaps;
    heaps.reserve(nq);
    for (size_t q = 0; q < nq; ++q) heaps.emplace_back(best.data() + q * k, k, *filled);
    const size_t tile = std::min(rows, std::max(kTileRows, kTileScores / std::max<size_t>(nq, 1)));
    std::vector<float> scores(nq * tile);
    for (size_t row = 0; row < rows;) {
        const size_t n = std::min(tile, rows - row);
        score(row, n, std::span(scores).first(nq * n));
        for (size_t q = 0; q < nq; ++q) {
            Best& b = heaps[q];
            const float* s = scores.data() + q * n;
            for (size_t i0 = 0; i0 < n; i0 += kScreen) {
                const size_t m = std::min(kScreen, n - i0);
                const float* value = s + i0;
                float quotient[kScreen];
                if (!norms.empty()) {
                    for (size_t i = 0; i < m; ++i) quotient[i] = value[i] / norms[row + i0 + i];
                    value = quotient;
                }
                // Most rows lose to the worst kept one at a comparison, a
                // screen of them at once; a NaN loses unless the worst is one.
                if (m == kScreen && b.full() && b.worst().score == b.worst().score) {
                    if (!any_at_least(value, b.worst().score)) continue;
                }
                for (size_t i = 0; i < m; ++i) b.offer({value[i], first_row + static_cast<int64_t>(row + i0 + i)});
            }
        }
        row += n;
    }
    size_t count = 0;
    for (Best& b : heaps) count = b.finish();
    if (nq > 0) *filled = count;
}

// Norms of `rows` rows of cols values; decode(row, n, out) writes rows
// [row, row + n) decoded.
template <class Decode>
void norms_of(size_t rows, size_t cols, Decode&& decode, std::span<float> out) {
    require(out.size() == rows, "row_norms: not one norm per row");
    std::vector<float> d;
    const size_t slice = std::max<size_t>(1, (size_t{1} << 16) / std::max<size_t>(1, cols));
    for (size_t row = 0; row < rows;) {
        const size_t n = std::min(slice, rows - row);
        d.resize(n * cols);
        decode(row, n, std::span(d));
        for (size_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (size_t c = 0; c < cols; ++c) {
                const double e = d[i * cols + c];
                sum += e * e;
            }
            out[row + i] = static_cast<float>(std::sqrt(sum));
        }
        row += n;
    }
}

// Rows [row, row + n) of a super-block matrix: their bytes.
std::span<const uint8_t> super_slice(SuperType t, std::span<const uint8_t> bytes, size_t cols, size_t row, size_t n) {
    const size_t rb = super_rows::row_bytes(t, cols);
    return bytes.subspan(row * rb, n * rb);
}

}  // namespace

template <class T>
void top_k(const Rows<T>& v, std::span<const float> queries, size_t nq, size_t k, std::span<const float> norms,
           int64_t first_row, std::span<Hit> best, size_t* filled, Check check) {
    RowReader<T> reader(v, check);
    const auto score = [&](size_t, size_t n, std::span<float> out) { reader.dot(n, queries, nq, out, n); };
    select(v.rows, v.cols, score, nq, k, norms, first_row, best, filled);
}

void top_k(SuperType t, std::span<const uint8_t> bytes, size_t rows, size_t cols, std::span<const float> queries,
           size_t nq, size_t k, std::span<const float> norms, int64_t first_row, std::span<Hit> best, size_t* filled) {
    size_t total = 0;
    require(cols % kSuperLen == 0 && !__builtin_mul_overflow(rows, super_rows::row_bytes(t, cols), &total) &&
                bytes.size() == total,
            "top_k: bytes are not rows of whole super-blocks");
    const auto score = [&](size_t row, size_t n, std::span<float> out) {
        super_rows::matvec(t, super_slice(t, bytes, cols, row, n), n, cols, queries, nq, out);
    };
    select(rows, cols, score, nq, k, norms, first_row, best, filled);
}

template <class T>
void row_norms(const Rows<T>& v, std::span<float> out) {
    RowReader<T> reader(v);
    norms_of(v.rows, v.cols, [&](size_t, size_t n, std::span<float> d) { reader.decode(n, d); }, out);
}

void row_norms(SuperType t, std::span<const uint8_t> bytes, size_t rows, size_t cols, std::span<float> out) {
    const auto decode = [&](size_t row, size_t n, std::span<float> d) {
        super_rows::dequantize(t, super_slice(t, bytes, cols, row, n), n, cols, d);
    };
    norms_of(rows, cols, decode, out);
}

#define VELMAR_SEARCH_INSTANTIATE(T)                                                                         \
    template void top_k<T>(const Rows<T>&, std::span<const float>, size_t, size_t, std::span<const float>,  \
                           int64_t, std::span<Hit>, size_t*, Check);                                        \
    template void row_norms<T>(const Rows<T>&, std::span<float>);

VELMAR_SEARCH_INSTANTIATE(f32)
VELMAR_SEARCH_INSTANTIATE(f16)
VELMAR_SEARCH_INSTANTIATE(bf16)

}  // namespace velmar::search
