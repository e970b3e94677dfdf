#include "transport/vynIdCoderMIME.h"

#include <algorithm>
#include <cstring>

namespace {

// Streams are coded in blocks: a multiple of 3 input bytes for the encoder,
// of 4 characters for the decoder, so groups never straddle two blocks.
constexpr std::size_t kEncodeBlock = 3 * 4096;
constexpr std::size_t kDecodeBlock = 4 * 4096;

const TIdTextEncoding& EncodingOr8Bit(const TIdTextEncoding& AEncoding) {
  return AEncoding ? AEncoding : detail::Encoding8Bit();
}

// Fills ABuffer from the stream up to its size or the stream's end, however
// the stream splits its reads; returns the count read.
std::size_t ReadFull(TStream& AStream, std::uint8_t* ABuffer, std::size_t ASize) {
  std::size_t got = 0;
  while (got < ASize) {
    std::int64_t n = AStream.Read(ABuffer + got, static_cast<std::int64_t>(ASize - got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// How many bytes a coder may still read: ABytes, or unlimited for a negative count.
std::uint64_t Budget(std::int64_t ABytes) { return ABytes < 0 ? UINT64_MAX : static_cast<std::uint64_t>(ABytes); }

std::array<char, 64> MakeCodingTable() {
  std::array<char, 64> t{};
  std::copy(detail::Base64Alphabet.begin(), detail::Base64Alphabet.end(), t.begin());
  return t;
}

// Built once for the process and copied into every MIME decoder.
const std::array<std::uint8_t, 127>& MIMEDecodeTable() {
  static const std::array<std::uint8_t, 127> table = [] {
    std::array<std::uint8_t, 127> t{};
    TIdDecoder4to3::ConstructDecodeTable(MakeCodingTable(), t);
    return t;
  }();
  return table;
}

// The value of one character; any character outside the alphabet
// (including codes 0 and above 127) counts as 63.
inline std::uint32_t Base64Value(const std::array<std::uint8_t, 127>& ATable, std::uint8_t AChar) {
  if (AChar < 1 || AChar > 127) return 63;
  std::uint8_t v = ATable[AChar - 1];
  return v > 63 ? 63 : v;
}

// Base64Value for every byte, so that the decoding loop needs no tests.
using TByteValues = std::array<std::uint8_t, 256>;
TByteValues ByteValues(const std::array<std::uint8_t, 127>& ATable) {
  TByteValues t{};
  for (int c = 0; c < 256; ++c) t[c] = static_cast<std::uint8_t>(Base64Value(ATable, static_cast<std::uint8_t>(c)));
  return t;
}

// Decodes the whole groups of AChars, appending to AOut; with APadding, fill
// characters at the end of the last group drop their bytes.
void DecodeBase64Groups(const TByteValues& AValues, std::uint8_t AFill, const std::uint8_t* AChars, std::size_t ACount,
                        TIdBytes& AOut, bool APadding) {
  const std::size_t whole = ACount / 4 * 4;
  const std::size_t start = AOut.size();
  AOut.resize(start + whole / 4 * 3);
  std::uint8_t* out = AOut.data() + start;
  for (std::size_t i = 0; i < whole; i += 4) {
    const std::uint32_t v = std::uint32_t{AValues[AChars[i]]} << 18 | std::uint32_t{AValues[AChars[i + 1]]} << 12 |
                            std::uint32_t{AValues[AChars[i + 2]]} << 6 | AValues[AChars[i + 3]];
    out[0] = static_cast<std::uint8_t>(v >> 16);
    out[1] = static_cast<std::uint8_t>(v >> 8);
    out[2] = static_cast<std::uint8_t>(v);
    out += 3;
  }
  if (whole == 0 || !APadding) return;
  if (AChars[whole - 1] == AFill) {
    AOut.pop_back();
    if (AChars[whole - 2] == AFill) AOut.pop_back();
  }
}

// Eight bytes at a time and without an early exit, so that it vectorises.
bool IsASCII(std::string_view AText) {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= AText.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, AText.data() + i, 8);
    seen |= w;
  }
  for (; i < AText.size(); ++i) seen |= static_cast<unsigned char>(AText[i]);
  return (seen & 0x8080808080808080ULL) == 0;
}

// Appends the encoding of ACount bytes to AOut. Sized once and written
// through a pointer: appending character by character cost two thirds of
// the time.
void EncodeBase64(const std::array<char, 64>& ATable, char AFill, const std::uint8_t* ABytes, std::size_t ACount,
                  std::string& AOut) {
  const std::size_t start = AOut.size();
  AOut.resize(start + (ACount + 2) / 3 * 4);
  char* out = AOut.data() + start;
  std::size_t i = 0;
  for (; i + 3 <= ACount; i += 3) {
    const std::uint32_t v =
        static_cast<std::uint32_t>(ABytes[i]) << 16 | static_cast<std::uint32_t>(ABytes[i + 1]) << 8 | ABytes[i + 2];
    out[0] = ATable[v >> 18];
    out[1] = ATable[(v >> 12) & 0x3F];
    out[2] = ATable[(v >> 6) & 0x3F];
    out[3] = ATable[v & 0x3F];
    out += 4;
  }
  std::size_t rest = ACount - i;
  if (rest == 0) return;
  std::uint8_t b0 = ABytes[i];
  std::uint8_t b1 = rest == 2 ? ABytes[i + 1] : 0;
  out[0] = ATable[b0 >> 2];
  out[1] = ATable[((b0 << 4) & 0x3F) | (b1 >> 4)];
  out[2] = rest == 2 ? ATable[(b1 << 2) & 0x3F] : AFill;
  out[3] = AFill;
}

}  // namespace

// ---------------------------------------------------------------------------
// Encoder

std::string TIdEncoder::Encode(std::string_view AIn, const TIdTextEncoding& AByteEncoding) {
  TIdBytes bytes = EncodingOr8Bit(AByteEncoding)->GetBytes(AIn);
  TMemoryStream src;
  if (!bytes.empty()) src.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  src.SetPosition(0);
  return Encode(src);
}

void TIdEncoder::Encode(std::string_view AIn, TStrings& ADestStrings, const TIdTextEncoding& AByteEncoding) {
  std::string out = Encode(AIn, AByteEncoding);
  ADestStrings.Clear();
  ADestStrings.Add(std::move(out));
}

void TIdEncoder::Encode(std::string_view AIn, TStream& ADestStream, const TIdTextEncoding& AByteEncoding) {
  TIdBytes bytes = EncodingOr8Bit(AByteEncoding)->GetBytes(AIn);
  TMemoryStream src;
  if (!bytes.empty()) src.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  src.SetPosition(0);
  Encode(src, ADestStream);
}

std::string TIdEncoder::Encode(TStream& ASrcStream, std::int64_t ABytes) {
  TMemoryStream dest;
  Encode(ASrcStream, dest, ABytes);
  return std::string(reinterpret_cast<const char*>(dest.Memory()), static_cast<std::size_t>(dest.Size()));
}

void TIdEncoder::Encode(TStream& ASrcStream, TStrings& ADestStrings, std::int64_t ABytes) {
  std::string out = Encode(ASrcStream, ABytes);
  ADestStrings.Clear();
  ADestStrings.Add(std::move(out));
}

void TIdEncoder3to4::EncodeBytesTo(const std::uint8_t* ABytes, std::size_t ACount, std::string& AOut) const {
  EncodeBase64(CodingTable, FillChar, ABytes, ACount, AOut);
}

void TIdEncoder3to4::Encode(TStream& ASrcStream, TStream& ADestStream, std::int64_t ABytes) {
  if (ABytes == 0) return;
  std::uint64_t left = Budget(ABytes);
  std::vector<std::uint8_t> block(kEncodeBlock);
  std::string out;
  while (left > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kEncodeBlock));
    std::size_t got = ReadFull(ASrcStream, block.data(), want);
    if (got == 0) break;
    out.clear();
    EncodeBytesTo(block.data(), got, out);
    ADestStream.WriteBuffer(out.data(), static_cast<std::int64_t>(out.size()));
    left -= got;
    if (got < want) break;
  }
}

TIdEncoderMIME::TIdEncoderMIME(TComponent* AOwner) : TIdEncoder3to4(AOwner) {
  CodingTable = MakeCodingTable();
  FillChar = '=';
}

std::string TIdEncoderMIME::EncodeString(std::string_view AIn, const TIdTextEncoding& AByteEncoding) {
  TIdEncoderMIME coder;
  return coder.Encode(AIn, AByteEncoding);
}

void TIdEncoderMIME::EncodeString(std::string_view AIn, TStrings& ADestStrings, const TIdTextEncoding& AByteEncoding) {
  TIdEncoderMIME coder;
  coder.Encode(AIn, ADestStrings, AByteEncoding);
}

void TIdEncoderMIME::EncodeString(std::string_view AIn, TStream& ADestStream, const TIdTextEncoding& AByteEncoding) {
  TIdEncoderMIME coder;
  coder.Encode(AIn, ADestStream, AByteEncoding);
}

std::string TIdEncoderMIME::EncodeBytes(const TIdBytes& ABytes) {
  // The alphabet is fixed here, so no coder object is made for it.
  static const std::array<char, 64> table = MakeCodingTable();
  std::string out;
  EncodeBase64(table, '=', ABytes.data(), ABytes.size(), out);
  return out;
}

void TIdEncoderMIME::EncodeBytes(const TIdBytes& ABytes, TStream& ADestStream) {
  std::string out = EncodeBytes(ABytes);
  ADestStream.WriteBuffer(out.data(), static_cast<std::int64_t>(out.size()));
}

std::string TIdEncoderMIME::EncodeStream(TStream& AIn, std::int64_t ABytes) {
  TIdEncoderMIME coder;
  return coder.Encode(AIn, ABytes);
}

void TIdEncoderMIME::EncodeStream(TStream& AIn, TStream& ADestStream, std::int64_t ABytes) {
  TIdEncoderMIME coder;
  coder.Encode(AIn, ADestStream, ABytes);
}

// ---------------------------------------------------------------------------
// Decoder

void TIdDecoder::Decode(std::string_view AIn) {
  TIdBytes bytes = detail::Encoding8Bit()->GetBytes(AIn);
  TMemoryStream src;
  if (!bytes.empty()) src.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  src.SetPosition(0);
  Decode(src);
}

void TIdDecoder4to3::ConstructDecodeTable(const std::array<char, 64>& ACodingTable,
                                          std::array<std::uint8_t, 127>& ADecodeTable) {
  ADecodeTable.fill(255);
  for (std::size_t i = 0; i < ACodingTable.size(); ++i) {
    auto c = static_cast<std::uint8_t>(ACodingTable[i]);
    if (c >= 1 && c <= 127) ADecodeTable[c - 1] = static_cast<std::uint8_t>(i);
  }
}

std::uint8_t TIdDecoder4to3::ValueOf(std::uint8_t AChar) const {
  return static_cast<std::uint8_t>(Base64Value(DecodeTable, AChar));
}

void TIdDecoder4to3::DecodeGroups(const std::uint8_t* AChars, std::size_t ACount, TIdBytes& AOut, bool APadding) const {
  // The table is public and may change between calls, so it is expanded here.
  DecodeBase64Groups(ByteValues(DecodeTable), static_cast<std::uint8_t>(FillChar), AChars, ACount, AOut, APadding);
}

void TIdDecoder4to3::DecodeBytesTo(const std::uint8_t* AChars, std::size_t ACount, TIdBytes& AOut) const {
  DecodeGroups(AChars, ACount, AOut, true);
}

void TIdDecoder4to3::Decode(TStream& ASrcStream, std::int64_t ABytes) {
  if (ABytes == 0 || Stream == nullptr) return;
  std::uint64_t left = Budget(ABytes);
  std::vector<std::uint8_t> block(kDecodeBlock);
  // Only the last group of the whole input may drop padding bytes, so each
  // block's last group is held back until the next block shows whether it
  // was the last.
  std::uint8_t held[4];
  bool holding = false;
  TIdBytes out;
  auto write = [&] {
    if (!out.empty()) Stream->WriteBuffer(out.data(), static_cast<std::int64_t>(out.size()));
    out.clear();
  };
  while (left > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kDecodeBlock));
    std::size_t got = ReadFull(ASrcStream, block.data(), want);
    left -= got;
    std::size_t whole = got / 4 * 4;
    if (whole > 0) {
      if (holding) DecodeGroups(held, 4, out, false);
      DecodeGroups(block.data(), whole - 4, out, false);
      write();
      std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(whole - 4), 4, held);
      holding = true;
    }
    if (got < want) break;
  }
  if (holding) {
    DecodeGroups(held, 4, out, true);
    write();
  }
}

TIdDecoderMIME::TIdDecoderMIME(TComponent* AOwner) : TIdDecoder4to3(AOwner) {
  CodingTable = MakeCodingTable();
  DecodeTable = MIMEDecodeTable();
  FillChar = '=';
}

std::string TIdDecoderMIME::DecodeString(std::string_view AIn, const TIdTextEncoding& AByteEncoding) {
  TIdBytes bytes = DecodeBytes(AIn);
  return EncodingOr8Bit(AByteEncoding)->GetString(bytes);
}

TIdBytes TIdDecoderMIME::DecodeBytes(std::string_view AIn) {
  // ASCII text, as Base64 is, decodes straight from the string: one byte per
  // character already, and no streams in between (their growth made large
  // inputs quadratic). Other text takes the 8-bit conversion first.
  if (IsASCII(AIn)) {
    TIdBytes out;
    static const TByteValues values = ByteValues(MIMEDecodeTable());
    DecodeBase64Groups(values, '=', reinterpret_cast<const std::uint8_t*>(AIn.data()), AIn.size(), out, true);
    return out;
  }
  TMemoryStream dest;
  DecodeStream(AIn, dest);
  const std::uint8_t* p = dest.Memory();
  return TIdBytes(p, p + dest.Size());
}

void TIdDecoderMIME::DecodeStream(std::string_view AIn, TStream& ADestStream) {
  TIdDecoderMIME coder;
  coder.DecodeBegin(ADestStream);
  coder.Decode(AIn);
  coder.DecodeEnd();
}
