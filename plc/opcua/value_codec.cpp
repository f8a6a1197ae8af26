#include "plc/opcua/value_codec.hpp"

#include <cmath>
#include <limits>

#include "plc/value_type.hpp"

namespace kvt::plc::opcua {

namespace {

namespace vt = plc::value_type;

template <class T>
void set_scalar(UA_Variant& variant, T* data, int type_index) noexcept {
  UA_Variant_init(&variant);
  variant.type = &UA_TYPES[type_index];
  variant.data = data;
  variant.storageType = UA_VARIANT_DATA_NODELETE;
}

template <class T>
T saturate(double d) noexcept {
  if (std::isnan(d)) return 0;
  d = std::trunc(d);
  if (d <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (d >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(d);
}

// The value as an integer of type T: integers wrap, reals saturate.
template <class T>
T as_integer(const staged_value& v) noexcept {
  if (v.what == staged_value::kind::real) return saturate<T>(v.real);
  return static_cast<T>(static_cast<std::uint64_t>(v.integer));
}

float as_float(const staged_value& v) noexcept {
  return v.what == staged_value::kind::real ? static_cast<float>(v.real) : static_cast<float>(v.integer);
}

std::int32_t with_low_bytes(std::int32_t slot, std::uint32_t bits, std::uint32_t mask) noexcept {
  const auto s = static_cast<std::uint32_t>(slot);
  return static_cast<std::int32_t>((s & ~mask) | (bits & mask));
}

}  // namespace

bool supported_type(std::uint32_t type) noexcept { return type >= vt::boolean && type <= vt::lreal; }

bool encode_slot(std::uint32_t type, std::int32_t slot, scalar_storage& storage, UA_Variant& variant) noexcept {
  const auto bits = static_cast<std::uint32_t>(slot);
  switch (type) {
    case vt::boolean:
      // Any non-zero low byte is true; a Boolean on the wire is 0 or 1.
      storage.boolean = (bits & 0xFFu) != 0;
      set_scalar(variant, &storage.boolean, UA_TYPES_BOOLEAN);
      return true;
    case vt::u8:
      storage.u8 = static_cast<UA_Byte>(bits);
      set_scalar(variant, &storage.u8, UA_TYPES_BYTE);
      return true;
    case vt::u16:
      storage.u16 = static_cast<UA_UInt16>(bits);
      set_scalar(variant, &storage.u16, UA_TYPES_UINT16);
      return true;
    case vt::u32:
      storage.u32 = bits;
      set_scalar(variant, &storage.u32, UA_TYPES_UINT32);
      return true;
    case vt::s8:
      storage.s8 = static_cast<UA_SByte>(static_cast<std::uint8_t>(bits));
      set_scalar(variant, &storage.s8, UA_TYPES_SBYTE);
      return true;
    case vt::s16:
      storage.s16 = static_cast<UA_Int16>(static_cast<std::uint16_t>(bits));
      set_scalar(variant, &storage.s16, UA_TYPES_INT16);
      return true;
    case vt::s32:
      storage.s32 = slot;
      set_scalar(variant, &storage.s32, UA_TYPES_INT32);
      return true;
    case vt::real:
      storage.f32 = slot_to_float(slot);
      set_scalar(variant, &storage.f32, UA_TYPES_FLOAT);
      return true;
    case vt::lreal:
      storage.f64 = static_cast<double>(slot_to_float(slot));
      set_scalar(variant, &storage.f64, UA_TYPES_DOUBLE);
      return true;
    default:
      UA_Variant_init(&variant);
      return false;
  }
}

staged_value stage_variant(const UA_Variant& variant) noexcept {
  staged_value v;
  if (variant.type == nullptr || variant.data == nullptr || !UA_Variant_isScalar(&variant)) return v;
  const void* d = variant.data;
  const auto integer = [&](std::int64_t i) {
    v.what = staged_value::kind::integer;
    v.integer = i;
  };
  const auto real = [&](double r) {
    v.what = staged_value::kind::real;
    v.real = r;
  };
  switch (variant.type->typeKind) {
    case UA_DATATYPEKIND_BOOLEAN: integer(*static_cast<const UA_Boolean*>(d) ? 1 : 0); break;
    case UA_DATATYPEKIND_SBYTE: integer(*static_cast<const UA_SByte*>(d)); break;
    case UA_DATATYPEKIND_BYTE: integer(*static_cast<const UA_Byte*>(d)); break;
    case UA_DATATYPEKIND_INT16: integer(*static_cast<const UA_Int16*>(d)); break;
    case UA_DATATYPEKIND_UINT16: integer(*static_cast<const UA_UInt16*>(d)); break;
    case UA_DATATYPEKIND_INT32: integer(*static_cast<const UA_Int32*>(d)); break;
    case UA_DATATYPEKIND_UINT32: integer(*static_cast<const UA_UInt32*>(d)); break;
    case UA_DATATYPEKIND_INT64: integer(*static_cast<const UA_Int64*>(d)); break;
    case UA_DATATYPEKIND_UINT64: integer(static_cast<std::int64_t>(*static_cast<const UA_UInt64*>(d))); break;
    case UA_DATATYPEKIND_FLOAT: real(*static_cast<const UA_Float*>(d)); break;
    case UA_DATATYPEKIND_DOUBLE: real(*static_cast<const UA_Double*>(d)); break;
    default: break;
  }
  return v;
}

std::int32_t store_value(std::uint32_t type, const staged_value& value, std::int32_t slot) noexcept {
  if (value.what == staged_value::kind::none) return slot;
  switch (type) {
    case vt::boolean: {
      const bool on = value.what == staged_value::kind::real ? value.real != 0.0 : value.integer != 0;
      return with_low_bytes(slot, on ? 1u : 0u, 0xFFu);
    }
    case vt::u8: return with_low_bytes(slot, as_integer<std::uint8_t>(value), 0xFFu);
    case vt::s8: return with_low_bytes(slot, static_cast<std::uint8_t>(as_integer<std::int8_t>(value)), 0xFFu);
    case vt::u16: return with_low_bytes(slot, as_integer<std::uint16_t>(value), 0xFFFFu);
    case vt::s16: return with_low_bytes(slot, static_cast<std::uint16_t>(as_integer<std::int16_t>(value)), 0xFFFFu);
    case vt::u32: return static_cast<std::int32_t>(as_integer<std::uint32_t>(value));
    case vt::s32: return as_integer<std::int32_t>(value);
    case vt::real:
    case vt::lreal: return float_to_slot(as_float(value));
    default: return slot;
  }
}

}  // namespace kvt::plc::opcua
