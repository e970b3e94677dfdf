// Byte buffer and text encodings.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "platform/Classes.h"
#include "transport/vynIdBuffer.h"
#include "transport/vynIdTextEncoding.h"

namespace {

TIdBytes Bytes(std::string_view s) { return TIdBytes(s.begin(), s.end()); }
std::string Text(const TIdBytes& b) { return std::string(b.begin(), b.end()); }

TEST(TIdBufferTest, AppendRemoveAndCompactKeepTheUnreadBytes) {
  TIdBuffer buffer(8);  // small growth factor so compaction happens often
  std::string expected;
  int removedTotal = 0;
  buffer.OnBytesRemoved = [&](TIdBuffer*, std::int32_t n) { removedTotal += n; };
  // Interleaved appends and removals cross the compaction threshold many times.
  for (int round = 0; round < 200; ++round) {
    std::string chunk(static_cast<std::size_t>(round % 13 + 1), static_cast<char>('a' + round % 26));
    buffer.Write(Bytes(chunk));
    expected += chunk;
    std::int32_t take = round % 5;
    std::string got = buffer.ExtractToString(std::min<std::int32_t>(take, buffer.Size()));
    EXPECT_EQ(got, expected.substr(0, got.size()));
    expected.erase(0, got.size());
    ASSERT_EQ(buffer.Size(), static_cast<std::int32_t>(expected.size()));
    // Storage stays within twice what the unread bytes and one append need.
    ASSERT_LE(buffer.Capacity(), 2 * (buffer.Size() + 8) + 13 + 8) << "storage did not shrink";
  }
  EXPECT_EQ(buffer.AsString(), expected);
  int before = removedTotal;
  buffer.Remove(INT32_MAX);
  EXPECT_EQ(buffer.Size(), 0);
  EXPECT_EQ(removedTotal - before, static_cast<int>(expected.size()));
  // Emptying keeps modest storage for the next receives, never a large one.
  buffer.Write(TIdBytes(1024 * 1024, 'x'));
  buffer.Remove(buffer.Size());
  EXPECT_EQ(buffer.Capacity(), 0);
}

TEST(TIdBufferTest, ExtractWithIndexCopiesWithoutRemoving) {
  TIdBuffer buffer;
  buffer.Write(Bytes("0123456789"));
  buffer.Remove(2);  // the index counts from the first unread byte
  TIdBytes out = Bytes("xy");
  buffer.ExtractToBytes(out, 3, true, 1);
  EXPECT_EQ(Text(out), "xy345");
  buffer.ExtractToBytes(out, 2, false, 0);
  EXPECT_EQ(Text(out), "23345");  // overwritten from the start, never shrunk
  EXPECT_EQ(buffer.Size(), 8);
  TIdBytes all;
  buffer.ExtractToBytes(all, -1, true, 5);
  EXPECT_EQ(Text(all), "789");
  EXPECT_EQ(buffer.Size(), 8);
}

TEST(TIdBufferTest, ExtractBeyondTheDataNamesBothCounts) {
  struct Case {
    std::int32_t Count;
    std::int32_t Index;
    const char* Message;
  } cases[] = {
      {6, -1, "Not enough data in buffer. (6/5)"},
      {3, 3, "Not enough data in buffer. (3/2)"},
      {1, 9, "Not enough data in buffer. (1/0)"},
  };
  for (const Case& c : cases) {
    TIdBuffer buffer;
    buffer.Write(Bytes("abcde"));
    TIdBytes out;
    try {
      buffer.ExtractToBytes(out, c.Count, true, c.Index);
      ADD_FAILURE() << c.Message;
    } catch (const EIdNotEnoughDataInBuffer& e) {
      EXPECT_EQ(e.Message(), c.Message);
    }
    EXPECT_EQ(buffer.Size(), 5) << "a failed extract must not consume";
  }
}

TEST(TIdBufferTest, IntegersTravelInNetworkOrder) {
  TIdBuffer buffer;
  buffer.WriteUInt8(0x01);
  buffer.WriteUInt16(0x0203);
  buffer.WriteUInt32(0x04050607);
  buffer.WriteUInt64(0x08090A0B0C0D0E0F);
  TIdBytes raw;
  buffer.ExtractToBytes(raw, -1, true, 0);
  ASSERT_EQ(raw.size(), 15u);
  for (std::size_t i = 0; i < raw.size(); ++i) EXPECT_EQ(raw[i], i + 1);
  EXPECT_EQ(buffer.ExtractToUInt16(1), 0x0203);  // peek
  EXPECT_EQ(buffer.ExtractToUInt8(), 0x01);
  EXPECT_EQ(buffer.ExtractToUInt16(), 0x0203);
  EXPECT_EQ(buffer.ExtractToUInt32(), 0x04050607u);
  EXPECT_EQ(buffer.ExtractToUInt64(), 0x08090A0B0C0D0E0Fu);
  EXPECT_THROW(buffer.ExtractToUInt32(), EIdNotEnoughDataInBuffer);
  TIdIPv6Address addr{1, 2, 3, 4, 5, 6, 7, 0xFFFF};
  buffer.WriteIPv6(addr);
  EXPECT_EQ(buffer.PeekByte(1), 1);
  EXPECT_EQ(buffer.ExtractToIPv6(), addr);
}

TEST(TIdBufferTest, WriteAtAnIndexOverwritesAndExtends) {
  TIdBuffer buffer;
  buffer.Write(Bytes("abcdef"));
  buffer.Remove(1);
  buffer.Write(Bytes("XY"), -1, 0, 1);
  EXPECT_EQ(buffer.AsString(), "bXYef");
  buffer.Write(Bytes("123"), -1, 0, 4);
  EXPECT_EQ(buffer.AsString(), "bXYe123");
  buffer.Write(Bytes("!"), -1, 0, 7);  // exactly at the end appends
  EXPECT_EQ(buffer.AsString(), "bXYe123!");
  EXPECT_THROW(buffer.Write(Bytes("gap"), -1, 0, 20), EIdException);
  EXPECT_EQ(buffer.AsString(), "bXYe123!");
  buffer.Write(Bytes("0123456789"), 3, 5);
  EXPECT_EQ(buffer.AsString(), "bXYe123!567");
  buffer.Write(Bytes("abc"), -1, 7);  // offset beyond the data: nothing
  EXPECT_EQ(buffer.Size(), 11);
}

TEST(TIdBufferTest, IndexOfAndPeek) {
  TIdBuffer buffer;
  EXPECT_EQ(buffer.IndexOf(Bytes("x")), -1);
  EXPECT_THROW(buffer.PeekByte(0), EIdException);
  buffer.Write(Bytes("--ab\r\nab"));
  buffer.Remove(2);
  EXPECT_EQ(buffer.IndexOf(Bytes("ab")), 0);
  EXPECT_EQ(buffer.IndexOf(Bytes("ab"), 1), 4);
  EXPECT_EQ(buffer.IndexOf(Bytes("abc"), 4), -1);
  EXPECT_EQ(buffer.IndexOf("\r\n"), 2);
  EXPECT_EQ(buffer.IndexOf(std::uint8_t{'\n'}), 3);
  try {
    buffer.IndexOf(TIdBytes{});
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Buffer terminator must be specified.");
  }
  for (std::int32_t pos : {-1, 6, 100}) {
    try {
      buffer.IndexOf(Bytes("a"), pos);
      ADD_FAILURE() << pos;
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message(), "Buffer start position is invalid.");
    }
  }
  EXPECT_EQ(buffer.PeekByte(5), 'b');
  try {
    buffer.PeekByte(6);
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Index out of bounds.");
  }
}

TEST(TIdBufferTest, CapacityAndStreams) {
  TIdBuffer buffer;
  buffer.Write(Bytes("hello world"));
  buffer.Remove(6);
  try {
    buffer.SetCapacity(4);
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Capacity cannot be smaller than Size");
  }
  buffer.SetCapacity(5);
  EXPECT_EQ(buffer.AsString(), "world");
  TMemoryStream saved;
  buffer.SaveToStream(saved);
  EXPECT_EQ(saved.Size(), 5);
  EXPECT_EQ(buffer.Size(), 5);

  TStringStream source("0123456789");
  source.SetPosition(7);
  TIdBuffer fromStream;
  fromStream.Write(source, -1);  // position to end
  EXPECT_EQ(fromStream.AsString(), "789");
  fromStream.Write(source, 0);  // the whole stream from the start
  EXPECT_EQ(fromStream.AsString(), "7890123456789");
  source.SetPosition(8);
  fromStream.Write(source, 5);  // at most what is there
  EXPECT_EQ(fromStream.AsString(), "789012345678989");
  TStringStream out;
  fromStream.ExtractToStream(out, 3);
  EXPECT_EQ(out.DataString(), "789");
  TIdBuffer other;
  fromStream.ExtractToIdBuffer(other, 2, 1);
  EXPECT_EQ(other.AsString(), "12");
  EXPECT_EQ(fromStream.Size(), 12);
}

TEST(TIdBufferTest, ReceivingInPlaceAppendsOnlyWhatArrived) {
  TIdBuffer buffer(4);
  buffer.Write(Bytes("0123456789"));
  buffer.Remove(8);  // head past the growth factor: the next reserve compacts
  std::uint8_t* tail = buffer.ReserveTail(100);
  std::memcpy(tail, "abc", 3);
  buffer.CommitTail(3);
  EXPECT_EQ(buffer.AsString(), "89abc");
  buffer.ReserveTail(50);
  buffer.CommitTail(0);  // nothing arrived
  EXPECT_EQ(buffer.Size(), 5);
}

TEST(TIdBufferTest, FromBytes) {
  TIdBytes data = Bytes("abcdef");
  TIdBuffer adopted(data, -1);
  EXPECT_EQ(adopted.AsString(), "abcdef");
  TIdBuffer copied(data, 3);
  EXPECT_EQ(copied.AsString(), "abc");
  TIdBuffer clamped(data, 100);
  EXPECT_EQ(clamped.Size(), 6);
}

TEST(TIdBufferTest, TextExtractionUsesTheBufferEncodingOrASCII) {
  TIdBuffer buffer;
  buffer.Write(TIdBytes{'a', 0xC3, 0xA9});
  EXPECT_EQ(buffer.ExtractToString(-1), "a\xEF\xBF\xBD\xEF\xBF\xBD");
  buffer.Write(TIdBytes{'a', 0xC3, 0xA9});
  buffer.SetEncoding(detail::EncodingUTF8());
  EXPECT_EQ(buffer.ExtractToString(0), "");
  EXPECT_EQ(buffer.ExtractToString(3), "a\xC3\xA9");
}

// ---------------------------------------------------------------------------

TEST(IIdTextEncodingTest, Conversions) {
  struct Case {
    TIdTextEncoding Encoding;
    std::string Text;
    TIdBytes Bytes;
    std::string Decoded;
  } cases[] = {
      {detail::EncodingASCII(), "caf\xC3\xA9 \xE2\x82\xAC", {'c', 'a', 'f', '?', ' ', '?'}, "caf? ?"},
      {detail::Encoding8Bit(), "caf\xC3\xA9 \xE2\x82\xAC", {'c', 'a', 'f', 0xE9, ' ', '?'}, "caf\xC3\xA9 ?"},
      {detail::EncodingUTF8(), "caf\xC3\xA9", {'c', 'a', 'f', 0xC3, 0xA9}, "caf\xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.Encoding->GetBytes(c.Text), c.Bytes) << c.Text;
    EXPECT_EQ(c.Encoding->GetString(c.Bytes), c.Decoded);
  }
  // Malformed UTF-8 and high bytes in ASCII decode to U+FFFD.
  EXPECT_EQ(detail::EncodingUTF8()->GetString(TIdBytes{'a', 0xC3, 'b', 0xFF}),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  EXPECT_EQ(detail::EncodingUTF8()->GetString(TIdBytes{0xED, 0xA0, 0x80}),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate is not a character
  EXPECT_EQ(detail::EncodingUTF8()->GetCharCount(TIdBytes{0xF0, 0x9F, 0x98, 0x80}.data(), 4), 2);
}

}  // namespace

namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(IIdTextEncodingTest, UTF16InBothByteOrders) {
  // a, the euro sign, and U+1F600 as a surrogate pair.
  const std::string text = "a\xE2\x82\xAC\xF0\x9F\x98\x80";
  const TIdBytes le = {0x61, 0x00, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE};
  const TIdBytes be = {0x00, 0x61, 0x20, 0xAC, 0xD8, 0x3D, 0xDE, 0x00};
  struct Case {
    TIdTextEncoding Encoding;
    TIdBytes Bytes;
    TIdBytes OddTail;
    TIdBytes LoneSurrogate;
  } cases[] = {
      {detail::EncodingUTF16LE(), le, {0x61, 0x00, 0x62}, {0x3D, 0xD8, 0x61, 0x00}},
      {detail::EncodingUTF16BE(), be, {0x00, 0x61, 0x62}, {0xD8, 0x3D, 0x00, 0x61}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.Encoding->GetBytes(text), c.Bytes);
    EXPECT_EQ(c.Encoding->GetString(c.Bytes), text);
    EXPECT_EQ(c.Encoding->GetByteCount(text), 8);
    EXPECT_EQ(c.Encoding->GetCharCount(c.Bytes.data(), c.Bytes.size()), 4);
    EXPECT_EQ(c.Encoding->GetChars(c.Bytes), (TIdWideChars{0x61, 0x20AC, 0xD83D, 0xDE00}));
    // Nothing is read past the end or taken for a character it is not.
    EXPECT_EQ(c.Encoding->GetString(c.OddTail), "a" + kFFFD);
    EXPECT_EQ(c.Encoding->GetString(c.LoneSurrogate), kFFFD + "a");
  }
}

TEST(IIdTextEncodingTest, UTF7) {
  struct Case {
    std::string Text;
    std::string Encoded;                   // as written here
    std::vector<std::string> AlsoDecoded;  // other valid forms, RFC 2152's own
  } cases[] = {
      {"A\xE2\x89\xA2\xCE\x91.", "A+ImIDkQ-.", {"A+ImIDkQ."}},
      {"Hi Mom -\xE2\x98\xBA-!", "Hi Mom -+Jjo--+ACE-", {"Hi Mom -+Jjo--!"}},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "+ZeVnLIqe-", {"+ZeVnLIqe"}},
      {"1 + 1", "1 +- 1", {}},
      {"\xF0\x9F\x98\x80", "+2D3eAA-", {}},
      {"", "", {}},
  };
  const TIdTextEncoding& utf7 = detail::EncodingUTF7();
  for (const Case& c : cases) {
    EXPECT_EQ(Text(utf7->GetBytes(c.Text)), c.Encoded) << c.Text;
    EXPECT_EQ(utf7->GetString(Bytes(c.Encoded)), c.Text) << c.Encoded;
    for (const std::string& other : c.AlsoDecoded) EXPECT_EQ(utf7->GetString(Bytes(other)), c.Text) << other;
  }
  // Left-over bits that are not zero, and bytes above 127, are not text.
  EXPECT_EQ(utf7->GetString(Bytes("+ZeV-x")), "\xE6\x97\xA5" + kFFFD + "x");
  EXPECT_EQ(utf7->GetString(TIdBytes{'a', 0xC3}), "a" + kFFFD);
  EXPECT_EQ(utf7->GetString(Bytes("+")), "");
  EXPECT_EQ(utf7->GetCharCount(Bytes("+2D3eAA-").data(), 8), 2);
}

TEST(IIdTextEncodingTest, CodePagesThroughThePlatformConverter) {
  struct Case {
    TIdTextEncoding Encoding;
    std::string Text;
    TIdBytes Bytes;
  } cases[] = {
      {new TIdCodePageEncoding("CP1252"), "caf\xC3\xA9 \xE2\x82\xAC", {'c', 'a', 'f', 0xE9, ' ', 0x80}},
      {new TIdCodePageEncoding(std::uint16_t{1252}), "\xE2\x82\xAC", {0x80}},
      {new TIdCodePageEncoding(std::uint16_t{28592}), "\xC5\x82", {0xB3}},  // ISO-8859-2
      {new TIdCodePageEncoding("Shift_JIS"), "\xE6\x97\xA5\xE6\x9C\xAC", {0x93, 0xFA, 0x96, 0x7B}},
      {new TIdCodePageEncoding(std::uint16_t{932}), "\xE6\x97\xA5", {0x93, 0xFA}},
      // A stateful set: the shift back at the end is part of the bytes.
      {new TIdCodePageEncoding("ISO-2022-JP"), "\xE6\x97\xA5", {0x1B, '$', 'B', 0x46, 0x7C, 0x1B, '(', 'B'}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.Encoding->GetBytes(c.Text), c.Bytes) << c.Text;
    EXPECT_EQ(c.Encoding->GetString(c.Bytes), c.Text);
  }
  TIdTextEncoding cp1252(new TIdCodePageEncoding("CP1252"));
  // A character the set lacks becomes "?"; a byte it does not define U+FFFD.
  EXPECT_EQ(cp1252->GetBytes("a\xE6\x97\xA5"
                             "b"),
            (TIdBytes{'a', '?', 'b'}));
  EXPECT_EQ(cp1252->GetString(TIdBytes{'a', 0x81, 'b'}), "a" + kFFFD + "b");
  EXPECT_EQ(cp1252->GetCharCount(TIdBytes{'a', 0x81}.data(), 2), 2);
  // A multi-byte character cut off at the end.
  TIdTextEncoding sjis(new TIdCodePageEncoding("Shift_JIS"));
  EXPECT_EQ(sjis->GetString(TIdBytes{'x', 0x93}), "x" + kFFFD);
  try {
    TIdCodePageEncoding unknown("NO-SUCH-SET");
    FAIL() << "an unknown set was accepted";
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Character set NO-SUCH-SET is not supported.");
  }
}

TEST(IIdTextEncodingTest, WideCharacters) {
  const TIdTextEncoding& utf8 = detail::EncodingUTF8();
  EXPECT_EQ(utf8->GetChars(Bytes("a\xF0\x9F\x98\x80")), (TIdWideChars{0x61, 0xD83D, 0xDE00}));
  EXPECT_EQ(Text(utf8->GetBytes(TIdWideChars{0x61, 0xD83D, 0xDE00})), "a\xF0\x9F\x98\x80");
  // A high surrogate without its partner is no character.
  EXPECT_EQ(Text(utf8->GetBytes(TIdWideChars{0x61, 0xD83D})), "a" + kFFFD);
  EXPECT_EQ(detail::EncodingASCII()->GetChars(TIdBytes{'o', 0xFF}), (TIdWideChars{'o', 0xFFFD}));
}

}  // namespace
