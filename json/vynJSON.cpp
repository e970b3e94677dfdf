#include "json/vynJSON.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <stdexcept>
#include <vector>

namespace {
constexpr const char* kListIndexError = "List index out of bounds (%d)";
constexpr const char* kInvalidCast = "Invalid class typecast";

TvynObjectJSON* AsNode(const TIntf<IvynObjectJSON>& aValue) {
  auto* node = dynamic_cast<TvynObjectJSON*>(aValue.get());
  if (!node) throw EConvertError(kInvalidCast);
  return node;
}

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

bool SameLiteral(const char* p, const char* end, std::string_view word) {
  if (static_cast<std::size_t>(end - p) < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (Lower(p[i]) != word[i]) return false;
  return true;
}
}  // namespace

namespace detail {

// ---------------------------------------------------------------------------
// JSONText

void JSONText::Free() {
  if (FOwned) delete[] FData;
  FOwned = false;
}

void JSONText::Borrow(std::string_view aText) {
  Free();
  FData = aText.data();
  FSize = static_cast<std::uint32_t>(aText.size());
}

void JSONText::Assign(std::string_view aText) {
  if (aText.empty()) {
    Clear();
    return;
  }
  if (aText.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("JSON text too long");
  char* copy = new char[aText.size()];
  std::memcpy(copy, aText.data(), aText.size());
  Free();
  FData = copy;
  FSize = static_cast<std::uint32_t>(aText.size());
  FOwned = true;
}

// ---------------------------------------------------------------------------
// JSONArena: the memory of one Read. Nodes and documents the reader makes are
// placed here; the arena ends when the reading document lets go of it and no
// object that left the document's structure still lies in it.

namespace {

constexpr std::size_t kFirstBlock = std::size_t(16) << 10;
constexpr std::size_t kBlock = std::size_t(256) << 10;
// Full-size blocks a thread keeps for its next reads: memory the system
// would otherwise have to hand out and fault in again for every document.
// Not under AddressSanitizer: blocks kept for reuse would hide the
// use-after-free reports the lifetime tests rely on.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VYN_JSON_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(VYN_JSON_UNDER_ASAN)
constexpr std::size_t kCachedBlocks = 0;
#else
constexpr std::size_t kCachedBlocks = 64;
#endif

struct BlockCache {
  std::vector<void*> blocks;
  ~BlockCache() {
    for (void* b : blocks) std::free(b);
  }
};
thread_local BlockCache tBlockCache;

void* NewBlock(std::size_t aSize) {
  if (aSize == kBlock && !tBlockCache.blocks.empty()) {
    void* b = tBlockCache.blocks.back();
    tBlockCache.blocks.pop_back();
    return b;
  }
  void* b = std::malloc(aSize);
  if (!b) throw std::bad_alloc();
  return b;
}

void FreeBlock(void* aBlock, std::size_t aSize) {
  if (aSize == kBlock && tBlockCache.blocks.size() < kCachedBlocks) {
    tBlockCache.blocks.push_back(aBlock);
    return;
  }
  std::free(aBlock);
}

}  // namespace

class JSONArena {
public:
  // aExpected: a guess of the memory the nodes will take.
  explicit JSONArena(std::size_t aExpected) : FNextBlock(kFirstBlock) {
    while (FNextBlock < aExpected && FNextBlock < kBlock) FNextBlock *= 2;
  }
  ~JSONArena() {
    while (FBlocks) {
      Block* next = FBlocks->next;
      FreeBlock(FBlocks, FBlocks->size);
      FBlocks = next;
    }
    std::free(FText);
  }
  JSONArena(const JSONArena&) = delete;
  JSONArena& operator=(const JSONArena&) = delete;

  void AddRef() { ++FRefs; }
  void Release() {
    if (--FRefs == 0) delete this;
  }
  std::int32_t RefCount() const { return FRefs; }
  std::size_t TextSize() const { return FTextSize; }

  // Whether everything in the arena is as the reader made it, held by
  // nothing but the document structure, so that ending the arena ends it all.
  bool Pristine() const { return FRefs == 1 && !FTouched && FExternalRefs == 0; }
  void Touch() { FTouched = true; }
  void ExternalRef(int aDelta) { FExternalRefs += aDelta; }

  // The arena's own copy of the text it reads.
  const char* CopyText(std::string_view aText) {
    FTextSize = aText.size();
    FText = static_cast<char*>(std::malloc(aText.size()));
    if (!FText) throw std::bad_alloc();
    std::memcpy(FText, aText.data(), aText.size());
    return FText;
  }

  void* Allocate(std::size_t aSize, std::size_t aAlign = alignof(std::max_align_t)) {
    std::uintptr_t cur = (reinterpret_cast<std::uintptr_t>(FCur) + aAlign - 1) & ~(aAlign - 1);
    if (!FCur || cur + aSize > reinterpret_cast<std::uintptr_t>(FEnd)) {
      Grow(aSize + aAlign);
      cur = (reinterpret_cast<std::uintptr_t>(FCur) + aAlign - 1) & ~(aAlign - 1);
    }
    FCur = reinterpret_cast<char*>(cur + aSize);
    return reinterpret_cast<void*>(cur);
  }

private:
  struct alignas(std::max_align_t) Block {
    Block* next;
    std::size_t size;
  };
  void Grow(std::size_t aAtLeast) {
    std::size_t size = FNextBlock;
    if (aAtLeast + sizeof(Block) > size) size = aAtLeast + sizeof(Block);  // one large item alone
    auto* b = static_cast<Block*>(NewBlock(size));
    b->next = FBlocks;
    b->size = size;
    FBlocks = b;
    FCur = reinterpret_cast<char*>(b + 1);
    FEnd = reinterpret_cast<char*>(b) + size;
    FNextBlock = kBlock;
  }

  char* FCur = nullptr;
  char* FEnd = nullptr;
  Block* FBlocks = nullptr;
  char* FText = nullptr;
  std::size_t FTextSize = 0;
  std::size_t FNextBlock;
  std::int64_t FExternalRefs = 0;
  bool FTouched = false;
  std::int32_t FRefs = 1;
};

// ---------------------------------------------------------------------------
// JSONReader

class JSONReader {
public:
  JSONReader(JSONArena* aArena, const char* aBegin, const char* aEnd) : FArena(aArena), p(aBegin), FEnd(aEnd) {
    FStack.reserve(64);
  }

  bool ReadObject(TvynJSON* aDoc, int aDepth) { return ReadMembers(aDoc, aDepth, true); }
  bool ReadArray(TvynJSON* aDoc, int aDepth) { return ReadMembers(aDoc, aDepth, false); }

private:
  // The members of an object ("key": value) or the elements of an array into
  // aDoc. Commas between them are optional and one before the end is taken.
  bool ReadMembers(TvynJSON* aDoc, int aDepth, bool aObject) {
    const char open = aObject ? '{' : '[';
    const char close = aObject ? '}' : ']';
    SkipBlanks();
    if (p >= FEnd || *p != open) return false;
    ++p;
    const std::size_t mark = FStack.size();
    bool ok = false;
    for (;;) {
      if (p >= FEnd) break;
      SkipBlanks();
      if (p < FEnd && *p == close) {
        ++p;
        ok = true;
        break;
      }
      std::string_view key;
      if (aObject) {
        if (!ScanKey(key)) break;
        SkipBlanks();
        if (p >= FEnd || *p != ':') break;
        ++p;
        SkipBlanks();
      }
      if (!ReadValue(aDoc, key, aDepth)) break;
      SkipBlanks();
      if (p < FEnd && *p == ',') ++p;
    }
    Finish(aDoc, mark);
    return ok;
  }

  void SkipBlanks() {
    while (p < FEnd) {
      const char c = *p;
      if (c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f') {
        ++p;
      } else if (c == '#') {
        const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(FEnd - p));
        p = lf ? static_cast<const char*>(lf) : FEnd;
      } else {
        break;
      }
    }
  }

  // Steps over aUnits UTF-16 code units of text (a four-byte UTF-8 sequence
  // is two of them); false when the text ends first.
  bool SkipUnits(const char*& q, int aUnits) {
    while (aUnits > 0) {
      if (q >= FEnd) return false;
      const unsigned char c = static_cast<unsigned char>(*q);
      std::size_t len = 1;
      int units = 1;
      if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        units = 2;
      } else if (c >= 0xE0) {
        len = 3;
      } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
      }
      // Only whole, well-formed sequences count as one character.
      for (std::size_t i = 1; i < len; ++i) {
        if (q + i >= FEnd || (static_cast<unsigned char>(q[i]) & 0xC0) != 0x80) {
          len = 1;
          units = 1;
          break;
        }
      }
      q += len;
      aUnits -= units;
    }
    return true;
  }

  // The first quote or backslash at or after q, or the end.
  const char* FindQuoteOrBackslash(const char* q) const {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    while (FEnd - q >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
      if (mask) return q + __builtin_ctz(static_cast<unsigned>(mask));
      q += 16;
    }
#endif
    while (q < FEnd && *q != '"' && *q != '\\') ++q;
    return q;
  }

  // A quoted string; aText is what stands between the quotes, untouched.
  bool ScanString(std::string_view& aText) {
    SkipBlanks();
    if (p >= FEnd || *p != '"') return false;
    const char* q = p + 1;
    for (;;) {
      q = FindQuoteOrBackslash(q);
      if (q >= FEnd) return false;
      if (*q == '"') {
        aText = std::string_view(p + 1, static_cast<std::size_t>(q - p - 1));
        p = q + 1;
        return true;
      }
      if (q + 1 >= FEnd) return false;
      if (q[1] == 'u') {
        q += 2;
        if (!SkipUnits(q, 4)) return false;
      } else {
        // Step over the escaped character whole, however many bytes it has.
        ++q;
        if (!SkipUnits(q, 1)) return false;
      }
    }
  }

  bool ScanKey(std::string_view& aKey) {
    if (p < FEnd && *p == '"') return ScanString(aKey);
    // The bare words true and false also serve as keys, named as written.
    for (std::string_view word : {std::string_view("true"), std::string_view("false")}) {
      if (SameLiteral(p, FEnd, word)) {
        aKey = std::string_view(p, word.size());
        p += word.size();
        return true;
      }
    }
    return false;
  }

  bool ScanNumber() {
    const char* q = p;
    if (q < FEnd && (*q == '+' || *q == '-')) ++q;
    if (q >= FEnd || !IsDigit(*q)) return false;
    while (q < FEnd && IsDigit(*q)) ++q;
    if (q < FEnd && *q == '.') {
      ++q;
      if (q >= FEnd || !IsDigit(*q)) return false;
      while (q < FEnd && IsDigit(*q)) ++q;
    }
    if (q < FEnd && (*q == 'e' || *q == 'E')) {
      ++q;
      if (q < FEnd && (*q == '+' || *q == '-')) ++q;
      if (q >= FEnd || !IsDigit(*q)) return false;
      while (q < FEnd && IsDigit(*q)) ++q;
    }
    p = q;
    return true;
  }

  bool ReadLiteral(TvynJSON* aDoc, std::string_view aName, std::string_view aWord, TvynJSONtype aType) {
    // A word that is not the literal is something the reader cannot read.
    if (!SameLiteral(p, FEnd, aWord)) return false;
    p += aWord.size();
    NewScalar(aDoc, aName, aType, aWord);
    return true;
  }

  bool ReadValue(TvynJSON* aDoc, std::string_view aName, int aDepth) {
    SkipBlanks();
    if (p >= FEnd) return false;
    const char* start = p;
    switch (*p) {
      case '"': {
        std::string_view text;
        if (!ScanString(text)) return false;
        NewScalar(aDoc, aName, TvynJSONtype::vynJSONString, text);
        return true;
      }
      case '+':
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        if (!ScanNumber()) return false;
        NewScalar(aDoc, aName, TvynJSONtype::vynJSONNumber,
                  std::string_view(start, static_cast<std::size_t>(p - start)));
        return true;
      case 't':
      case 'T':
        return ReadLiteral(aDoc, aName, "true", TvynJSONtype::vynJSONBoolean);
      case 'f':
      case 'F':
        return ReadLiteral(aDoc, aName, "false", TvynJSONtype::vynJSONBoolean);
      case 'n':
      case 'N':
        return ReadLiteral(aDoc, aName, "null", TvynJSONtype::vynJSONNull);
      case '[':
      case '{': {
        if (aDepth >= TvynJSON::kMaxDepth) return false;
        const bool isArray = *p == '[';
        TvynObjectJSON* node = NewNode(aDoc, aName, isArray ? TvynJSONtype::vynJSONList : TvynJSONtype::vynJSONObject);
        auto* nested = new (FArena->Allocate(sizeof(TvynJSON))) TvynJSON(nullptr);
        nested->FArena = FArena;
        nested->SetOwnerUnlisted(node);
        nested->FRefCount = 1;  // the node's reference
        node->FJSONObject = nested;
        return isArray ? ReadArray(nested, aDepth + 1) : ReadObject(nested, aDepth + 1);
      }
      default:
        return false;
    }
  }

  TvynObjectJSON* NewNode(TvynJSON* aDoc, std::string_view aName, TvynJSONtype aType) {
    auto* node = new (FArena->Allocate(sizeof(TvynObjectJSON))) TvynObjectJSON(nullptr);
    node->FArena = FArena;
    node->SetOwnerUnlisted(aDoc);
    node->FRefCount = 1;  // the node list's reference
    node->FName.Borrow(aName);
    node->FJSONType = aType;
    FStack.push_back(node);
    return node;
  }

  void NewScalar(TvynJSON* aDoc, std::string_view aName, TvynJSONtype aType, std::string_view aValue) {
    TvynObjectJSON* node = NewNode(aDoc, aName, aType);
    node->FKind = TvynObjectJSON::ValueKind::Text;
    node->FText.Borrow(aValue);
  }

  // Hands the nodes read into aDoc since aMark over to its list.
  void Finish(TvynJSON* aDoc, std::size_t aMark) {
    const std::size_t n = FStack.size() - aMark;
    if (n == 0) return;
    auto** items = static_cast<TvynObjectJSON**>(FArena->Allocate(n * sizeof(TvynObjectJSON*), alignof(void*)));
    std::memcpy(items, FStack.data() + aMark, n * sizeof(TvynObjectJSON*));
    TvynObjectJSONList& list = aDoc->FData;
    list.FItems = items;
    list.FCount = list.FCapacity = static_cast<std::uint32_t>(n);
    list.FHeap = false;
    FStack.resize(aMark);
  }

  JSONArena* FArena;
  const char* p;
  const char* FEnd;
  std::vector<TvynObjectJSON*> FStack;  // nodes read but not yet handed to their document
};

std::string JSONEscape(std::string_view aText) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(aText.size() + 8);
  auto unit = [&](unsigned u) {
    out += "\\u";
    out += kHex[(u >> 12) & 15];
    out += kHex[(u >> 8) & 15];
    out += kHex[(u >> 4) & 15];
    out += kHex[u & 15];
  };
  std::size_t i = 0;
  while (i < aText.size()) {
    const unsigned char c = static_cast<unsigned char>(aText[i]);
    if (c < 0x80) {
      switch (c) {
        case 8:
          out += "\\b";
          break;
        case 9:
          out += "\\t";
          break;
        case 10:
          out += "\\n";
          break;
        case 12:
          out += "\\f";
          break;
        case 13:
          out += "\\r";
          break;
        case '"':
          out += "\\\"";
          break;
        case '/':
          out += "\\/";
          break;
        case '\\':
          out += "\\\\";
          break;
        default:
          if (c < 32)
            unit(c);
          else
            out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // Decode one UTF-8 sequence; a byte that starts none stands for itself.
    std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 1;
    unsigned cp = len == 4 ? c & 0x07 : len == 3 ? c & 0x0F : len == 2 ? c & 0x1F : c;
    for (std::size_t k = 1; k < len; ++k) {
      const unsigned char cc = i + k < aText.size() ? static_cast<unsigned char>(aText[i + k]) : 0;
      if ((cc & 0xC0) != 0x80) {
        len = 1;
        cp = c;
        break;
      }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (len > 1 && ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))) {
      len = 1;  // overlong or out of range: the lead byte alone
      cp = c;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
    i += len;
  }
  return out;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// TInterfacedComponent

TInterfacedComponent::TInterfacedComponent(TComponent* aOwner) : TComponent(aOwner) {}
TInterfacedComponent::~TInterfacedComponent() = default;

std::int32_t TInterfacedComponent::DoRelease() {
  const std::int32_t n = --FRefCount;
  if (n == 0 && FDestroyObject) DeleteSelf();
  return n;
}

void TInterfacedComponent::Destroy() {
  if (FRefCount > 0) {
    FDestroyObject = true;
    DetachFromOwner();
    HoldArena();
    return;
  }
  DeleteSelf();
}

void TInterfacedComponent::DeleteSelf() {
  if (!FArena) {
    delete this;
    return;
  }
  detail::JSONArena* arena = FArena;
  const bool held = FHoldsArena;
  this->~TInterfacedComponent();
  if (held) arena->Release();
}

std::int32_t TInterfacedComponent::ExternalAddRef() {
  if (FArena) FArena->ExternalRef(1);
  return DoAddRef();
}

std::int32_t TInterfacedComponent::ExternalRelease() {
  if (FArena) FArena->ExternalRef(-1);  // before a release that may end the arena
  return DoRelease();
}

void TInterfacedComponent::Touch() {
  if (FArena) FArena->Touch();
}

void TInterfacedComponent::HoldArena() {
  if (FArena) FArena->Touch();
  if (FArena && !FHoldsArena) {
    FArena->AddRef();
    FHoldsArena = true;
  }
}

void TInterfacedComponent::ReleaseFromHolder(TComponent* aHolder) {
  --FRefCount;
  if (Owner() == aHolder && !IsListedWithOwner()) {
    Destroy();
  } else if (FRefCount == 0 && FDestroyObject) {
    DeleteSelf();
  }
}

void TInterfacedComponent::DisplaceFromHolder(TComponent* aHolder) {
  if (Owner() == aHolder && !IsListedWithOwner()) {
    ListWithOwner();
    HoldArena();
  }
  DoRelease();
}

// ---------------------------------------------------------------------------
// TvynObjectJSONList

TvynObjectJSONList::~TvynObjectJSONList() {
  if (FHeap) std::free(FItems);
}

void TvynObjectJSONList::Grow() {
  const std::uint32_t capacity = FCapacity < 4 ? 4 : FCapacity * 2;
  auto** items = static_cast<TvynObjectJSON**>(std::malloc(capacity * sizeof(TvynObjectJSON*)));
  if (!items) throw std::bad_alloc();
  if (FCount) std::memcpy(items, FItems, FCount * sizeof(TvynObjectJSON*));
  if (FHeap) std::free(FItems);
  FItems = items;
  FCapacity = capacity;
  FHeap = true;
}

void TvynObjectJSONList::Add(TvynObjectJSON* aNode) {
  if (FCount == FCapacity) Grow();
  FItems[FCount++] = aNode;
}

void TvynObjectJSONList::Put(std::int32_t i, TvynObjectJSON* aNode, TComponent* aDocument) {
  aNode->DoAddRef();
  TvynObjectJSON* old = FItems[i];
  FItems[i] = aNode;
  old->DisplaceFromHolder(aDocument);
}

std::int32_t TvynObjectJSONList::IndexOfName(std::string_view aName) const {
  for (std::uint32_t i = 0; i < FCount; ++i)
    if (FItems[i]->FName.View() == aName) return static_cast<std::int32_t>(i);
  return -1;
}

void TvynObjectJSONList::Forget() {
  if (FHeap) std::free(FItems);
  FItems = nullptr;
  FCount = FCapacity = 0;
  FHeap = false;
}

void TvynObjectJSONList::Clear(TComponent* aDocument) {
  // Take the items out first: ending a node must not see a half-cleared list.
  TvynObjectJSON** items = FItems;
  const std::uint32_t count = FCount;
  const bool heap = FHeap;
  FItems = nullptr;
  FCount = FCapacity = 0;
  FHeap = false;
  for (std::uint32_t i = count; i-- > 0;) items[i]->ReleaseFromHolder(aDocument);
  if (heap) std::free(items);
}

// ---------------------------------------------------------------------------
// TvynJSON

TvynJSON::TvynJSON(TComponent* aOwner) : TInterfacedComponent(aOwner) {}

// Displaced nodes that lie in the read arena hold it themselves, so the
// owned components may end after it is released.
TvynJSON::~TvynJSON() { Clear(); }

void TvynJSON::ReleaseReadArena() {
  if (FReadArena) std::exchange(FReadArena, nullptr)->Release();
}

void TvynJSON::Clear() {
  // A document as read and not touched since ends with its arena in one go,
  // instead of node by node.
  if (FReadArena && FReadArena->Pristine())
    FData.Forget();
  else
    FData.Clear(this);
  ReleaseReadArena();
}

void TvynJSON::TouchAll() {
  Touch();
  if (FReadArena) FReadArena->Touch();
}

void TvynJSON::Read(std::string_view aText) {
  // The text is copied before anything is let go: it may lie in this very
  // document's memory.
  detail::JSONArena* arena = nullptr;
  const char* text = nullptr;
  if (!aText.empty() && aText.size() <= std::numeric_limits<std::uint32_t>::max()) {
    arena = new detail::JSONArena(aText.size() * 8);
    text = arena->CopyText(aText);
  }
  Touch();  // a nested document reading text of its own
  Clear();
  FIsArray = false;
  if (!arena) return;
  FReadArena = arena;
  detail::JSONReader reader(arena, text, text + aText.size());
  if (text[0] == '[') {
    FIsArray = true;
    reader.ReadArray(this, 0);
  } else {
    reader.ReadObject(this, 0);
  }
}

TvynObjectJSON* TvynJSON::FindNode(std::string_view aName) const {
  const std::int32_t i = FData.IndexOfName(aName);
  return i < 0 ? nullptr : FData.Items(i);
}

TIntf<IvynObjectJSON> TvynJSON::GetNode(std::string_view aName) { return FindNode(aName); }

void TvynJSON::SetNode(std::string_view aName, const TIntf<IvynObjectJSON>& aValue) {
  TvynObjectJSON* node = AsNode(aValue);
  TouchAll();
  node->Touch();
  const std::int32_t i = FData.IndexOfName(aName);
  if (i >= 0) FData.Put(i, node, this);
}

TIntf<IvynObjectJSON> TvynJSON::GetItem(std::int32_t i) {
  if (i < 0) throw EListError(Format(kListIndexError, i));
  return Node(i);
}

void TvynJSON::SetItem(std::int32_t i, const TIntf<IvynObjectJSON>& aValue) {
  if (i < 0) throw EListError(Format(kListIndexError, i));
  TvynObjectJSON* node = AsNode(aValue);
  TouchAll();
  node->Touch();
  if (i < FData.Count()) FData.Put(i, node, this);
}

TvynObjectJSON* TvynJSON::AddNode(std::string_view aName, const Variant& aValue, TvynJSONtype aType) {
  TouchAll();
  if (TvynObjectJSON* existing = FindNode(aName)) {
    existing->SetValue(aValue);
    return existing;
  }
  auto* node = new TvynObjectJSON(nullptr);
  node->SetOwnerUnlisted(this);
  node->FRefCount = 1;  // the node list's reference
  if (FEscapeStrings)
    node->FName.Assign(detail::JSONEscape(aName));
  else
    node->FName.Assign(aName);
  node->FJSONType = aType;
  switch (aType) {
    case TvynJSONtype::vynJSONNull:
      node->SetValue(Variant(std::string()));
      break;
    case TvynJSONtype::vynJSONObject:
    case TvynJSONtype::vynJSONList:
      node->JSONObject()->Read(aValue.AsString());
      break;
    case TvynJSONtype::vynJSONString: {
      const std::string text = aValue.AsString();
      node->SetValue(Variant(FEscapeStrings ? detail::JSONEscape(text) : text));
      // Text that begins like JSON is written as raw JSON.
      if (!text.empty() && (text[0] == '{' || text[0] == '[')) node->FQuoted = false;
      break;
    }
    default:
      node->SetValue(aValue);
      break;
  }
  FData.Add(node);
  return node;
}

TIntf<IvynObjectJSON> TvynJSON::AddPair(std::string_view aName, std::string_view aValue) {
  return AddNode(aName, Variant(std::string(aValue)), TvynJSONtype::vynJSONString);
}
TIntf<IvynObjectJSON> TvynJSON::AddPair(std::string_view aName, std::int32_t aValue) {
  return AddNode(aName, Variant(aValue), TvynJSONtype::vynJSONNumber);
}
TIntf<IvynObjectJSON> TvynJSON::AddPair(std::string_view aName, std::int64_t aValue) {
  return AddNode(aName, Variant(aValue), TvynJSONtype::vynJSONNumber);
}
TIntf<IvynObjectJSON> TvynJSON::AddPair(std::string_view aName, double aValue) {
  return AddNode(aName, Variant(aValue), TvynJSONtype::vynJSONNumber);
}
TIntf<IvynObjectJSON> TvynJSON::AddPair(std::string_view aName, bool aValue) {
  // Booleans are held as their lower-case text.
  return AddNode(aName, Variant(std::string(aValue ? "true" : "false")), TvynJSONtype::vynJSONBoolean);
}
TIntf<IvynObjectJSON> TvynJSON::AddPair(std::string_view aName) {
  return AddNode(aName, Variant(std::string()), TvynJSONtype::vynJSONNull);
}
TIntf<IvynObjectJSON> TvynJSON::AddObject(std::string_view aName, std::string_view aValue) {
  return AddNode(aName, Variant(std::string(aValue)), TvynJSONtype::vynJSONObject);
}
TIntf<IvynObjectJSON> TvynJSON::AddArray(std::string_view aName, std::string_view aValue) {
  return AddNode(aName, Variant(std::string(aValue)), TvynJSONtype::vynJSONList);
}

std::string TvynJSON::GetText() {
  std::string text;
  // Written text is about as long as the text read; otherwise start small.
  text.reserve(FReadArena ? FReadArena->TextSize() + 16 : 64);
  WriteTo(text);
  return text;
}

void TvynJSON::WriteTo(std::string& aText) {
  aText += FIsArray ? '[' : '{';
  WriteMembers(aText, FIsArray);
  aText += FIsArray ? ']' : '}';
}

void TvynJSON::WriteMembers(std::string& aText, bool aValuesOnly) {
  // Commas go between nodes that write something: a node that writes nothing
  // (no type yet) must leave neither a double nor a trailing comma. A text
  // that already ends with a comma gets none more.
  bool any = false;
  for (std::int32_t i = 0; i < FData.Count(); ++i) {
    const std::size_t before = aText.size();
    const bool comma = any && aText.back() != ',';
    if (comma) aText += ',';
    WriteNode(aText, FData.Items(i), aValuesOnly);
    if (aText.size() == before + (comma ? 1 : 0))
      aText.resize(before);
    else
      any = true;
  }
}

void TvynJSON::WriteNode(std::string& aText, TvynObjectJSON* aNode, bool aValuesOnly) {
  auto prefix = [&] {
    aText += '"';
    aText += aNode->FName.View();
    aText += "\":";
  };
  switch (aNode->FJSONType) {
    case TvynJSONtype::vynJSONUndefined:
      break;
    case TvynJSONtype::vynJSONString: {
      if (!aValuesOnly) prefix();
      if (aNode->FKind == TvynObjectJSON::ValueKind::Text) {
        const std::string_view v = aNode->FText.View();
        const bool quote = aNode->FQuoted && (v.empty() || v[0] != '"');
        if (quote) aText += '"';
        aText += v;
        if (quote) aText += '"';
        break;
      }
      const std::size_t start = aText.size();
      aNode->AppendValueText(aText);
      if (aNode->FQuoted && (aText.size() == start || aText[start] != '"')) {
        aText.insert(aText.begin() + static_cast<std::ptrdiff_t>(start), '"');
        aText += '"';
      }
      break;
    }
    case TvynJSONtype::vynJSONNumber: {
      if (!aValuesOnly) prefix();
      const std::size_t start = aText.size();
      aNode->AppendValueText(aText);
      // A decimal comma (text set by a caller) is written as a point.
      char* from = aText.data() + start;
      while (auto* comma = static_cast<char*>(std::memchr(from, ',', aText.size() - (from - aText.data())))) {
        *comma = '.';
        from = comma + 1;
      }
      break;
    }
    case TvynJSONtype::vynJSONBoolean:
      if (!aValuesOnly) prefix();
      aNode->AppendValueText(aText);
      break;
    case TvynJSONtype::vynJSONNull:
      if (!aValuesOnly) prefix();
      aText += "null";
      break;
    case TvynJSONtype::vynJSONObject:
      if (!aValuesOnly) prefix();
      if (aNode->FJSONObject)
        aNode->FJSONObject->WriteTo(aText);
      else
        aText += "{}";
      break;
    case TvynJSONtype::vynJSONList: {
      // As for every other type: named in an object (even with an empty
      // name), never in an array, so the text stays JSON.
      if (!aValuesOnly) prefix();
      aText += '[';
      if (TvynJSON* nested = aNode->FJSONObject) nested->WriteMembers(aText, true);
      aText += ']';
      break;
    }
  }
}

// ---------------------------------------------------------------------------
// TvynObjectJSON

TvynObjectJSON::TvynObjectJSON(TComponent* aOwner) : TInterfacedComponent(aOwner), FInt(0) {}

TvynObjectJSON::~TvynObjectJSON() {
  if (TvynJSON* nested = std::exchange(FJSONObject, nullptr)) nested->ReleaseFromHolder(this);
}

TvynJSON* TvynObjectJSON::JSONObject() {
  if (!FJSONObject) {
    Touch();
    auto* nested = new TvynJSON(nullptr);
    nested->SetOwnerUnlisted(this);
    nested->FRefCount = 1;  // our reference
    FJSONObject = nested;
    if (FJSONType != TvynJSONtype::vynJSONList) FJSONType = TvynJSONtype::vynJSONObject;
  }
  return FJSONObject;
}

TIntf<IvynJSON> TvynObjectJSON::GetJSONObject() { return JSONObject(); }

void TvynObjectJSON::SetNested(TvynJSON* aDocument) {
  Touch();
  if (aDocument) aDocument->Touch();
  if (aDocument) aDocument->DoAddRef();
  if (TvynJSON* old = std::exchange(FJSONObject, aDocument)) old->DisplaceFromHolder(this);
}

void TvynObjectJSON::SetJSONObject(const TIntf<IvynJSON>& aValue) {
  TvynJSON* doc = nullptr;
  if (aValue) {
    doc = dynamic_cast<TvynJSON*>(aValue.get());
    if (!doc) throw EConvertError(kInvalidCast);
  }
  SetNested(doc);
}

void TvynObjectJSON::Clear() { SetNested(nullptr); }

TIntf<IvynObjectJSON> TvynObjectJSON::GetNode(std::string_view aName) { return JSONObject()->GetNode(aName); }
void TvynObjectJSON::SetNode(std::string_view aName, const TIntf<IvynObjectJSON>& aValue) {
  JSONObject()->SetNode(aName, aValue);
}
TIntf<IvynObjectJSON> TvynObjectJSON::GetItem(std::int32_t i) { return JSONObject()->GetItem(i); }
void TvynObjectJSON::SetItem(std::int32_t i, const TIntf<IvynObjectJSON>& aValue) { JSONObject()->SetItem(i, aValue); }

std::int32_t TvynObjectJSON::GetCount() { return FJSONObject ? FJSONObject->Count() : 0; }

void TvynObjectJSON::SetValue(const Variant& aValue) {
  Touch();
  switch (aValue.VarType()) {
    case TVarType::varEmpty:
      FKind = ValueKind::Empty;
      FText.Clear();
      break;
    case TVarType::varString:
      FKind = ValueKind::Text;
      FText.Assign(aValue.AsString());
      break;
    case TVarType::varInteger:
      FKind = ValueKind::Int32;
      FInt = aValue.AsInteger();
      break;
    case TVarType::varInt64:
      FKind = ValueKind::Int64;
      FInt = aValue.AsInt64();
      break;
    case TVarType::varDouble:
      FKind = ValueKind::Double;
      FDouble = aValue.AsDouble();
      break;
    case TVarType::varBoolean:
      FKind = ValueKind::Boolean;
      FInt = aValue.AsBoolean() ? 1 : 0;
      break;
  }
}

Variant TvynObjectJSON::GetValue() {
  switch (FJSONType) {
    case TvynJSONtype::vynJSONObject:
      return Variant(FJSONObject ? FJSONObject->GetText() : std::string("{}"));
    case TvynJSONtype::vynJSONList:
      if (!FJSONObject) return Variant(std::string("[]"));
      FJSONObject->SetIsArray(true);
      return Variant(FJSONObject->GetText());
    default:
      break;
  }
  switch (FKind) {
    case ValueKind::Empty:
      return Variant();
    case ValueKind::Text:
      return Variant(std::string(FText.View()));
    case ValueKind::Int32:
      return Variant(static_cast<std::int32_t>(FInt));
    case ValueKind::Int64:
      return Variant(static_cast<std::int64_t>(FInt));
    case ValueKind::Double:
      return Variant(FDouble);
    case ValueKind::Boolean:
      return Variant(FInt != 0);
  }
  return Variant();
}

std::string TvynObjectJSON::ValueText() {
  if (FKind == ValueKind::Text && FJSONType != TvynJSONtype::vynJSONObject && FJSONType != TvynJSONtype::vynJSONList)
    return std::string(FText.View());
  return GetValue().AsString();
}

void TvynObjectJSON::AppendValueText(std::string& aText) const {
  char buf[32];
  switch (FKind) {
    case ValueKind::Empty:
      break;
    case ValueKind::Text:
      aText += FText.View();
      break;
    case ValueKind::Int32:
    case ValueKind::Int64: {
      auto res = std::to_chars(buf, buf + sizeof buf, FInt);
      aText.append(buf, res.ptr);
      break;
    }
    case ValueKind::Double:
      aText += FloatToStr(FDouble);
      break;
    case ValueKind::Boolean:
      aText += FInt ? "true" : "false";
      break;
  }
}

// ---------------------------------------------------------------------------
// TvynJSONFactory

namespace {
std::mutex gFactoryLock;
std::vector<TvynOwnerComponent*> gHiddenOwners;
TvynJSONFactory::TDocumentClass gDocumentClass;
}  // namespace

void TvynJSONFactory::SetDocumentClass(TDocumentClass aClass) {
  std::lock_guard<std::mutex> guard(gFactoryLock);
  gDocumentClass = std::move(aClass);
}

TIntf<IvynJSON> TvynJSONFactory::Create(TComponent* aOwner) {
  TDocumentClass make;
  {
    std::lock_guard<std::mutex> guard(gFactoryLock);
    make = gDocumentClass;
  }
  auto build = [&](TComponent* owner) -> TvynJSON* { return make ? make(owner) : TComponent::Create<TvynJSON>(owner); };
  if (aOwner) return build(aOwner);
  auto* hidden = new TvynOwnerComponent(nullptr);
  hidden->FInstance = build(hidden);
  TIntf<IvynJSON> result = hidden->FInstance;
  std::lock_guard<std::mutex> guard(gFactoryLock);
  gHiddenOwners.push_back(hidden);
  return result;
}

void TvynJSONFactory::Release(TIntf<IvynJSON>& aJSON) {
  if (!aJSON) return;
  IvynJSON* doc = aJSON.get();
  TvynOwnerComponent* hidden = nullptr;
  {
    std::lock_guard<std::mutex> guard(gFactoryLock);
    auto it = std::find_if(gHiddenOwners.begin(), gHiddenOwners.end(),
                           [doc](TvynOwnerComponent* o) { return o->FInstance.get() == doc; });
    if (it != gHiddenOwners.end()) {
      hidden = *it;
      gHiddenOwners.erase(it);
    }
  }
  if (hidden) {
    aJSON = nullptr;
    hidden->Destroy();
    return;
  }
  auto* object = dynamic_cast<TvynJSON*>(doc);
  aJSON = nullptr;  // our reference goes first, so the end is not deferred by it
  if (object) object->Destroy();
}
