// A small variant: the values a JSON node or a property may hold.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

enum class TVarType : std::uint8_t { varEmpty, varString, varInteger, varInt64, varDouble, varBoolean };

class Variant {
public:
  Variant() = default;
  Variant(std::string v) : FValue(std::move(v)) {}
  Variant(const char* v) : FValue(std::string(v)) {}
  Variant(std::int32_t v) : FValue(v) {}
  Variant(std::int64_t v) : FValue(v) {}
  Variant(double v) : FValue(v) {}
  Variant(bool v) : FValue(v) {}

  TVarType VarType() const { return static_cast<TVarType>(FValue.index()); }
  bool IsEmpty() const { return FValue.index() == 0; }

  // Text form: text unchanged, integers in decimal, doubles in the general
  // 15-digit format with ".", booleans "true"/"false", empty as "".
  std::string AsString() const;
  // Numeric forms; text is parsed (EConvertError when it is not a number).
  // Integers from a fraction round half to even.
  std::int32_t AsInteger() const;
  std::int64_t AsInt64() const;
  double AsDouble() const;
  bool AsBoolean() const;

  friend bool operator==(const Variant& a, const Variant& b) { return a.FValue == b.FValue; }

private:
  std::variant<std::monostate, std::string, std::int32_t, std::int64_t, double, bool> FValue;
};
