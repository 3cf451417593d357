#pragma once
// The scheme record, the shared quantizing frame, and the Scheme class.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "quantized/inner.hpp"

namespace velmar::py {

struct SchemeSpec {
    enum class Tag : uint8_t { Symmetric = 0, Asymmetric = 1, Adaptive = 2 };
    Tag tag = Tag::Symmetric;
    uint32_t bits = 8;
    size_t block = 32;
    float tolerance = 0.0f;
};

// The record of a bits/block scheme from its (possibly omitted) parameters,
// converted in signature order with their defaults 8 and 32.
SchemeSpec bits_block_spec(SchemeSpec::Tag tag, PyObject* bits, PyObject* block);
// The adaptive record from block (default 32) and tolerance (default 0.001).
SchemeSpec adaptive_spec(PyObject* block, PyObject* tolerance);

// Runs one of the nine core quantizers; touches no Python object.
Result<QuantizedInner> from_scheme(const SchemeSpec& spec, std::span<const float> values, int scale_index);

// Converts values, releases the lock around from_scheme, wraps the result.
// A record with block == 0 and tag != Adaptive built by the *_tensor
// functions never reaches here: they compute the block from the values.
PyObject* quantize_values(PyObject* values, int scale_index, const SchemeSpec& spec, bool whole_tensor = false);

PyTypeObject* scheme_type();

}  // namespace velmar::py
