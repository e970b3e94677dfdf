// Fixed message texts of the protocol units (URI, headers, cookies): every
// text is written here once.
#pragma once

// URI.
inline constexpr const char* RSURIProtocolFieldEmpty = "Protocol field is empty";
inline constexpr const char* RSURIHostFieldEmpty = "Host field is empty";

// Hashes and HMAC.
inline constexpr const char* RSHMACHashNotAvailable = "HMAC hash algorithm \"%s\" is not available";
inline constexpr const char* RSFIPSAlgorithmNotAllowed = "Algorithm %s not permitted in FIPS mode";

// Authentication.
inline constexpr const char* RSHTTPAuthInvalidHash =
    "Unsupported hash algorithm. This implementation supports only MD5 encoding.";
