// Types every unit of the transport shares: the byte array and the base of
// the transport's exceptions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SysUtils.h"

using TIdBytes = std::vector<std::uint8_t>;

// Base of every error the transport raises; messages are fixed English texts.
class EIdException : public Exception {
public:
  using Exception::Exception;
};

// Marks the peer's normal close rather than a failure.
class EIdSilentException : public EIdException {
public:
  using EIdException::EIdException;
};
