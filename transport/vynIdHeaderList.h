// The header block of an HTTP (or MIME) message as an ordered list of raw
// lines "Name: value", with folded continuation lines and parameters inside
// values ("text/html; charset=utf-8").
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "platform/Classes.h"

enum class TIdHeaderQuotingType : std::uint8_t { QuotePlain, QuoteRFC822, QuoteMIME, QuoteHTTP };

class TIdHeaderList : public TStringList {
public:
  explicit TIdHeaderList(TIdHeaderQuotingType AQuoteType);

  // Appends "AName: AValue"; nothing when either is empty.
  void AddValue(std::string_view AName, std::string_view AValue);

  // The value of the first line named AName (letter case ignored), with its
  // continuation lines joined; empty when there is none.
  std::string Values(std::string_view AName) const;
  // Replaces the first line named AName in place (or appends); an empty value
  // deletes it. Continuation lines of the old value go with it.
  void SetValue(std::string_view AName, std::string_view AValue);
  int IndexOfName(std::string_view AName) const;
  // The text before the first ":" with trailing blanks removed; empty when
  // the line has none.
  std::string Names(int AIndex) const;
  // The value of the line at VLine; with unfolding on, VLine moves to the
  // last continuation line read.
  std::string GetValueFromLine(int& VLine) const;

  // Appends the value of every line named AName to ADest, in order.
  void Extract(std::string_view AName, TStrings& ADest) const;

  std::string GetParam(std::string_view AName, std::string_view AParam) const;
  void SetParam(std::string_view AName, std::string_view AParam, std::string_view AValue);
  std::string Params(std::string_view AName, std::string_view AParam) const { return GetParam(AName, AParam); }
  std::string GetAllParams(std::string_view AName) const;
  void SetAllParams(std::string_view AName, std::string_view AValue);

  // From another header list the lines are copied as they are; from any
  // other list, whose items are name=value pairs, each pair is added.
  void AddStrings(const TStrings& AStrings);
  void AddStdValues(const TStrings& ASrc);
  // Every header (continuation lines joined) as a name=value item of ADest.
  void ConvertToStdValues(TStrings& ADest) const;

  const std::string& NameValueSeparator() const { return FNameValueSeparator; }
  void SetNameValueSeparator(std::string AValue) { FNameValueSeparator = std::move(AValue); }
  bool UnfoldLines() const { return FUnfoldLines; }
  void SetUnfoldLines(bool AValue) { FUnfoldLines = AValue; }
  bool FoldLines() const { return FFoldLines; }
  void SetFoldLines(bool AValue) { FFoldLines = AValue; }
  std::int32_t FoldLinesLength() const { return FFoldLinesLength; }
  void SetFoldLinesLength(std::int32_t AValue) { FFoldLinesLength = AValue; }
  TIdHeaderQuotingType QuoteType() const { return FQuoteType; }

private:
  void DeleteFoldedLines(int AIndex);
  std::string JoinLine(std::string_view AName, std::string_view AValue) const;

  std::string FNameValueSeparator = ": ";
  bool FUnfoldLines = true;
  bool FFoldLines = true;
  std::int32_t FFoldLinesLength = 78;
  TIdHeaderQuotingType FQuoteType;
};

// Parameters inside a header value, for callers that hold the value alone.
// AQuoteType is the effective quoting type (see EffectiveQuoteType).
std::string ExtractHeaderSubItem(std::string_view AHeaderLine, std::string_view ASubItem,
                                 TIdHeaderQuotingType AQuoteType);
std::string ReplaceHeaderSubItem(std::string_view AHeaderLine, std::string_view ASubItem, std::string_view AValue,
                                 TIdHeaderQuotingType AQuoteType);
// RFC 822 quoting becomes MIME quoting for Content-Type and
// Content-Disposition, MIME quoting becomes RFC 822 quoting elsewhere.
TIdHeaderQuotingType EffectiveQuoteType(std::string_view AHeaderName, TIdHeaderQuotingType AQuoteType);
// A value as a parameter would be written: escaped and quoted when needed.
std::string QuoteHeaderValue(std::string_view AValue, TIdHeaderQuotingType AQuoteType, bool AWasQuoted = false);
