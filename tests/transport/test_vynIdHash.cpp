#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "hash_vectors.h"
#include "transport/vynIdHash.h"

namespace {

using namespace hash_vectors;

std::string Hex(const TIdBytes& b) {
  TIdHashSHA1 any;
  return any.DigestToHex(b);
}

// Reports a larger size than it holds, like a file that was cut while open.
class TShortStream : public TStream {
public:
  explicit TShortStream(std::string aData) : FData(std::move(aData)) {}
  std::int64_t Read(void* aBuffer, std::int64_t aCount) override {
    std::int64_t n =
        std::max<std::int64_t>(0, std::min<std::int64_t>(aCount, static_cast<std::int64_t>(FData.size()) - FPos));
    if (n > 0) std::memcpy(aBuffer, FData.data() + FPos, static_cast<std::size_t>(n));
    FPos += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override {
    FPos = aOrigin == TSeekOrigin::soBeginning ? aOffset
           : aOrigin == TSeekOrigin::soCurrent ? FPos + aOffset
                                               : Size() + aOffset;
    return FPos;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()) + 1000; }
  void SetSize(std::int64_t) override {}

private:
  std::string FData;
  std::int64_t FPos = 0;
};

// Hands out a few bytes per read.
class TTrickleStream : public TMemoryStream {
public:
  std::int64_t Read(void* aBuffer, std::int64_t aCount) override {
    return TMemoryStream::Read(aBuffer, std::min<std::int64_t>(aCount, 7));
  }
};

// The native code alone, whether or not another test loaded the crypto
// library in this process.
class HashNative : public ::testing::Test {
protected:
  void SetUp() override { detail::SetHashProviderHooks({}); }
  void TearDown() override { detail::SetHashProviderHooks(detail::OpenSSLHashProviderHooks()); }
};
using HMACNative = HashNative;
using HashFIPS = HashNative;

template <class THash, std::size_t N>
void CheckVectors(const Digest (&AVectors)[N]) {
  THash hash;
  for (const auto& v : AVectors) EXPECT_EQ(hash.HashStringAsHex(v.input), v.hex) << v.input.substr(0, 40);
}

TEST_F(HashNative, PublishedVectors) {
  // No crypto library is bound in this test, so these run the native code.
  CheckVectors<TIdHashMessageDigest4>(kMD4);
  CheckVectors<TIdHashMessageDigest5>(kMD5);
  CheckVectors<TIdHashSHA1>(kSHA1);
}

TEST_F(HashNative, TextAboveSevenBitsWithoutEncodingHashesQuestionMark) {
  TIdHashMessageDigest5 md5;
  EXPECT_EQ(md5.HashStringAsHex("\xC3\xA9"), md5.HashStringAsHex("?"));
  EXPECT_NE(md5.HashStringAsHex("\xC3\xA9", detail::EncodingUTF8()), md5.HashStringAsHex("?"));
}

TEST_F(HashNative, StreamRanges) {
  TMemoryStream s;
  s.WriteBuffer(kAlphaNum.data(), static_cast<std::int64_t>(kAlphaNum.size()));
  TIdHashSHA1 sha1;
  TIdHashSHA1 ref;
  s.SetPosition(10);
  EXPECT_EQ(sha1.HashStreamAsHex(s), ref.HashStringAsHex(kAlphaNum.substr(10)));
  EXPECT_EQ(sha1.HashStreamAsHex(s, 0, -1), ref.HashStringAsHex(kAlphaNum));
  EXPECT_EQ(sha1.HashStreamAsHex(s, 5, 20), ref.HashStringAsHex(kAlphaNum.substr(5, 20)));
  // A size beyond the end hashes what there is.
  EXPECT_EQ(sha1.HashStreamAsHex(s, 60, 100), ref.HashStringAsHex(kAlphaNum.substr(60)));
}

TEST_F(HashNative, StreamShorterThanItsStatedSizeStopsAtItsEnd) {
  for (std::size_t len : {0u, 3u, 55u, 56u, 64u, 130u}) {
    std::string data = kDigits80.substr(0, std::min<std::size_t>(len, 80)) + std::string(len > 80 ? len - 80 : 0, 'x');
    TShortStream s(data);
    TIdHashMessageDigest5 md5;
    TIdHashMessageDigest4 md4;
    TIdHashSHA1 sha1;
    EXPECT_EQ(md5.HashStreamAsHex(s, 0, -1), md5.HashStringAsHex(data)) << len;
    EXPECT_EQ(md4.HashStreamAsHex(s, 0, -1), md4.HashStringAsHex(data)) << len;
    EXPECT_EQ(sha1.HashStreamAsHex(s, 0, -1), sha1.HashStringAsHex(data)) << len;
  }
}

TEST_F(HashNative, ChunkedReadsAndLargeInputs) {
  // More than one read block, delivered a few bytes at a time.
  std::string data(200003, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  TTrickleStream s;
  s.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
  TIdHashMessageDigest5 md5;
  EXPECT_EQ(md5.HashStreamAsHex(s, 0, -1), md5.HashStringAsHex(data));
}

TEST_F(HashNative, AvailabilityWithoutCryptoLibrary) {
  EXPECT_TRUE(TIdHashSHA1().IsAvailable());
  // MD4 and MD5 report the crypto library, although their native code works.
  EXPECT_FALSE(TIdHashMessageDigest5().IsAvailable());
  EXPECT_FALSE(TIdHashMessageDigest4().IsAvailable());
  EXPECT_FALSE(TIdHashSHA256().IsAvailable());
  EXPECT_FALSE(TIdHashSHA384().IsAvailable());
  EXPECT_FALSE(TIdHashSHA512().IsAvailable());
  struct Case {
    std::function<void()> make;
    const char* message;
  } cases[] = {
      {[] { TIdHMACSHA256 h; }, "HMAC hash algorithm \"SHA-256\" is not available"},
      {[] { TIdHMACSHA384 h; }, "HMAC hash algorithm \"SHA-384\" is not available"},
      {[] { TIdHMACSHA512 h; }, "HMAC hash algorithm \"SHA-512\" is not available"},
  };
  for (const auto& c : cases) {
    try {
      c.make();
      ADD_FAILURE() << c.message;
    } catch (const EIdHMACHashNotAvailable& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

template <class THMAC, std::size_t N>
void CheckMacs(const Mac (&AVectors)[N]) {
  for (const auto& v : AVectors) {
    THMAC mac;
    mac.Key = v.key;
    EXPECT_EQ(Hex(mac.HashValue(Txt(v.data), v.truncateTo)), v.hex) << v.data.substr(0, 30);
  }
}

TEST_F(HMACNative, PublishedVectors) {
  CheckMacs<TIdHMACMD5>(kHMACMD5);
  CheckMacs<TIdHMACSHA1>(kHMACSHA1);
}

TEST_F(HMACNative, EmptyKeyIsTheRFCEmptyKeyEveryTime) {
  TIdHMACSHA1 mac;
  TIdBytes first = mac.HashValue(Txt("data"));
  EXPECT_TRUE(mac.Key.empty());
  EXPECT_EQ(mac.HashValue(Txt("data")), first);
  TIdHMACSHA1 zeros;
  zeros.Key = TIdBytes(64, 0);  // zero padding makes these the same key
  EXPECT_EQ(zeros.HashValue(Txt("data")), first);
}

TEST_F(HMACNative, LongKeyEqualsItsDigestAsKey) {
  TIdBytes key(100, 0x42);
  TIdHMACMD5 a;
  a.Key = key;
  TIdHMACMD5 b;
  b.Key = TIdHashMessageDigest5().HashBytes(key);
  EXPECT_EQ(a.HashValue(Txt("x")), b.HashValue(Txt("x")));
  // Truncation: only shorter lengths cut; negative or longer give the whole MAC.
  EXPECT_EQ(a.HashValue(Txt("x"), 0).size(), 0u);
  EXPECT_EQ(a.HashValue(Txt("x"), 99).size(), 16u);
  EXPECT_EQ(a.HashValue(Txt("x"), -5).size(), 16u);
}

TEST(HMACKeyBuilder, SizesAndRange) {
  for (std::int32_t n : {0, 1, 64, 1000}) {
    TIdBytes k = TIdHMACKeyBuilder::Key(n);
    ASSERT_EQ(k.size(), static_cast<std::size_t>(n));
    for (auto b : k) EXPECT_LE(b, 254);
  }
  EXPECT_NE(TIdHMACKeyBuilder::IV(32), TIdHMACKeyBuilder::IV(32));
}

TEST_F(HashFIPS, MD4AndMD5RefusedWhileFIPSModeIsOn) {
  EXPECT_NO_THROW(detail::CheckMD5Permitted());
  detail::HashProviderHooks hooks;
  hooks.FIPSMode = [] { return true; };
  detail::SetHashProviderHooks(hooks);
  try {
    detail::CheckMD4Permitted();
    ADD_FAILURE();
  } catch (const EIdFIPSAlgorithmNotAllowed& e) {
    EXPECT_STREQ(e.what(), "Algorithm MD4 not permitted in FIPS mode");
  }
  EXPECT_THROW(detail::CheckMD5Permitted(), EIdFIPSAlgorithmNotAllowed);
}

}  // namespace
