// Message digests (MD4, MD5 and SHA-1 in native code; SHA-2 through the
// crypto library), HMAC, and the process-wide provider hooks through which
// the crypto library takes over where it can.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/Classes.h"
#include "transport/vynIdGlobal.h"
#include "transport/vynIdTextEncoding.h"

// The digest errors of the crypto library (EIdDigestError and its kind) are
// raised by the binding that installs the provider hooks.
class EIdHMACHashNotAvailable : public EIdException {
public:
  using EIdException::EIdException;
};
class EIdFIPSAlgorithmNotAllowed : public EIdException {
public:
  using EIdException::EIdException;
};

namespace detail {

enum class HashAlgorithm : std::uint8_t { MD2, MD4, MD5, SHA1, SHA224, SHA256, SHA384, SHA512 };

// One digest or HMAC computation running in the crypto library.
class ProviderContext {
public:
  virtual ~ProviderContext() = default;
  virtual void Update(const std::uint8_t* AData, std::size_t ACount) = 0;
  // The result; the context is finished afterwards.
  virtual TIdBytes Final() = 0;
};

// The hooks a crypto library installs. An empty hook answers "not
// available" (false, no context).
struct HashProviderHooks {
  std::function<bool()> FIPSMode;
  std::function<bool(bool)> SetFIPSMode;
  std::function<bool()> HashingAvailable;
  std::function<bool(HashAlgorithm)> AlgorithmAvailable;
  std::function<std::unique_ptr<ProviderContext>(HashAlgorithm)> OpenDigest;
  std::function<bool()> HMACAvailable;
  std::function<bool(HashAlgorithm)> HMACAlgorithmAvailable;
  std::function<std::unique_ptr<ProviderContext>(HashAlgorithm, const TIdBytes&)> OpenHMAC;
};

// The process starts with the crypto library's hooks, which answer "not
// available" until the library is loaded. An empty set gives the
// native-only answers.
void SetHashProviderHooks(HashProviderHooks AHooks);
HashProviderHooks OpenSSLHashProviderHooks();
const HashProviderHooks& GetHashProviderHooks();

bool ProviderFIPSMode();
bool ProviderHashingAvailable();
bool ProviderAlgorithmAvailable(HashAlgorithm AAlgorithm);
bool ProviderHMACAvailable(HashAlgorithm AAlgorithm);

// Raise EIdFIPSAlgorithmNotAllowed while the FIPS mode query answers true.
void CheckMD4Permitted();
void CheckMD5Permitted();

}  // namespace detail

// ---------------------------------------------------------------------------
// Digests

class TIdHash {
public:
  TIdHash() = default;
  virtual ~TIdHash() = default;
  TIdHash(const TIdHash&) = delete;
  TIdHash& operator=(const TIdHash&) = delete;

  // The text goes to bytes with ADestEncoding (ASCII when none is given).
  TIdBytes HashString(std::string_view AStr, const TIdTextEncoding& ADestEncoding = {});
  std::string HashStringAsHex(std::string_view AStr, const TIdTextEncoding& ADestEncoding = {});
  TIdBytes HashBytes(const TIdBytes& ASrc);
  TIdBytes HashBytes(const std::uint8_t* ASrc, std::size_t ACount);
  std::string HashBytesAsHex(const TIdBytes& ASrc);
  // From the stream's position to its end.
  TIdBytes HashStream(TStream& AStream);
  // A non-negative AStartPos seeks there first; a negative ASize means up to
  // the end, otherwise at most ASize bytes. A stream that ends early ends
  // the data.
  TIdBytes HashStream(TStream& AStream, std::int64_t AStartPos, std::int64_t ASize);
  std::string HashStreamAsHex(TStream& AStream);
  std::string HashStreamAsHex(TStream& AStream, std::int64_t AStartPos, std::int64_t ASize);

  // Two upper-case hexadecimal digits per byte.
  virtual std::string DigestToHex(const TIdBytes& AValue) const;
  virtual bool IsAvailable() const { return true; }

protected:
  // At most ASize bytes from the stream's position, fewer when it ends first.
  virtual TIdBytes ComputeDigest(TStream& AStream, std::int64_t ASize) = 0;
};

// Computed by the crypto library alone.
class TIdHashIntF : public TIdHash {
public:
  bool IsAvailable() const override { return IsIntfAvailable(); }
  virtual bool IsIntfAvailable() const;

protected:
  virtual detail::HashAlgorithm Algorithm() const = 0;
  virtual std::unique_ptr<detail::ProviderContext> OpenDigest() const;
  TIdBytes ComputeDigest(TStream& AStream, std::int64_t ASize) override;
  // The crypto library's procedure, whatever the class would choose.
  TIdBytes ProviderDigest(TStream& AStream, std::int64_t ASize);
};

// Native code, handed to the crypto library when it offers the algorithm.
class TIdHashNativeAndIntF : public TIdHashIntF {
public:
  // Hashing and the algorithm available in the crypto library.
  bool IsIntfAvailable() const override;

protected:
  TIdBytes ComputeDigest(TStream& AStream, std::int64_t ASize) override;
  virtual TIdBytes NativeDigest(TStream& AStream, std::int64_t ASize) = 0;
};

// The 64-byte block structure shared by MD4 and MD5.
class TIdHashMessageDigest : public TIdHashNativeAndIntF {
protected:
  TIdBytes NativeDigest(TStream& AStream, std::int64_t ASize) override;
  // One 64-byte block into the state.
  virtual void CompressBlock(const std::uint8_t* ABlock) = 0;
  void WipeBuffer();

  std::uint32_t FState[4] = {};
  std::uint8_t FCBuffer[64] = {};
};

class TIdHashMessageDigest4 : public TIdHashMessageDigest {
protected:
  detail::HashAlgorithm Algorithm() const override { return detail::HashAlgorithm::MD4; }
  void CompressBlock(const std::uint8_t* ABlock) override;
};

class TIdHashMessageDigest5 : public TIdHashMessageDigest4 {
protected:
  detail::HashAlgorithm Algorithm() const override { return detail::HashAlgorithm::MD5; }
  void CompressBlock(const std::uint8_t* ABlock) override;
};

class TIdHashSHA1 : public TIdHashNativeAndIntF {
public:
  // The native code always works.
  bool IsAvailable() const override { return true; }

protected:
  detail::HashAlgorithm Algorithm() const override { return detail::HashAlgorithm::SHA1; }
  TIdBytes NativeDigest(TStream& AStream, std::int64_t ASize) override;
  void CompressBlock(const std::uint8_t* ABlock);

  std::uint32_t FState[5] = {};
  std::uint8_t FCBuffer[64] = {};
};

// SHA-2 exists only through the crypto library.
class TIdHashSHA2 : public TIdHashIntF {
public:
  bool IsAvailable() const override;
};

class TIdHashSHA256 : public TIdHashSHA2 {
protected:
  detail::HashAlgorithm Algorithm() const override { return detail::HashAlgorithm::SHA256; }
};

class TIdHashSHA384 : public TIdHashSHA2 {
protected:
  detail::HashAlgorithm Algorithm() const override { return detail::HashAlgorithm::SHA384; }
};

class TIdHashSHA512 : public TIdHashSHA2 {
protected:
  detail::HashAlgorithm Algorithm() const override { return detail::HashAlgorithm::SHA512; }
};

// ---------------------------------------------------------------------------
// HMAC (RFC 2104)

class TIdHMAC {
public:
  virtual ~TIdHMAC() = default;
  TIdHMAC(const TIdHMAC&) = delete;
  TIdHMAC& operator=(const TIdHMAC&) = delete;

  // The MAC of ABuffer under Key; a non-negative ATruncateTo below the MAC's
  // length cuts it to that many bytes.
  TIdBytes HashValue(const TIdBytes& ABuffer, std::int32_t ATruncateTo = -1);

  std::int32_t HashSize() const { return FHashSize; }
  std::int32_t BlockSize() const { return FBlockSize; }
  const std::string& HashName() const { return FHashName; }
  // None while the crypto library computes the MAC.
  TIdHash* Hash() const { return FHash.get(); }

  // Set by the caller before hashing; an empty key is the RFC's empty key.
  TIdBytes Key;

protected:
  TIdHMAC() = default;
  // The derived constructors call this once their tables are in place.
  void Init();
  virtual void CreateDigest() = 0;
  virtual void SetDigestSizes() = 0;
  virtual bool ProviderHMACAvailable() const;
  virtual std::unique_ptr<detail::ProviderContext> OpenProviderHMAC(const TIdBytes& AKey) const;
  virtual detail::HashAlgorithm Algorithm() const = 0;

  std::int32_t FHashSize = 0;
  std::int32_t FBlockSize = 0;
  std::unique_ptr<TIdHash> FHash;
  std::string FHashName;

private:
  TIdBytes NativeHMAC(const TIdBytes& ABuffer);
};

// Makes the digest object of type THash, or raises the not-available error
// naming the algorithm as AErrorName.
template <class THash, detail::HashAlgorithm AAlgorithm, int AHashSize, int ABlockSize>
class TIdHMACOf : public TIdHMAC {
protected:
  detail::HashAlgorithm Algorithm() const override { return AAlgorithm; }
  void CreateDigest() override {
    auto hash = std::make_unique<THash>();
    // Digests with native code always work, whatever IsAvailable reports.
    if (!std::is_base_of_v<TIdHashNativeAndIntF, THash> && !hash->IsAvailable()) RaiseNotAvailable();
    FHash = std::move(hash);
  }
  void SetDigestSizes() override {
    FHashSize = AHashSize;
    FBlockSize = ABlockSize;
  }
  virtual void RaiseNotAvailable() const = 0;
};

class TIdHMACMD5 : public TIdHMACOf<TIdHashMessageDigest5, detail::HashAlgorithm::MD5, 16, 64> {
public:
  TIdHMACMD5();

protected:
  void RaiseNotAvailable() const override;
};

class TIdHMACSHA1 : public TIdHMACOf<TIdHashSHA1, detail::HashAlgorithm::SHA1, 20, 64> {
public:
  TIdHMACSHA1();

protected:
  void RaiseNotAvailable() const override;
};

class TIdHMACSHA256 : public TIdHMACOf<TIdHashSHA256, detail::HashAlgorithm::SHA256, 32, 64> {
public:
  TIdHMACSHA256();

protected:
  void RaiseNotAvailable() const override;
};

class TIdHMACSHA384 : public TIdHMACOf<TIdHashSHA384, detail::HashAlgorithm::SHA384, 48, 128> {
public:
  TIdHMACSHA384();

protected:
  void RaiseNotAvailable() const override;
};

class TIdHMACSHA512 : public TIdHMACOf<TIdHashSHA512, detail::HashAlgorithm::SHA512, 64, 128> {
public:
  TIdHMACSHA512();

protected:
  void RaiseNotAvailable() const override;
};

class TIdHMACKeyBuilder {
public:
  // ASize random bytes, each in 0..254.
  static TIdBytes Key(std::int32_t ASize);
  static TIdBytes IV(std::int32_t ASize);
};
