// Fixed message texts of the protocol units (URI, headers, cookies): every
// text is written here once.
#pragma once

// URI.
inline constexpr const char* RSURIProtocolFieldEmpty = "Protocol field is empty";
inline constexpr const char* RSURIHostFieldEmpty = "Host field is empty";
