#include "tools/sandbox/sandbox_json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sandbox::json {

namespace {

constexpr int kMaxDepth = 64;

class Reader {
public:
  explicit Reader(std::string_view aText) : s(aText) {}

  bool Document(Value& v) {
    Skip();
    if (!Parse(v, 0)) return false;
    Skip();
    if (p != s.size()) return Fail("text after the value");
    return true;
  }
  std::string Error;

private:
  bool Fail(const char* aWhy) {
    if (Error.empty()) Error = std::string(aWhy) + " at offset " + std::to_string(p);
    return false;
  }
  void Skip() {
    while (p < s.size() && (s[p] == ' ' || s[p] == '\t' || s[p] == '\n' || s[p] == '\r')) ++p;
  }
  bool Literal(std::string_view aWord) {
    if (s.substr(p, aWord.size()) != aWord) return Fail("unknown literal");
    p += aWord.size();
    return true;
  }
  bool Parse(Value& v, int depth) {
    if (depth > kMaxDepth) return Fail("nesting too deep");
    if (p >= s.size()) return Fail("unexpected end");
    switch (s[p]) {
      case '{':
        return ParseObject(v, depth);
      case '[':
        return ParseArray(v, depth);
      case '"':
        v.Type = Kind::String;
        return ParseString(v.Text);
      case 't':
        v.Type = Kind::Bool;
        v.Bool = true;
        return Literal("true");
      case 'f':
        v.Type = Kind::Bool;
        return Literal("false");
      case 'n':
        v.Type = Kind::Null;
        return Literal("null");
      default:
        return ParseNumber(v);
    }
  }
  bool ParseObject(Value& v, int depth) {
    v.Type = Kind::Object;
    ++p;
    Skip();
    if (p < s.size() && s[p] == '}') return ++p, true;
    for (;;) {
      Skip();
      if (p >= s.size() || s[p] != '"') return Fail("member name expected");
      std::string name;
      if (!ParseString(name)) return false;
      Skip();
      if (p >= s.size() || s[p] != ':') return Fail("':' expected");
      ++p;
      Skip();
      Value member;
      if (!Parse(member, depth + 1)) return false;
      v.Members.emplace_back(std::move(name), std::move(member));
      Skip();
      if (p < s.size() && s[p] == ',') {
        ++p;
        continue;
      }
      if (p < s.size() && s[p] == '}') return ++p, true;
      return Fail("',' or '}' expected");
    }
  }
  bool ParseArray(Value& v, int depth) {
    v.Type = Kind::Array;
    ++p;
    Skip();
    if (p < s.size() && s[p] == ']') return ++p, true;
    for (;;) {
      Skip();
      Value item;
      if (!Parse(item, depth + 1)) return false;
      v.Items.push_back(std::move(item));
      Skip();
      if (p < s.size() && s[p] == ',') {
        ++p;
        continue;
      }
      if (p < s.size() && s[p] == ']') return ++p, true;
      return Fail("',' or ']' expected");
    }
  }
  static void PutUTF8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(unsigned& cp) {
    if (s.size() - p < 4) return Fail("short \\u escape");
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s[p++];
      cp <<= 4;
      if (c >= '0' && c <= '9')
        cp |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        cp |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        cp |= static_cast<unsigned>(c - 'A' + 10);
      else
        return Fail("bad \\u escape");
    }
    return true;
  }
  bool ParseString(std::string& out) {
    ++p;  // the opening quote
    while (p < s.size()) {
      const unsigned char c = static_cast<unsigned char>(s[p]);
      if (c == '"') return ++p, true;
      if (c < 0x20) return Fail("control character in string");
      if (c != '\\') {
        out += static_cast<char>(c);
        ++p;
        continue;
      }
      if (++p >= s.size()) break;
      const char e = s[p++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            unsigned low = 0;
            if (s.substr(p, 2) != "\\u") return Fail("lone surrogate");
            p += 2;
            if (!Hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("lone surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return Fail("lone surrogate");
          }
          PutUTF8(out, cp);
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
    return Fail("unterminated string");
  }
  bool ParseNumber(Value& v) {
    const std::size_t start = p;
    auto digits = [&] {
      const std::size_t from = p;
      while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
      return p > from;
    };
    if (p < s.size() && s[p] == '-') ++p;
    if (p < s.size() && s[p] == '0') {
      ++p;
    } else if (!digits()) {
      return Fail("value expected");
    }
    if (p < s.size() && s[p] == '.') {
      ++p;
      if (!digits()) return Fail("digits expected after '.'");
    }
    if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
      ++p;
      if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
      if (!digits()) return Fail("digits expected in exponent");
    }
    v.Type = Kind::Number;
    v.Text = std::string(s.substr(start, p - start));
    v.Number = std::strtod(v.Text.c_str(), nullptr);
    return true;
  }

  std::string_view s;
  std::size_t p = 0;
};

}  // namespace

const Value* Value::Find(std::string_view aName) const {
  const Value* found = nullptr;
  for (const auto& [name, value] : Members)
    if (name == aName) found = &value;
  return found;
}

bool Parse(std::string_view aText, Value& aOut, std::string& aError) {
  Reader r(aText);
  aOut = Value();
  if (r.Document(aOut)) return true;
  aError = r.Error;
  return false;
}

std::string Quote(std::string_view aText) {
  std::string out = "\"";
  for (const char ch : aText) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string Number(double aValue) {
  if (!std::isfinite(aValue)) return "null";
  if (aValue == std::trunc(aValue) && std::fabs(aValue) < 1e15) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", aValue);
    return buf;
  }
  char buf[40];
  for (int precision = 6; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, aValue);
    if (std::strtod(buf, nullptr) == aValue) break;
  }
  return buf;
}

void Object::Name(std::string_view aName) {
  if (!FBody.empty()) FBody += ',';
  FBody += Quote(aName);
  FBody += ':';
}
Object& Object::Str(std::string_view aName, std::string_view aValue) {
  Name(aName);
  FBody += Quote(aValue);
  return *this;
}
Object& Object::Num(std::string_view aName, double aValue) {
  Name(aName);
  FBody += Number(aValue);
  return *this;
}
Object& Object::Int(std::string_view aName, long long aValue) {
  Name(aName);
  FBody += std::to_string(aValue);
  return *this;
}
Object& Object::Boolean(std::string_view aName, bool aValue) {
  Name(aName);
  FBody += aValue ? "true" : "false";
  return *this;
}
Object& Object::Raw(std::string_view aName, std::string_view aJSON) {
  Name(aName);
  FBody += aJSON;
  return *this;
}

std::string Array(const std::vector<std::string>& aItems) {
  std::string out = "[";
  for (std::size_t i = 0; i < aItems.size(); ++i) {
    if (i) out += ',';
    out += aItems[i];
  }
  return out + "]";
}

}  // namespace sandbox::json
