#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/DateUtils.h"
#include "transport/vynIdHeaderList.h"

namespace {

std::vector<std::string> Lines(const TIdHeaderList& aList) { return {aList.begin(), aList.end()}; }

class HeaderList : public ::testing::Test {
protected:
  TIdHeaderList H{TIdHeaderQuotingType::QuoteHTTP};
};

TEST_F(HeaderList, FoldedValueIsJoinedAndReplacedWithItsContinuation) {
  H.Add("X-A: 1");
  H.Add(" 2");
  H.Add("X-B: 3");
  EXPECT_EQ(H.Values("X-A"), "1 2");
  H.SetValue("X-A", "9");
  EXPECT_EQ(Lines(H), (std::vector<std::string>{"X-A: 9", "X-B: 3"}));
  H.Add("X-C: a");
  H.Add("\tb");
  H.SetValue("x-c", "");
  EXPECT_EQ(Lines(H), (std::vector<std::string>{"X-A: 9", "X-B: 3"}));
}

TEST_F(HeaderList, LookupIgnoresCaseAndSkipsContinuationLines) {
  H.Add("Content-Length: 12");
  H.Add("X-Note: see");
  H.Add(" Host: evil");  // part of X-Note, not a header of its own
  EXPECT_EQ(H.Values("content-length"), "12");
  EXPECT_EQ(H.IndexOfName("CONTENT-LENGTH"), 0);
  EXPECT_EQ(H.IndexOfName("Host"), -1);
  EXPECT_EQ(H.Values("Missing"), "");
  EXPECT_EQ(H.Names(0), "Content-Length");
  H.Add("NoColonHere");
  EXPECT_EQ(H.Names(3), "");
  EXPECT_EQ(H.IndexOfName("NoColonHere"), -1);
  // Blanks before the colon belong to no name; a longer name that starts
  // the same is another header.
  H.Add("Hostname: other");
  H.Add("Host \t: h");
  EXPECT_EQ(H.IndexOfName("host"), 5);
  EXPECT_EQ(H.Values("Host"), "h");
  EXPECT_EQ(H.Values("Hostnam"), "");
  // Set in place; blanks at the end of a value are not kept.
  H.SetValue("HOST", "new  ");
  EXPECT_EQ(H.Strings(5), "HOST: new");
}

TEST_F(HeaderList, SetValueKeepsPositionAndAppendsNewNames) {
  H.AddValue("A", "1");
  H.AddValue("B", "2");
  H.AddValue("C", "3");
  H.SetValue("b", "two");
  H.SetValue("D", "4");
  EXPECT_EQ(Lines(H), (std::vector<std::string>{"A: 1", "b: two", "C: 3", "D: 4"}));
  H.AddValue("", "x");
  H.AddValue("E", "");
  EXPECT_EQ(H.Count(), 4);
}

// A line break inside a value must never start a header of its own, nor end
// the header block with an empty line.
TEST_F(HeaderList, LineBreaksInValuesCannotInjectHeaders) {
  const std::string attacks[] = {"ok\r\nSet-Cookie: x=1", "ok\nSet-Cookie: x=1", "ok\rSet-Cookie: x=1",
                                 "ok\r\n\r\nSet-Cookie: x=1"};
  for (const auto& value : attacks) {
    for (int viaSet = 0; viaSet < 2; ++viaSet) {
      TIdHeaderList h(TIdHeaderQuotingType::QuoteHTTP);
      if (viaSet)
        h.SetValue("X-A", value);
      else
        h.AddValue("X-A", value);
      EXPECT_EQ(h.IndexOfName("Set-Cookie"), -1) << value;
      for (const std::string& line : h) {
        EXPECT_FALSE(line.empty());
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
      }
      EXPECT_EQ(h.Values("X-A"), "ok Set-Cookie: x=1");
    }
  }
  H.AddValue("X-Bad\r\nName", "v");
  EXPECT_EQ(Lines(H), std::vector<std::string>{"X-BadName: v"});
}

TEST_F(HeaderList, BytesAboveAsciiSurviveUnchanged) {
  const std::string utf8 = "caf\xC3\xA9 \xE2\x82\xAC";
  const std::string latin1 = "na\xEFve";
  H.AddValue("X-Text", utf8);
  H.AddValue("Content-Type", "text/plain; title=" + latin1 + "; charset=utf-8");
  EXPECT_EQ(H.Values("X-Text"), utf8);
  EXPECT_EQ(H.GetParam("Content-Type", "title"), latin1);
  H.SetParam("Content-Type", "name", "r\xC3\xA9sum\xC3\xA9");
  EXPECT_EQ(H.Values("Content-Type"), "text/plain; title=" + latin1 + "; charset=utf-8; name=r\xC3\xA9sum\xC3\xA9");
}

TEST_F(HeaderList, ParamsReadQuotedAndBareValues) {
  H.AddValue("Content-Type", "text/html; charset=\"utf-8\"");
  EXPECT_EQ(H.GetParam("Content-Type", "charset"), "utf-8");
  EXPECT_EQ(H.Params("content-type", "CHARSET"), "utf-8");
  H.SetParam("Content-Type", "charset", "");
  EXPECT_EQ(H.Values("Content-Type"), "text/html");
  // Removing a parameter that is not there leaves the header as it was.
  H.SetValue("X-P", "a ;  b=1");
  H.SetParam("X-P", "c", "");
  EXPECT_EQ(H.Values("X-P"), "a ;  b=1");

  struct Case {
    const char* Value;
    const char* Param;
    const char* Expected;
  };
  const Case cases[] = {
      {"a; b=\"x\\\"y\\\\z\"", "b", "x\"y\\z"},  // escapes inside quotes
      {"a; b=\"unterminated", "b", "unterminated"},
      {"a; b=1; c=2", "c", "2"},
      {"a; flag; c=2", "c", "2"},  // a name without "=" is skipped
      {"a; b=; c=2", "b", ""},
      {"a; b=x y; c=3", "c", "3"},
      {"a; =x; c=4", "c", "4"},
      {"a; B=5", "b", "5"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExtractHeaderSubItem(c.Value, c.Param, TIdHeaderQuotingType::QuoteHTTP), c.Expected) << c.Value;
}

TEST_F(HeaderList, SetParamQuotesWhatNeedsQuoting) {
  H.AddValue("Content-Disposition", "attachment");
  H.SetParam("Content-Disposition", "filename", "my file;\"1\".txt");
  EXPECT_EQ(H.Values("Content-Disposition"), "attachment; filename=\"my file;\\\"1\\\".txt\"");
  EXPECT_EQ(H.GetParam("Content-Disposition", "filename"), "my file;\"1\".txt");
  H.SetParam("Content-Disposition", "size", "10");
  EXPECT_EQ(H.Values("Content-Disposition"), "attachment; filename=\"my file;\\\"1\\\".txt\"; size=10");
  // A value that came quoted stays quoted.
  H.SetValue("X-Q", "m; a=\"plain\"");
  H.SetParam("X-Q", "b", "2");
  EXPECT_EQ(H.Values("X-Q"), "m; a=\"plain\"; b=2");
  // Without a main item there is nothing to hang parameters on.
  H.SetParam("X-None", "a", "1");
  EXPECT_EQ(H.IndexOfName("X-None"), -1);
}

TEST(HeaderQuoting, EachTypeHasItsSpecials) {
  struct Case {
    TIdHeaderQuotingType Type;
    const char* Value;
    const char* Expected;
  };
  const Case cases[] = {
      {TIdHeaderQuotingType::QuotePlain, "a/b c", "\"a/b c\""},  // blank is a control for every type
      {TIdHeaderQuotingType::QuotePlain, "a/b", "a/b"},
      {TIdHeaderQuotingType::QuoteRFC822, "a.b", "\"a.b\""},
      {TIdHeaderQuotingType::QuoteMIME, "a.b", "a.b"},
      {TIdHeaderQuotingType::QuoteMIME, "a=b", "\"a=b\""},
      {TIdHeaderQuotingType::QuoteHTTP, "a{b", "\"a{b\""},
      {TIdHeaderQuotingType::QuoteRFC822, "a\rb", "\"a\\\rb\""},
      {TIdHeaderQuotingType::QuoteHTTP, "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(QuoteHeaderValue(c.Value, c.Type), c.Expected) << c.Value;
  EXPECT_EQ(EffectiveQuoteType("Content-Type", TIdHeaderQuotingType::QuoteRFC822), TIdHeaderQuotingType::QuoteMIME);
  EXPECT_EQ(EffectiveQuoteType("X-Other", TIdHeaderQuotingType::QuoteMIME), TIdHeaderQuotingType::QuoteRFC822);
  EXPECT_EQ(EffectiveQuoteType("X-Other", TIdHeaderQuotingType::QuoteHTTP), TIdHeaderQuotingType::QuoteHTTP);
}

TEST_F(HeaderList, AllParamsAndExtract) {
  H.AddValue("Content-Type", "multipart/form-data ; boundary=xyz; a=1 ");
  EXPECT_EQ(H.GetAllParams("Content-Type"), "boundary=xyz; a=1");
  H.SetAllParams("Content-Type", "boundary=new");
  EXPECT_EQ(H.Values("Content-Type"), "multipart/form-data; boundary=new");
  H.SetAllParams("Content-Type", "");
  EXPECT_EQ(H.Values("Content-Type"), "multipart/form-data");
  H.SetAllParams("X-Absent", "a=1");
  EXPECT_EQ(H.IndexOfName("X-Absent"), -1);

  H.AddValue("WWW-Authenticate", "Basic realm=\"a\"");
  H.AddValue("X-Other", "z");
  H.Add("www-authenticate: Digest realm=\"b\",");
  H.Add("  nonce=\"n\"");
  TStringList out;
  H.Extract("WWW-Authenticate", out);
  ASSERT_EQ(out.Count(), 2);
  EXPECT_EQ(out[0], "Basic realm=\"a\"");
  EXPECT_EQ(out[1], "Digest realm=\"b\", nonce=\"n\"");
}

TEST_F(HeaderList, ConvertsToAndFromNameValuePairs) {
  TStringList std;
  std.Add("Accept=text/plain");
  std.Add("X-Empty=");
  std.Add("no pair");
  H.AddStrings(std);
  EXPECT_EQ(Lines(H), std::vector<std::string>{"Accept: text/plain"});

  TIdHeaderList other(TIdHeaderQuotingType::QuoteHTTP);
  other.Add("X-Raw:   spaced");
  other.Add(" folded");
  H.AddStrings(other);  // header lists are copied line by line
  EXPECT_EQ(Lines(H), (std::vector<std::string>{"Accept: text/plain", "X-Raw:   spaced", " folded"}));

  TStringList back;
  H.ConvertToStdValues(back);
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back[0], "Accept=text/plain");
  EXPECT_EQ(back[1], "X-Raw=spaced folded");
}

// A header folded over very many lines is read and replaced in linear time
// (re-copying the value per line would take minutes here and run into the
// test's time-out).
TEST(HeaderFolding, ManyContinuationLinesStayFast) {
  TIdHeaderList h(TIdHeaderQuotingType::QuoteHTTP);
  h.Add("X-Long: a");
  for (int i = 0; i < 200000; ++i) h.Add(" 0123456789");
  h.Add("X-After: z");
  const std::string v = h.Values("X-Long");
  EXPECT_EQ(v.size(), 1 + 200000 * 11u);
  EXPECT_EQ(v.substr(0, 13), "a 0123456789 ");
  h.SetValue("X-Long", "b");
  EXPECT_EQ(h.Count(), 2);
  EXPECT_EQ(h.Values("X-After"), "z");
}

TEST(HeaderFolding, EmptyPartsJoinLikeTrimmedPieces) {
  TIdHeaderList h(TIdHeaderQuotingType::QuoteHTTP);
  h.Add("X-A:");
  h.Add("   ");
  h.Add("\tb ");
  h.Add("  ");
  h.Add(" c");
  EXPECT_EQ(h.Values("X-A"), "b c");
}

TEST(HeaderFolding, LongLinesWrapOnlyWhenTheLengthIsLimited) {
  const std::string value = "alpha, beta, gamma, delta, epsilon, zeta, eta, theta, iota, kappa, lambda, mu, nu";
  TIdHeaderList http(TIdHeaderQuotingType::QuoteHTTP);
  http.SetValue("X-List", value);
  EXPECT_EQ(http.Count(), 1);

  TIdHeaderList mime(TIdHeaderQuotingType::QuoteMIME);
  mime.SetFoldLinesLength(30);
  mime.SetValue("X-List", value);
  EXPECT_GT(mime.Count(), 1);
  for (const std::string& line : mime) EXPECT_LE(line.size(), 32u) << line;
  for (int i = 1; i < mime.Count(); ++i) EXPECT_EQ(mime[i][0], ' ');
  EXPECT_EQ(mime.Values("X-List"), value);
}

}  // namespace
