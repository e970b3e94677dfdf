#include "transport/vynIdContext.h"

#include "transport/vynIdIOHandlerSocket.h"

TIdContext::TIdContext(std::unique_ptr<TIdTCPConnection> AConnection, TIdYarn* AYarn, TIdContextThreadList* AList)
    : TIdTask(AYarn), FConnection(AConnection.release()), FContextList(AList) {}

TIdContext::~TIdContext() {
  LeaveList();
  if (FOwnsConnection) std::unique_ptr<TIdTCPConnection>{FConnection};
  FConnection = nullptr;
}

TIdSocketHandle* TIdContext::Binding() const {
  if (!FConnection) return nullptr;
  TIdIOHandlerSocket* socket = FConnection->Socket();
  return socket ? socket->Binding() : nullptr;
}

void TIdContext::LeaveList() {
  // Once out of the list the context forgets it: the list's owner may be
  // gone by the time the context is freed.
  if (TIdContextThreadList* list = FContextList) {
    list->Remove(this);
    FContextList = nullptr;
  }
}

void TIdContext::PrepareTask() {
  if (FContextList) FContextList->Add(this);
  if (OnBeforeRun) OnBeforeRun(this);
}

bool TIdContext::RunTask() { return OnRun ? OnRun(this) : true; }

void TIdContext::FinishTask() {
  try {
    if (OnAfterRun) OnAfterRun(this);
  } catch (...) {
    LeaveList();
    throw;
  }
  LeaveList();
}

void TIdContext::TaskException(const Exception& AException) {
  if (OnException) OnException(this, AException);
}
