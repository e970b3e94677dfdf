#include <gtest/gtest.h>

#include "platform/SysUtils.h"
#include "platform/Variants.h"

namespace {

TEST(Format, FillsSlotsInOrder) {
  EXPECT_EQ(Format("Cannot assign a %s to a %s", "TA", std::string("TB")), "Cannot assign a TA to a TB");
  EXPECT_EQ(Format("%d%% of %s", 50, "x"), "50% of x");
  EXPECT_EQ(Format("missing %s and %s", "one"), "missing one and ");
}

TEST(StrToInt, StrictForms) {
  struct Case {
    const char* text;
    bool ok;
    std::int32_t value;
  };
  const Case cases[] = {
      {"80", true, 80},
      {" 42 ", true, 42},
      {"-7", true, -7},
      {"+7", true, 7},
      {"$FF", true, 255},
      {"0x10", true, 16},
      {"2147483647", true, 2147483647},
      {"2147483648", false, 0},
      {"80a", false, 0},
      {"", false, 0},
      {"1.5", false, 0},
      {"-", false, 0},
      {"--1", false, 0},
  };
  for (const auto& c : cases) {
    std::int32_t v = 0;
    EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  try {
    StrToInt("80a");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'80a' is not a valid integer value");
  }
}

TEST(StrToFloat, PointOnly) {
  double v = 0;
  EXPECT_TRUE(TryStrToFloat("0.5", v));
  EXPECT_EQ(v, 0.5);
  EXPECT_TRUE(TryStrToFloat("+1e3", v));
  EXPECT_EQ(v, 1000);
  EXPECT_FALSE(TryStrToFloat("0,5", v));
  EXPECT_FALSE(TryStrToFloat("+-1", v));
  EXPECT_FALSE(TryStrToFloat("", v));
}

TEST(TextHelpers, CaseAndTrim) {
  EXPECT_TRUE(SameText("Content-Type", "content-TYPE"));
  EXPECT_FALSE(SameText("a", "ab"));
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
  EXPECT_TRUE(StartsText("HTTP/", "http/1.1"));
  EXPECT_TRUE(EndsText(".JSON", "x.json"));
  EXPECT_EQ(UpperCase("\xc3\xa9z"), "\xc3\xa9Z");  // bytes above 127 untouched
}

TEST(Variants, ConversionsAndTextForm) {
  EXPECT_EQ(Variant(std::int32_t{-3}).AsString(), "-3");
  EXPECT_EQ(Variant(2.5).AsString(), "2.5");
  EXPECT_EQ(Variant(true).AsString(), "true");
  EXPECT_EQ(Variant().AsString(), "");
  EXPECT_EQ(Variant("12").AsInteger(), 12);
  EXPECT_EQ(Variant("2.5").AsInteger(), 2);  // half to even
  EXPECT_EQ(Variant("3.5").AsInteger(), 4);
  EXPECT_EQ(Variant("9007199254740993").AsInt64(), 9007199254740993);
  EXPECT_THROW(Variant("abc").AsInteger(), EConvertError);
  EXPECT_THROW(Variant("3000000000").AsInteger(), EConvertError);
  EXPECT_TRUE(Variant("TRUE").AsBoolean());
  EXPECT_DOUBLE_EQ(Variant("0.25").AsDouble(), 0.25);
}

}  // namespace
