// Fixed message texts of the protocol units (URI, headers, cookies): every
// text is written here once.
#pragma once

// URI.
inline constexpr const char* RSURIProtocolFieldEmpty = "Protocol field is empty";
inline constexpr const char* RSURIHostFieldEmpty = "Host field is empty";

// HTTP client.
inline constexpr const char* RSHTTPUnknownProtocol = "Unknown Protocol";
inline constexpr const char* RSIOHandlerPropInvalidValue = "IOHandler value is not valid";
inline constexpr const char* RSHTTPMethodRequiresVersion = "Request method requires HTTP version 1.1";
inline constexpr const char* RSHTTPChunkStarted = "Chunk Started";
// Our own: answers that break the message format, and requests that cannot
// be written safely, end the call with these.
inline constexpr const char* RSHTTPHeaderClosed = "The server closed the connection inside the response header.";
inline constexpr const char* RSHTTPTooManyHeaderLines = "The response has more than %d header lines.";
inline constexpr const char* RSHTTPTooManyInterimResponses = "The server sent too many interim responses.";
inline constexpr const char* RSHTTPBodyTruncated =
    "The server closed the connection after %d of %d bytes of the response body.";
inline constexpr const char* RSHTTPChunkTruncated = "The server closed the connection inside a chunked response body.";
inline constexpr const char* RSHTTPChunkSizeInvalid = "Invalid chunk size in the response: %s";
inline constexpr const char* RSHTTPResponseMalformed = "The response is malformed (%s): %s";
inline constexpr const char* RSHTTPRequestInvalidChar = "The request %s holds a line break or NUL character.";
inline constexpr const char* RSHTTPTooManyRounds = "Too many redirects and authentication rounds in one request.";
inline constexpr const char* RSHTTPTunnelFailed = "The proxy did not open a tunnel: %s";
inline constexpr const char* RSHTTPRedirectScheme =
    "The redirect leads to the scheme '%s'; only http and https are followed.";

// Hashes and HMAC.
inline constexpr const char* RSHMACHashNotAvailable = "HMAC hash algorithm \"%s\" is not available";
inline constexpr const char* RSDigestInitEx = "EVP_DigestInit_ex error";
inline constexpr const char* RSDigestUpdate = "EVP_DigestUpdate error";
inline constexpr const char* RSDigestFinalEx = "EVP_DigestFinal_ex error";

// Authentication.
inline constexpr const char* RSHTTPAuthInvalidHash =
    "Unsupported hash algorithm. This implementation supports only MD5 encoding.";
