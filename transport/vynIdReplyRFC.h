// Replies of line protocols: a three-digit code and its text lines, in the
// "250-first / 250 last" form, and the error a refused reply raises.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Classes.h"
#include "transport/vynIdGlobal.h"

class EIdReplyError : public EIdException {
public:
  using EIdException::EIdException;
};

// A reply the caller did not allow: its numeric code and its text.
class EIdReplyRFCError : public EIdReplyError {
public:
  EIdReplyRFCError(std::int32_t AErrorCode, std::string AMessage)
      : EIdReplyError(std::move(AMessage)), FErrorCode(AErrorCode) {}
  std::int32_t ErrorCode() const { return FErrorCode; }

private:
  std::int32_t FErrorCode;
};

class TIdReplies;

class TIdReplyRFC : public TPersistent {
public:
  TIdReplyRFC() = default;
  explicit TIdReplyRFC(TIdReplies* ACollection) : FCollection(ACollection) {}

  void Assign(const TPersistent& ASource) override;
  void Clear();

  // Empty, or a number 100..999.
  const std::string& Code() const { return FCode; }
  void SetCode(const std::string& AValue);
  // 0 when there is no code.
  std::int16_t NumericCode() const;
  void SetNumericCode(std::int16_t AValue);
  TStringList& Text() { return FText; }
  const TStringList& Text() const { return FText; }

  void FormattedReply(TStrings& AResult) const;
  std::string FormattedReplyText() const;
  void SetFormattedReply(const TStrings& AValue);

  // A line that closes a reply: shorter than four characters or with a
  // space as its fourth.
  static bool IsEndReplyLine(const std::string& ALine);
  static bool IsValidCode(const std::string& ACode);

private:
  TIdReplies* FCollection = nullptr;
  std::string FCode;
  TStringList FText;
};

// Replies known by code; no two share one.
class TIdReplies {
public:
  TIdReplies() = default;
  TIdReplies(const TIdReplies&) = delete;
  TIdReplies& operator=(const TIdReplies&) = delete;

  TIdReplyRFC& Add(const std::string& ACode = "", const std::string& AText = "");
  int Count() const { return static_cast<int>(FItems.size()); }
  TIdReplyRFC& Items(int AIndex) { return *FItems.at(static_cast<std::size_t>(AIndex)); }
  // The reply with that code, or none.
  TIdReplyRFC* Find(const std::string& ACode, const TIdReplyRFC* AIgnore = nullptr);

private:
  std::vector<std::unique_ptr<TIdReplyRFC>> FItems;
};
