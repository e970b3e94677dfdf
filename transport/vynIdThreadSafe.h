// Values and lists guarded by a lock, for state that the accept threads, the
// connection threads and the caller of Start/Stop share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// A recursive lock: the thread that holds it may take it again.
class TIdCriticalSection {
public:
  void Acquire() { FLock.lock(); }
  void Release() { FLock.unlock(); }
  bool TryEnter() { return FLock.try_lock(); }
  // For std::unique_lock and condition variables that wait under this lock.
  std::recursive_mutex& Native() { return FLock; }

private:
  std::recursive_mutex FLock;
};

class TIdThreadSafe {
public:
  virtual ~TIdThreadSafe() = default;
  void Lock() { FCriticalSection.Acquire(); }
  void Unlock() { FCriticalSection.Release(); }

protected:
  mutable TIdCriticalSection FCriticalSection;
};

class TIdThreadSafeInteger : public TIdThreadSafe {
public:
  std::int32_t Value() const;
  void SetValue(std::int32_t AValue);
  // Each returns the value as it was before the change.
  std::int32_t Increment();
  std::int32_t Increment(std::int32_t AValue);
  std::int32_t Decrement();
  std::int32_t Decrement(std::int32_t AValue);

private:
  std::int32_t FValue = 0;
};

class TIdThreadSafeBoolean : public TIdThreadSafe {
public:
  bool Value() const;
  void SetValue(bool AValue);
  // Flips the value; the new value.
  bool Toggle();

private:
  bool FValue = false;
};

// A locked list of pointers. LockList/UnlockList give the raw vector to walk
// it under the lock.
template <class T>
class TIdThreadSafeList : public TIdThreadSafe {
public:
  std::vector<T*>& LockList() {
    Lock();
    return FList;
  }
  void UnlockList() { Unlock(); }

  void Add(T* AItem) {
    std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
    FList.push_back(AItem);
  }
  // Removes the first occurrence; whether it was there.
  bool Remove(T* AItem) {
    std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
    auto it = std::find(FList.begin(), FList.end(), AItem);
    if (it == FList.end()) return false;
    FList.erase(it);
    return true;
  }
  bool Contains(T* AItem) const {
    std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
    return std::find(FList.begin(), FList.end(), AItem) != FList.end();
  }
  void Clear() {
    std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
    FList.clear();
  }
  int Count() const {
    std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
    return static_cast<int>(FList.size());
  }
  // True also for a missing list.
  static bool IsCountLessThan(const TIdThreadSafeList* AList, int ACountTo) {
    return AList == nullptr || AList->Count() < ACountTo;
  }
  bool IsCountLessThan(int ACountTo) const { return IsCountLessThan(this, ACountTo); }
  bool IsEmpty() const { return IsCountLessThan(1); }
  // Removes and returns the last item; none when empty.
  T* Pop() {
    std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
    if (FList.empty()) return nullptr;
    T* item = FList.back();
    FList.pop_back();
    return item;
  }
  // Removes and returns the first item; none when empty.
  T* Pull() {
    std::lock_guard<std::recursive_mutex> g(FCriticalSection.Native());
    if (FList.empty()) return nullptr;
    T* item = FList.front();
    FList.erase(FList.begin());
    return item;
  }
  // Replaces the content with the source's, keeping at least its capacity.
  void Assign(const TIdThreadSafeList& ASource) {
    if (&ASource == this) return;
    std::scoped_lock g(FCriticalSection.Native(), ASource.FCriticalSection.Native());
    FList.reserve(ASource.FList.capacity());
    FList.assign(ASource.FList.begin(), ASource.FList.end());
  }

protected:
  std::vector<T*> FList;
};

// A locked list of objects; an owning list frees its objects when it goes.
template <class T>
class TIdThreadSafeObjectList : public TIdThreadSafeList<T> {
public:
  explicit TIdThreadSafeObjectList(bool AOwnsObjects = false) : OwnsObjects(AOwnsObjects) {}
  ~TIdThreadSafeObjectList() override {
    if (OwnsObjects) ClearAndFree();
  }
  // Frees every object, then clears the list.
  void ClearAndFree() {
    std::vector<T*> items;
    {
      std::lock_guard<std::recursive_mutex> g(this->FCriticalSection.Native());
      items.swap(this->FList);
    }
    // Outside the lock: an object's destructor may look at the list.
    for (T* item : items) std::unique_ptr<T>{item};
  }
  bool OwnsObjects = false;
};
