#include "transport/vynIdThreadSafe.h"

std::int32_t TIdThreadSafeInteger::Value() const {
  std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
  return FValue;
}

void TIdThreadSafeInteger::SetValue(std::int32_t AValue) {
  std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
  FValue = AValue;
}

std::int32_t TIdThreadSafeInteger::Increment() { return Increment(1); }

std::int32_t TIdThreadSafeInteger::Increment(std::int32_t AValue) {
  std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
  std::int32_t old = FValue;
  // Wraps like the 32-bit value it models instead of overflowing.
  FValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(FValue) + static_cast<std::uint32_t>(AValue));
  return old;
}

std::int32_t TIdThreadSafeInteger::Decrement() { return Decrement(1); }

std::int32_t TIdThreadSafeInteger::Decrement(std::int32_t AValue) {
  std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
  std::int32_t old = FValue;
  FValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(FValue) - static_cast<std::uint32_t>(AValue));
  return old;
}

bool TIdThreadSafeBoolean::Value() const {
  std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
  return FValue;
}

void TIdThreadSafeBoolean::SetValue(bool AValue) {
  std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
  FValue = AValue;
}

bool TIdThreadSafeBoolean::Toggle() {
  std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
  FValue = !FValue;
  return FValue;
}
