// Conversion between 32-bit value slots and OPC UA variants.
//
// Writing: the bound value type picks the variant type (BOOL → Boolean,
// unsigned 8/16/32-bit → Byte/UInt16/UInt32, signed → SByte/Int16/Int32,
// REAL → Float, LREAL → Double widened from the slot's float).
//
// Reading: the variant's own type gives a number, which is converted to the
// bound type by value, so a node read with a type other than the one it was
// bound with still shows its value, not its bits reinterpreted.
#pragma once

#include <open62541/types.h>

#include <cstdint>

namespace kvt::plc::opcua {

// Scalar storage for one written value; a variant points into it.
union scalar_storage {
  UA_Boolean boolean;
  UA_Byte u8;
  UA_SByte s8;
  UA_UInt16 u16;
  UA_Int16 s16;
  UA_UInt32 u32;
  UA_Int32 s32;
  UA_Float f32;
  UA_Double f64;
};

// Whether a value type code can be exchanged (1 to 9).
bool supported_type(std::uint32_t type) noexcept;

// Fills `storage` from the slot and points `variant` at it as a scalar of
// the bound type; the variant does not own the storage. Returns false for
// an unsupported type (the variant is then left empty).
bool encode_slot(std::uint32_t type, std::int32_t slot, scalar_storage& storage, UA_Variant& variant) noexcept;

// A number read from a node, before it is fitted into a slot.
struct staged_value {
  enum class kind : std::uint8_t { none, integer, real };
  kind what = kind::none;
  std::int64_t integer = 0;
  double real = 0;
};

// The number a scalar variant holds: Boolean and the integer types as an
// integer (UInt64 keeps its low 64 bits), Float and Double as a real.
// Arrays, empty variants and other types give `kind::none`.
staged_value stage_variant(const UA_Variant& variant) noexcept;

// The slot after storing `value` for a signal of `type`: BOOL stores 0 or 1
// in the low byte, 8- and 16-bit types replace only their low bytes, 32-bit
// types fill the slot, REAL and LREAL store a single-precision float.
// Integers wrap to the bound width; reals are truncated toward zero and
// saturated to the bound range (NaN gives 0). `kind::none` or an
// unsupported type leaves the slot as it is.
std::int32_t store_value(std::uint32_t type, const staged_value& value, std::int32_t slot) noexcept;

}  // namespace kvt::plc::opcua
