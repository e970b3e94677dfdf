// Fixed message texts of the socket stack, socket handles, byte buffer and
// I/O handlers: every text is written here once.
#pragma once

// Socket stack and handles.
inline constexpr const char* RSStackError = "Socket Error # %d\r\n%s";
inline constexpr const char* RSStackHOST_NOT_FOUND = "Host not found.";
inline constexpr const char* RSIPVersionUnsupported = "The requested IPVersion / Address family is not supported.";
inline constexpr const char* RSCannotSetIPVersionWhenConnected = "Cannot change IPVersion when connected";
inline constexpr const char* RSInvalidPortRange = "Invalid Port Range (%d - %d)";
inline constexpr const char* RSCannotBindRange = "Can not bind in port range (%d - %d)";
inline constexpr const char* RSConnectionClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* RSInvalidServiceName = "%s is not a valid service.";
inline constexpr const char* RSSetSizeExceeded = "Set Size Exceeded.";
inline constexpr const char* RSStackClassUndefined = "Stack Class is undefined.";
inline constexpr const char* RSStackAlreadyCreated = "Stack already created.";
inline constexpr const char* RSPackageSizeTooBig = "Package Size Too Big.";
inline constexpr const char* RSNotAllBytesSent = "Not all bytes sent.";
// Address text that is not a valid IPv4 or IPv6 literal.
inline constexpr const char* RSInvalidIPAddress = "'%s' is not a valid IP address.";

// I/O handler.
inline constexpr const char* RSNotConnected = "Not Connected";
inline constexpr const char* RSStatusDisconnected = "Disconnected.";
inline constexpr const char* RSReadTimeout = "Read timed out.";
inline constexpr const char* RSReadLnMaxLineLengthExceeded = "Max line length exceeded.";
inline constexpr const char* RSReadLnWaitMaxAttemptsExceeded = "Max line read attempts exceeded.";
inline constexpr const char* RSConnectTimeout = "Connect timed out.";
inline constexpr const char* RSRequiresLargeStream = "Set LargeStream to True to send streams greater than 2GB";
inline constexpr const char* RSDataTooLarge = "Data is too large for stream";
inline constexpr const char* RSNoDataToRead = "No data to read.";
inline constexpr const char* RSFileNotFound = "File \"%s\" not found";
inline constexpr const char* RSObjectTypeNotSupported = "Object type not supported.";
inline constexpr const char* RSMaximumNumberOfCaptureLineExceeded = "Maximum number of line allowed exceeded";
inline constexpr const char* RSInterceptCircularLink = "%s: Circular links are not allowed";
inline constexpr const char* RSIOHandlerTypeNotInstalled = "No IOHandler of type %s is installed.";

// Status texts.
inline constexpr const char* RSStatusResolving = "Resolving hostname %s.";
inline constexpr const char* RSStatusConnecting = "Connecting to %s.";
inline constexpr const char* RSStatusConnected = "Connected.";
inline constexpr const char* RSStatusDisconnecting = "Disconnecting.";
inline constexpr const char* RSStatusText = "%s";

// Byte buffer.
inline constexpr const char* RSTooMuchDataInBuffer = "Too much data in buffer.";
inline constexpr const char* RSNotEnoughDataInBuffer = "Not enough data in buffer. (%d/%d)";
inline constexpr const char* RSBufferMissingTerminator = "Buffer terminator must be specified.";
inline constexpr const char* RSBufferInvalidStartPos = "Buffer start position is invalid.";
inline constexpr const char* RSNoBytesInBuffer = "No bytes in buffer.";
inline constexpr const char* RSIndexOutOfBounds = "Index out of bounds.";
inline constexpr const char* RSCapacityTooSmall = "Capacity cannot be smaller than Size";

// Text encodings.
inline constexpr const char* RSUnsupportedCharSet = "Character set %s is not supported.";

// Replies of line protocols.
inline constexpr const char* RSReplyInvalidCode = "Reply Code is not valid: %s";
inline constexpr const char* RSReplyCodeAlreadyExists = "Reply Code already exists: %s";

// TCP connection and client.
inline constexpr const char* RSAlreadyConnected = "Already connected.";
inline constexpr const char* RSHostRequired = "A Host is required";
inline constexpr const char* RSPortRequired = "A Port is required";
inline constexpr const char* RSCannotChangeConnectedIOHandler = "Cannot change a connected IOHandler.";
inline constexpr const char* RSInterceptIsDifferent = "The IOHandler already has a different Intercept assigned";

// Transparent proxies.
inline constexpr const char* RSTransparentProxyCannotBind = "Transparent proxy cannot bind.";
inline constexpr const char* RSTransparentProxyCanNotSupportUDP = "UDP Not supported by this proxy.";
inline constexpr const char* RSSocksUDPNotSupported = "UDP is not support in this SOCKS version.";
inline constexpr const char* RSSocksRequestFailed = "Request rejected or failed.";
inline constexpr const char* RSSocksRequestServerFailed = "Request rejected because SOCKS server cannot connect.";
inline constexpr const char* RSSocksRequestIdentFailed =
    "Request rejected because the client program and identd report different user-ids.";
inline constexpr const char* RSSocksUnknownError = "Unknown socks error.";
inline constexpr const char* RSSocksServerRespondError = "Socks server did not respond.";
inline constexpr const char* RSSocksAuthMethodError = "Invalid socks authentication method.";
inline constexpr const char* RSSocksAuthError = "Authentication error to socks server.";
inline constexpr const char* RSSocksServerGeneralError = "General SOCKS server failure.";
inline constexpr const char* RSSocksServerPermissionError = "Connection not allowed by ruleset.";
inline constexpr const char* RSSocksServerNetUnreachableError = "Network unreachable.";
inline constexpr const char* RSSocksServerHostUnreachableError = "Host unreachable.";
inline constexpr const char* RSSocksServerConnectionRefusedError = "Connection refused.";
inline constexpr const char* RSSocksServerTTLExpiredError = "TTL expired.";
inline constexpr const char* RSSocksServerCommandError = "Command not supported.";
inline constexpr const char* RSSocksServerAddressError = "Address type not supported.";
// Our own: names the protocol cannot carry are refused rather than cut.
inline constexpr const char* RSSocksHostNameInvalid = "Host name cannot be sent to the SOCKS server: %s";
inline constexpr const char* RSSocksIPv6NotSupported = "SOCKS 4 cannot reach the IPv6 address %s";
inline constexpr const char* RSHttpProxyEmptyStatus = "The HTTP proxy sent no status line.";
inline constexpr const char* RSHttpProxyHostInvalid = "Host name cannot be sent to the HTTP proxy: %s";
inline constexpr const char* RSHttpProxyTooManyHeaders = "The HTTP proxy sent too many header lines.";
