#include "transport/vynIdHash.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <random>

#include "transport/vynIdResourceStringsOpenSSL.h"
#include "transport/vynIdResourceStringsProtocols.h"
#include "transport/vynIdSSLOpenSSLHeaders.h"

namespace {

using detail::OSSL;

// ---------------------------------------------------------------------------
// The crypto library as provider. Every hook reads the binding's table as it
// is now: until the library is loaded, they answer "not available" and the
// native code runs.

const EVP_MD* DigestOf(detail::HashAlgorithm AAlgorithm) {
  using A = detail::HashAlgorithm;
  const EVP_MD* (*fn)() = nullptr;
  switch (AAlgorithm) {
    case A::MD2:
      return nullptr;
    case A::MD4:
      fn = OSSL.EVP_md4;
      break;
    case A::MD5:
      fn = OSSL.EVP_md5;
      break;
    case A::SHA1:
      fn = OSSL.EVP_sha1;
      break;
    case A::SHA224:
      fn = OSSL.EVP_sha224;
      break;
    case A::SHA256:
      fn = OSSL.EVP_sha256;
      break;
    case A::SHA384:
      fn = OSSL.EVP_sha384;
      break;
    case A::SHA512:
      fn = OSSL.EVP_sha512;
      break;
  }
  return fn ? fn() : nullptr;
}

const char* FetchName(detail::HashAlgorithm AAlgorithm) {
  static constexpr const char* kNames[] = {"MD2", "MD4", "MD5", "SHA1", "SHA224", "SHA256", "SHA384", "SHA512"};
  return kNames[static_cast<int>(AAlgorithm)];
}

// Whether the library can compute the digest. On 3.x a digest function
// answers even when no provider offers the algorithm (MD4 without the
// legacy provider), so the provider is asked. The answer is kept per
// loaded library.
bool LibraryOffers(detail::HashAlgorithm AAlgorithm) {
  if (!DigestOf(AAlgorithm)) return false;
  if (!OSSL.EVP_MD_fetch || !OSSL.EVP_MD_free) return true;
  static std::mutex lock;
  static const void* forLibrary = nullptr;
  static std::int8_t known[8] = {};
  std::lock_guard<std::mutex> guard(lock);
  const void* library = reinterpret_cast<const void*>(OSSL.EVP_MD_fetch);
  if (library != forLibrary) {
    std::fill(std::begin(known), std::end(known), 0);
    forLibrary = library;
  }
  std::int8_t& k = known[static_cast<int>(AAlgorithm)];
  if (k == 0) {
    EVP_MD* md = OSSL.EVP_MD_fetch(nullptr, FetchName(AAlgorithm), nullptr);
    k = md ? 1 : -1;
    if (md) OSSL.EVP_MD_free(md);
    if (!md && OSSL.ERR_clear_error) OSSL.ERR_clear_error();
  }
  return k > 0;
}

class TOpenSSLDigest final : public detail::ProviderContext {
public:
  explicit TOpenSSLDigest(const EVP_MD* AMD) : FCtx(OSSL.EVP_MD_CTX_new()) {
    if (!FCtx || OSSL.EVP_DigestInit_ex(FCtx, AMD, nullptr) != 1) {
      Free();
      EIdDigestInitEx::RaiseException(RSDigestInitEx);
    }
  }
  ~TOpenSSLDigest() override { Free(); }
  void Update(const std::uint8_t* AData, std::size_t ACount) override {
    if (OSSL.EVP_DigestUpdate(FCtx, AData, ACount) != 1) EIdDigestInitEx::RaiseException(RSDigestUpdate);
  }
  TIdBytes Final() override {
    TIdBytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    int rc = OSSL.EVP_DigestFinal_ex(FCtx, out.data(), &len);
    Free();
    if (rc != 1) EIdDigestFinalEx::RaiseException(RSDigestFinalEx);
    out.resize(len);
    return out;
  }

private:
  void Free() {
    if (FCtx && OSSL.EVP_MD_CTX_free) OSSL.EVP_MD_CTX_free(FCtx);
    FCtx = nullptr;
  }
  EVP_MD_CTX* FCtx;
};

class TOpenSSLHMAC final : public detail::ProviderContext {
public:
  TOpenSSLHMAC(const EVP_MD* AMD, const TIdBytes& AKey) : FCtx(OSSL.HMAC_CTX_new()) {
    // A zero-length key is passed as a real (empty) key, never as "keep the
    // previous key".
    static const std::uint8_t kNoKey = 0;
    const void* key = AKey.empty() ? &kNoKey : AKey.data();
    if (!FCtx || OSSL.HMAC_Init_ex(FCtx, key, static_cast<int>(AKey.size()), AMD, nullptr) != 1) {
      Free();
      EIdOSSLUnderlyingCryptoError::RaiseException();
    }
  }
  ~TOpenSSLHMAC() override { Free(); }
  void Update(const std::uint8_t* AData, std::size_t ACount) override {
    if (OSSL.HMAC_Update(FCtx, AData, ACount) != 1) EIdOSSLUnderlyingCryptoError::RaiseException();
  }
  TIdBytes Final() override {
    TIdBytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    int rc = OSSL.HMAC_Final(FCtx, out.data(), &len);
    Free();
    if (rc != 1) EIdOSSLUnderlyingCryptoError::RaiseException();
    out.resize(len);
    return out;
  }

private:
  void Free() {
    if (FCtx && OSSL.HMAC_CTX_free) OSSL.HMAC_CTX_free(FCtx);
    FCtx = nullptr;
  }
  HMAC_CTX* FCtx;
};

detail::HashProviderHooks MakeOpenSSLHooks() {
  detail::HashProviderHooks h;
  h.FIPSMode = [] { return OSSL.FIPS_mode && OSSL.FIPS_mode() != 0; };
  h.SetFIPSMode = [](bool AOn) { return OSSL.FIPS_mode_set && OSSL.FIPS_mode_set(AOn ? 1 : 0) == 1; };
  h.HashingAvailable = [] {
    return OSSL.EVP_MD_CTX_new && OSSL.EVP_MD_CTX_free && OSSL.EVP_DigestInit_ex && OSSL.EVP_DigestUpdate &&
           OSSL.EVP_DigestFinal_ex;
  };
  h.AlgorithmAvailable = [](detail::HashAlgorithm A) { return LibraryOffers(A); };
  h.OpenDigest = [](detail::HashAlgorithm A) -> std::unique_ptr<detail::ProviderContext> {
    const EVP_MD* md = DigestOf(A);
    if (!md) return nullptr;
    return std::make_unique<TOpenSSLDigest>(md);
  };
  h.HMACAvailable = [] {
    return OSSL.HMAC_CTX_new && OSSL.HMAC_CTX_free && OSSL.HMAC_Init_ex && OSSL.HMAC_Update && OSSL.HMAC_Final;
  };
  h.HMACAlgorithmAvailable = [](detail::HashAlgorithm A) {
    return A != detail::HashAlgorithm::MD4 && LibraryOffers(A);
  };
  h.OpenHMAC = [](detail::HashAlgorithm A, const TIdBytes& AKey) -> std::unique_ptr<detail::ProviderContext> {
    const EVP_MD* md = DigestOf(A);
    if (!md) return nullptr;
    return std::make_unique<TOpenSSLHMAC>(md, AKey);
  };
  return h;
}

detail::HashProviderHooks& Hooks() {
  static detail::HashProviderHooks hooks = MakeOpenSSLHooks();
  return hooks;
}

// Streams are hashed in blocks of this size.
constexpr std::size_t kReadBlock = 64 * 1024;

// A read-only stream over bytes that stay where they are.
class TBytesReadStream final : public TStream {
public:
  TBytesReadStream(const std::uint8_t* AData, std::size_t ACount)
      : FData(AData), FSize(static_cast<std::int64_t>(ACount)) {}
  std::int64_t Read(void* ABuffer, std::int64_t ACount) override {
    std::int64_t n = std::max<std::int64_t>(0, std::min(ACount, FSize - FPos));
    if (n > 0) std::copy_n(FData + FPos, n, static_cast<std::uint8_t*>(ABuffer));
    FPos += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t AOffset, TSeekOrigin AOrigin) override {
    std::int64_t base = AOrigin == TSeekOrigin::soBeginning ? 0 : AOrigin == TSeekOrigin::soCurrent ? FPos : FSize;
    FPos = std::clamp<std::int64_t>(base + AOffset, 0, FSize);
    return FPos;
  }
  std::int64_t Size() override { return FSize; }
  void SetSize(std::int64_t) override {}
  // Up to AMax bytes from the position, in place; the position moves past them.
  const std::uint8_t* Take(std::size_t AMax, std::size_t& VCount) {
    VCount = static_cast<std::size_t>(
        std::max<std::int64_t>(0, std::min<std::int64_t>(static_cast<std::int64_t>(AMax), FSize - FPos)));
    const std::uint8_t* p = FData + FPos;
    FPos += static_cast<std::int64_t>(VCount);
    return p;
  }

private:
  const std::uint8_t* FData;
  std::int64_t FSize;
  std::int64_t FPos = 0;
};

// Reads up to ASize bytes, however the stream splits its reads; fewer only
// at the stream's end.
std::size_t ReadFull(TStream& AStream, std::uint8_t* ABuffer, std::size_t ASize) {
  std::size_t got = 0;
  while (got < ASize) {
    std::int64_t n = AStream.Read(ABuffer + got, static_cast<std::int64_t>(ASize - got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

inline std::uint32_t RotL(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t LoadLE(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
inline std::uint32_t LoadBE(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}

// The Merkle-Damgard frame the native digests share: whole blocks from the
// stream, then the final padding with the 64-bit bit count. Reads at most
// ASize bytes and stops early at the stream's end; the count written into
// the padding is what was actually read.
template <class Compress>
void RunBlocks(TStream& AStream, std::int64_t ASize, std::uint8_t (&ABuffer)[64], bool ABigEndianLength,
               Compress&& ACompress) {
  std::uint64_t left = ASize < 0 ? UINT64_MAX : static_cast<std::uint64_t>(ASize);
  std::uint64_t total = 0;
  // Bytes in memory are hashed where they are; other streams through a
  // chunk no larger than what is to be read.
  auto* memory = dynamic_cast<TBytesReadStream*>(&AStream);
  std::vector<std::uint8_t> chunk;
  std::size_t rest = 0;  // bytes of an unfinished block at the end of the data
  while (left > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadBlock));
    std::size_t got = 0;
    const std::uint8_t* data = nullptr;
    if (memory) {
      data = memory->Take(want, got);
    } else {
      if (chunk.size() < want) chunk.resize(want);
      got = ReadFull(AStream, chunk.data(), want);
      data = chunk.data();
    }
    total += got;
    left -= got;
    std::size_t whole = got / 64 * 64;
    for (std::size_t i = 0; i < whole; i += 64) ACompress(data + i);
    rest = got - whole;
    if (got < want || rest != 0) {
      std::copy_n(data + whole, rest, ABuffer);
      break;
    }
  }
  ABuffer[rest] = 0x80;
  std::fill(ABuffer + rest + 1, ABuffer + 64, 0);
  if (rest >= 56) {
    ACompress(ABuffer);
    std::fill(ABuffer, ABuffer + 64, 0);
  }
  std::uint64_t bits = total * 8;
  for (int i = 0; i < 8; ++i) {
    int shift = ABigEndianLength ? 8 * (7 - i) : 8 * i;
    ABuffer[56 + i] = static_cast<std::uint8_t>(bits >> shift);
  }
  ACompress(ABuffer);
}

const std::array<std::uint32_t, 64>& MD5Constants() {
  // The integer part of 2^32 * |sin(i + 1)|.
  static const std::array<std::uint32_t, 64> k = [] {
    std::array<std::uint32_t, 64> t{};
    for (int i = 0; i < 64; ++i)
      t[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    return t;
  }();
  return k;
}

std::mutex& RandomLock() {
  static std::mutex m;
  return m;
}

TIdBytes RandomBytes(std::int32_t ASize) {
  static std::mt19937 gen{std::random_device{}()};
  std::uniform_int_distribution<int> dist(0, 254);
  std::lock_guard<std::mutex> lock(RandomLock());
  TIdBytes out(static_cast<std::size_t>(std::max(0, ASize)));
  for (auto& b : out) b = static_cast<std::uint8_t>(dist(gen));
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Provider hooks

namespace detail {

void SetHashProviderHooks(HashProviderHooks AHooks) { Hooks() = std::move(AHooks); }
HashProviderHooks OpenSSLHashProviderHooks() { return MakeOpenSSLHooks(); }
const HashProviderHooks& GetHashProviderHooks() { return Hooks(); }

bool ProviderFIPSMode() { return Hooks().FIPSMode && Hooks().FIPSMode(); }
bool ProviderHashingAvailable() { return Hooks().HashingAvailable && Hooks().HashingAvailable(); }
bool ProviderAlgorithmAvailable(HashAlgorithm AAlgorithm) {
  return AAlgorithm != HashAlgorithm::MD2 && Hooks().AlgorithmAvailable && Hooks().AlgorithmAvailable(AAlgorithm);
}
bool ProviderHMACAvailable(HashAlgorithm AAlgorithm) {
  return Hooks().HMACAvailable && Hooks().HMACAvailable() && Hooks().HMACAlgorithmAvailable &&
         Hooks().HMACAlgorithmAvailable(AAlgorithm) && Hooks().OpenHMAC;
}

void CheckMD4Permitted() {
  if (ProviderFIPSMode()) throw EIdFIPSAlgorithmNotAllowed(Format(RSOSSLFIPSAlgorithmNotPermitted, "MD4"));
}
void CheckMD5Permitted() {
  if (ProviderFIPSMode()) throw EIdFIPSAlgorithmNotAllowed(Format(RSOSSLFIPSAlgorithmNotPermitted, "MD5"));
}

}  // namespace detail

// ---------------------------------------------------------------------------
// TIdHash

TIdBytes TIdHash::HashString(std::string_view AStr, const TIdTextEncoding& ADestEncoding) {
  return HashBytes(detail::EncodingOrASCII(ADestEncoding)->GetBytes(AStr));
}

std::string TIdHash::HashStringAsHex(std::string_view AStr, const TIdTextEncoding& ADestEncoding) {
  return DigestToHex(HashString(AStr, ADestEncoding));
}

TIdBytes TIdHash::HashBytes(const TIdBytes& ASrc) { return HashBytes(ASrc.data(), ASrc.size()); }

TIdBytes TIdHash::HashBytes(const std::uint8_t* ASrc, std::size_t ACount) {
  TBytesReadStream stream(ASrc, ACount);
  return ComputeDigest(stream, static_cast<std::int64_t>(ACount));
}

std::string TIdHash::HashBytesAsHex(const TIdBytes& ASrc) { return DigestToHex(HashBytes(ASrc)); }

TIdBytes TIdHash::HashStream(TStream& AStream) { return HashStream(AStream, -1, -1); }

TIdBytes TIdHash::HashStream(TStream& AStream, std::int64_t AStartPos, std::int64_t ASize) {
  if (AStartPos >= 0) AStream.SetPosition(AStartPos);
  std::int64_t remaining = std::max<std::int64_t>(0, AStream.Size() - AStream.Position());
  std::int64_t size = ASize < 0 ? remaining : std::min(ASize, remaining);
  return ComputeDigest(AStream, size);
}

std::string TIdHash::HashStreamAsHex(TStream& AStream) { return DigestToHex(HashStream(AStream)); }

std::string TIdHash::HashStreamAsHex(TStream& AStream, std::int64_t AStartPos, std::int64_t ASize) {
  return DigestToHex(HashStream(AStream, AStartPos, ASize));
}

std::string TIdHash::DigestToHex(const TIdBytes& AValue) const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(AValue.size() * 2);
  for (std::uint8_t b : AValue) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// ---------------------------------------------------------------------------
// Provider digests

bool TIdHashIntF::IsIntfAvailable() const { return detail::ProviderHashingAvailable(); }

std::unique_ptr<detail::ProviderContext> TIdHashIntF::OpenDigest() const {
  const auto& hooks = detail::GetHashProviderHooks();
  return hooks.OpenDigest ? hooks.OpenDigest(Algorithm()) : nullptr;
}

TIdBytes TIdHashIntF::ComputeDigest(TStream& AStream, std::int64_t ASize) { return ProviderDigest(AStream, ASize); }

TIdBytes TIdHashIntF::ProviderDigest(TStream& AStream, std::int64_t ASize) {
  std::unique_ptr<detail::ProviderContext> ctx = OpenDigest();
  if (!ctx) return {};
  std::uint64_t left = ASize < 0 ? 0 : static_cast<std::uint64_t>(ASize);
  // Bytes in memory go to the library where they are, in one call.
  if (auto* memory = dynamic_cast<TBytesReadStream*>(&AStream)) {
    std::size_t got = 0;
    const std::uint8_t* data = memory->Take(static_cast<std::size_t>(std::min<std::uint64_t>(left, SIZE_MAX)), got);
    if (got > 0) ctx->Update(data, got);
    return ctx->Final();
  }
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadBlock)));
  while (left > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadBlock));
    std::int64_t got = AStream.Read(chunk.data(), static_cast<std::int64_t>(want));
    if (got <= 0) break;
    ctx->Update(chunk.data(), static_cast<std::size_t>(got));
    left -= static_cast<std::uint64_t>(got);
  }
  return ctx->Final();
}

bool TIdHashNativeAndIntF::IsIntfAvailable() const {
  return TIdHashIntF::IsIntfAvailable() && detail::ProviderAlgorithmAvailable(Algorithm());
}

TIdBytes TIdHashNativeAndIntF::ComputeDigest(TStream& AStream, std::int64_t ASize) {
  return IsIntfAvailable() ? ProviderDigest(AStream, ASize) : NativeDigest(AStream, ASize);
}

bool TIdHashSHA2::IsAvailable() const {
  return detail::ProviderHashingAvailable() && detail::ProviderAlgorithmAvailable(Algorithm());
}

// ---------------------------------------------------------------------------
// MD4 and MD5 (RFC 1320, RFC 1321)

void TIdHashMessageDigest::WipeBuffer() { std::fill(std::begin(FCBuffer), std::end(FCBuffer), 0); }

TIdBytes TIdHashMessageDigest::NativeDigest(TStream& AStream, std::int64_t ASize) {
  FState[0] = 0x67452301;
  FState[1] = 0xEFCDAB89;
  FState[2] = 0x98BADCFE;
  FState[3] = 0x10325476;
  RunBlocks(AStream, ASize, FCBuffer, false, [this](const std::uint8_t* b) { CompressBlock(b); });
  WipeBuffer();
  TIdBytes out(16);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out[i * 4 + j] = static_cast<std::uint8_t>(FState[i] >> (8 * j));
  return out;
}

void TIdHashMessageDigest4::CompressBlock(const std::uint8_t* ABlock) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLE(ABlock + 4 * i);
  std::uint32_t r[4] = {FState[0], FState[1], FState[2], FState[3]};
  // Step j updates register (-j mod 4) from the three after it.
  auto step = [&r](int j, std::uint32_t f, std::uint32_t add, int s) {
    std::uint32_t& a = r[(4 - j % 4) % 4];
    a = RotL(a + f + add, s);
  };
  static constexpr int kS1[4] = {3, 7, 11, 19}, kS2[4] = {3, 5, 9, 13}, kS3[4] = {3, 9, 11, 15};
  static constexpr int kX2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
  static constexpr int kX3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  for (int j = 0; j < 16; ++j) {
    std::uint32_t b = r[(5 - j % 4) % 4], c = r[(6 - j % 4) % 4], d = r[(7 - j % 4) % 4];
    step(j, (b & c) | (~b & d), x[j], kS1[j % 4]);
  }
  for (int j = 0; j < 16; ++j) {
    std::uint32_t b = r[(5 - j % 4) % 4], c = r[(6 - j % 4) % 4], d = r[(7 - j % 4) % 4];
    step(j, (b & c) | (b & d) | (c & d), x[kX2[j]] + 0x5A827999u, kS2[j % 4]);
  }
  for (int j = 0; j < 16; ++j) {
    std::uint32_t b = r[(5 - j % 4) % 4], c = r[(6 - j % 4) % 4], d = r[(7 - j % 4) % 4];
    step(j, b ^ c ^ d, x[kX3[j]] + 0x6ED9EBA1u, kS3[j % 4]);
  }
  for (int i = 0; i < 4; ++i) FState[i] += r[i];
}

void TIdHashMessageDigest5::CompressBlock(const std::uint8_t* ABlock) {
  const auto& k = MD5Constants();
  static constexpr int kS[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = LoadLE(ABlock + 4 * i);
  std::uint32_t a = FState[0], b = FState[1], c = FState[2], d = FState[3];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t f;
    int g;
    int round = i / 16;
    if (round == 0) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (round == 1) {
      f = (b & d) | (c & ~d);
      g = (5 * i + 1) % 16;
    } else if (round == 2) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    std::uint32_t t = d;
    d = c;
    c = b;
    b = b + RotL(a + f + k[i] + m[g], kS[round][i % 4]);
    a = t;
  }
  FState[0] += a;
  FState[1] += b;
  FState[2] += c;
  FState[3] += d;
}

// ---------------------------------------------------------------------------
// SHA-1 (FIPS 180-4)

TIdBytes TIdHashSHA1::NativeDigest(TStream& AStream, std::int64_t ASize) {
  FState[0] = 0x67452301;
  FState[1] = 0xEFCDAB89;
  FState[2] = 0x98BADCFE;
  FState[3] = 0x10325476;
  FState[4] = 0xC3D2E1F0;
  RunBlocks(AStream, ASize, FCBuffer, true, [this](const std::uint8_t* b) { CompressBlock(b); });
  std::fill(std::begin(FCBuffer), std::end(FCBuffer), 0);
  TIdBytes out(20);
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 4; ++j) out[i * 4 + j] = static_cast<std::uint8_t>(FState[i] >> (24 - 8 * j));
  return out;
}

void TIdHashSHA1::CompressBlock(const std::uint8_t* ABlock) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = LoadBE(ABlock + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = RotL(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  std::uint32_t a = FState[0], b = FState[1], c = FState[2], d = FState[3], e = FState[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    std::uint32_t t = RotL(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotL(b, 30);
    b = a;
    a = t;
  }
  FState[0] += a;
  FState[1] += b;
  FState[2] += c;
  FState[3] += d;
  FState[4] += e;
}

// ---------------------------------------------------------------------------
// HMAC

void TIdHMAC::Init() {
  SetDigestSizes();
  if (!ProviderHMACAvailable()) CreateDigest();
}

bool TIdHMAC::ProviderHMACAvailable() const { return detail::ProviderHMACAvailable(Algorithm()); }

std::unique_ptr<detail::ProviderContext> TIdHMAC::OpenProviderHMAC(const TIdBytes& AKey) const {
  const auto& hooks = detail::GetHashProviderHooks();
  return hooks.OpenHMAC ? hooks.OpenHMAC(Algorithm(), AKey) : nullptr;
}

TIdBytes TIdHMAC::HashValue(const TIdBytes& ABuffer, std::int32_t ATruncateTo) {
  TIdBytes mac;
  if (!FHash) {
    std::unique_ptr<detail::ProviderContext> ctx = OpenProviderHMAC(Key);
    if (ctx) {
      ctx->Update(ABuffer.data(), ABuffer.size());
      mac = ctx->Final();
    }
  } else {
    mac = NativeHMAC(ABuffer);
  }
  if (ATruncateTo >= 0 && static_cast<std::size_t>(ATruncateTo) < mac.size())
    mac.resize(static_cast<std::size_t>(ATruncateTo));
  return mac;
}

TIdBytes TIdHMAC::NativeHMAC(const TIdBytes& ABuffer) {
  const auto block = static_cast<std::size_t>(FBlockSize);
  if (Key.size() > block) Key = FHash->HashBytes(Key);
  TIdBytes k(Key);
  k.resize(block, 0);
  TIdBytes data(block + std::max(ABuffer.size(), static_cast<std::size_t>(FHashSize)));
  for (std::size_t i = 0; i < block; ++i) data[i] = k[i] ^ 0x36;
  std::copy(ABuffer.begin(), ABuffer.end(), data.begin() + static_cast<std::ptrdiff_t>(block));
  TIdBytes inner = FHash->HashBytes(data.data(), block + ABuffer.size());
  for (std::size_t i = 0; i < block; ++i) data[i] = k[i] ^ 0x5C;
  std::copy(inner.begin(), inner.end(), data.begin() + static_cast<std::ptrdiff_t>(block));
  return FHash->HashBytes(data.data(), block + inner.size());
}

TIdHMACMD5::TIdHMACMD5() {
  FHashName = "MD5";
  Init();
}
void TIdHMACMD5::RaiseNotAvailable() const { throw EIdHMACHashNotAvailable(Format(RSHMACHashNotAvailable, "MD5")); }

TIdHMACSHA1::TIdHMACSHA1() {
  FHashName = "SHA1";
  Init();
}
void TIdHMACSHA1::RaiseNotAvailable() const { throw EIdHMACHashNotAvailable(Format(RSHMACHashNotAvailable, "SHA-1")); }

TIdHMACSHA256::TIdHMACSHA256() {
  FHashName = "SHA256";
  Init();
}
void TIdHMACSHA256::RaiseNotAvailable() const {
  throw EIdHMACHashNotAvailable(Format(RSHMACHashNotAvailable, "SHA-256"));
}

TIdHMACSHA384::TIdHMACSHA384() {
  FHashName = "SHA384";
  Init();
}
void TIdHMACSHA384::RaiseNotAvailable() const {
  throw EIdHMACHashNotAvailable(Format(RSHMACHashNotAvailable, "SHA-384"));
}

TIdHMACSHA512::TIdHMACSHA512() {
  FHashName = "SHA512";
  Init();
}
void TIdHMACSHA512::RaiseNotAvailable() const {
  throw EIdHMACHashNotAvailable(Format(RSHMACHashNotAvailable, "SHA-512"));
}

TIdBytes TIdHMACKeyBuilder::Key(std::int32_t ASize) { return RandomBytes(ASize); }
TIdBytes TIdHMACKeyBuilder::IV(std::int32_t ASize) { return RandomBytes(ASize); }
