#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Classes.h"

namespace {

struct Log {
  std::vector<std::string> events;
};

class Probe : public TComponent {
public:
  Probe(TComponent* aOwner, Log* aLog, std::string aName) : TComponent(aOwner), FLog(aLog), FName(std::move(aName)) {}
  ~Probe() override { FLog->events.push_back("end " + FName); }
  TComponent* watched = nullptr;
  void Watch(TComponent* c) {
    watched = c;
    if (c) c->FreeNotification(this);
  }

protected:
  void Notification(TComponent* aComponent, TOperation aOperation) override {
    if (aOperation == TOperation::opRemove && aComponent == watched) {
      FLog->events.push_back(FName + " saw the end of its reference");
      watched = nullptr;
    }
  }

private:
  Log* FLog;
  std::string FName;
};

TEST(Component, OwnerEndsWhatItOwnsNewestFirst) {
  Log log;
  {
    Probe owner(nullptr, &log, "owner");
    TComponent::Create<Probe>(&owner, &log, "a");
    TComponent::Create<Probe>(&owner, &log, "b");
    EXPECT_EQ(owner.ComponentCount(), 2);
    EXPECT_EQ(owner.Components(0)->Owner(), &owner);
  }
  EXPECT_EQ(log.events, (std::vector<std::string>{"end owner", "end b", "end a"}));
}

TEST(Component, ChildEndedFirstLeavesItsOwnersList) {
  Log log;
  Probe owner(nullptr, &log, "owner");
  auto* child = TComponent::Create<Probe>(&owner, &log, "child");
  child->Destroy();
  EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST(Component, FreeNotificationClearsTheReference) {
  Log log;
  Probe observer(nullptr, &log, "observer");
  {
    Probe target(nullptr, &log, "target");
    observer.Watch(&target);
  }
  EXPECT_EQ(observer.watched, nullptr);
  EXPECT_EQ(log.events[0], "end target");
  EXPECT_EQ(log.events[1], "observer saw the end of its reference");
  // The other way round: the observer ends first, the target must not call it.
  auto* target = new Probe(nullptr, &log, "t2");
  {
    Probe shortLived(nullptr, &log, "short");
    shortLived.Watch(target);
  }
  target->Destroy();
}

// One component watched from several threads at once, as a server's log is by
// each connection's log: every link made and undone on its thread, and the end
// told exactly to those still linked.
TEST(Component, FreeNotificationsFromSeveralThreadsAtOnce) {
  class Watcher : public TComponent {
  public:
    explicit Watcher(std::atomic<int>* aSeen) : FSeen(aSeen) {}

  protected:
    void Notification(TComponent*, TOperation aOperation) override {
      if (aOperation == TOperation::opRemove) ++*FSeen;
    }

  private:
    std::atomic<int>* FSeen;
  };
  constexpr int kThreads = 4, kRounds = 2000, kKept = 5;
  std::atomic<int> seen{0};
  auto shared = std::make_unique<TComponent>();
  std::vector<std::vector<std::unique_ptr<Watcher>>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        auto w = std::make_unique<Watcher>(&seen);
        shared->FreeNotification(w.get());
        if (i % 2) shared->RemoveFreeNotification(w.get());
        if (i >= kRounds - 2 * kKept && i % 2 == 0) kept[static_cast<std::size_t>(t)].push_back(std::move(w));
      }
    });
  }
  for (auto& t : threads) t.join();
  shared.reset();
  EXPECT_EQ(seen.load(), kThreads * kKept);
}

class OptionsA : public TPersistent {
public:
  int port = 0;
  std::string host;
  void Assign(const TPersistent& aSource) override {
    const auto& s = AssignSource<OptionsA>(aSource);
    port = s.port;
    host = s.host;
  }
};
class OptionsB : public TPersistent {};

TEST(Persistent, AssignCopiesOrNamesBothClasses) {
  OptionsA a, b;
  a.port = 443;
  a.host = "h";
  b.Assign(a);
  EXPECT_EQ(b.port, 443);
  EXPECT_EQ(b.host, "h");
  OptionsB other;
  try {
    b.Assign(other);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a OptionsB to a OptionsA");
  }
}

TEST(Strings, TextNamesValuesAndCommaText) {
  TStringList l;
  l.SetText("a=1\r\nb=2\nc\r\n\r\nd=");
  ASSERT_EQ(l.Count(), 5);
  EXPECT_EQ(l.Values("B"), "2");
  EXPECT_EQ(l.Names(0), "a");
  EXPECT_EQ(l.Names(2), "");
  EXPECT_EQ(l[3], "");
  l.SetValues("a", "9");
  l.SetValues("e", "5");
  l.SetValues("b", "");
  EXPECT_EQ(l.Text(), "a=9\r\nc\r\n\r\nd=\r\ne=5\r\n");
  EXPECT_THROW(l.Strings(99), EListError);

  TStringList c;
  c.SetCommaText("one, \"two words\",\"q\"\"uote\",,last");
  EXPECT_EQ(c.Count(), 5);
  EXPECT_EQ(c[1], "two words");
  EXPECT_EQ(c[2], "q\"uote");
  EXPECT_EQ(c[3], "");
  EXPECT_EQ(c.CommaText(), "one,\"two words\",\"q\"\"uote\",\"\",last");
}

TEST(Strings, SortedListsFindAndRefuseDuplicates) {
  TStringList l;
  l.SetSorted(true);
  l.Add("b");
  l.Add("a");
  l.Add("B");  // case-insensitive duplicate, ignored
  EXPECT_EQ(l.Count(), 2);
  EXPECT_EQ(l[0], "a");
  EXPECT_EQ(l.IndexOf("B"), 1);
  l.Duplicates = TDuplicates::dupError;
  EXPECT_THROW(l.Add("A"), EListError);
}

TEST(Streams, MemoryAndFileStreams) {
  TMemoryStream m;
  m.WriteBuffer("hello world", 11);
  EXPECT_EQ(m.Size(), 11);
  m.SetPosition(6);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_THROW(m.ReadBuffer(buf, 1), EReadError);

  char tmpl[] = "/tmp/streamXXXXXX";
  const int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  m.SaveToFile(tmpl);
  TMemoryStream back;
  back.LoadFromFile(tmpl);
  EXPECT_EQ(back.Size(), 11);
  TStringStream copy;
  TFileStream f(tmpl, fmOpenRead);
  copy.CopyFrom(f, 0);
  EXPECT_EQ(copy.DataString(), "hello world");
  std::remove(tmpl);
  EXPECT_THROW(TFileStream("/nonexistent/dir/file", fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream("/nonexistent/dir/file", fmCreate), EFCreateError);
}

}  // namespace
