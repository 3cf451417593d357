#include "tensor/superblock.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "methods/search.hpp"
#include "methods/superblock.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"
#include "tensor/buffers.hpp"
#include "tensor/search_args.hpp"

namespace velmar::py {
namespace {

constexpr std::array<const char*, kSuperTypes> kNames = {"q2_k", "q3_k", "q4_k", "q5_k", "q6_k"};

SuperType parse_type(PyObject* obj) {
    const std::string_view name = utf8(arg_str(obj, "type"));
    for (uint32_t t = 0; t < kSuperTypes; ++t)
        if (name == kNames[t]) return static_cast<SuperType>(t);
    raise(PyExc_ValueError, "type: expected 'q2_k', 'q3_k', 'q4_k', 'q5_k' or 'q6_k'");
}

[[noreturn]] void raise_refusal(const super_rows::Refusal& r, SuperType t) {
    const char* name = kNames[static_cast<uint32_t>(t)];
    switch (r.why) {
        case super_rows::Refusal::Why::Shape:
            PyErr_Format(PyExc_ValueError, "cols: %s rows are whole super-blocks of 256 values, got %zu", name, r.at);
            break;
        case super_rows::Refusal::Why::Weight:
            PyErr_Format(PyExc_ValueError, "weights: expected finite values >= 0 (column %zu)", r.at);
            break;
        case super_rows::Refusal::Why::NonFinite:
            PyErr_Format(PyExc_ValueError, "row %zu: %s has no encoding for infinity or NaN", r.at, name);
            break;
        case super_rows::Refusal::Why::TooLarge:
            PyErr_Format(PyExc_ValueError, "row %zu: values too large for %s's half-precision scales", r.at, name);
            break;
    }
    throw_error_set();
}

// The codes buffer of a rows x cols matrix of type t, checked against its size.
std::span<const uint8_t> codes_of(const Buffer& codes, SuperType t, size_t rows, size_t cols) {
    const std::span<const uint8_t> b = codes.as<const uint8_t>();
    size_t want = 0;
    if (cols % kSuperLen != 0) raise_refusal({super_rows::Refusal::Why::Shape, cols}, t);
    if (__builtin_mul_overflow(rows, super_rows::row_bytes(t, cols), &want) || b.size() != want)
        raise(PyExc_ValueError, ("codes: expected " + std::to_string(want) + " bytes, got " + std::to_string(b.size()))
                                    .c_str());
    return b;
}

// The first four arguments of every entry that reads codes: the codes of a
// rows x cols matrix of one type, checked against its size. The buffer keeps
// the bytes alive.
struct Matrix {
    Buffer codes;
    size_t rows, cols;
    SuperType type;
    std::span<const uint8_t> bytes;

    explicit Matrix(std::span<PyObject* const> a)
        : codes(a[0], "codes", false),
          rows(arg_usize(a[1], "rows")),
          cols(arg_usize(a[2], "cols")),
          type(parse_type(a[3])),
          bytes(codes_of(codes, type, rows, cols)) {}
};

constexpr auto kQuantize =
    signature(nullptr, "quantize_super", "values", "rows", "cols", "type", Param{"weights", "None"});

PyObject* quantize_super(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto a = bind(kQuantize, args, nargs, kwnames);
        const Buffer values(a[0], "values", false);
        const size_t rows = arg_usize(a[1], "rows");
        const size_t cols = arg_usize(a[2], "cols");
        const SuperType t = parse_type(a[3]);
        std::vector<float> held;
        const std::span<const float> w = weights_arg(a[4], cols, held);
        const std::span<const float> v = values.floats(product(rows, cols));
        std::optional<std::expected<std::vector<uint8_t>, super_rows::Refusal>> r;
        {
            GilRelease unlocked;
            r = super_rows::quantize(t, v, rows, cols, w);
        }
        if (!*r) raise_refusal(r->error(), t);
        return blob(std::move(**r)).release();
    });
}

constexpr auto kDequantize = signature(nullptr, "dequantize_super", "codes", "rows", "cols", "type", "out");

PyObject* dequantize_super(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kDequantize, args, nargs, kwnames);
        const Matrix m(a);
        const Buffer out(a[4], "out", true);
        const std::span<float> dst = out.floats(product(m.rows, m.cols));
        {
            GilRelease unlocked;
            super_rows::dequantize(m.type, m.bytes, m.rows, m.cols, dst);
        }
        Py_RETURN_NONE;
    });
}

constexpr auto kMatvec = signature(nullptr, "matvec_super", "codes", "rows", "cols", "type", "x", "k", "out");

PyObject* matvec_super(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kMatvec, args, nargs, kwnames);
        const Matrix m(a);
        const Buffer x(a[4], "x", false);
        const size_t k = arg_usize(a[5], "k");
        const Buffer out(a[6], "out", true);
        const std::span<const float> xs = x.floats(product(k, m.cols));
        const std::span<float> dst = out.floats(product(k, m.rows));
        {
            GilRelease unlocked;
            super_rows::matvec(m.type, m.bytes, m.rows, m.cols, xs, k, dst);
        }
        Py_RETURN_NONE;
    });
}

constexpr auto kSearch = signature(nullptr, "search_super", "codes", "rows", "cols", "type", "queries", "nq", "k",
                                   "norms", "first_row", "scores", "rows_out", "filled");

// velmar._tensor.search for a super-block matrix.
PyObject* search_super(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kSearch, args, nargs, kwnames);
        const Matrix m(a);
        return merge_search(std::span(a).subspan(4), m.rows, m.cols,
                            [&](auto&&... rest) { search::top_k(m.type, m.bytes, m.rows, m.cols, rest...); });
    });
}

constexpr auto kRowNorms = signature(nullptr, "row_norms_super", "codes", "rows", "cols", "type", "out");

PyObject* row_norms_super(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kRowNorms, args, nargs, kwnames);
        const Matrix m(a);
        const Buffer out(a[4], "out", true);
        const std::span<float> dst = out.floats(m.rows);
        {
            GilRelease unlocked;
            search::row_norms(m.type, m.bytes, m.rows, m.cols, dst);
        }
        Py_RETURN_NONE;
    });
}

}  // namespace

PyMethodDef kSuperFunctions[] = {
    method_def(kQuantize, quantize_super),
    method_def(kDequantize, dequantize_super),
    method_def(kMatvec, matvec_super),
    method_def(kSearch, search_super),
    method_def(kRowNorms, row_norms_super),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* super_types() {
    return guarded([] {
        Ref all = Ref::check(PyTuple_New(kSuperTypes));
        for (uint32_t t = 0; t < kSuperTypes; ++t) {
            const size_t bytes = super_rows::row_bytes(static_cast<SuperType>(t), kSuperLen);
            PyObject* item = Py_BuildValue("(sn)", kNames[t], static_cast<Py_ssize_t>(bytes));
            if (!item) throw_error_set();
            PyTuple_SetItem(all.get(), t, item);
        }
        return all.release();
    });
}

}  // namespace velmar::py
