// Fixed message texts of the protocol units (URI, headers, cookies): every
// text is written here once.
#pragma once

// URI.
inline constexpr const char* RSURIProtocolFieldEmpty = "Protocol field is empty";
inline constexpr const char* RSURIHostFieldEmpty = "Host field is empty";

// Hashes and HMAC.
inline constexpr const char* RSHMACHashNotAvailable = "HMAC hash algorithm \"%s\" is not available";
inline constexpr const char* RSDigestInitEx = "EVP_DigestInit_ex error";
inline constexpr const char* RSDigestUpdate = "EVP_DigestUpdate error";
inline constexpr const char* RSDigestFinalEx = "EVP_DigestFinal_ex error";

// Authentication.
inline constexpr const char* RSHTTPAuthInvalidHash =
    "Unsupported hash algorithm. This implementation supports only MD5 encoding.";
