// Hashes, HMAC and Base64 in MB/s against the crypto library's own calls
// (EVP_Digest, HMAC, EVP_EncodeBlock / EVP_DecodeBlock) in the same run.
//
//   build/rel/bin/bench_hash [--rounds N] [--seconds S]
//
// Ours runs as an application calls it (TIdHash::HashBytes, TIdHMAC::HashValue,
// TIdEncoderMIME::EncodeBytes, TIdDecoderMIME::DecodeBytes), with the crypto
// library loaded through our binding, so MD5, SHA-1 and SHA-2 go through its
// provider and MD4 runs natively. The rows "native" take the provider hooks
// away to time our own MD5 and SHA-1. The peer calls are linked here, in the
// benchmark only; the process shares one copy of the library.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ab.h"
#include "transport/vynIdCoderMIME.h"
#include "transport/vynIdHash.h"
#include "transport/vynIdSSLOpenSSLHeaders.h"

namespace {

int gRounds = 5;
double gSeconds = 0.3;

TIdBytes Pattern(std::size_t ASize) {
  TIdBytes b(ASize);
  std::uint32_t x = 0x12345678;
  for (auto& c : b) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

std::string SizeName(std::size_t ASize) {
  return ASize >= 1024 * 1024 ? std::to_string(ASize / (1024 * 1024)) + " MB"
         : ASize >= 1024      ? std::to_string(ASize / 1024) + " KB"
                              : std::to_string(ASize) + " B";
}

void Row(const std::string& AName, std::size_t ASize, const std::function<void()>& AOurs,
         const std::function<void()>& APeer) {
  const double bytes = static_cast<double>(ASize);
  auto ours = [&] {
    AOurs();
    return bytes;
  };
  auto peer = [&] {
    APeer();
    return bytes;
  };
  ab::PrintRow(AName + ", " + SizeName(ASize), ab::Compare(ours, peer, gRounds, gSeconds), 1e6);
}

// The peer's digest of AData, checked once against ours so that both compute
// the same thing.
void CheckSame(const char* AName, const TIdBytes& AOurs, const unsigned char* APeer, unsigned APeerLen) {
  if (AOurs.size() != APeerLen || std::memcmp(AOurs.data(), APeer, APeerLen) != 0) {
    std::fprintf(stderr, "%s: ours and the library's differ\n", AName);
    std::exit(1);
  }
}

// Results are summed here and printed, so that no call is optimised away.
std::size_t gSink = 0;

template <class THash>
void DigestRows(const char* AName, const EVP_MD* APeerMD, const std::vector<std::size_t>& ASizes,
                const char* ASuffix = "") {
  for (std::size_t size : ASizes) {
    TIdBytes data = Pattern(size);
    THash hash;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, APeerMD, nullptr) != 1) throw std::runtime_error(AName);
    CheckSame(AName, hash.HashBytes(data), md, len);
    Row(
        std::string(AName) + ASuffix, size, [&] { gSink += hash.HashBytes(data).size(); },
        [&] {
          EVP_Digest(data.data(), data.size(), md, &len, APeerMD, nullptr);
          gSink += len;
        });
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rounds") == 0)
      gRounds = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--seconds") == 0)
      gSeconds = std::atof(argv[i + 1]);
  }
  if (!EnsureOpenSSLLoaded()) {
    std::fprintf(stderr, "the crypto library did not load: %s\n", detail::OpenSSLLoadFailureReason().c_str());
    return 1;
  }
  // MD4 lives in the library's legacy provider; it is loaded into a library
  // context of its own so that the default one, which ours uses, still lacks it.
  OSSL_LIB_CTX* legacy = OSSL_LIB_CTX_new();
  OSSL_PROVIDER* legacyProvider = legacy ? OSSL_PROVIDER_load(legacy, "legacy") : nullptr;
  EVP_MD* md4 = legacyProvider ? EVP_MD_fetch(legacy, "MD4", nullptr) : nullptr;

  const std::vector<std::size_t> sizes{64, 16 * 1024, 1024 * 1024};
  std::printf("rounds %d of %.2f s each; MB/s = 10^6 bytes of input per second; ratio ours/library\n\n", gRounds,
              gSeconds);
  std::printf(
      "| what, input size | ours MB/s | library MB/s | ratio (min-max) | ratio per CPU s "
      "|\n|---|---:|---:|---:|---:|\n");
  DigestRows<TIdHashMessageDigest5>("MD5", EVP_md5(), sizes);
  DigestRows<TIdHashSHA1>("SHA-1", EVP_sha1(), sizes);
  DigestRows<TIdHashSHA256>("SHA-256", EVP_sha256(), sizes);
  DigestRows<TIdHashSHA512>("SHA-512", EVP_sha512(), sizes);
  if (md4)
    DigestRows<TIdHashMessageDigest4>("MD4 (native)", md4, sizes);
  else
    std::printf("| MD4 | - | - | the library's legacy provider is not installed |\n");

  for (std::size_t size : sizes) {
    TIdBytes data = Pattern(size);
    TIdHMACSHA256 mac;
    mac.Key = Pattern(32);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    HMAC(EVP_sha256(), mac.Key.data(), static_cast<int>(mac.Key.size()), data.data(), data.size(), out, &len);
    CheckSame("HMAC-SHA256", mac.HashValue(data), out, len);
    Row(
        "HMAC-SHA256", size, [&] { gSink += mac.HashValue(data).size(); },
        [&] {
          HMAC(EVP_sha256(), mac.Key.data(), static_cast<int>(mac.Key.size()), data.data(), data.size(), out, &len);
          gSink += len;
        });
  }

  for (std::size_t size : sizes) {
    TIdBytes data = Pattern(size);
    std::vector<unsigned char> out(4 * ((size + 2) / 3) + 1);
    int n = EVP_EncodeBlock(out.data(), data.data(), static_cast<int>(size));
    std::string ours = TIdEncoderMIME::EncodeBytes(data);
    if (ours != std::string(reinterpret_cast<char*>(out.data()), static_cast<std::size_t>(n))) {
      std::fprintf(stderr, "Base64 encodings differ\n");
      return 1;
    }
    Row(
        "Base64 encode", size, [&] { gSink += TIdEncoderMIME::EncodeBytes(data).size(); },
        [&] { gSink += static_cast<std::size_t>(EVP_EncodeBlock(out.data(), data.data(), static_cast<int>(size))); });
  }

  for (std::size_t size : sizes) {
    // Sized by the decoded bytes, so that the rows line up with encoding.
    TIdBytes data = Pattern(size);
    const std::string text = TIdEncoderMIME::EncodeBytes(data);
    std::vector<unsigned char> out(text.size());
    if (TIdDecoderMIME::DecodeBytes(text) != data) {
      std::fprintf(stderr, "Base64 decoding lost bytes\n");
      return 1;
    }
    Row(
        "Base64 decode", size, [&] { gSink += TIdDecoderMIME::DecodeBytes(text).size(); },
        [&] {
          gSink += static_cast<std::size_t>(EVP_DecodeBlock(
              out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size())));
        });
  }

  // Our own MD5 and SHA-1, with the crypto library's hooks taken away.
  detail::SetHashProviderHooks({});
  DigestRows<TIdHashMessageDigest5>("MD5", EVP_md5(), {1024 * 1024}, " (native)");
  DigestRows<TIdHashSHA1>("SHA-1", EVP_sha1(), {1024 * 1024}, " (native)");
  detail::SetHashProviderHooks(detail::OpenSSLHashProviderHooks());

  std::fprintf(stderr, "(checksum %zu)\n", gSink);
  if (md4) EVP_MD_free(md4);
  if (legacyProvider) OSSL_PROVIDER_unload(legacyProvider);
  if (legacy) OSSL_LIB_CTX_free(legacy);
  return 0;
}
