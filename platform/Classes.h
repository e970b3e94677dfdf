// The object model every layer builds on: persistent objects with Assign,
// components with an owner and free notifications, interface references,
// string lists and streams.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/SysUtils.h"

// ---------------------------------------------------------------------------
// TPersistent

class TPersistent {
public:
  virtual ~TPersistent() = default;
  // Copies every member from a source of the same class; fails with
  // "Cannot assign a %s to a %s" otherwise.
  virtual void Assign(const TPersistent& aSource);
  // The class name as written in the code (TvynJSON, ...).
  std::string ClassName() const;

protected:
  [[noreturn]] void AssignError(const TPersistent& aSource) const;
  // For Assign overrides: the source as this class, or the assign error.
  template <class T>
  const T& AssignSource(const TPersistent& aSource) const {
    if (const T* s = dynamic_cast<const T*>(&aSource)) return *s;
    AssignError(aSource);
  }
};

// The class name of any polymorphic object, demangled.
std::string ClassNameOf(const std::type_info& aType);

// ---------------------------------------------------------------------------
// TComponent

enum class TOperation : std::uint8_t { opInsert, opRemove };

// A component has an optional owner. The owner destroys the components it owns
// (newest first) when it is destroyed; a component referenced from outside is
// only observed, and observers learn of its end through Notification(opRemove)
// after asking for it with FreeNotification.
class TComponent : public TPersistent {
public:
  explicit TComponent(TComponent* aOwner = nullptr);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const;
  // Owned components, oldest first.
  TComponent* Components(int aIndex) const;

  // Asks for Notification(this, opRemove) on aComponent when this one ends.
  void FreeNotification(TComponent* aComponent);
  void RemoveFreeNotification(TComponent* aComponent);

  // Ends the component. For plain components this deletes it; reference
  // counted components may defer their end until the last reference goes.
  virtual void Destroy();

  bool IsDestroying() const { return FDestroying; }
  bool IsLoading() const { return FLoading; }
  bool IsDesigning() const { return false; }

  // Creates a component owned by aOwner; the owner destroys it.
  template <class T, class... Args>
  static T* Create(TComponent* aOwner, Args&&... aArgs) {
    return new T(aOwner, std::forward<Args>(aArgs)...);
  }

protected:
  virtual void Notification(TComponent* aComponent, TOperation aOperation);
  // Takes this component out of its owner's list and clears the owner.
  void DetachFromOwner();
  // Sets the owner without listing this component with it: for objects kept
  // alive by another structure of the owner (the JSON node lists).
  void SetOwnerUnlisted(TComponent* aOwner) { FOwner = aOwner; }
  // Lists an unlisted component with its owner after all.
  void ListWithOwner();
  bool IsListedWithOwner() const { return FListed; }
  // Whether this component owns listed components or has free notifications.
  bool HasLinks() const { return FLinks != nullptr; }
  void SetDestroying() { FDestroying = true; }
  void SetLoading(bool aLoading) { FLoading = aLoading; }
  // Destroys every listed owned component, newest first.
  void DestroyComponents();
  // Called when this component first owns a listed component or takes part
  // in a free notification.
  virtual void LinksAdded() {}

private:
  void InsertChild(TComponent* aChild);
  void RemoveChild(TComponent* aChild);

  // What most components never need lives apart, made on first use: the
  // owned components (oldest first) and both directions of free
  // notifications. This keeps the many small components (JSON nodes) small.
  struct Links {
    std::vector<TComponent*> children;
    std::vector<TComponent*> freeNotifies;
  };
  Links& GetLinks();

  TComponent* FOwner = nullptr;
  std::unique_ptr<Links> FLinks;
  bool FListed = false;
  bool FDestroying = false;
  bool FLoading = false;
};

// ---------------------------------------------------------------------------
// Interfaces

// Base of reference-counted interfaces.
class IInterface {
public:
  virtual std::int32_t _AddRef() = 0;
  virtual std::int32_t _Release() = 0;

protected:
  ~IInterface() = default;
};

// An interface reference: takes a reference while it holds the interface and
// gives it back when it lets go, as an interface variable does.
template <class I>
class TIntf {
public:
  TIntf() = default;
  TIntf(std::nullptr_t) {}
  TIntf(I* p) : FPtr(p) {
    if (FPtr) FPtr->_AddRef();
  }
  TIntf(const TIntf& o) : TIntf(o.FPtr) {}
  TIntf(TIntf&& o) noexcept : FPtr(std::exchange(o.FPtr, nullptr)) {}
  template <class J>
  requires std::is_convertible_v<J*, I*> TIntf(const TIntf<J>& o) : TIntf(static_cast<I*>(o.get())) {}
  ~TIntf() { reset(); }
  TIntf& operator=(const TIntf& o) {
    TIntf(o).swap(*this);
    return *this;
  }
  TIntf& operator=(TIntf&& o) noexcept {
    TIntf(std::move(o)).swap(*this);
    return *this;
  }
  TIntf& operator=(std::nullptr_t) {
    reset();
    return *this;
  }
  void reset() {
    if (I* p = std::exchange(FPtr, nullptr)) p->_Release();
  }
  void swap(TIntf& o) noexcept { std::swap(FPtr, o.FPtr); }
  I* get() const { return FPtr; }
  I* operator->() const { return FPtr; }
  I& operator*() const { return *FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }
  friend bool operator==(const TIntf& a, const TIntf& b) { return a.FPtr == b.FPtr; }
  friend bool operator==(const TIntf& a, std::nullptr_t) { return a.FPtr == nullptr; }

private:
  I* FPtr = nullptr;
};

// ---------------------------------------------------------------------------
// String lists

class TStrings : public TPersistent {
public:
  TStrings() = default;
  TStrings(const TStrings& o) = default;
  TStrings& operator=(const TStrings& o) = default;
  void Assign(const TPersistent& aSource) override;

  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& Strings(int aIndex) const;
  const std::string& operator[](int aIndex) const { return Strings(aIndex); }
  void Put(int aIndex, std::string aValue);
  virtual int Add(std::string aValue);
  virtual void Insert(int aIndex, std::string aValue);
  void Delete(int aIndex);
  void Clear() { FItems.clear(); }
  void AddStrings(const TStrings& aStrings);
  virtual int IndexOf(std::string_view aValue) const;

  // Name=Value pairs.
  char NameValueSeparator = '=';
  std::string Names(int aIndex) const;
  std::string ValueFromIndex(int aIndex) const;
  std::string Values(std::string_view aName) const;
  // Sets the value of the first line named aName; an empty value removes it.
  void SetValues(std::string_view aName, std::string_view aValue);
  int IndexOfName(std::string_view aName) const;

  // Lines joined with LineBreak after each; setting splits at CR, LF or CRLF.
  std::string LineBreak = "\r\n";
  std::string Text() const;
  void SetText(std::string_view aText);

  // Comma-separated, quoting items that hold blanks, commas or quotes.
  std::string CommaText() const;
  void SetCommaText(std::string_view aText);
  char Delimiter = ',';
  char QuoteChar = '"';
  bool StrictDelimiter = false;
  std::string DelimitedText() const;
  void SetDelimitedText(std::string_view aText);

  bool CaseSensitive = false;

  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

protected:
  bool SameString(std::string_view a, std::string_view b) const;
  void CheckIndex(int aIndex, int aLimit) const;
  std::vector<std::string> FItems;
};

enum class TDuplicates : std::uint8_t { dupIgnore, dupAccept, dupError };

class TStringList : public TStrings {
public:
  TStringList() = default;
  int Add(std::string aValue) override;
  void Insert(int aIndex, std::string aValue) override;
  int IndexOf(std::string_view aValue) const override;
  bool Find(std::string_view aValue, int& aIndex) const;
  void Sort();
  bool Sorted() const { return FSorted; }
  void SetSorted(bool aSorted);
  TDuplicates Duplicates = TDuplicates::dupIgnore;

private:
  int Compare(std::string_view a, std::string_view b) const;
  bool FSorted = false;
};

// ---------------------------------------------------------------------------
// Streams

enum class TSeekOrigin : std::uint8_t { soBeginning, soCurrent, soEnd };

class TStream {
public:
  virtual ~TStream() = default;
  // Reads up to aCount bytes; returns how many were read.
  virtual std::int64_t Read(void* aBuffer, std::int64_t aCount) = 0;
  // Writes up to aCount bytes; returns how many were written.
  virtual std::int64_t Write(const void* aBuffer, std::int64_t aCount) = 0;
  virtual std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) = 0;
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t aSize) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t aPosition) { Seek(aPosition, TSeekOrigin::soBeginning); }
  // Exactly aCount bytes or EReadError / EWriteError.
  void ReadBuffer(void* aBuffer, std::int64_t aCount);
  void WriteBuffer(const void* aBuffer, std::int64_t aCount);
  // Copies aCount bytes from aSource (all of it from the start when 0).
  std::int64_t CopyFrom(TStream& aSource, std::int64_t aCount);
};

class TMemoryStream : public TStream {
public:
  std::int64_t Read(void* aBuffer, std::int64_t aCount) override;
  std::int64_t Write(const void* aBuffer, std::int64_t aCount) override;
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }
  void SetSize(std::int64_t aSize) override;
  void Clear();
  std::uint8_t* Memory() { return FData.data(); }
  const std::uint8_t* Memory() const { return FData.data(); }
  void LoadFromStream(TStream& aStream);
  void LoadFromFile(const std::string& aFileName);
  void SaveToStream(TStream& aStream);
  void SaveToFile(const std::string& aFileName);

private:
  std::vector<std::uint8_t> FData;
  std::int64_t FPosition = 0;
};

// Holds text as bytes (UTF-8).
class TStringStream : public TMemoryStream {
public:
  TStringStream() = default;
  explicit TStringStream(std::string_view aText);
  std::string DataString() const;
};

// File open modes.
enum : std::uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmCreate = 0xFF00,
};

class TFileStream : public TStream {
public:
  // fmCreate makes or truncates the file; others open an existing one.
  TFileStream(const std::string& aFileName, std::uint16_t aMode, unsigned aRights = 0644);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  std::int64_t Read(void* aBuffer, std::int64_t aCount) override;
  std::int64_t Write(const void* aBuffer, std::int64_t aCount) override;
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override;
  void SetSize(std::int64_t aSize) override;
  const std::string& FileName() const { return FFileName; }
  int Handle() const { return FHandle; }

private:
  std::string FFileName;
  int FHandle = -1;
};
