#include "transport/vynIdReplyRFC.h"

#include "transport/vynIdResourceStringsCore.h"

bool TIdReplyRFC::IsValidCode(const std::string& ACode) {
  if (ACode.empty()) return true;
  if (ACode.size() != 3) return false;
  for (char c : ACode)
    if (c < '0' || c > '9') return false;
  return ACode[0] != '0';
}

bool TIdReplyRFC::IsEndReplyLine(const std::string& ALine) { return ALine.size() < 4 || ALine[3] == ' '; }

void TIdReplyRFC::Assign(const TPersistent& ASource) {
  const auto& source = AssignSource<TIdReplyRFC>(ASource);
  if (&source == this) return;
  SetCode(source.FCode);
  FText.Clear();
  FText.AddStrings(source.FText);
}

void TIdReplyRFC::Clear() {
  FCode.clear();
  FText.Clear();
}

void TIdReplyRFC::SetCode(const std::string& AValue) {
  if (AValue == FCode) return;
  if (!IsValidCode(AValue)) throw EIdException(Format(RSReplyInvalidCode, AValue));
  if (FCollection && !AValue.empty() && FCollection->Find(AValue, this))
    throw EIdException(Format(RSReplyCodeAlreadyExists, AValue));
  FCode = AValue;
}

std::int16_t TIdReplyRFC::NumericCode() const {
  return FCode.empty() ? std::int16_t{0} : static_cast<std::int16_t>(StrToIntDef(FCode, 0));
}

void TIdReplyRFC::SetNumericCode(std::int16_t AValue) { SetCode(AValue == 0 ? std::string() : std::to_string(AValue)); }

void TIdReplyRFC::FormattedReply(TStrings& AResult) const {
  AResult.Clear();
  if (FCode.empty()) {
    AResult.AddStrings(FText);
    return;
  }
  if (FText.Count() == 0) {
    AResult.Add(FCode);
    return;
  }
  for (int i = 0; i < FText.Count(); ++i) AResult.Add(FCode + (i + 1 < FText.Count() ? "-" : " ") + FText[i]);
}

std::string TIdReplyRFC::FormattedReplyText() const {
  TStringList lines;
  FormattedReply(lines);
  return lines.Text();
}

void TIdReplyRFC::SetFormattedReply(const TStrings& AValue) {
  Clear();
  if (AValue.Count() == 0) return;
  SetCode(Trim(AValue[0].substr(0, 3)));
  for (const std::string& line : AValue) FText.Add(line.size() > 4 ? line.substr(4) : std::string());
}

TIdReplyRFC& TIdReplies::Add(const std::string& ACode, const std::string& AText) {
  auto reply = std::make_unique<TIdReplyRFC>(this);
  reply->SetCode(ACode);
  if (!AText.empty()) reply->Text().SetText(AText);
  FItems.push_back(std::move(reply));
  return *FItems.back();
}

TIdReplyRFC* TIdReplies::Find(const std::string& ACode, const TIdReplyRFC* AIgnore) {
  for (auto& item : FItems)
    if (item.get() != AIgnore && item->Code() == ACode) return item.get();
  return nullptr;
}
