#include "transport/vynIdYarn.h"

#include "transport/vynIdScheduler.h"

TIdYarnOfThread::TIdYarnOfThread(TIdScheduler* AScheduler, TIdThreadWithTask* AThread)
    : FScheduler(AScheduler), FThread(AThread) {}

TIdYarnOfThread::~TIdYarnOfThread() {
  if (FScheduler) FScheduler->ReleaseYarn(this);
}
