#include "methods/search.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels/block.hpp"

namespace velmar::search {

bool better(const Hit& a, const Hit& b) {
    const bool a_nan = a.score != a.score, b_nan = b.score != b.score;
    if (a_nan || b_nan) return !a_nan || (b_nan && a.row < b.row);
    return a.score > b.score || (a.score == b.score && a.row < b.row);
}

namespace {

// Rows scored at a time: the one tile of scores, kTileRows per query.
constexpr size_t kTileRows = 256;

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

}  // namespace

template <class T>
void top_k(const Rows<T>& v, std::span<const float> queries, size_t nq, size_t k, std::span<const float> norms,
           int64_t first_row, std::span<Hit> best, size_t* filled) {
    require(k >= 1 && *filled <= k, "top_k: k below 1 or more results than k");
    size_t need = 0;
    require(!__builtin_mul_overflow(nq, k, &need) && best.size() == need, "top_k: results are not nq * k");
    require(norms.empty() || norms.size() == v.rows, "top_k: not one norm per row");
    RowReader<T> reader(v);
    std::vector<Best> heaps;
    heaps.reserve(nq);
    for (size_t q = 0; q < nq; ++q) heaps.emplace_back(best.data() + q * k, k, *filled);
    std::vector<float> scores(nq * std::min(kTileRows, v.rows));
    for (size_t row = 0; row < v.rows;) {
        const size_t n = std::min(kTileRows, v.rows - row);
        reader.dot(n, queries, nq, scores, n);
        for (size_t q = 0; q < nq; ++q) {
            Best& b = heaps[q];
            const float* s = scores.data() + q * n;
            for (size_t i = 0; i < n; ++i) {
                const float score = norms.empty() ? s[i] : s[i] / norms[row + i];
                // Most rows lose to the worst kept one at a comparison.
                if (b.full() && !(score >= b.worst().score) && b.worst().score == b.worst().score) continue;
                b.offer({score, first_row + static_cast<int64_t>(row + i)});
            }
        }
        row += n;
    }
    size_t count = 0;
    for (Best& b : heaps) count = b.finish();
    if (nq > 0) *filled = count;
}

template <class T>
void row_norms(const Rows<T>& v, std::span<float> out) {
    require(out.size() == v.rows, "row_norms: not one norm per row");
    RowReader<T> reader(v);
    std::vector<float> d;
    const size_t slice = std::max<size_t>(1, (size_t{1} << 16) / std::max<size_t>(1, v.cols));
    for (size_t row = 0; row < v.rows;) {
        const size_t n = std::min(slice, v.rows - row);
        d.resize(n * v.cols);
        reader.decode(n, d);
        for (size_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (size_t c = 0; c < v.cols; ++c) {
                const double e = d[i * v.cols + c];
                sum += e * e;
            }
            out[row + i] = static_cast<float>(std::sqrt(sum));
        }
        row += n;
    }
}

#define VELMAR_SEARCH_INSTANTIATE(T)                                                                         \
    template void top_k<T>(const Rows<T>&, std::span<const float>, size_t, size_t, std::span<const float>,  \
                           int64_t, std::span<Hit>, size_t*);                                               \
    template void row_norms<T>(const Rows<T>&, std::span<float>);

VELMAR_SEARCH_INSTANTIATE(f32)
VELMAR_SEARCH_INSTANTIATE(f16)
VELMAR_SEARCH_INSTANTIATE(bf16)

}  // namespace velmar::search
