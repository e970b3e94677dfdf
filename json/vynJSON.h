// The JSON library: a document is an ordered list of nodes; each node has a
// name, a type, a value and, for objects and arrays, a nested document.
//
// The reader is lenient and silent: it never raises, it stops at the first
// thing it cannot read and keeps the nodes it had added. It decodes no escape
// sequences, and the writer escapes nothing, so reading a text and writing it
// again reproduces its strings and numbers character for character, with the
// blanks outside strings removed.
//
// Lifetime: nodes and nested documents are reference counted through their
// interfaces. A node or nested document that a caller still holds outlives the
// document that made it; everything else ends with its document.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Classes.h"
#include "platform/Variants.h"

enum class TvynJSONtype : std::uint8_t {
  vynJSONUndefined = 0,
  vynJSONObject = 1,
  vynJSONList = 2,
  vynJSONString = 3,
  vynJSONNumber = 4,
  vynJSONBoolean = 5,
  vynJSONNull = 6,
};

class IvynObjectJSON;
class TvynObjectJSON;
class TvynJSON;

namespace detail {
class JSONArena;
class JSONReader;

// Text that points either into a document's arena (text it read; freed with
// the arena) or into memory of its own.
class JSONText {
public:
  JSONText() = default;
  ~JSONText() { Free(); }
  JSONText(const JSONText&) = delete;
  JSONText& operator=(const JSONText&) = delete;
  std::string_view View() const { return {FData, FSize}; }
  bool Empty() const { return FSize == 0; }
  bool Owned() const { return FOwned; }
  // Points at text that outlives this object (the arena's copy of the input).
  void Borrow(std::string_view aText);
  // Keeps a copy of its own.
  void Assign(std::string_view aText);
  void Clear() {
    Free();
    FData = "";
    FSize = 0;
  }

private:
  void Free();
  const char* FData = "";
  std::uint32_t FSize = 0;
  bool FOwned = false;
};
}  // namespace detail

// ---------------------------------------------------------------------------

// Base of the reference-counted JSON classes. Destroying it while interface
// references are outstanding only marks it; the last release ends it. A
// release that reaches zero on an unmarked object does nothing: it lives as
// long as its owner or whoever created it.
class TInterfacedComponent : public TComponent {
public:
  explicit TInterfacedComponent(TComponent* aOwner = nullptr);
  ~TInterfacedComponent() override;
  void Destroy() override;
  std::int32_t RefCount() const { return FRefCount; }

protected:
  std::int32_t DoAddRef() { return ++FRefCount; }
  std::int32_t DoRelease();
  // Interface references taken by callers, as opposed to the ones the
  // document structure holds.
  std::int32_t ExternalAddRef();
  std::int32_t ExternalRelease();
  // Something in this object changed since it was read: its arena can no
  // longer be ended without ending its objects one by one.
  void Touch();
  void LinksAdded() override { Touch(); }

private:
  friend class TvynJSON;
  friend class TvynObjectJSON;
  friend class TvynObjectJSONList;
  friend class detail::JSONReader;

  void DeleteSelf();
  // This object leaves the structure of the document that read it (it was
  // displaced, or survives its owner): keep the arena its memory lies in.
  void HoldArena();
  // A holder (node list or node) drops its reference; when the holder is also
  // the owner that never listed it, the owner's end is this object's end.
  void ReleaseFromHolder(TComponent* aHolder);
  // The holder lets go but the object stays the holder's to end later.
  void DisplaceFromHolder(TComponent* aHolder);

  // Declared so that they pack into the component base's tail padding.
  std::int32_t FRefCount = 0;
  detail::JSONArena* FArena = nullptr;  // where this object's memory lies; none on the heap
  bool FDestroyObject = false;
  bool FHoldsArena = false;
};

// ---------------------------------------------------------------------------

// The document's interface.
class IvynJSON : public IInterface {
public:
  virtual std::int32_t GetCount() = 0;
  virtual TIntf<IvynObjectJSON> GetNode(std::string_view aName) = 0;
  virtual void SetNode(std::string_view aName, const TIntf<IvynObjectJSON>& aValue) = 0;
  virtual TIntf<IvynObjectJSON> GetItem(std::int32_t i) = 0;
  virtual void SetItem(std::int32_t i, const TIntf<IvynObjectJSON>& aValue) = 0;
  virtual bool GetIsArray() = 0;
  virtual void SetIsArray(bool aValue) = 0;
  virtual TIntf<IvynObjectJSON> AddPair(std::string_view aName, std::string_view aValue) = 0;
  virtual TIntf<IvynObjectJSON> AddPair(std::string_view aName, std::int32_t aValue) = 0;
  virtual TIntf<IvynObjectJSON> AddPair(std::string_view aName, std::int64_t aValue) = 0;
  virtual TIntf<IvynObjectJSON> AddPair(std::string_view aName, double aValue) = 0;
  virtual TIntf<IvynObjectJSON> AddPair(std::string_view aName, bool aValue) = 0;
  virtual TIntf<IvynObjectJSON> AddObject(std::string_view aName, std::string_view aValue) = 0;
  virtual TIntf<IvynObjectJSON> AddArray(std::string_view aName, std::string_view aValue) = 0;
  virtual void Clear() = 0;
  // Texts of 4 GiB or more are not read: the document is left empty.
  virtual void Read(std::string_view aText) = 0;
  virtual std::string GetText() = 0;

  // A string literal is text, not a boolean.
  TIntf<IvynObjectJSON> AddPair(std::string_view aName, const char* aValue) {
    return AddPair(aName, std::string_view(aValue));
  }
  TIntf<IvynObjectJSON> AddPair(std::string_view aName, const std::string& aValue) {
    return AddPair(aName, std::string_view(aValue));
  }

protected:
  ~IvynJSON() = default;
};

// The node's interface.
class IvynObjectJSON : public IInterface {
public:
  virtual TIntf<IvynJSON> GetJSONObject() = 0;
  virtual TvynJSONtype GetJSONType() = 0;
  virtual void SetJSONObject(const TIntf<IvynJSON>& aValue) = 0;
  virtual void SetJSONType(TvynJSONtype aValue) = 0;
  virtual TIntf<IvynObjectJSON> GetNode(std::string_view aName) = 0;
  virtual void SetNode(std::string_view aName, const TIntf<IvynObjectJSON>& aValue) = 0;
  virtual TIntf<IvynObjectJSON> GetItem(std::int32_t i) = 0;
  virtual void SetItem(std::int32_t i, const TIntf<IvynObjectJSON>& aValue) = 0;
  virtual Variant GetValue() = 0;
  virtual void SetValue(const Variant& aValue) = 0;
  virtual std::int32_t GetCount() = 0;
  virtual std::string GetName() = 0;
  virtual void SetName(std::string_view aValue) = 0;
  virtual void Clear() = 0;

  // The text form of Value, the way callers mostly read scalars.
  std::string ValueText() { return GetValue().AsString(); }

protected:
  ~IvynObjectJSON() = default;
};

// ---------------------------------------------------------------------------

// The nodes of a document in order. It holds a reference on each node; ending
// the list ends every node the document owns, last to first.
class TvynObjectJSONList {
public:
  TvynObjectJSONList() = default;
  ~TvynObjectJSONList();
  TvynObjectJSONList(const TvynObjectJSONList&) = delete;
  TvynObjectJSONList& operator=(const TvynObjectJSONList&) = delete;

  std::int32_t Count() const { return static_cast<std::int32_t>(FCount); }
  TvynObjectJSON* Items(std::int32_t i) const { return FItems[i]; }
  void Add(TvynObjectJSON* aNode);
  // Puts aNode at position i; the node there leaves the list undestroyed.
  void Put(std::int32_t i, TvynObjectJSON* aNode, TComponent* aDocument);
  std::int32_t IndexOfName(std::string_view aName) const;
  // Ends the list: each node is released, and ended when aDocument owns it.
  void Clear(TComponent* aDocument);
  // Drops the items without releasing them: for lists whose nodes end with
  // their arena.
  void Forget();

private:
  friend class TvynJSON;
  friend class detail::JSONReader;
  void Grow();
  TvynObjectJSON** FItems = nullptr;
  std::uint32_t FCount = 0;
  std::uint32_t FCapacity = 0;
  bool FHeap = false;  // FItems came from the heap (else from an arena)
};

// ---------------------------------------------------------------------------

// A JSON document.
class TvynJSON : public TInterfacedComponent, public IvynJSON {
public:
  explicit TvynJSON(TComponent* aOwner = nullptr);
  ~TvynJSON() override;

  std::int32_t _AddRef() override { return ExternalAddRef(); }
  std::int32_t _Release() override { return ExternalRelease(); }

  // IvynJSON
  std::int32_t GetCount() override { return FData.Count(); }
  TIntf<IvynObjectJSON> GetNode(std::string_view aName) override;
  void SetNode(std::string_view aName, const TIntf<IvynObjectJSON>& aValue) override;
  TIntf<IvynObjectJSON> GetItem(std::int32_t i) override;
  void SetItem(std::int32_t i, const TIntf<IvynObjectJSON>& aValue) override;
  bool GetIsArray() override { return FIsArray; }
  void SetIsArray(bool aValue) override { FIsArray = aValue; }
  using IvynJSON::AddPair;
  TIntf<IvynObjectJSON> AddPair(std::string_view aName, std::string_view aValue) override;
  TIntf<IvynObjectJSON> AddPair(std::string_view aName, std::int32_t aValue) override;
  TIntf<IvynObjectJSON> AddPair(std::string_view aName, std::int64_t aValue) override;
  TIntf<IvynObjectJSON> AddPair(std::string_view aName, double aValue) override;
  TIntf<IvynObjectJSON> AddPair(std::string_view aName, bool aValue) override;
  // A null member.
  TIntf<IvynObjectJSON> AddPair(std::string_view aName);
  TIntf<IvynObjectJSON> AddObject(std::string_view aName, std::string_view aValue) override;
  TIntf<IvynObjectJSON> AddArray(std::string_view aName, std::string_view aValue) override;
  void Clear() override;
  void Read(std::string_view aText) override;
  std::string GetText() override;

  // Properties.
  std::int32_t Count() const { return FData.Count(); }
  bool IsArray() const { return FIsArray; }
  std::string Text() { return GetText(); }
  bool EscapeStrings() const { return FEscapeStrings; }
  void SetEscapeStrings(bool aValue) { FEscapeStrings = aValue; }

  // The node named aName (first in order) or at position i, without taking a
  // reference: for walking a document the caller keeps alive.
  TvynObjectJSON* FindNode(std::string_view aName) const;
  TvynObjectJSON* Node(std::int32_t i) const { return i >= 0 && i < FData.Count() ? FData.Items(i) : nullptr; }

  // Nesting deeper than this stops the reader, as at any construct it cannot
  // read: the reader never runs out of stack.
  static constexpr int kMaxDepth = 512;

protected:
  // Writes one node: with aValuesOnly (array elements) without its name.
  virtual void WriteNode(std::string& aText, TvynObjectJSON* aNode, bool aValuesOnly);
  void WriteTo(std::string& aText);
  // The nodes joined by commas, with names unless aValuesOnly.
  void WriteMembers(std::string& aText, bool aValuesOnly);

private:
  friend class TvynObjectJSON;
  friend class detail::JSONReader;
  TvynObjectJSON* AddNode(std::string_view aName, const Variant& aValue, TvynJSONtype aType);
  void ReleaseReadArena();
  // Touches this document and the arena of what it read.
  void TouchAll();

  TvynObjectJSONList FData;
  detail::JSONArena* FReadArena = nullptr;  // holds the nodes of the last Read
  bool FIsArray = false;
  bool FEscapeStrings = false;
};

// ---------------------------------------------------------------------------

// A node: a member of an object (named) or an element of an array (no name).
class TvynObjectJSON : public TInterfacedComponent, public IvynObjectJSON {
public:
  explicit TvynObjectJSON(TComponent* aOwner = nullptr);
  ~TvynObjectJSON() override;

  std::int32_t _AddRef() override { return ExternalAddRef(); }
  std::int32_t _Release() override { return ExternalRelease(); }

  // IvynObjectJSON
  TIntf<IvynJSON> GetJSONObject() override;
  TvynJSONtype GetJSONType() override { return FJSONType; }
  void SetJSONObject(const TIntf<IvynJSON>& aValue) override;
  void SetJSONType(TvynJSONtype aValue) override { FJSONType = aValue; }
  TIntf<IvynObjectJSON> GetNode(std::string_view aName) override;
  void SetNode(std::string_view aName, const TIntf<IvynObjectJSON>& aValue) override;
  TIntf<IvynObjectJSON> GetItem(std::int32_t i) override;
  void SetItem(std::int32_t i, const TIntf<IvynObjectJSON>& aValue) override;
  Variant GetValue() override;
  void SetValue(const Variant& aValue) override;
  std::int32_t GetCount() override;
  std::string GetName() override { return std::string(FName.View()); }
  void SetName(std::string_view aValue) override {
    Touch();
    FName.Assign(aValue);
  }
  void Clear() override;

  // Properties.
  TvynJSONtype JSONType() const { return FJSONType; }
  std::string_view Name() const { return FName.View(); }
  bool Quoted() const { return FQuoted; }
  void SetQuoted(bool aValue) { FQuoted = aValue; }
  // The nested document, created on demand as GetJSONObject does.
  TvynJSON* JSONObject();
  // The nested document if there is one; never creates it.
  TvynJSON* NestedDocument() const { return FJSONObject; }
  // The text form of the value as Value gives it.
  std::string ValueText();

private:
  friend class TvynJSON;
  friend class TvynObjectJSONList;
  friend class detail::JSONReader;
  void AppendValueText(std::string& aText) const;
  void SetNested(TvynJSON* aDocument);

  enum class ValueKind : std::uint8_t { Empty, Text, Int32, Int64, Double, Boolean };

  detail::JSONText FName;
  detail::JSONText FText;  // the value when it is text
  union {
    std::int64_t FInt;
    double FDouble;
  };
  TvynJSON* FJSONObject = nullptr;  // holds a reference while set
  ValueKind FKind = ValueKind::Empty;
  TvynJSONtype FJSONType = TvynJSONtype::vynJSONUndefined;
  bool FQuoted = true;
};

// ---------------------------------------------------------------------------

// Creates documents through a replaceable document class. A document made
// without an owner gets a hidden owner kept in a lock-protected registry;
// Release ends that owner (and with it the document), or else the document.
class TvynOwnerComponent : public TComponent {
public:
  explicit TvynOwnerComponent(TComponent* aOwner = nullptr) : TComponent(aOwner) {}
  // Released before the owned document is ended.
  TIntf<IvynJSON> FInstance;
};

class TvynJSONFactory {
public:
  using TDocumentClass = std::function<TvynJSON*(TComponent* aOwner)>;
  static TIntf<IvynJSON> Create(TComponent* aOwner = nullptr);
  static void Release(TIntf<IvynJSON>& aJSON);
  // Replaces the document class; an empty function restores TvynJSON.
  static void SetDocumentClass(TDocumentClass aClass);
};

namespace detail {
// Escapes text the way documents with EscapeStrings store it.
std::string JSONEscape(std::string_view aText);
}  // namespace detail
