#include "transport/vynIdSchedulerOfEvents.h"

#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "transport/vynIdContext.h"
#include "transport/vynIdSocketHandle.h"

namespace {
constexpr const char* kNotOurYarn = "The yarn does not belong to this scheduler.";
constexpr const char* kEpollFailed = "Could not make the epoll set: %s";
constexpr const char* kWorkerName = "%s Events";
constexpr const char* kHelperName = "%s User";
// Events a worker takes per wait: it serves them one after the other, so a
// burst costs one wait instead of one each.
constexpr int kEventsPerWait = 16;
// Helpers kept however long they stay idle.
constexpr std::size_t kKeptHelpers = 4;
// How often idle deadlines are looked at, at most.
constexpr std::int32_t kExpiryStepMs = 250;
// The ticket of the stop signal in the epoll set; sockets count from 1.
constexpr std::uint64_t kWakeTicket = 0;
constexpr std::int64_t kNoDeadline = INT64_MAX;

thread_local const TIdSchedulerOfEvents* tSharedThreadOf = nullptr;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void NameThread(const char* AFormat, const std::string& AName) {
  std::string name = Format(AFormat, AName);
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

int ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

TIdYarnOfEvents& YarnOfEvents(TIdYarn* AYarn, const TIdSchedulerOfEvents* AScheduler) {
  auto* y = dynamic_cast<TIdYarnOfEvents*>(AYarn);
  if (!y || y->Scheduler() != AScheduler) throw EIdSchedulerException(kNotOurYarn);
  return *y;
}

// The socket of a task that is a connection's context, or -1.
int SocketOf(TIdTask* ATask) {
  auto* context = dynamic_cast<TIdContext*>(ATask);
  TIdSocketHandle* binding = context ? context->Binding() : nullptr;
  return binding && binding->HandleAllocated() ? static_cast<int>(binding->Handle()) : -1;
}
}  // namespace

// ---------------------------------------------------------------------------
// TIdYarnOfEvents

bool TIdYarnOfEvents::Park(std::int32_t AIdleMs, TIdYarnReadyCheck AReady) {
  if (FTerminated.load()) return false;
  FAsk = TAsk::Park;
  FDeadline = AIdleMs > 0 ? NowMs() + AIdleMs : kNoDeadline;
  FReady = std::move(AReady);
  return true;
}

bool TIdYarnOfEvents::HandOver() {
  if (!FOnWorker) return false;
  FAsk = TAsk::HandOver;
  return true;
}

// ---------------------------------------------------------------------------
// TIdSchedulerOfEvents

TIdSchedulerOfEvents::TIdSchedulerOfEvents(TComponent* AOwner) : TIdScheduler(AOwner) {}

TIdSchedulerOfEvents::~TIdSchedulerOfEvents() {
  while (!TerminateAllYarns(500)) {
  }
  StopThreads();
  if (FEpoll >= 0) ::close(FEpoll);
  if (FWakeFd >= 0) ::close(FWakeFd);
}

bool TIdSchedulerOfEvents::IsSharedThread() const { return tSharedThreadOf == this; }

const TIdSchedulerOfEvents* TIdSchedulerOfEvents::SharedThreadScheduler() { return tSharedThreadOf; }

int TIdSchedulerOfEvents::ParkedCount() const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(
      std::count_if(FRegistered.begin(), FRegistered.end(), [](const auto& AEntry) { return AEntry.second->FParked; }));
}

int TIdSchedulerOfEvents::HelperCount() const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(FHelperThreads.size());
}

void TIdSchedulerOfEvents::Init() {
  TIdScheduler::Init();
  if (IsDesigning()) return;
  std::lock_guard<std::mutex> g(FLock);
  if (!FWorkerThreads.empty()) return;
  if (FEpoll < 0) {
    FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (FEpoll < 0) throw EIdSchedulerException(Format(kEpollFailed, std::strerror(errno)));
  }
  if (FWakeFd < 0) {
    FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWakeFd < 0) throw EIdSchedulerException(Format(kEpollFailed, std::strerror(errno)));
    epoll_event ev{};
    // Level-triggered: once written, every worker sees it.
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTicket;
    if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeFd, &ev) != 0)
      throw EIdSchedulerException(Format(kEpollFailed, std::strerror(errno)));
  }
  std::uint64_t drained;
  while (::read(FWakeFd, &drained, sizeof drained) > 0) {
  }
  FStopThreads = false;
  FNextExpiry = NowMs() + kExpiryStepMs;
  const int count = Workers > 0 ? Workers : ProcessorCount();
  for (int i = 0; i < count; ++i) FWorkerThreads.emplace_back([this] { WorkerLoop(); });
}

TIdYarn* TIdSchedulerOfEvents::AcquireYarn() {
  auto* yarn = new TIdYarnOfEvents(this);
  FActiveYarns.Add(yarn);
  YarnsChanged();
  return yarn;
}

void TIdSchedulerOfEvents::StartYarn(TIdYarn* AYarn, std::unique_ptr<TIdTask> ATask) {
  TIdYarnOfEvents& yarn = YarnOfEvents(AYarn, this);
  std::lock_guard<std::mutex> g(FLock);
  yarn.FTask = std::move(ATask);
  yarn.FStarted = true;
  QueueForHelperLocked(&yarn);
}

void TIdSchedulerOfEvents::TerminateYarn(TIdYarn* AYarn) {
  TIdYarnOfEvents& yarn = YarnOfEvents(AYarn, this);
  std::unique_lock<std::mutex> lk(FLock);
  if (!yarn.FStarted) {
    // Never started (the accept gave up on it): nothing runs it.
    lk.unlock();
    ReleaseYarn(&yarn);
    delete &yarn;
    return;
  }
  yarn.FTerminated.store(true);
  if (yarn.FParked) {
    // Parked: its step runs now and ends it, as an idle end would.
    yarn.FParked = false;
    yarn.FExpired = true;
    QueueForHelperLocked(&yarn);
  }
}

bool TIdSchedulerOfEvents::TerminateAllYarns(std::int32_t AMSec) {
  if (!TIdScheduler::TerminateAllYarns(AMSec)) return false;
  if (!IsSharedThread()) StopThreads();
  return true;
}

void TIdSchedulerOfEvents::StopThreads() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(FLock);
    FStopThreads = true;
    if (FWakeFd >= 0) {
      std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(FWakeFd, &one, sizeof one);
    }
    FHelperWake.notify_all();
    threads.swap(FWorkerThreads);
    for (auto& t : FHelperThreads) threads.push_back(std::move(t));
    FHelperThreads.clear();
    threads.push_back(std::move(FEndedHelper));
    FIdleHelpers = 0;
  }
  for (auto& t : threads)
    if (t.joinable()) t.join();
}

void TIdSchedulerOfEvents::QueueForHelper(TIdYarnOfEvents* AYarn) {
  std::lock_guard<std::mutex> g(FLock);
  // A helper may keep the task for long (a slow client): its socket's
  // events would only wake the workers for nothing until it parks again.
  UnregisterLocked(AYarn);
  QueueForHelperLocked(AYarn);
}

void TIdSchedulerOfEvents::UnregisterLocked(TIdYarnOfEvents* AYarn) {
  if (AYarn->FTicket == 0) return;
  // Still open, the socket leaves the set; once closed, the kernel dropped
  // it already (and its number may be another's now).
  if (SocketOf(AYarn->FTask.get()) == AYarn->FHandle) ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, AYarn->FHandle, nullptr);
  FRegistered.erase(AYarn->FTicket);
  AYarn->FTicket = 0;
  AYarn->FNews = false;
}

void TIdSchedulerOfEvents::QueueForHelperLocked(TIdYarnOfEvents* AYarn) {
  FHelperQueue.push_back(AYarn);
  // Every queued task gets a helper of its own: one that waits for a slow
  // client must not hold up the next.
  if (static_cast<int>(FHelperQueue.size()) > FIdleHelpers)
    FHelperThreads.emplace_back([this] { HelperLoop(); });
  else
    FHelperWake.notify_one();
}

void TIdSchedulerOfEvents::HelperLoop() {
  tSharedThreadOf = this;
  NameThread(kHelperName, Name);
  std::unique_lock<std::mutex> lk(FLock);
  for (;;) {
    if (!FHelperQueue.empty()) {
      TIdYarnOfEvents* yarn = FHelperQueue.front();
      FHelperQueue.pop_front();
      lk.unlock();
      RunStep(yarn, false);
      lk.lock();
      continue;
    }
    if (FStopThreads) return;
    ++FIdleHelpers;
    const bool woken =
        FHelperWake.wait_for(lk, std::chrono::milliseconds(std::max(1, HelperIdleMs))) == std::cv_status::no_timeout;
    --FIdleHelpers;
    if (woken || !FHelperQueue.empty() || FStopThreads || FHelperThreads.size() <= kKeptHelpers) continue;
    // Idle for long: this thread ends. Its handle waits for the next one
    // that ends (or the stop) to join it.
    const auto self = std::find_if(FHelperThreads.begin(), FHelperThreads.end(), [](const std::thread& AThread) {
      return AThread.get_id() == std::this_thread::get_id();
    });
    if (self == FHelperThreads.end()) continue;
    std::thread previous = std::move(FEndedHelper);
    FEndedHelper = std::move(*self);
    FHelperThreads.erase(self);
    lk.unlock();
    if (previous.joinable()) previous.join();
    return;
  }
}

void TIdSchedulerOfEvents::WorkerLoop() {
  tSharedThreadOf = this;
  NameThread(kWorkerName, Name);
  epoll_event events[kEventsPerWait];
  for (;;) {
    int n = ::epoll_wait(FEpoll, events, kEventsPerWait, kExpiryStepMs);
    if (n < 0 && errno != EINTR) return;
    for (int i = 0; i < n; ++i) {
      const std::uint64_t ticket = events[i].data.u64;
      TIdYarnOfEvents* yarn = nullptr;
      {
        std::lock_guard<std::mutex> g(FLock);
        if (ticket == kWakeTicket) {
          if (FStopThreads) return;
          continue;
        }
        // A ticket no longer here was a task's that ended.
        auto it = FRegistered.find(ticket);
        if (it == FRegistered.end()) continue;
        yarn = it->second;
        // Its step runs (or an idle end or a stop took it): the step's
        // next park looks at the socket again.
        if (!yarn->FParked) {
          yarn->FNews = true;
          continue;
        }
        yarn->FParked = false;
      }
      TIdYarnReadiness readiness = TIdYarnReadiness::yrReady;
      if (yarn->FReady) {
        try {
          readiness = yarn->FReady(true);
        } catch (...) {
          // The step itself meets the failure and ends the connection.
          readiness = TIdYarnReadiness::yrReady;
        }
      }
      if (readiness == TIdYarnReadiness::yrNothing) {
        // Woken for nothing after all: back into the set, same deadline.
        const TParked parked = ParkYarn(yarn);
        if (parked == TParked::Parked) continue;
        readiness = parked == TParked::RunNow ? TIdYarnReadiness::yrReady : TIdYarnReadiness::yrPartial;
      }
      if (readiness == TIdYarnReadiness::yrReady)
        RunStep(yarn, true);
      else
        QueueForHelper(yarn);
    }
    if (NowMs() >= FNextExpiry) ExpireParked();
  }
}

void TIdSchedulerOfEvents::ExpireParked() {
  std::lock_guard<std::mutex> g(FLock);
  const std::int64_t now = NowMs();
  if (now < FNextExpiry) return;
  FNextExpiry = now + kExpiryStepMs;
  std::vector<TIdYarnOfEvents*> expired;
  for (auto& [ticket, yarn] : FRegistered)
    if (yarn->FParked && yarn->FDeadline <= now) expired.push_back(yarn);
  for (TIdYarnOfEvents* yarn : expired) {
    yarn->FParked = false;
    yarn->FExpired = true;
    QueueForHelperLocked(yarn);
  }
}

TIdSchedulerOfEvents::TParked TIdSchedulerOfEvents::ParkYarn(TIdYarnOfEvents* AYarn) {
  bool receive = false;
  for (;;) {
    // Bytes received already (by the step's last reads), or left in the
    // socket by them, are no news to the socket: a wait for it would miss
    // them.
    TIdYarnReadiness buffered = TIdYarnReadiness::yrNothing;
    if (AYarn->FReady) {
      try {
        buffered = AYarn->FReady(receive);
      } catch (...) {
        buffered = TIdYarnReadiness::yrReady;
      }
    }
    if (buffered == TIdYarnReadiness::yrReady) return TParked::RunNow;
    if (buffered == TIdYarnReadiness::yrPartial) return TParked::NeedsHelper;
    const int handle = SocketOf(AYarn->FTask.get());
    std::lock_guard<std::mutex> g(FLock);
    if (handle < 0 || AYarn->FTerminated.load() || FStopThreads || FEpoll < 0) {
      // Nothing to wait on, or stopping: the step runs once more and ends.
      AYarn->FExpired = true;
      return TParked::NeedsHelper;
    }
    if (AYarn->FTicket != 0 && AYarn->FHandle != handle) {
      // Another socket: events for the old one are no longer this task's.
      FRegistered.erase(AYarn->FTicket);
      AYarn->FTicket = 0;
    }
    if (AYarn->FTicket == 0) {
      // Registered once, edge-triggered: it stays in the set between
      // requests, and bytes there already are reported at once.
      const std::uint64_t ticket = FNextTicket++;
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
      ev.data.u64 = ticket;
      int rc = ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, handle, &ev);
      if (rc != 0 && errno == EEXIST) rc = ::epoll_ctl(FEpoll, EPOLL_CTL_MOD, handle, &ev);
      // Cannot wait on it here: a helper waits for the client instead.
      if (rc != 0) return TParked::NeedsHelper;
      AYarn->FHandle = handle;
      AYarn->FTicket = ticket;
      AYarn->FNews = false;
      FRegistered.emplace(ticket, AYarn);
    } else if (AYarn->FNews) {
      // Bytes came while the step ran, and its reads may not have taken
      // them: no edge will tell of them again.
      AYarn->FNews = false;
      receive = true;
      continue;
    }
    AYarn->FParked = true;
    return TParked::Parked;
  }
}

void TIdSchedulerOfEvents::RunStep(TIdYarnOfEvents* AYarn, bool AOnWorker) {
  TIdTask* task = AYarn->FTask.get();
  if (AYarn->FTerminated.load() && !task->BeforeRunDone()) {
    // Stopped before it ever ran: no connect, so no disconnect either.
    AYarn->FTask.reset();
    ReleaseYarn(AYarn);
    delete AYarn;
    return;
  }
  for (;;) {
    AYarn->FOnWorker = AOnWorker;
    AYarn->FAsk = TIdYarnOfEvents::TAsk::None;
    std::exception_ptr failure;
    bool done = false;
    try {
      if (!task->BeforeRunDone()) task->DoBeforeRun();
      for (;;) {
        // Told to stop: the task ends without another pass, as a stopped
        // thread's would.
        if (AYarn->FTerminated.load()) {
          done = true;
          break;
        }
        if (!task->DoRun()) {
          done = true;
          break;
        }
        AYarn->FExpired = false;
        if (AYarn->FAsk != TIdYarnOfEvents::TAsk::None) break;
        // A task that goes on without parking may wait for its client: not
        // on a worker.
        if (AOnWorker) {
          AYarn->FAsk = TIdYarnOfEvents::TAsk::HandOver;
          break;
        }
      }
    } catch (const Exception&) {
      failure = std::current_exception();
      done = true;
    } catch (const std::exception& e) {
      failure = std::make_exception_ptr(Exception(e.what()));
      done = true;
    }
    AYarn->FOnWorker = false;
    AYarn->FExpired = false;
    if (done) {
      Finish(AYarn, failure);
      return;
    }
    if (AYarn->FAsk == TIdYarnOfEvents::TAsk::Park) {
      const TParked parked = ParkYarn(AYarn);
      if (parked == TParked::Parked) return;
      if (parked == TParked::RunNow || !AOnWorker) continue;
    }
    QueueForHelper(AYarn);
    return;
  }
}

void TIdSchedulerOfEvents::Finish(TIdYarnOfEvents* AYarn, std::exception_ptr AFailure) {
  {
    std::lock_guard<std::mutex> g(FLock);
    UnregisterLocked(AYarn);
    AYarn->FParked = false;
    AYarn->FReady = nullptr;
  }
  TIdTask* task = AYarn->FTask.get();
  try {
    task->DoAfterRun();
  } catch (const Exception&) {
    if (!AFailure) AFailure = std::current_exception();
  } catch (const std::exception& e) {
    if (!AFailure) AFailure = std::make_exception_ptr(Exception(e.what()));
  }
  if (AFailure) {
    try {
      std::rethrow_exception(AFailure);
    } catch (const Exception& e) {
      try {
        task->DoException(e);
      } catch (...) {
        // Reported as far as it goes; the task ends either way.
      }
    }
  }
  AYarn->FTask.reset();
  ReleaseYarn(AYarn);
  delete AYarn;
}
