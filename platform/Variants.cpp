#include "platform/Variants.h"

#include <cmath>
#include <limits>

#include "platform/SysUtils.h"

namespace {
constexpr const char* kVariantConvert = "Could not convert variant of type (%s) into type (%s)";
const char* TypeName(TVarType t) {
  switch (t) {
    case TVarType::varEmpty:
      return "Empty";
    case TVarType::varString:
      return "String";
    case TVarType::varInteger:
      return "Integer";
    case TVarType::varInt64:
      return "Int64";
    case TVarType::varDouble:
      return "Double";
    case TVarType::varBoolean:
      return "Boolean";
  }
  return "Unknown";
}
}  // namespace

std::string Variant::AsString() const {
  switch (VarType()) {
    case TVarType::varEmpty:
      return std::string();
    case TVarType::varString:
      return std::get<std::string>(FValue);
    case TVarType::varInteger:
      return std::to_string(std::get<std::int32_t>(FValue));
    case TVarType::varInt64:
      return std::to_string(std::get<std::int64_t>(FValue));
    case TVarType::varDouble:
      return FloatToStr(std::get<double>(FValue));
    case TVarType::varBoolean:
      return std::get<bool>(FValue) ? "true" : "false";
  }
  return std::string();
}

double Variant::AsDouble() const {
  switch (VarType()) {
    case TVarType::varEmpty:
      return 0;
    case TVarType::varString: {
      double v = 0;
      if (!TryStrToFloat(std::get<std::string>(FValue), v))
        throw EConvertError(Format(kVariantConvert, "String", "Double"));
      return v;
    }
    case TVarType::varInteger:
      return std::get<std::int32_t>(FValue);
    case TVarType::varInt64:
      return static_cast<double>(std::get<std::int64_t>(FValue));
    case TVarType::varDouble:
      return std::get<double>(FValue);
    case TVarType::varBoolean:
      return std::get<bool>(FValue) ? -1 : 0;
  }
  return 0;
}

std::int64_t Variant::AsInt64() const {
  switch (VarType()) {
    case TVarType::varInteger:
      return std::get<std::int32_t>(FValue);
    case TVarType::varInt64:
      return std::get<std::int64_t>(FValue);
    case TVarType::varString: {
      std::int64_t i = 0;
      if (TryStrToInt64(std::get<std::string>(FValue), i)) return i;
      break;
    }
    default:
      break;
  }
  const double d = AsDouble();
  const double r = std::nearbyint(d);  // banker's rounding in the default mode
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0))
    throw EConvertError(Format(kVariantConvert, TypeName(VarType()), "Int64"));
  return static_cast<std::int64_t>(r);
}

std::int32_t Variant::AsInteger() const {
  const std::int64_t v = AsInt64();
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    throw EConvertError(Format(kVariantConvert, TypeName(VarType()), "Integer"));
  return static_cast<std::int32_t>(v);
}

bool Variant::AsBoolean() const {
  switch (VarType()) {
    case TVarType::varBoolean:
      return std::get<bool>(FValue);
    case TVarType::varString: {
      const std::string& s = std::get<std::string>(FValue);
      if (SameText(s, "true")) return true;
      if (SameText(s, "false")) return false;
      double d = 0;
      if (TryStrToFloat(s, d)) return d != 0;
      throw EConvertError(Format(kVariantConvert, "String", "Boolean"));
    }
    default:
      return AsDouble() != 0;
  }
}
