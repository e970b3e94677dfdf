#include "transport/vynBase_Classes.h"

namespace {
constexpr const char* kVersion = "4.5.1";
}  // namespace

std::string TvynComponent_Base::Version() const { return kVersion; }
