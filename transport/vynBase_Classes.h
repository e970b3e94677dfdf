// The component base shared by the whole library.
#pragma once

#include <string>

#include "platform/Classes.h"

class TvynComponent_Base : public TComponent {
public:
  explicit TvynComponent_Base(TComponent* aOwner = nullptr) : TComponent(aOwner) {}

  // The library's version; read-only.
  std::string Version() const;

  virtual bool IsDesigning() const { return TComponent::IsDesigning(); }
  virtual bool IsDestroying() const { return TComponent::IsDestroying(); }
  virtual bool IsLoading() const { return TComponent::IsLoading(); }
};
