// The per-connection task: it holds the accepted connection, lists itself
// with the server's live contexts while it runs, and routes its steps to the
// server's events.
#pragma once

#include <functional>
#include <memory>

#include "transport/vynIdTCPConnection.h"
#include "transport/vynIdThread.h"
#include "transport/vynIdThreadSafe.h"

class TIdContext;
class TIdSocketHandle;

using TIdContextThreadList = TIdThreadSafeObjectList<TIdContext>;
using TIdContextRun = std::function<bool(TIdContext* AContext)>;
using TIdContextEvent = std::function<void(TIdContext* AContext)>;
using TIdContextExceptionEvent = std::function<void(TIdContext* AContext, const Exception& AException)>;

class TIdContext : public TIdTask {
public:
  // Owns AConnection; AList (borrowed) is the list the context joins while
  // it runs.
  TIdContext(std::unique_ptr<TIdTCPConnection> AConnection, TIdYarn* AYarn, TIdContextThreadList* AList = nullptr);
  // Leaves the list and frees the connection when it owns it.
  ~TIdContext() override;

  TIdTCPConnection* Connection() const { return FConnection; }
  bool OwnsConnection() const { return FOwnsConnection; }
  // Without ownership the connection is only referenced; someone else frees
  // it.
  void SetOwnsConnection(bool AValue) { FOwnsConnection = AValue; }
  TIdContextThreadList* ContextList() const { return FContextList; }
  // Forgets the list.
  void RemoveFromList() { FContextList = nullptr; }
  // The connection's socket handle, or none.
  TIdSocketHandle* Binding() const;

  TIdContextRun OnRun;
  TIdContextEvent OnBeforeRun;
  TIdContextEvent OnAfterRun;
  TIdContextExceptionEvent OnException;

protected:
  // Joins the list, then OnBeforeRun.
  void PrepareTask() override;
  // OnRun's result; True when it is not set.
  bool RunTask() override;
  // OnAfterRun, then leaves the list.
  void FinishTask() override;
  void TaskException(const Exception& AException) override;

private:
  void LeaveList();

  TIdTCPConnection* FConnection;
  bool FOwnsConnection = true;
  TIdContextThreadList* FContextList;
};
