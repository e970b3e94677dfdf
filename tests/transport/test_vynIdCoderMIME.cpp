#include <gtest/gtest.h>

#include <string>

#include "transport/vynIdCoderMIME.h"

namespace {

// A stream that hands out at most a few bytes per read, as sockets and
// pipes do.
class TTrickleStream : public TMemoryStream {
public:
  std::int64_t Read(void* aBuffer, std::int64_t aCount) override {
    return TMemoryStream::Read(aBuffer, std::min<std::int64_t>(aCount, 5));
  }
};

TIdBytes Bytes(std::string_view s) { return TIdBytes(s.begin(), s.end()); }

struct Vector {
  const char* plain;
  const char* coded;
};

// RFC 4648 section 10.
const Vector kRFC4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(CoderMIME, RFC4648VectorsBothWays) {
  for (const auto& v : kRFC4648) {
    EXPECT_EQ(TIdEncoderMIME::EncodeString(v.plain), v.coded) << v.plain;
    EXPECT_EQ(TIdDecoderMIME::DecodeString(v.coded), v.plain) << v.coded;
  }
}

TEST(CoderMIME, EveryByteValueRoundTrips) {
  TIdBytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  for (std::size_t n : {0u, 1u, 2u, 3u, 100u, 255u, 256u}) {
    TIdBytes part(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
    std::string coded = TIdEncoderMIME::EncodeBytes(part);
    EXPECT_EQ(coded.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(TIdDecoderMIME::DecodeBytes(coded), part) << n;
  }
}

TEST(CoderMIME, LongOutputHasNoLineBreaks) {
  std::string coded = TIdEncoderMIME::EncodeBytes(TIdBytes(100, 0xAB));
  EXPECT_EQ(coded.size(), 136u);
  EXPECT_EQ(coded.find_first_of("\r\n"), std::string::npos);
}

TEST(CoderMIME, TextGoesToBytesWithTheGivenEncoding) {
  // One byte per character below 256 by default; UTF-8 when asked.
  EXPECT_EQ(TIdEncoderMIME::EncodeString("\xC3\xA9"), "6Q==");
  EXPECT_EQ(TIdEncoderMIME::EncodeString("\xC3\xA9", detail::EncodingUTF8()), "w6k=");
  EXPECT_EQ(TIdDecoderMIME::DecodeString("6Q=="), "\xC3\xA9");
  EXPECT_EQ(TIdDecoderMIME::DecodeString("w6k=", detail::EncodingUTF8()), "\xC3\xA9");
}

TEST(CoderMIME, LenientDecoding) {
  struct Case {
    const char* coded;
    TIdBytes bytes;
  } cases[] = {
      // A trailing partial group is ignored.
      {"Zm9vYm", Bytes("foo")},
      {"Z", {}},
      // Two fill characters leave one byte.
      {"Zg==", Bytes("f")},
      // A line break is not skipped: it decodes as 63 and spoils its group.
      {"Zm9v\r\nYmFy", {0x66, 0x6F, 0x6F, 0xFF, 0xF6, 0x26}},
      // Padding counts only at the end of the input.
      {"Zg==Zm9v", {0x66, 0x0F, 0xFF, 0x66, 0x6F, 0x6F}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TIdDecoderMIME::DecodeBytes(c.coded), c.bytes) << c.coded;
    // The stream decoder, which works block by block, reads it alike.
    TMemoryStream out;
    TIdDecoderMIME::DecodeStream(c.coded, out);
    EXPECT_EQ(TIdBytes(out.Memory(), out.Memory() + out.Size()), c.bytes) << c.coded;
  }
}

TEST(CoderMIME, BytesOutsideSevenBitsDecodeSafely) {
  // Codes 0 and 128..255 lie outside the table: they count as 63 like any
  // other character outside the alphabet.
  std::string zero("AA\0A", 4);
  EXPECT_EQ(TIdDecoderMIME::DecodeBytes(zero), (TIdBytes{0x00, 0x0F, 0xC0}));
  TIdDecoderMIME coder;
  TMemoryStream src, dest;
  const std::uint8_t high[] = {'A', 0x80, 0xFF, 'A'};
  src.WriteBuffer(high, 4);
  src.SetPosition(0);
  coder.DecodeBegin(dest);
  coder.Decode(src);
  coder.DecodeEnd();
  ASSERT_EQ(dest.Size(), 3);
  EXPECT_EQ(TIdBytes(dest.Memory(), dest.Memory() + 3), (TIdBytes{0x03, 0xFF, 0xC0}));
}

TEST(CoderMIME, StreamsAcrossBlocksAndShortReads) {
  // Larger than one coding block, read a few bytes at a time: the groups
  // and the padding of the last group come out as for a single block.
  TIdBytes data(20000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  data.push_back(1);  // 20001 bytes: the last group is padded
  TTrickleStream src;
  src.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
  src.SetPosition(0);
  std::string coded = TIdEncoderMIME::EncodeStream(src);
  EXPECT_EQ(coded, TIdEncoderMIME::EncodeBytes(data));
  TTrickleStream in;
  in.WriteBuffer(coded.data(), static_cast<std::int64_t>(coded.size()));
  in.SetPosition(0);
  TMemoryStream out;
  TIdDecoderMIME dec;
  dec.DecodeBegin(out);
  dec.Decode(in);
  dec.DecodeEnd();
  EXPECT_EQ(TIdBytes(out.Memory(), out.Memory() + out.Size()), data);
}

TEST(CoderMIME, ByteCountsLimitWhatIsRead) {
  TStringStream src("foobar");
  src.SetPosition(1);
  EXPECT_EQ(TIdEncoderMIME::EncodeStream(src, 3), "b29i");  // "oob"
  EXPECT_EQ(src.Position(), 4);
  EXPECT_EQ(TIdEncoderMIME::EncodeStream(src, 0), "");
  // More than remains stops at the end.
  EXPECT_EQ(TIdEncoderMIME::EncodeStream(src, 100), "YXI=");

  TStringStream coded("Zm9vYmFy");
  TMemoryStream dest;
  TIdDecoderMIME dec;
  dec.DecodeBegin(dest);
  dec.Decode(coded, 4);
  dec.DecodeEnd();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dest.Memory()), dest.Size()), "foo");
}

TEST(CoderMIME, StringListGetsOneLine) {
  TStringList lines;
  lines.Add("old");
  TIdEncoderMIME enc;
  enc.Encode("foobar", lines);
  ASSERT_EQ(lines.Count(), 1);
  EXPECT_EQ(lines[0], "Zm9vYmFy");
}

}  // namespace
