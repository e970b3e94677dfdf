// The sandbox's own strict JSON: the service answers malformed bodies with
// 400, so it needs a reader that says whether a text is JSON at all (the
// library's reader never fails by design), and a writer that escapes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sandbox::json {

enum class Kind { Null, Bool, Number, String, Array, Object };

struct Value {
  Kind Type = Kind::Null;
  bool Bool = false;
  double Number = 0;
  std::string Text;  // a string's value, or a number as written
  std::vector<Value> Items;
  std::vector<std::pair<std::string, Value>> Members;

  // The member of that name (the last one when repeated); null when absent
  // or when this is no object.
  const Value* Find(std::string_view aName) const;
  bool IsString() const { return Type == Kind::String; }
  bool IsNumber() const { return Type == Kind::Number; }
};

// Parses a whole text strictly (RFC 8259, nesting at most 64 deep). False
// with a short reason on any error.
bool Parse(std::string_view aText, Value& aOut, std::string& aError);

// aText as a JSON string, quotes included.
std::string Quote(std::string_view aText);
// A number in the shortest form that reads back the same; integers without
// a fraction.
std::string Number(double aValue);

// Builds one object member by member, in order.
class Object {
public:
  Object& Str(std::string_view aName, std::string_view aValue);
  Object& Num(std::string_view aName, double aValue);
  Object& Int(std::string_view aName, long long aValue);
  Object& Boolean(std::string_view aName, bool aValue);
  // aJSON is put in as it stands (an object or array built elsewhere).
  Object& Raw(std::string_view aName, std::string_view aJSON);
  std::string Text() const { return "{" + FBody + "}"; }

private:
  void Name(std::string_view aName);
  std::string FBody;
};

// Joins already written values into an array.
std::string Array(const std::vector<std::string>& aItems);

}  // namespace sandbox::json
