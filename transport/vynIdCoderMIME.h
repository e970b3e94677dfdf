// Base64 (RFC 4648 alphabet, "=" padding, no line breaks): the 3-to-4
// encoder and the 4-to-3 decoder, and their MIME classes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Classes.h"
#include "transport/vynIdGlobal.h"
#include "transport/vynIdTextEncoding.h"

class TIdEncoder : public TComponent {
public:
  explicit TIdEncoder(TComponent* AOwner = nullptr) : TComponent(AOwner) {}

  // Text input goes to bytes with AByteEncoding, or one byte per character
  // below 256 when none is given.
  std::string Encode(std::string_view AIn, const TIdTextEncoding& AByteEncoding = {});
  void Encode(std::string_view AIn, TStrings& ADestStrings, const TIdTextEncoding& AByteEncoding = {});
  void Encode(std::string_view AIn, TStream& ADestStream, const TIdTextEncoding& AByteEncoding = {});
  // ABytes bytes from the stream's position (all that remain for -1).
  std::string Encode(TStream& ASrcStream, std::int64_t ABytes = -1);
  // The list is cleared and receives the result as its one line.
  void Encode(TStream& ASrcStream, TStrings& ADestStrings, std::int64_t ABytes = -1);
  virtual void Encode(TStream& ASrcStream, TStream& ADestStream, std::int64_t ABytes = -1) = 0;
};

class TIdEncoder3to4 : public TIdEncoder {
public:
  using TIdEncoder::Encode;
  using TIdEncoder::TIdEncoder;
  void Encode(TStream& ASrcStream, TStream& ADestStream, std::int64_t ABytes = -1) override;
  // The encoding of a block of bytes, appended to AOut.
  void EncodeBytesTo(const std::uint8_t* ABytes, std::size_t ACount, std::string& AOut) const;

  std::array<char, 64> CodingTable{};
  char FillChar = '=';
};

class TIdEncoderMIME : public TIdEncoder3to4 {
public:
  explicit TIdEncoderMIME(TComponent* AOwner = nullptr);

  static std::string EncodeString(std::string_view AIn, const TIdTextEncoding& AByteEncoding = {});
  static void EncodeString(std::string_view AIn, TStrings& ADestStrings, const TIdTextEncoding& AByteEncoding = {});
  static void EncodeString(std::string_view AIn, TStream& ADestStream, const TIdTextEncoding& AByteEncoding = {});
  static std::string EncodeBytes(const TIdBytes& ABytes);
  static void EncodeBytes(const TIdBytes& ABytes, TStream& ADestStream);
  static std::string EncodeStream(TStream& AIn, std::int64_t ABytes = -1);
  static void EncodeStream(TStream& AIn, TStream& ADestStream, std::int64_t ABytes = -1);
};

class TIdDecoder : public TComponent {
public:
  explicit TIdDecoder(TComponent* AOwner = nullptr) : TComponent(AOwner) {}

  // Decoded bytes go to ADestStream until DecodeEnd.
  void DecodeBegin(TStream& ADestStream) { Stream = &ADestStream; }
  void DecodeEnd() { Stream = nullptr; }
  // ABytes bytes from the stream's position (all that remain for -1).
  virtual void Decode(TStream& ASrcStream, std::int64_t ABytes = -1) = 0;
  // The text is taken one byte per character below 256.
  void Decode(std::string_view AIn);

  TStream* Stream = nullptr;
};

class TIdDecoder4to3 : public TIdDecoder {
public:
  using TIdDecoder::Decode;
  using TIdDecoder::TIdDecoder;
  void Decode(TStream& ASrcStream, std::int64_t ABytes = -1) override;
  // Decodes a block of characters, appending the bytes to AOut.
  void DecodeBytesTo(const std::uint8_t* AChars, std::size_t ACount, TIdBytes& AOut) const;

  // Every entry 255, then each alphabet character's entry set to its
  // position. The table is indexed by character code 1..127.
  static void ConstructDecodeTable(const std::array<char, 64>& ACodingTable,
                                   std::array<std::uint8_t, 127>& ADecodeTable);

  std::array<char, 64> CodingTable{};
  std::array<std::uint8_t, 127> DecodeTable{};
  char FillChar = '=';

private:
  // The value of one character; any character outside the alphabet
  // (including codes 0 and above 127) counts as 63.
  std::uint8_t ValueOf(std::uint8_t AChar) const;
  // Decodes the whole groups of AChars; with APadding, fill characters at
  // the end of the last group drop their bytes.
  void DecodeGroups(const std::uint8_t* AChars, std::size_t ACount, TIdBytes& AOut, bool APadding) const;
};

class TIdDecoderMIME : public TIdDecoder4to3 {
public:
  explicit TIdDecoderMIME(TComponent* AOwner = nullptr);

  // The decoded bytes read as text with AByteEncoding (one character per
  // byte when none is given).
  static std::string DecodeString(std::string_view AIn, const TIdTextEncoding& AByteEncoding = {});
  static TIdBytes DecodeBytes(std::string_view AIn);
  static void DecodeStream(std::string_view AIn, TStream& ADestStream);
};

namespace detail {
// The standard Base64 alphabet.
inline constexpr std::string_view Base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace detail
