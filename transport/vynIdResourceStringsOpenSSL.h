// Fixed message texts of the OpenSSL binding and the TLS I/O handlers: every
// text is written here once.
#pragma once

// Binding.
inline constexpr const char* RSOSSLFailedToLoad = "Failed to load %s.";
inline constexpr const char* RSOSSLMissingFunction = "Missing function %s.";
inline constexpr const char* RSOSSLCouldNotLoadSSLLib = "Could not load SSL library.";
inline constexpr const char* RSSSLEOFViolation = "EOF was observed that violates the protocol";

// Contexts and sessions.
inline constexpr const char* RSOSSLModeNotSet = "Mode has not been set.";
inline constexpr const char* RSOSSLGetMethodError = "Error getting SSL method.";
inline constexpr const char* RSOSSLCreatingContextError = "Error creating SSL context.";
inline constexpr const char* RSOSSLLoadingRootCertError = "Could not load root certificate.";
inline constexpr const char* RSOSSLLoadingCertError = "Could not load certificate.";
inline constexpr const char* RSOSSLLoadingKeyError = "Could not load key, check password.";
inline constexpr const char* RSOSSLLoadingDHParamsError = "Could not load DH Parameters.";
inline constexpr const char* RSOSSLSettingCipherError = "SetCipher failed.";
inline constexpr const char* RSOSSLCreatingSessionError = "Error creating SSL session.";
inline constexpr const char* RSOSSLDataBindingError = "Error binding data to SSL socket.";
inline constexpr const char* RSOSSLSetExDataFailed = "SSL_set_ex_data failed";
inline constexpr const char* RSOSSLFDSetError = "Error setting File Descriptor for SSL";
inline constexpr const char* RSOSSLConnectionDropped = "Error connecting with SSL.";
inline constexpr const char* RSOSSLAcceptError = "Error accepting connection with SSL.";
inline constexpr const char* RSOSSLALPNUpdateError = "Error Updating ALPN Protocols";
inline constexpr const char* RSOSSLFIPSAlgorithmNotPermitted = "Algorithm %s not permitted in FIPS mode";
inline constexpr const char* RSOSSLStatusString = "SSL status: \"%s\"";
inline constexpr const char* RSOSSLLoadFileIntoCache = "Load file into cache";
// The peer's certificate does not name the host that was asked for.
inline constexpr const char* RSOSSLHostMismatch = "Certificate does not match the host name %s.";
