// Base of every transport component: status reports and work (progress)
// events, and a usage reference on the socket stack for its lifetime.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Classes.h"
#include "platform/SysUtils.h"
#include "transport/vynIdGlobal.h"

enum class TWorkMode : std::uint8_t { wmRead, wmWrite };
enum class TIdStatus : std::uint8_t {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText,
  ftpTransfer,
  ftpReady,
  ftpAborted
};

using TIdStatusEvent = std::function<void(TComponent* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TWorkEvent = std::function<void(TComponent* ASender, TWorkMode AWorkMode, std::int64_t AWorkCount)>;
using TWorkBeginEvent = std::function<void(TComponent* ASender, TWorkMode AWorkMode, std::int64_t AWorkCountMax)>;
using TWorkEndEvent = std::function<void(TComponent* ASender, TWorkMode AWorkMode)>;

class TIdComponent : public TComponent {
public:
  explicit TIdComponent(TComponent* AOwner = nullptr);
  ~TIdComponent() override;

  virtual void BeginWork(TWorkMode AWorkMode, std::int64_t ASize = 0);
  virtual void DoWork(TWorkMode AWorkMode, std::int64_t ACount);
  virtual void EndWork(TWorkMode AWorkMode);

  // All work calls are forwarded to this component when set.
  TIdComponent* WorkTarget() const { return FWorkTarget; }
  void SetWorkTarget(TIdComponent* AValue);

  TIdStatusEvent OnStatus;
  TWorkEvent OnWork;
  TWorkBeginEvent OnWorkBegin;
  TWorkEndEvent OnWorkEnd;

  // The status text of a status, before formatting.
  static const char* StatusText(TIdStatus AStatus);

protected:
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  // Formats the status text with the arguments and raises OnStatus; nothing
  // is formatted when OnStatus is not assigned.
  template <class... Args>
  void DoStatus(TIdStatus AStatus, const Args&... AArgs) {
    if (!OnStatus) return;
    OnStatus(this, AStatus, Format(StatusText(AStatus), AArgs...));
  }

private:
  struct TWorkInfo {
    std::int64_t Current = 0;
    std::int64_t Max = 0;
    std::int32_t Level = 0;
  };
  TWorkInfo FWorkInfos[2];
  TIdComponent* FWorkTarget = nullptr;
};
