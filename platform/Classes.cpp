#include "platform/Classes.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <typeinfo>

namespace {
constexpr const char* kCannotAssign = "Cannot assign a %s to a %s";
constexpr const char* kListIndexError = "List index out of bounds (%d)";
constexpr const char* kDuplicateString = "String list does not allow duplicates";
constexpr const char* kReadError = "Stream read error";
constexpr const char* kWriteError = "Stream write error";
constexpr const char* kFCreateError = "Cannot create file \"%s\". %s";
constexpr const char* kFOpenError = "Cannot open file \"%s\". %s";
}  // namespace

// ---------------------------------------------------------------------------
// TPersistent

std::string ClassNameOf(const std::type_info& aType) {
  int status = 0;
  char* name = abi::__cxa_demangle(aType.name(), nullptr, nullptr, &status);
  std::string result = (status == 0 && name) ? name : aType.name();
  std::free(name);
  // The class name alone, without the namespaces around it.
  if (result.find('<') == std::string::npos) {
    const auto colon = result.rfind("::");
    if (colon != std::string::npos) result.erase(0, colon + 2);
  }
  return result;
}

std::string TPersistent::ClassName() const { return ClassNameOf(typeid(*this)); }

void TPersistent::Assign(const TPersistent& aSource) { AssignError(aSource); }

void TPersistent::AssignError(const TPersistent& aSource) const {
  throw EConvertError(Format(kCannotAssign, aSource.ClassName(), ClassName()));
}

// ---------------------------------------------------------------------------
// TComponent

TComponent::TComponent(TComponent* aOwner) {
  if (aOwner) {
    FOwner = aOwner;
    aOwner->InsertChild(this);
  }
}

namespace {
// Free notifications link components that live on different threads (a
// server's log and each connection's log): one lock for all of those lists.
std::recursive_mutex& FreeNotifyLock() {
  static std::recursive_mutex lock;
  return lock;
}
}  // namespace

TComponent::~TComponent() {
  FDestroying = true;
  std::vector<TComponent*> list;
  // Unlocked, the test only reads this component's own list, which no other
  // thread may change while it ends; it spares the many components that
  // never take part in a free notification the lock.
  if (FLinks && !FLinks->freeNotifies.empty()) {
    std::lock_guard<std::recursive_mutex> g(FreeNotifyLock());
    // Each observer forgets us; we forget them.
    list.swap(FLinks->freeNotifies);
    for (TComponent* c : list) {
      if (c->FLinks) {
        auto& theirs = c->FLinks->freeNotifies;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
      }
    }
  }
  // Told outside the lock: a notification may free other components.
  for (TComponent* c : list) c->Notification(this, TOperation::opRemove);
  DestroyComponents();
  DetachFromOwner();
}

TComponent::Links& TComponent::GetLinks() {
  if (!FLinks) {
    FLinks = std::make_unique<Links>();
    LinksAdded();
  }
  return *FLinks;
}

void TComponent::DestroyComponents() {
  while (FLinks && !FLinks->children.empty()) {
    TComponent* child = FLinks->children.back();  // newest first
    FLinks->children.pop_back();
    child->FListed = false;
    child->FOwner = nullptr;
    child->Destroy();
  }
}

void TComponent::Destroy() { delete this; }

void TComponent::InsertChild(TComponent* aChild) {
  GetLinks().children.push_back(aChild);
  aChild->FListed = true;
}

void TComponent::RemoveChild(TComponent* aChild) {
  if (FLinks) {
    auto& c = FLinks->children;
    // Newest first: a component usually ends before its older siblings.
    auto it = std::find(c.rbegin(), c.rend(), aChild);
    if (it != c.rend()) c.erase(std::next(it).base());
  }
  aChild->FListed = false;
}

void TComponent::DetachFromOwner() {
  if (FOwner && FListed) FOwner->RemoveChild(this);
  FOwner = nullptr;
}

void TComponent::ListWithOwner() {
  if (FOwner && !FListed) FOwner->InsertChild(this);
}

int TComponent::ComponentCount() const { return FLinks ? static_cast<int>(FLinks->children.size()) : 0; }

TComponent* TComponent::Components(int aIndex) const {
  if (aIndex < 0 || aIndex >= ComponentCount()) throw EListError(Format(kListIndexError, aIndex));
  return FLinks->children[static_cast<std::size_t>(aIndex)];
}

void TComponent::FreeNotification(TComponent* aComponent) {
  if (!aComponent || aComponent == this) return;
  std::lock_guard<std::recursive_mutex> g(FreeNotifyLock());
  auto add = [](TComponent* to, TComponent* what) {
    auto& l = to->GetLinks().freeNotifies;
    if (std::find(l.begin(), l.end(), what) == l.end()) l.push_back(what);
  };
  add(this, aComponent);
  add(aComponent, this);
}

void TComponent::RemoveFreeNotification(TComponent* aComponent) {
  auto remove = [](TComponent* from, TComponent* what) {
    if (!from->FLinks) return;
    auto& l = from->FLinks->freeNotifies;
    l.erase(std::remove(l.begin(), l.end(), what), l.end());
  };
  if (!aComponent) return;
  std::lock_guard<std::recursive_mutex> g(FreeNotifyLock());
  remove(this, aComponent);
  remove(aComponent, this);
}

void TComponent::Notification(TComponent*, TOperation) {}

// ---------------------------------------------------------------------------
// TStrings

void TStrings::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TStrings>(aSource);
  FItems = s.FItems;
  NameValueSeparator = s.NameValueSeparator;
}

void TStrings::CheckIndex(int aIndex, int aLimit) const {
  if (aIndex < 0 || aIndex >= aLimit) throw EListError(Format(kListIndexError, aIndex));
}

const std::string& TStrings::Strings(int aIndex) const {
  CheckIndex(aIndex, Count());
  return FItems[static_cast<std::size_t>(aIndex)];
}

void TStrings::Put(int aIndex, std::string aValue) {
  CheckIndex(aIndex, Count());
  FItems[static_cast<std::size_t>(aIndex)] = std::move(aValue);
}

int TStrings::Add(std::string aValue) {
  FItems.push_back(std::move(aValue));
  return Count() - 1;
}

void TStrings::Insert(int aIndex, std::string aValue) {
  CheckIndex(aIndex, Count() + 1);
  FItems.insert(FItems.begin() + aIndex, std::move(aValue));
}

void TStrings::Delete(int aIndex) {
  CheckIndex(aIndex, Count());
  FItems.erase(FItems.begin() + aIndex);
}

void TStrings::AddStrings(const TStrings& aStrings) {
  for (const auto& s : aStrings.FItems) Add(s);
}

bool TStrings::SameString(std::string_view a, std::string_view b) const {
  return CaseSensitive ? a == b : SameText(a, b);
}

int TStrings::IndexOf(std::string_view aValue) const {
  for (int i = 0; i < Count(); ++i)
    if (SameString(FItems[static_cast<std::size_t>(i)], aValue)) return i;
  return -1;
}

std::string TStrings::Names(int aIndex) const {
  const std::string& s = Strings(aIndex);
  const auto p = s.find(NameValueSeparator);
  return p == std::string::npos ? std::string() : s.substr(0, p);
}

std::string TStrings::ValueFromIndex(int aIndex) const {
  const std::string& s = Strings(aIndex);
  const auto p = s.find(NameValueSeparator);
  return p == std::string::npos ? std::string() : s.substr(p + 1);
}

int TStrings::IndexOfName(std::string_view aName) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = FItems[static_cast<std::size_t>(i)];
    const auto p = s.find(NameValueSeparator);
    if (p != std::string::npos && SameString(std::string_view(s).substr(0, p), aName)) return i;
  }
  return -1;
}

std::string TStrings::Values(std::string_view aName) const {
  const int i = IndexOfName(aName);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStrings::SetValues(std::string_view aName, std::string_view aValue) {
  const int i = IndexOfName(aName);
  if (aValue.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::string line(aName);
  line += NameValueSeparator;
  line += aValue;
  if (i >= 0)
    Put(i, std::move(line));
  else
    Add(std::move(line));
}

std::string TStrings::Text() const {
  std::string out;
  for (const auto& s : FItems) {
    out += s;
    out += LineBreak;
  }
  return out;
}

void TStrings::SetText(std::string_view aText) {
  Clear();
  std::size_t i = 0;
  while (i < aText.size()) {
    std::size_t j = i;
    while (j < aText.size() && aText[j] != '\r' && aText[j] != '\n') ++j;
    Add(std::string(aText.substr(i, j - i)));
    if (j < aText.size() && aText[j] == '\r') ++j;
    if (j < aText.size() && aText[j] == '\n') ++j;
    i = j;
  }
}

std::string TStrings::DelimitedText() const {
  std::string out;
  for (std::size_t n = 0; n < FItems.size(); ++n) {
    const std::string& s = FItems[n];
    if (n) out += Delimiter;
    bool quote = s.empty() && FItems.size() > 1;
    for (char c : s)
      if (c == QuoteChar || c == Delimiter || (!StrictDelimiter && static_cast<unsigned char>(c) <= ' ')) quote = true;
    if (!quote) {
      out += s;
      continue;
    }
    out += QuoteChar;
    for (char c : s) {
      if (c == QuoteChar) out += QuoteChar;
      out += c;
    }
    out += QuoteChar;
  }
  return out;
}

void TStrings::SetDelimitedText(std::string_view t) {
  Clear();
  std::size_t i = 0;
  auto isBlank = [&](char c) { return !StrictDelimiter && static_cast<unsigned char>(c) <= ' ' && c != Delimiter; };
  while (i < t.size() && isBlank(t[i])) ++i;
  while (i < t.size()) {
    std::string item;
    if (t[i] == QuoteChar) {
      ++i;
      while (i < t.size()) {
        if (t[i] == QuoteChar) {
          if (i + 1 < t.size() && t[i + 1] == QuoteChar) {
            item += QuoteChar;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += t[i++];
      }
    } else {
      while (i < t.size() && t[i] != Delimiter && !isBlank(t[i])) item += t[i++];
    }
    Add(std::move(item));
    while (i < t.size() && isBlank(t[i])) ++i;
    if (i < t.size() && t[i] == Delimiter) {
      ++i;
      while (i < t.size() && isBlank(t[i])) ++i;
      if (i == t.size()) Add(std::string());
    }
  }
}

std::string TStrings::CommaText() const {
  TStrings copy(*this);
  copy.Delimiter = ',';
  copy.QuoteChar = '"';
  copy.StrictDelimiter = false;
  return copy.DelimitedText();
}

void TStrings::SetCommaText(std::string_view aText) {
  const char d = Delimiter, q = QuoteChar;
  const bool s = StrictDelimiter;
  Delimiter = ',';
  QuoteChar = '"';
  StrictDelimiter = false;
  SetDelimitedText(aText);
  Delimiter = d;
  QuoteChar = q;
  StrictDelimiter = s;
}

// ---------------------------------------------------------------------------
// TStringList

int TStringList::Compare(std::string_view a, std::string_view b) const {
  if (CaseSensitive) return a.compare(b);
  return LowerCase(a).compare(LowerCase(b));
}

bool TStringList::Find(std::string_view aValue, int& aIndex) const {
  int lo = 0, hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    const int mid = (lo + hi) / 2;
    const int c = Compare(FItems[static_cast<std::size_t>(mid)], aValue);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        if (Duplicates != TDuplicates::dupAccept) lo = mid;
      }
    }
  }
  aIndex = lo;
  return found;
}

int TStringList::Add(std::string aValue) {
  if (!FSorted) return TStrings::Add(std::move(aValue));
  int i = 0;
  if (Find(aValue, i)) {
    if (Duplicates == TDuplicates::dupIgnore) return i;
    if (Duplicates == TDuplicates::dupError) throw EListError(kDuplicateString);
  }
  FItems.insert(FItems.begin() + i, std::move(aValue));
  return i;
}

void TStringList::Insert(int aIndex, std::string aValue) {
  if (FSorted) throw EListError("Operation not allowed on sorted list");
  TStrings::Insert(aIndex, std::move(aValue));
}

int TStringList::IndexOf(std::string_view aValue) const {
  if (!FSorted) return TStrings::IndexOf(aValue);
  int i = 0;
  return Find(aValue, i) ? i : -1;
}

void TStringList::Sort() {
  std::stable_sort(FItems.begin(), FItems.end(),
                   [this](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
}

void TStringList::SetSorted(bool aSorted) {
  if (aSorted && !FSorted) Sort();
  FSorted = aSorted;
}

// ---------------------------------------------------------------------------
// Streams

std::int64_t TStream::Size() {
  const std::int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* aBuffer, std::int64_t aCount) {
  auto* p = static_cast<std::uint8_t*>(aBuffer);
  while (aCount > 0) {
    const std::int64_t n = Read(p, aCount);
    if (n <= 0) throw EReadError(kReadError);
    p += n;
    aCount -= n;
  }
}

void TStream::WriteBuffer(const void* aBuffer, std::int64_t aCount) {
  auto* p = static_cast<const std::uint8_t*>(aBuffer);
  while (aCount > 0) {
    const std::int64_t n = Write(p, aCount);
    if (n <= 0) throw EWriteError(kWriteError);
    p += n;
    aCount -= n;
  }
}

std::int64_t TStream::CopyFrom(TStream& aSource, std::int64_t aCount) {
  if (aCount == 0) {
    aSource.SetPosition(0);
    aCount = aSource.Size();
  }
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::min<std::int64_t>(aCount, 64 * 1024)));
  std::int64_t done = 0;
  while (done < aCount) {
    const std::int64_t n = std::min<std::int64_t>(aCount - done, static_cast<std::int64_t>(buf.size()));
    aSource.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    done += n;
  }
  return done;
}

std::int64_t TMemoryStream::Read(void* aBuffer, std::int64_t aCount) {
  const std::int64_t avail = Size() - FPosition;
  const std::int64_t n = std::max<std::int64_t>(0, std::min(aCount, avail));
  if (n > 0) std::memcpy(aBuffer, FData.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* aBuffer, std::int64_t aCount) {
  if (aCount <= 0) return 0;
  const std::int64_t end = FPosition + aCount;
  if (end > Size()) FData.resize(static_cast<std::size_t>(end));
  std::memcpy(FData.data() + FPosition, aBuffer, static_cast<std::size_t>(aCount));
  FPosition = end;
  return aCount;
}

std::int64_t TMemoryStream::Seek(std::int64_t aOffset, TSeekOrigin aOrigin) {
  switch (aOrigin) {
    case TSeekOrigin::soBeginning:
      FPosition = aOffset;
      break;
    case TSeekOrigin::soCurrent:
      FPosition += aOffset;
      break;
    case TSeekOrigin::soEnd:
      FPosition = Size() + aOffset;
      break;
  }
  if (FPosition < 0) FPosition = 0;
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t aSize) {
  FData.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, aSize)));
  if (FPosition > aSize) FPosition = aSize;
}

void TMemoryStream::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& aStream) {
  aStream.SetPosition(0);
  const std::int64_t n = aStream.Size();
  SetSize(n);
  if (n > 0) aStream.ReadBuffer(FData.data(), n);
  FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& aFileName) {
  TFileStream f(aFileName, fmOpenRead);
  LoadFromStream(f);
}

void TMemoryStream::SaveToStream(TStream& aStream) {
  if (!FData.empty()) aStream.WriteBuffer(FData.data(), Size());
}

void TMemoryStream::SaveToFile(const std::string& aFileName) {
  TFileStream f(aFileName, fmCreate);
  SaveToStream(f);
}

TStringStream::TStringStream(std::string_view aText) {
  WriteBuffer(aText.data(), static_cast<std::int64_t>(aText.size()));
  SetPosition(0);
}

std::string TStringStream::DataString() const {
  return std::string(reinterpret_cast<const char*>(Memory()), const_cast<TStringStream*>(this)->Size());
}

TFileStream::TFileStream(const std::string& aFileName, std::uint16_t aMode, unsigned aRights) : FFileName(aFileName) {
  if (aMode == fmCreate) {
    FHandle = ::open(aFileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, aRights);
    if (FHandle < 0) throw EFCreateError(Format(kFCreateError, aFileName, SysErrorMessage(errno)));
    return;
  }
  int flags = O_RDONLY;
  if ((aMode & 3) == fmOpenWrite) flags = O_WRONLY;
  if ((aMode & 3) == fmOpenReadWrite) flags = O_RDWR;
  FHandle = ::open(aFileName.c_str(), flags | O_CLOEXEC);
  if (FHandle < 0) throw EFOpenError(Format(kFOpenError, aFileName, SysErrorMessage(errno)));
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

std::int64_t TFileStream::Read(void* aBuffer, std::int64_t aCount) {
  for (;;) {
    const ssize_t n = ::read(FHandle, aBuffer, static_cast<std::size_t>(std::max<std::int64_t>(0, aCount)));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : n;
  }
}

std::int64_t TFileStream::Write(const void* aBuffer, std::int64_t aCount) {
  for (;;) {
    const ssize_t n = ::write(FHandle, aBuffer, static_cast<std::size_t>(std::max<std::int64_t>(0, aCount)));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : n;
  }
}

std::int64_t TFileStream::Seek(std::int64_t aOffset, TSeekOrigin aOrigin) {
  const int whence = aOrigin == TSeekOrigin::soBeginning ? SEEK_SET
                     : aOrigin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                         : SEEK_END;
  return ::lseek(FHandle, aOffset, whence);
}

void TFileStream::SetSize(std::int64_t aSize) {
  if (::ftruncate(FHandle, aSize) != 0) throw EWriteError(kWriteError);
}
