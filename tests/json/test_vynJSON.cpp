#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "json/vynJSON.h"

namespace {

std::string RoundTrip(std::string_view text) {
  TvynJSON doc;
  doc.Read(text);
  return doc.Text();
}

struct ReadCase {
  const char* input;
  const char* written;
};

// Reading then writing: blanks outside strings go, everything else stays as
// written; what cannot be read stops the reader, keeping what it had.
const ReadCase kReadCases[] = {
    {"", "{}"},
    {"hello", "{}"},
    {"  \t\n[1,2]", "{}"},  // blanks before "[" read as an object
    {"  {\"a\" : 1 }", "{\"a\":1}"},
    {"{\"a\":1} trailing [garbage", "{\"a\":1}"},
    {"[{\"a\":1},{\"b\":2}]", "[{\"a\":1},{\"b\":2}]"},
    {"{\"a\":1,\"a\":2}", "{\"a\":1,\"a\":2}"},
    {"{\"a\":1 \"b\":2}", "{\"a\":1,\"b\":2}"},  // comma optional
    {"{\"a\":1,}", "{\"a\":1}"},                 // trailing comma
    {"[1 2 3,]", "[1,2,3]"},
    {"{,\"a\":1}", "{}"},  // comma right after "{" fails the object
    {"[,1]", "[]"},
    {"{\"s\":\"a\\\"b\\\\c\"}", "{\"s\":\"a\\\"b\\\\c\"}"},
    {"{\"u\":\"\\u00e9\\uD83D\\uDE00\"}", "{\"u\":\"\\u00e9\\uD83D\\uDE00\"}"},
    {"{\"n\":[01,+1,1e5,-0.50,1.5E-3,2e+7]}", "{\"n\":[01,+1,1e5,-0.50,1.5E-3,2e+7]}"},
    {"{\"a\":1.}", "{}"},
    {"{\"a\":.5}", "{}"},
    {"{\"a\":-}", "{}"},
    {"{\"a\":1,\"b\":1e}", "{\"a\":1}"},
    {"{\"t\":True,\"f\":FALSE,\"n\":Null}", "{\"t\":true,\"f\":false,\"n\":null}"},
    {"[truefalse null]", "[true,false,null]"},  // literals back to back are two elements
    {"[truex]", "[true]"},
    {"[tru]", "[]"},  // not a literal: the reader stops
    {"[nul1]", "[]"},
    {"{# comment\n\"a\":1 # another\n}", "{\"a\":1}"},
    {"{\"a\"#c\n:#c\n1}", "{\"a\":1}"},
    {"{\"a\":\"x#y\"}", "{\"a\":\"x#y\"}"},  // no comment inside strings
    {"{\"a\":\x0b 1}", "{}"},                // vertical tab is not a blank
    {"{\"o\":{\"p\":[1,{\"q\":[]}]},\"e\":{}}", "{\"o\":{\"p\":[1,{\"q\":[]}]},\"e\":{}}"},
    {"[[],[[]],{}]", "[[],[[]],{}]"},
    {"{\"a\":[1,2", "{\"a\":[1,2]}"},  // a cut array keeps what it read
    {"{\"a\":{\"b\":1", "{\"a\":{\"b\":1}}"},
    {"{\"a\":\"unterminated}", "{}"},
    {"{true:1,FALSE:2}", "{\"true\":1,\"FALSE\":2}"},  // bare words as keys
    {"{\"\":\"\"}", "{\"\":\"\"}"},
    {"{\"\":[1,{\"\":[]}]}", "{\"\":[1,{\"\":[]}]}"},  // nameless members keep their name
    // A backslash that ends a string before its closing quote.
    {"{\"p\":\"C:\\\\\"}", "{\"p\":\"C:\\\\\"}"},
    {"{\"p\":\"C:\\\\\" , \"q\":1}", "{\"p\":\"C:\\\\\",\"q\":1}"},
    {"{\"a\\\\\":1}", "{\"a\\\\\":1}"},
    {"{\"a\":\"\\u12\"}", "{}"},  // \u needs four more characters before the end
};

TEST(JSONRead, ReadThenWrite) {
  for (const auto& c : kReadCases) {
    EXPECT_EQ(RoundTrip(c.input), c.written) << "input: " << c.input;
  }
}

TEST(JSONRead, TopLevelArraySetsIsArray) {
  TvynJSON doc;
  doc.Read("[1]");
  EXPECT_TRUE(doc.IsArray());
  doc.Read("{\"a\":1}");
  EXPECT_FALSE(doc.IsArray());
  doc.Read(" [1]");
  EXPECT_FALSE(doc.IsArray());
  EXPECT_EQ(doc.Count(), 0);
}

TEST(JSONRead, ReadReplacesThePreviousContent) {
  TvynJSON doc;
  doc.Read("{\"a\":1,\"b\":2}");
  doc.Read("{\"c\":3}");
  EXPECT_EQ(doc.Count(), 1);
  EXPECT_FALSE(doc.GetNode("a"));
  EXPECT_EQ(doc.Text(), "{\"c\":3}");
}

TEST(JSONRead, ReadsItsOwnTextAgain) {
  // The text handed to Read may come from the document itself.
  TvynJSON doc;
  doc.Read("{\"a\":{\"b\":[1,2]}}");
  auto a = doc.GetNode("a");
  const std::string inner = a->ValueText();
  doc.Read(inner);
  EXPECT_EQ(doc.Text(), "{\"b\":[1,2]}");
}

TEST(JSONRead, NodeTypesNamesAndValues) {
  TvynJSON doc;
  doc.Read(R"({"s":"x\"y","n":-1.50,"b":TRUE,"z":null,"o":{"k":"v"},"l":[1,"two",{"t":3}]})");
  struct Expect {
    const char* name;
    TvynJSONtype type;
    const char* value;
  };
  const Expect expected[] = {
      {"s", TvynJSONtype::vynJSONString, "x\\\"y"},        {"n", TvynJSONtype::vynJSONNumber, "-1.50"},
      {"b", TvynJSONtype::vynJSONBoolean, "true"},         {"z", TvynJSONtype::vynJSONNull, "null"},
      {"o", TvynJSONtype::vynJSONObject, "{\"k\":\"v\"}"}, {"l", TvynJSONtype::vynJSONList, "[1,\"two\",{\"t\":3}]"},
  };
  ASSERT_EQ(doc.Count(), 6);
  for (const auto& e : expected) {
    auto node = doc.GetNode(e.name);
    ASSERT_TRUE(node) << e.name;
    EXPECT_EQ(node->GetJSONType(), e.type) << e.name;
    EXPECT_EQ(node->ValueText(), e.value) << e.name;
    EXPECT_EQ(node->GetName(), e.name);
  }
  auto l = doc.GetNode("l");
  EXPECT_EQ(l->GetCount(), 3);
  EXPECT_EQ(l->GetItem(1)->GetName(), "");
  EXPECT_EQ(l->GetItem(2)->GetNode("t")->ValueText(), "3");
  EXPECT_FALSE(l->GetItem(3));
}

TEST(JSONRead, LookupIsCaseSensitiveAndFindsTheFirst) {
  TvynJSON doc;
  doc.Read(R"({"Key":1,"key":2,"key":3})");
  EXPECT_EQ(doc.GetNode("key")->ValueText(), "2");
  EXPECT_EQ(doc.GetNode("Key")->ValueText(), "1");
  EXPECT_FALSE(doc.GetNode("KEY"));
}

TEST(JSONRead, NegativeIndexRaisesTheListError) {
  TvynJSON doc;
  doc.Read("[1]");
  EXPECT_THROW(doc.GetItem(-1), EListError);
  EXPECT_THROW(doc.SetItem(-1, doc.GetItem(0)), EListError);
  EXPECT_FALSE(doc.GetItem(1));
}

TEST(JSONRead, DeepNestingStopsAtTheLimit) {
  // Far past the limit: returns at once, keeping the levels it could read.
  const std::string deep(100000, '[');
  TvynJSON doc;
  doc.Read(deep);
  EXPECT_TRUE(doc.IsArray());
  std::string text = doc.Text();
  EXPECT_EQ(text.size(), 2u * (TvynJSON::kMaxDepth + 1));

  // Just inside the limit everything is read.
  const std::string ok = std::string(TvynJSON::kMaxDepth, '[') + std::string(TvynJSON::kMaxDepth, ']');
  doc.Read(ok);
  EXPECT_EQ(doc.Text(), ok);
}

TEST(JSONRead, BinaryAndInvalidUtf8SurviveByteForByte) {
  static const char kRaw[] = "{\"a\":\"\xff\xfe\x00\xc3(\",\"b\":1}";
  const std::string input(kRaw, sizeof kRaw - 1);
  TvynJSON doc;
  doc.Read(input);
  EXPECT_EQ(doc.Text(), input);
  EXPECT_EQ(doc.GetNode("a")->ValueText(), std::string("\xff\xfe\x00\xc3(", 5));
}

TEST(JSONRead, EscapedMultibyteCharacterIsOneCharacter) {
  // "\é" steps over the whole character, so the quote after it closes.
  EXPECT_EQ(RoundTrip("{\"a\":\"\\\xc3\xa9\"}"), "{\"a\":\"\\\xc3\xa9\"}");
}

// ---------------------------------------------------------------------------

TEST(JSONWrite, EmptyDocuments) {
  TvynJSON doc;
  EXPECT_EQ(doc.Text(), "{}");
  doc.SetIsArray(true);
  EXPECT_EQ(doc.Text(), "[]");
  doc.Clear();
  EXPECT_TRUE(doc.IsArray());  // Clear leaves the flag
}

TEST(JSONWrite, AddPairFamily) {
  TvynJSON doc;
  doc.AddPair("s", "text");
  doc.AddPair("i", 42);
  doc.AddPair("big", std::int64_t{9007199254740993});
  doc.AddPair("d", 0.5);
  doc.AddPair("t", true);
  doc.AddPair("f", false);
  doc.AddPair("z");
  doc.AddPair("raw", "{\"x\":1}");
  doc.AddPair("rawl", "[1]");
  doc.AddPair("q", "\"already quoted\"");
  doc.AddObject("o", "{\"a\":[1,2]}");
  doc.AddObject("eo", "");
  doc.AddArray("a", "[1,\"x\",{\"b\":null}]");
  doc.AddArray("ea", "");
  EXPECT_EQ(doc.Text(),
            "{\"s\":\"text\",\"i\":42,\"big\":9007199254740993,\"d\":0.5,\"t\":true,\"f\":false,\"z\":null,"
            "\"raw\":{\"x\":1},\"rawl\":[1],\"q\":\"already quoted\",\"o\":{\"a\":[1,2]},\"eo\":{},"
            "\"a\":[1,\"x\",{\"b\":null}],\"ea\":[]}");
  EXPECT_EQ(doc.GetNode("t")->GetValue(), Variant(std::string("true")));
  EXPECT_EQ(doc.GetNode("i")->GetValue(), Variant(std::int32_t{42}));
}

TEST(JSONWrite, AddPairOnAnExistingNameReplacesTheValue) {
  TvynJSON doc;
  auto first = doc.AddPair("a", 1);
  auto again = doc.AddPair("a", "two");
  EXPECT_EQ(first, again);
  EXPECT_EQ(doc.Count(), 1);
  // The node keeps its type: a number node now holding text.
  EXPECT_EQ(again->GetJSONType(), TvynJSONtype::vynJSONNumber);
  EXPECT_EQ(doc.Text(), "{\"a\":two}");
  doc.AddPair("a", true);
  EXPECT_EQ(doc.GetNode("a")->GetValue(), Variant(std::string("true")));
}

TEST(JSONWrite, DoublesUseAPointWhateverTheLocale) {
  const char* saved = std::setlocale(LC_NUMERIC, nullptr);
  const std::string restore = saved ? saved : "C";
  const bool haveComma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
  TvynJSON doc;
  doc.AddPair("d", 1234.5);
  doc.AddPair("s", 0.1);
  EXPECT_EQ(doc.Text(), "{\"d\":1234.5,\"s\":0.1}");
  std::setlocale(LC_NUMERIC, restore.c_str());
  if (!haveComma) GTEST_LOG_(INFO) << "no comma locale installed; checked under the C locale only";
}

TEST(JSONWrite, NumberTextWithACommaIsWrittenWithAPoint) {
  TvynJSON doc;
  auto n = doc.AddPair("n", 1);
  n->SetValue(Variant(std::string("1,25")));
  EXPECT_EQ(doc.Text(), "{\"n\":1.25}");
}

struct FloatCase {
  double value;
  const char* text;
};

TEST(JSONWrite, TextFormOfDoubles) {
  const FloatCase cases[] = {
      {0, "0"},
      {1, "1"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {1.0 / 3, "0.333333333333333"},
      {0.00001, "0.00001"},
      {0.000001, "1E-6"},
      {-0.0000012, "-1.2E-6"},
      {123456789012345.0, "123456789012345"},
      {1234567890123456.0, "1.23456789012346E15"},
      {1e20, "1E20"},
      {1.5e300, "1.5E300"},
      {100, "100"},
      {43210.12, "43210.12"},
  };
  for (const auto& c : cases) {
    TvynJSON doc;
    doc.SetIsArray(true);
    doc.AddPair("", c.value);
    EXPECT_EQ(doc.Text(), std::string("[") + c.text + "]") << c.value;
  }
}

TEST(JSONWrite, EscapeStrings) {
  TvynJSON doc;
  doc.SetEscapeStrings(true);
  doc.AddPair("a/b", "q\"\\/\b\t\n\f\r\x01\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(doc.Text(), "{\"a\\/b\":\"q\\\"\\\\\\/\\b\\t\\n\\f\\r\\u0001\x7f\\u00E9\\u20AC\\uD83D\\uDE00\"}");
  // Without escaping, names and values go in unchanged; a value that begins
  // with a quote is taken as quoted already.
  TvynJSON plain;
  plain.AddPair("a/b", "\"x\n");
  plain.AddPair("c", "y\"");
  EXPECT_EQ(plain.Text(), "{\"a/b\":\"x\n,\"c\":\"y\"\"}");
  // The value of an existing name is stored unescaped.
  doc.Clear();
  doc.AddPair("k", "1");
  doc.AddPair("k", "a/b");
  EXPECT_EQ(doc.Text(), "{\"k\":\"a/b\"}");
}

TEST(JSONWrite, ArrayNodesAndValues) {
  TvynJSON doc;
  doc.Read(R"({"l":[1,{"a":2}],"o":{"x":[3]}})");
  EXPECT_EQ(doc.GetNode("l")->ValueText(), "[1,{\"a\":2}]");
  EXPECT_EQ(doc.GetNode("o")->ValueText(), "{\"x\":[3]}");
  // Elements of an array are written without names.
  auto l = doc.GetNode("l");
  l->GetJSONObject()->AddPair("named", 5);
  EXPECT_EQ(doc.Text(), "{\"l\":[1,{\"a\":2},5],\"o\":{\"x\":[3]}}");
}

TEST(JSONWrite, NodesMovedIntoAnArrayLoseTheirNames) {
  TvynJSON source;
  source.Read(R"({"a":[1],"b":{"c":2},"d":"s"})");
  TvynJSON target;
  target.Read("[0,0,0]");
  for (int i = 0; i < 3; ++i) target.SetItem(i, source.GetItem(i));
  EXPECT_EQ(target.Text(), R"([[1],{"c":2},"s"])");
}

TEST(JSONWrite, UndefinedNodesWriteNothing) {
  // Wherever a node without a type stands, the text stays JSON.
  TvynJSON doc;
  doc.AddPair("u0", 0)->SetJSONType(TvynJSONtype::vynJSONUndefined);
  doc.AddPair("a", 1);
  doc.AddPair("b", 2)->SetJSONType(TvynJSONtype::vynJSONUndefined);
  doc.AddPair("c", 3);
  doc.AddPair("d", 4)->SetJSONType(TvynJSONtype::vynJSONUndefined);
  EXPECT_EQ(doc.Text(), "{\"a\":1,\"c\":3}");
  auto l = doc.AddArray("l", "[1,2,3]");
  l->GetItem(2)->SetJSONType(TvynJSONtype::vynJSONUndefined);
  l->GetItem(0)->SetJSONType(TvynJSONtype::vynJSONUndefined);
  EXPECT_EQ(doc.Text(), "{\"a\":1,\"c\":3,\"l\":[2]}");
}

// ---------------------------------------------------------------------------

TEST(JSONNode, ChildAccessTurnsAScalarIntoAnObject) {
  TvynJSON doc;
  doc.Read(R"({"s":"x"})");
  auto s = doc.GetNode("s");
  EXPECT_EQ(s->GetCount(), 0);  // counting creates nothing
  EXPECT_EQ(s->ValueText(), "x");
  EXPECT_FALSE(s->GetNode("missing"));
  EXPECT_EQ(s->GetJSONType(), TvynJSONtype::vynJSONObject);
  EXPECT_EQ(doc.Text(), "{\"s\":{}}");
}

TEST(JSONNode, GetJSONObjectKeepsAListAList) {
  TvynJSON doc;
  auto l = doc.AddArray("l", "");
  auto nested = l->GetJSONObject();
  nested->AddPair("", 1);
  EXPECT_EQ(l->GetJSONType(), TvynJSONtype::vynJSONList);
  EXPECT_EQ(doc.Text(), "{\"l\":[1]}");
}

TEST(JSONNode, SetNodeAndSetItemReplaceInPlace) {
  TvynJSON doc;
  doc.Read(R"({"a":1,"b":2})");
  TvynJSON other;
  other.Read(R"({"x":"new"})");
  auto x = other.GetNode("x");
  doc.SetNode("b", x);
  EXPECT_EQ(doc.Text(), "{\"a\":1,\"x\":\"new\"}");
  doc.SetNode("missing", x);  // nothing happens
  EXPECT_EQ(doc.Count(), 2);
  doc.SetItem(0, x);
  doc.SetItem(5, x);  // past the end: nothing
  EXPECT_EQ(doc.Text(), "{\"x\":\"new\",\"x\":\"new\"}");
}

TEST(JSONNode, SetNodeRefusesForeignNodes) {
  class Foreign : public IvynObjectJSON {
  public:
    std::int32_t _AddRef() override { return 1; }
    std::int32_t _Release() override { return 1; }
    TIntf<IvynJSON> GetJSONObject() override { return nullptr; }
    TvynJSONtype GetJSONType() override { return TvynJSONtype::vynJSONNull; }
    void SetJSONObject(const TIntf<IvynJSON>&) override {}
    void SetJSONType(TvynJSONtype) override {}
    TIntf<IvynObjectJSON> GetNode(std::string_view) override { return nullptr; }
    void SetNode(std::string_view, const TIntf<IvynObjectJSON>&) override {}
    TIntf<IvynObjectJSON> GetItem(std::int32_t) override { return nullptr; }
    void SetItem(std::int32_t, const TIntf<IvynObjectJSON>&) override {}
    Variant GetValue() override { return {}; }
    void SetValue(const Variant&) override {}
    std::int32_t GetCount() override { return 0; }
    std::string GetName() override { return {}; }
    void SetName(std::string_view) override {}
    void Clear() override {}
  } foreign;
  TvynJSON doc;
  doc.AddPair("a", 1);
  EXPECT_THROW(doc.SetNode("a", TIntf<IvynObjectJSON>(&foreign)), EConvertError);
  EXPECT_THROW(doc.SetItem(0, nullptr), EConvertError);
}

TEST(JSONNode, NodeClearDropsTheNestedDocument) {
  TvynJSON doc;
  doc.Read(R"({"o":{"a":1}})");
  auto o = doc.GetNode("o");
  o->Clear();
  EXPECT_EQ(o->GetCount(), 0);
  EXPECT_EQ(doc.Text(), "{\"o\":{}}");
}

// ---------------------------------------------------------------------------

TEST(JSONFactory, CreateAndReleaseWithAndWithoutOwner) {
  auto doc = TvynJSONFactory::Create();
  doc->Read("{\"a\":1}");
  auto node = doc->GetNode("a");
  TvynJSONFactory::Release(doc);
  EXPECT_FALSE(doc);
  EXPECT_EQ(node->ValueText(), "1");  // the node outlives its document

  TComponent owner;
  auto owned = TvynJSONFactory::Create(&owner);
  owned->AddPair("b", 2);
  EXPECT_EQ(owner.ComponentCount(), 1);
  TvynJSONFactory::Release(owned);
  EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST(JSONFactory, ReplaceableDocumentClass) {
  struct Counting : TvynJSON {
    using TvynJSON::TvynJSON;
  };
  int made = 0;
  TvynJSONFactory::SetDocumentClass([&](TComponent* owner) {
    ++made;
    return TComponent::Create<Counting>(owner);
  });
  auto doc = TvynJSONFactory::Create();
  TvynJSONFactory::SetDocumentClass(nullptr);
  EXPECT_EQ(made, 1);
  EXPECT_NE(dynamic_cast<Counting*>(doc.get()), nullptr);
  TvynJSONFactory::Release(doc);
}

}  // namespace
