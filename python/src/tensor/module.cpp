// velmar._tensor: quantizing, decoding and the products over all rows of a
// matrix in one call each, and the rows themselves as velmar.Quantized
// objects. It speaks buffers only; the Python class in velmar.tensor owns the
// arrays and the checks users see. Mistakes the 1-D functions also make raise
// their exception classes, taken from velmar._native.
#include <Python.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kernels/block.hpp"
#include "kernels/memory.hpp"
#include "methods/rows.hpp"
#include "methods/search.hpp"
#include "methods/weighted.hpp"
#include "shared/packed.hpp"
#include "support/args.hpp"
#include "support/cast.hpp"
#include "support/guard.hpp"
#include "support/quantized.hpp"
#include "support/ref.hpp"
#include "tensor/bounded.hpp"
#include "tensor/buffers.hpp"
#include "tensor/search_args.hpp"
#include "tensor/superblock.hpp"

namespace velmar::py {
namespace {

Kind parse_kind(PyObject* obj) {
    const std::optional<Kind> k = kind_named(utf8(arg_str(obj, "kind")));
    if (!k) {
        PyErr_Format(PyExc_ValueError, "kind: expected 'symmetric', 'asymmetric' or 'adaptive', got %R", obj);
        throw_error_set();
    }
    return *k;
}

int parse_scale(PyObject* obj) {
    const uint32_t s = arg_u32(obj, "scale");
    if (s > 2) raise(PyExc_ValueError, "scale: expected 0 (f32), 1 (f16) or 2 (bf16)");
    return static_cast<int>(s);
}

// ---- the parts of rows ----

// codes, scales, zero_points, widths, rows, cols, kind, bits, block, scale:
// the leading parameters of every function that reads parts.
#define VELMAR_PARTS_PARAMS "codes", "scales", "zero_points", "widths", "rows", "cols", "kind", "bits", "block", "scale"
constexpr size_t kPartsParams = 10;

struct PartsArgs {
    std::array<std::optional<Buffer>, 4> buffers;
    Scheme scheme;
    size_t rows, cols;
    int scale;

    // a: the four buffers, then (rows,) cols, kind, bits, block, scale; one
    // row when there is no rows parameter.
    PartsArgs(std::span<PyObject* const> a, bool has_rows) {
        constexpr const char* names[] = {"codes", "scales", "zero_points", "widths"};
        for (size_t i = 0; i < 4; ++i) buffers[i].emplace(a[i], names[i], false);
        rows = has_rows ? arg_usize(a[4], "rows") : 1;
        const std::span<PyObject* const> rest = a.subspan(has_rows ? 5 : 4);
        cols = arg_usize(rest[0], "cols");
        scheme = {parse_kind(rest[1]), arg_u32(rest[2], "bits"), arg_usize(rest[3], "block"), 0.0f};
        scale = parse_scale(rest[4]);
    }

    // The checked view: a scheme the 1-D functions refuse raises their error,
    // parts that do not fit the shape a ValueError naming the part.
    template <class T>
    Rows<T> view() const {
        const Rows<T> v{scheme,
                        rows,
                        cols,
                        buffers[0]->as<const uint8_t>(),
                        buffers[1]->as<const T>(),
                        buffers[2]->as<const T>(),
                        buffers[3]->as<const uint32_t>()};
        if (const std::optional<Fault> f = fault_of(v)) {
            if (f->scheme) raise_for(nullptr, *f->scheme);
            raise(PyExc_ValueError, f->what.c_str());
        }
        return v;
    }
};

// f(view) for the parts' element type.
template <class F>
void with_view(const PartsArgs& p, F&& f) {
    with_scale_type(p.scale, [&]<class T>(std::type_identity<T>) { f(p.view<T>()); });
}

// ---- the functions ----

PyObject* kernel_level(PyObject*, PyObject*) {
    return guarded([] { return PyUnicode_FromString(velmar::kernel_level()); });
}

constexpr auto kUseKernelLevel = signature(nullptr, "use_kernel_level", "name");

PyObject* use_kernel_level(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* name = bind(kUseKernelLevel, args, nargs, kwnames)[0];
        const std::string_view want = name == Py_None ? std::string_view() : utf8(arg_str(name, "name"));
        if (name != Py_None && want.empty()) raise(PyExc_ValueError, "name: expected a level name or None");
        if (!velmar::use_kernel_level(want)) {
            PyErr_Format(PyExc_ValueError, "kernel level '%s' is not one this CPU runs (%s)", std::string(want).c_str(),
                         kernel_levels().c_str());
            throw_error_set();
        }
        Py_RETURN_NONE;
    });
}

// The scheme of a quantizer call: its kind, bits, block and tolerance arguments.
Scheme scheme_args(PyObject* kind, PyObject* bits, PyObject* block, PyObject* tolerance) {
    return {parse_kind(kind), arg_u32(bits, "bits"), arg_usize(block, "block"), arg_f32(tolerance, "tolerance")};
}

// A quantizer's parts, handed over without a copy.
template <class T>
PyObject* parts_tuple(Parts<T>& p) {
    return tuple_of(blob(std::move(p.codes)), blob(std::move(p.scales)), blob(std::move(p.zero_points)),
                    blob(std::move(p.widths)))
        .release();
}

constexpr auto kQuantize = signature(nullptr, "quantize", "values", "rows", "cols", "kind", "bits", "block", "tolerance",
                                     "scale", Param{"weights", "None"}, Param{"shared", "True"});

PyObject* quantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto a = bind(kQuantize, args, nargs, kwnames);
        const Buffer values(a[0], "values", false);
        const size_t rows = arg_usize(a[1], "rows");
        const size_t cols = arg_usize(a[2], "cols");
        const Scheme scheme = scheme_args(a[3], a[4], a[5], a[6]);
        const int scale = parse_scale(a[7]);
        std::vector<float> held;
        const std::span<const float> w = weights_arg(a[8], cols, held);
        const std::span<const float> v = values.floats(product(rows, cols));
        // False from callers whose values no other code can reach: their own copy.
        const int shared = a[9] ? PyObject_IsTrue(a[9]) : 1;
        if (shared < 0) throw_error_set();
        // The caller's memory is read where it is only while no other thread
        // could write it; the runs are copied otherwise.
        const bool keep_lock = shared == 1 && w.empty() && only_python_thread();
        return with_scale_type(scale, [&]<class T>(std::type_identity<T>) {
            std::optional<Result<Parts<T>>> r;
            {
                GilReleaseUnless unlocked(keep_lock);
                r = w.empty() ? rows::quantize<T>(v, rows, cols, scheme, shared == 1 && !keep_lock)
                              : weighted::quantize<T>(v, rows, cols, scheme, w);
            }
            if (!*r) raise_for(nullptr, r->error());
            return parts_tuple(**r);
        });
    });
}

constexpr auto kQuantizeFrom = signature(nullptr, "quantize_from", "values", "rows", "cols", "kind", "bits", "block",
                                         "tolerance", "scale", "source");

// quantize() of float64 ('f64'), float16 ('f16') or bfloat16 ('bf16') values,
// the latter two as their bits, read a run at a time as float32 instead of
// cast whole first; None when the cast to float32 raised a floating-point
// exception, which the caller's own cast then reports.
PyObject* quantize_from(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kQuantizeFrom, args, nargs, kwnames);
        const Buffer values(a[0], "values", false);
        const size_t rows = arg_usize(a[1], "rows");
        const size_t cols = arg_usize(a[2], "cols");
        const Scheme scheme = scheme_args(a[3], a[4], a[5], a[6]);
        const int scale = parse_scale(a[7]);
        const std::string_view source = utf8(arg_str(a[8], "source"));
        const size_t count = product(rows, cols);
        F64Cast cast;
        F16Widen widen;
        size_t have = 0;
        if (source == "f64") {
            cast.values = values.as<const double>();
            have = cast.values.size();
        } else if (source == "f16" || source == "bf16") {
            widen = {values.as<const uint16_t>(), source == "bf16"};
            have = widen.values.size();
        } else {
            PyErr_Format(PyExc_ValueError, "source: expected 'f64', 'f16' or 'bf16', got %R", a[8]);
            throw_error_set();
        }
        if (have != count) raise_for("values", CoreError::length_mismatch(count, have));
        const rows::ReadPiece read = source == "f64" ? rows::ReadPiece(std::ref(cast)) : rows::ReadPiece(widen);
        // Each run is read once, whole elements at a time, so the values may
        // change meanwhile; the lock is kept only while nobody could.
        const bool keep_lock = only_python_thread();
        return with_scale_type(scale, [&]<class T>(std::type_identity<T>) -> PyObject* {
            std::optional<Result<Parts<T>>> r;
            {
                GilReleaseUnless unlocked(keep_lock);
                r = rows::quantize<T>(rows, cols, read, scheme);
            }
            if (cast.raised) Py_RETURN_NONE;
            if (!*r) raise_for(nullptr, r->error());
            return parts_tuple(**r);
        });
    });
}

constexpr auto kDequantize = signature(nullptr, "dequantize", VELMAR_PARTS_PARAMS, "out");

PyObject* dequantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kDequantize, args, nargs, kwnames);
        const PartsArgs parts(a, true);
        const Buffer out(a[kPartsParams], "out", true);
        with_view(parts, [&](const auto& v) {
            const std::span<float> dst = out.floats(product(v.rows, v.cols));
            GilRelease unlocked;
            decode_rows(v, dst);
        });
        Py_RETURN_NONE;
    });
}

constexpr auto kMatvec = signature(nullptr, "matvec", VELMAR_PARTS_PARAMS, "x", "k", "out");

PyObject* matvec(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kMatvec, args, nargs, kwnames);
        const PartsArgs parts(a, true);
        const Buffer x(a[kPartsParams], "x", false);
        const size_t k = arg_usize(a[kPartsParams + 1], "k");
        const Buffer out(a[kPartsParams + 2], "out", true);
        with_view(parts, [&](const auto& v) {
            const std::span<const float> xs = x.floats(product(k, v.cols));
            const std::span<float> dst = out.floats(product(k, v.rows));
            GilRelease unlocked;
            dot_rows(v, xs, k, dst, Check::Done);
        });
        Py_RETURN_NONE;
    });
}

constexpr auto kRow = signature(nullptr, "row", "codes", "scales", "zero_points", "widths", "cols", "kind", "bits",
                                "block", "scale");

// The velmar.Quantized of one row from that row's parts.
PyObject* row(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const PartsArgs parts(bind(kRow, args, nargs, kwnames), false);
        PyObject* made = nullptr;
        with_view(parts, [&]<class T>(const Rows<T>& v) {
            Parts<T> owned{{v.codes.begin(), v.codes.end()},
                           {v.scales.begin(), v.scales.end()},
                           {v.zero_points.begin(), v.zero_points.end()},
                           {v.widths.begin(), v.widths.end()}};
            made = new_quantized(quantized_type(), QuantizedInner(record_of(std::move(owned), v.scheme, v.cols)));
        });
        return made;
    });
}

constexpr auto kRefine = signature(nullptr, "refine", VELMAR_PARTS_PARAMS, "values", Param{"weights", "None"});

// The scales and zero points of every block refitted against values.
PyObject* refine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto a = bind(kRefine, args, nargs, kwnames);
        const PartsArgs parts(a, true);
        const Buffer values(a[kPartsParams], "values", false);
        PyObject* made = nullptr;
        with_view(parts, [&]<class T>(const Rows<T>& v) {
            std::vector<float> held;
            const std::span<const float> w = weights_arg(a[kPartsParams + 1], v.cols, held);
            const std::span<const float> x = values.floats(product(v.rows, v.cols));
            std::optional<weighted::Refitted<T>> p;
            {
                GilRelease unlocked;
                p = weighted::refit<T>(v, x, w);
            }
            made = tuple_of(blob(std::move(p->scales)), blob(std::move(p->zero_points))).release();
        });
        return made;
    });
}

constexpr auto kSearch = signature(nullptr, "search", VELMAR_PARTS_PARAMS, "queries", "nq", "k", "norms", "first_row",
                                   "scores", "rows_out", "filled");

// Merges the rows of the parts, numbered from first_row, into each query's
// k best so far (scores and rows_out, nq * k each, `filled` of them valid per
// query, best first); returns how many are valid now.
PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kSearch, args, nargs, kwnames);
        const PartsArgs parts(a, true);
        PyObject* filled = nullptr;
        with_view(parts, [&](const auto& v) {
            filled = merge_search(std::span(a).subspan(kPartsParams), v.rows, v.cols, [&](auto&&... rest) {
                search::top_k(v, rest..., Check::Done);
            });
        });
        return filled;
    });
}

constexpr auto kRowNorms = signature(nullptr, "row_norms", VELMAR_PARTS_PARAMS, "out");

// The Euclidean norm of every row's decoded values.
PyObject* row_norms(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kRowNorms, args, nargs, kwnames);
        const PartsArgs parts(a, true);
        const Buffer out(a[kPartsParams], "out", true);
        with_view(parts, [&](const auto& v) {
            const std::span<float> dst = out.floats(v.rows);
            GilRelease unlocked;
            search::row_norms(v, dst);
        });
        Py_RETURN_NONE;
    });
}

constexpr auto kCopyWhole = signature(nullptr, "copy_whole", "values", "out");

// A copy of values another thread may be writing, each float read whole.
PyObject* copy_whole(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kCopyWhole, args, nargs, kwnames);
        const Buffer values(a[0], "values", false), out(a[1], "out", true);
        const std::span<const float> src = values.floats(values.as<float>().size());
        const std::span<float> dst = out.floats(src.size());
        velmar::copy_whole(src.data(), src.size(), dst.data());
        Py_RETURN_NONE;
    });
}

constexpr auto kReadPart = signature(nullptr, "read_part", "fd", "offset", "nbytes");

// nbytes of a file from offset on, in a buffer that starts on a cache line as
// the quantizers' do; None if the file ends first.
PyObject* read_part(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kReadPart, args, nargs, kwnames);
        const int fd = PyObject_AsFileDescriptor(a[0]);
        if (fd < 0) throw_error_set();
        const size_t offset = arg_usize(a[1], "offset"), n = arg_usize(a[2], "nbytes");
        if (n > size_t{INT64_MAX} || offset > size_t{INT64_MAX} - n)
            raise(PyExc_OverflowError, "offset: the part would end past any file");
        Bytes data(n);
        size_t done = 0;
        int err = 0;
        {
            GilRelease unlocked;
            while (done < n) {
                const ssize_t got = pread(fd, data.data() + done, n - done, static_cast<off_t>(offset + done));
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) {
                    err = got < 0 ? errno : 0;
                    break;
                }
                done += static_cast<size_t>(got);
            }
        }
        if (err != 0) {
            errno = err;
            PyErr_SetFromErrno(PyExc_OSError);
            throw_error_set();
        }
        if (done < n) Py_RETURN_NONE;
        return blob(std::move(data)).release();
    });
}

constexpr auto kCopyPart = signature(nullptr, "copy_part", "values");

// values' bytes in a buffer nothing else can write, starting on a cache line
// as the quantizers' do: a part a tensor can keep.
PyObject* copy_part(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kCopyPart, args, nargs, kwnames);
        const Buffer values(a[0], "values", false);
        const std::span<const uint8_t> src = values.as<const uint8_t>();
        Bytes data(src.size());
        if (!src.empty()) std::memcpy(data.data(), src.data(), src.size());
        return blob(std::move(data)).release();
    });
}

// GGUF's 4-bit blocks hold element j of 32 in the low nibble of byte j and
// element j + 16 in the high one, each plus 8; velmar packs them in order, in
// two's complement. Byte i of one order draws on bytes 2i and 2i + 1, or i and
// i + 8, of the other.
constexpr size_t kNibbleBytes = 16;

void nibbles_to_velmar(const uint8_t* q, uint8_t* c) {
    for (size_t i = 0; i < kNibbleBytes / 2; ++i) {
        c[i] = static_cast<uint8_t>(((q[2 * i] & 0x0F) | (q[2 * i + 1] << 4)) ^ 0x88);
        c[i + kNibbleBytes / 2] = static_cast<uint8_t>(((q[2 * i] >> 4) | (q[2 * i + 1] & 0xF0)) ^ 0x88);
    }
}

void velmar_to_nibbles(const uint8_t* c, uint8_t* q) {
    for (size_t i = 0; i < kNibbleBytes / 2; ++i) {
        q[2 * i] = static_cast<uint8_t>(((c[i] & 0x0F) | (c[i + kNibbleBytes / 2] << 4)) ^ 0x88);
        q[2 * i + 1] = static_cast<uint8_t>(((c[i] >> 4) | (c[i + kNibbleBytes / 2] & 0xF0)) ^ 0x88);
    }
}

void check_nibbles(bool nibbles, size_t tail) {
    if (nibbles && tail != kNibbleBytes) raise(PyExc_ValueError, "nibbles: a block's codes are 16 bytes");
}

constexpr auto kSplitBlocks = signature(nullptr, "split_blocks", "data", "block_bytes", "head_bytes", "nibbles");

// Each block's first head_bytes, and the rest, gathered into two buffers a
// tensor can keep: blocks of a scale and its codes become two parts in one
// pass. With nibbles, the rest is 4-bit codes in GGUF's order, put in ours.
PyObject* split_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kSplitBlocks, args, nargs, kwnames);
        const Buffer data(a[0], "data", false);
        const std::span<const uint8_t> src = data.as<const uint8_t>();
        const size_t block = arg_usize(a[1], "block_bytes"), head = arg_usize(a[2], "head_bytes");
        const bool nibbles = PyObject_IsTrue(a[3]) == 1;
        if (block == 0 || head > block || src.size() % block != 0)
            raise(PyExc_ValueError, "data: expected whole blocks of block_bytes, each at least head_bytes");
        const size_t blocks = src.size() / block, tail = block - head;
        check_nibbles(nibbles, tail);
        Bytes heads(blocks * head), tails(blocks * tail);
        {
            GilRelease unlocked;
            for (size_t b = 0; b < blocks; ++b) {
                const uint8_t* from = src.data() + b * block;
                std::memcpy(heads.data() + b * head, from, head);
                if (nibbles)
                    nibbles_to_velmar(from + head, tails.data() + b * tail);
                else
                    std::memcpy(tails.data() + b * tail, from + head, tail);
            }
        }
        return tuple_of(blob(std::move(heads)), blob(std::move(tails))).release();
    });
}

constexpr auto kJoinBlocks = signature(nullptr, "join_blocks", "heads", "tails", "head_bytes", "nibbles");

// split_blocks undone: each block's head_bytes of heads, then its share of tails.
PyObject* join_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kJoinBlocks, args, nargs, kwnames);
        const Buffer heads_in(a[0], "heads", false), tails_in(a[1], "tails", false);
        const std::span<const uint8_t> heads = heads_in.as<const uint8_t>(), tails = tails_in.as<const uint8_t>();
        const size_t head = arg_usize(a[2], "head_bytes");
        const bool nibbles = PyObject_IsTrue(a[3]) == 1;
        if (head == 0 || heads.size() % head != 0)
            raise(PyExc_ValueError, "heads: expected whole heads of head_bytes");
        const size_t blocks = heads.size() / head, tail = blocks ? tails.size() / blocks : 0;
        if (tail * blocks != tails.size()) raise(PyExc_ValueError, "tails: expected as many as heads");
        check_nibbles(nibbles && blocks, tail);
        const size_t block = head + tail;
        Bytes out(blocks * block);
        {
            GilRelease unlocked;
            for (size_t b = 0; b < blocks; ++b) {
                uint8_t* to = out.data() + b * block;
                std::memcpy(to, heads.data() + b * head, head);
                if (nibbles)
                    velmar_to_nibbles(tails.data() + b * tail, to + head);
                else
                    std::memcpy(to + head, tails.data() + b * tail, tail);
            }
        }
        return blob(std::move(out)).release();
    });
}

PyMethodDef kFunctions[] = {
    {"kernel_level", kernel_level, METH_NOARGS, "kernel_level()\n--\n\n"},
    method_def(kUseKernelLevel, use_kernel_level),
    method_def(kQuantize, quantize),
    method_def(kQuantizeFrom, quantize_from),
    method_def(kDequantize, dequantize),
    method_def(kMatvec, matvec),
    method_def(kRow, row),
    method_def(kRefine, refine),
    method_def(kSearch, search),
    method_def(kRowNorms, row_norms),
    method_def(kCopyWhole, copy_whole),
    method_def(kReadPart, read_part),
    method_def(kCopyPart, copy_part),
    method_def(kSplitBlocks, split_blocks),
    method_def(kJoinBlocks, join_blocks),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    return guarded([&] {
        ready_shared_types();
        if (PyModule_AddFunctions(module, kSuperFunctions) < 0 || PyModule_AddFunctions(module, kBoundedFunctions) < 0 ||
            PyModule_AddObjectRef(module, "super_types", Ref::check(super_types()).get()) < 0)
            throw_error_set();
        // _native takes this at import and keeps its forced level here too.
        Ref cell = Ref::check(PyCapsule_New(velmar::kernel_level_cell(), kKernelLevelCell, nullptr));
        if (PyModule_AddObjectRef(module, "_kernel_level_cell", cell.get()) < 0) throw_error_set();
        return 0;
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_tensor", "", 0, kFunctions, kSlots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace velmar::py

PyMODINIT_FUNC PyInit__tensor() { return PyModuleDef_Init(&velmar::py::kModule); }
