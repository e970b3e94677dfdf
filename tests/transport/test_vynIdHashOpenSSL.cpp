// Hashing through the crypto library, loaded as the TLS code loads it, and
// checked against the native code in the same process.
#include <gtest/gtest.h>

#include "hash_vectors.h"
#include "transport/vynIdHash.h"
#include "transport/vynIdSSLOpenSSLHeaders.h"

namespace {

using namespace hash_vectors;

class HashOpenSSL : public ::testing::Test {
protected:
  void SetUp() override {
    detail::SetHashProviderHooks(detail::OpenSSLHashProviderHooks());
    ASSERT_TRUE(EnsureOpenSSLLoaded()) << detail::OpenSSLLoadFailureReason();
  }
  void TearDown() override { detail::SetHashProviderHooks(detail::OpenSSLHashProviderHooks()); }
};

std::string Hex(const TIdBytes& b) { return TIdHashSHA1().DigestToHex(b); }

template <class THash, std::size_t N>
void CheckVectors(const Digest (&AVectors)[N]) {
  THash hash;
  ASSERT_TRUE(hash.IsAvailable());
  for (const auto& v : AVectors) EXPECT_EQ(hash.HashStringAsHex(v.input), v.hex) << v.input.substr(0, 40);
}

template <class THMAC, std::size_t N>
void CheckMacs(const Mac (&AVectors)[N]) {
  for (const auto& v : AVectors) {
    THMAC mac;
    EXPECT_EQ(mac.Hash(), nullptr) << "computed by the library";
    mac.Key = v.key;
    EXPECT_EQ(Hex(mac.HashValue(Txt(v.data), v.truncateTo)), v.hex) << v.data.substr(0, 30);
  }
}

TEST_F(HashOpenSSL, DigestVectors) {
  CheckVectors<TIdHashMessageDigest5>(kMD5);
  CheckVectors<TIdHashSHA1>(kSHA1);
  CheckVectors<TIdHashSHA256>(kSHA256);
  CheckVectors<TIdHashSHA384>(kSHA384);
  CheckVectors<TIdHashSHA512>(kSHA512);
}

TEST_F(HashOpenSSL, MD4MissingFromTheDefaultProviderRunsNatively) {
  TIdHashMessageDigest4 md4;
  EXPECT_FALSE(md4.IsAvailable());
  for (const auto& v : kMD4) EXPECT_EQ(md4.HashStringAsHex(v.input), v.hex);
}

TEST_F(HashOpenSSL, HMACVectors) {
  // RFC 4231 cases 1-7 and RFC 2202, with the RFC 2104 empty key too.
  CheckMacs<TIdHMACSHA256>(kHMACSHA256);
  CheckMacs<TIdHMACSHA384>(kHMACSHA384);
  CheckMacs<TIdHMACSHA512>(kHMACSHA512);
  CheckMacs<TIdHMACMD5>(kHMACMD5);
  CheckMacs<TIdHMACSHA1>(kHMACSHA1);
}

TEST_F(HashOpenSSL, NativeAndLibraryAgree) {
  // Lengths around the block and padding edges, and more than one read block.
  std::vector<TIdBytes> inputs;
  for (std::size_t n : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u, 70000u}) {
    TIdBytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + n) & 0xFF);
    inputs.push_back(b);
  }
  auto digests = [&inputs] {
    std::vector<std::string> out;
    for (const auto& b : inputs) {
      out.push_back(TIdHashMessageDigest5().HashBytesAsHex(b));
      out.push_back(TIdHashSHA1().HashBytesAsHex(b));
      TIdHMACMD5 m5;
      m5.Key = b;
      out.push_back(Hex(m5.HashValue(b)));
      TIdHMACSHA1 m1;
      m1.Key = b;
      out.push_back(Hex(m1.HashValue(b)));
    }
    return out;
  };
  ASSERT_TRUE(TIdHashMessageDigest5().IsAvailable());
  std::vector<std::string> library = digests();
  detail::SetHashProviderHooks({});
  ASSERT_FALSE(TIdHashMessageDigest5().IsAvailable());
  EXPECT_EQ(digests(), library);
}

TEST_F(HashOpenSSL, StreamShorterThanStatedStopsAtItsEnd) {
  TMemoryStream s;
  s.WriteBuffer("abc", 3);
  TIdHashSHA256 sha;
  EXPECT_EQ(sha.HashStreamAsHex(s, 0, 100), kSHA256[0].hex);
}

}  // namespace
