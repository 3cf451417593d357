#pragma once
// The scheme record, the shared quantizing frame, and the Scheme class.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "quantized/inner.hpp"
#include "scale.hpp"
#include "support/args.hpp"

namespace velmar::py {

// The scheme record a Scheme object holds and the quantizing functions build:
// the core's own, never validated until used.
using SchemeSpec = Scheme;

// The parameters every quantizing entry point shares; their defaults live here only.
inline constexpr Param kValuesParam{"values"};
inline constexpr Param kBitsParam{"bits", "8"};
inline constexpr Param kBlockParam{"block", "32"};
inline constexpr Param kToleranceParam{"tolerance", "0.001"};
inline constexpr Param kScaleParam{"scale", "...", true};

// The record of `kind`, converting bits, block and tolerance in that order;
// an omitted one (NULL) takes its default.
SchemeSpec scheme_spec(Kind kind, PyObject* bits, PyObject* block, PyObject* tolerance);

// The same from the arguments sig bound; parameters sig lacks count as omitted.
template <size_t N>
SchemeSpec scheme_spec(Kind kind, const Signature<N>& sig, const std::array<PyObject*, N>& a) {
    auto arg = [&](const char* name) { return sig.slot(name) < N ? a[sig.slot(name)] : nullptr; };
    return scheme_spec(kind, arg("bits"), arg("block"), arg("tolerance"));
}

// Runs one of the nine core quantizers; touches no Python object.
Result<QuantizedInner> from_scheme(const SchemeSpec& spec, std::span<const float> values, int scale_index);

// Converts values, releases the lock around from_scheme, wraps the result.
// whole_tensor makes the block the length of the values (at least 1).
PyObject* quantize_values(PyObject* values, int scale_index, const SchemeSpec& spec, bool whole_tensor = false);

// The tail every quantizing entry point shares: scale, then values.
template <size_t N>
PyObject* quantize_bound(const Signature<N>& sig, const std::array<PyObject*, N>& a, const SchemeSpec& spec,
                         bool whole_tensor = false) {
    const int scale = arg_scale(a[sig.slot("scale")], "scale");
    return quantize_values(a[sig.slot("values")], scale, spec, whole_tensor);
}

PyTypeObject* scheme_type();

}  // namespace velmar::py
