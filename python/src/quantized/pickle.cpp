#include "quantized/pickle.hpp"

#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "kernels/memory.hpp"
#include "scale.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

constexpr int kVersion = 1;

[[noreturn]] void malformed() { raise(PyExc_ValueError, "malformed pickle state"); }

// A new bytes object of n bytes filled by fill(p): never zeroed, and advised
// onto huge pages before the first touch, as a state is megabytes of fresh
// memory that would otherwise fault a 4 KiB page at a time.
template <class F>
PyObject* fresh_bytes(size_t n, F&& fill) {
    Ref out = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    auto* p = reinterpret_cast<uint8_t*>(PyBytes_AsString(out.get()));
    advise_huge_pages(p, n);
    fill(p);
    return out.release();
}

// Raw little-endian bit patterns, no header; f16 and bf16 share the 2-byte
// path.
template <class T>
PyObject* encode(const std::vector<T>& elements) {
    constexpr unsigned E = Scale<T>::bytes;
    return fresh_bytes(elements.size() * E, [&](uint8_t* p) {
        for (size_t i = 0; i < elements.size(); ++i) {
            const uint64_t bits = Scale<T>::to_bits(elements[i]);
            for (unsigned b = 0; b < E; ++b) p[i * E + b] = static_cast<uint8_t>(bits >> (8 * b));
        }
    });
}

template <class T>
std::vector<T> decode(std::span<const uint8_t> bytes) {
    constexpr unsigned E = Scale<T>::bytes;
    if (bytes.size() % E != 0) malformed();
    std::vector<T> out;
    assign_fresh(out, bytes.size() / E, T{});
    for (size_t i = 0; i < out.size(); ++i) {
        uint64_t bits = 0;
        for (unsigned b = 0; b < E; ++b) bits |= static_cast<uint64_t>(bytes[i * E + b]) << (8 * b);
        out[i] = Scale<T>::from_bits(static_cast<typename Scale<T>::Bits>(bits));
    }
    return out;
}

struct State {
    Kind kind;
    uint32_t bits;
    size_t block;
    size_t len;
    Bytes codes;
    std::vector<uint32_t> block_bits;
    std::span<const uint8_t> scales;  // still encoded, in the state's items
    std::span<const uint8_t> zero_points;
};

[[noreturn]] void refuse_str() { raise(PyExc_TypeError, "Can't extract `str` to `Vec`"); }

template <class E, class Convert>
std::vector<E> sequence_of(PyObject* obj, Convert convert) {
    if (PyUnicode_Check(obj)) refuse_str();
    if (!PySequence_Check(obj)) {
        Ref tn = Ref::check(PyType_GetName(Py_TYPE(obj)));
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", tn.get());
        throw_error_set();
    }
    Ref fast = Ref::check(PySequence_Tuple(obj));
    const Py_ssize_t n = PyTuple_Size(fast.get());
    std::vector<E> out;
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(convert(PyTuple_GetItem(fast.get(), i)));
    return out;
}

// The bytes of a state item: a bytes object's own buffer (immutable, and
// the state outlives the rebuild), or a copy: a bytearray could be resized by
// the Python code that converting a later item may run.
class ByteItem {
public:
    explicit ByteItem(PyObject* obj) {
        if (PyBytes_Check(obj)) {
            const char* p = PyBytes_AsString(obj);
            if (!p) throw_error_set();
            view_ = {reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(PyBytes_Size(obj))};
        } else if (PyByteArray_Check(obj)) {
            const auto* p = reinterpret_cast<const uint8_t*>(PyByteArray_AsString(obj));
            owned_.assign(p, p + PyByteArray_Size(obj));
            view_ = owned_;
        } else {
            owned_ = sequence_of<uint8_t>(obj, to_u8);
            view_ = owned_;
        }
    }
    ByteItem(const ByteItem&) = delete;  // the view may point into owned_
    ByteItem& operator=(const ByteItem&) = delete;

    std::span<const uint8_t> bytes() const { return view_; }
    Bytes copy() const {
        Bytes v;
        assign_fresh(v, view_.data(), view_.size());
        return v;
    }

private:
    std::vector<uint8_t> owned_;
    std::span<const uint8_t> view_;
};

template <class T>
QuantizedInner rebuild(State&& state) {
    velmar::Parts<T> parts;
    parts.codes = std::move(state.codes);
    parts.scales = decode<T>(state.scales);
    // Items the kind does not use are ignored, as the state format says.
    if (state.kind != Kind::Symmetric) parts.zero_points = decode<T>(state.zero_points);
    if (state.kind == Kind::Adaptive) parts.widths = std::move(state.block_bits);
    Quantized<T> q = record_of(std::move(parts), {state.kind, state.bits, state.block}, state.len);
    // States that break the tensor's invariants are refused here, so that no
    // operation ever meets an inconsistent record.
    if (!q.keeps_invariants()) malformed();
    return QuantizedInner(std::in_place_type<Quantized<T>>, std::move(q));
}

template <class T>
PyObject* state_of(const Quantized<T>& q, int scale_index) {
    const bool adaptive = q.kind == Kind::Adaptive;
    const Bytes& codes = q.code_bytes();
    Ref widths = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(q.block_bits.size())));
    for (size_t i = 0; i < q.block_bits.size(); ++i)
        PyTuple_SetItem(widths.get(), static_cast<Py_ssize_t>(i),
                        Ref::check(PyLong_FromUnsignedLong(q.block_bits[i])).release());
    Ref codes_obj = Ref::check(
        fresh_bytes(codes.size(), [&](uint8_t* p) { if (!codes.empty()) std::memcpy(p, codes.data(), codes.size()); }));
    Ref scales_obj = Ref::check(encode(q.scales));
    Ref zps_obj = Ref::check(encode(q.zero_points));
    return Ref::check(Py_BuildValue("(isOKKOkOOO)", kVersion, kind_name(q.kind), scale_member(scale_index),
                                    static_cast<unsigned long long>(q.block), static_cast<unsigned long long>(q.len),
                                    codes_obj.get(),
                                    static_cast<unsigned long>(adaptive ? 0 : q.packed.bits), widths.get(),
                                    scales_obj.get(), zps_obj.get()))
        .release();
}

}  // namespace

PyObject* pickle_state(const QuantizedInner& inner) {
    const int index = static_cast<int>(inner.index());
    return std::visit([&](const auto& q) { return state_of(q, index); }, inner);
}

QuantizedInner from_pickle(PyObject* state) {
    if (!PyTuple_Check(state) || PyTuple_Size(state) != 10) malformed();
    auto item = [&](Py_ssize_t i) { return PyTuple_GetItem(state, i); };
    if (to_i32(item(0)) != kVersion) malformed();
    const std::optional<Kind> kind = kind_named(utf8(to_str(item(1))));
    if (!kind) malformed();
    State parsed{};
    parsed.kind = *kind;
    const int scale = scale_index(item(2));
    if (scale < 0) malformed();
    parsed.block = to_usize(item(3));
    parsed.len = to_usize(item(4));
    parsed.codes = ByteItem(item(5)).copy();
    parsed.bits = to_u32(item(6));
    parsed.block_bits = sequence_of<uint32_t>(item(7), to_u32);
    const ByteItem scales(item(8)), zero_points(item(9));
    parsed.scales = scales.bytes();
    parsed.zero_points = zero_points.bytes();
    return with_scale_type(scale, [&]<class T>(std::type_identity<T>) { return rebuild<T>(std::move(parsed)); });
}

PyObject* quantized_getstate(PyObject* self, PyObject*) {
    return guarded([&] {
        ReadBorrow borrow(self);
        return pickle_state(borrow.inner());
    });
}

PyObject* quantized_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        Ref fn = Ref::check(PyObject_GetAttrString(self, "_from_pickle"));
        ReadBorrow borrow(self);
        Ref state = Ref::check(pickle_state(borrow.inner()));
        return Ref::check(Py_BuildValue("(O(O))", fn.get(), state.get())).release();
    });
}

PyObject* quantized_from_pickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return wrap(from_pickle(bind(kQuantizedFromPickle, args, nargs, kwnames)[0]));
    });
}

}  // namespace velmar::py
