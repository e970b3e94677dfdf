// The table from file extensions to media types used when files are served:
// a built-in list merged with the types the system registers in
// /etc/mime.types, filled on the first lookup that misses.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Classes.h"
#include "transport/vynIdGlobal.h"

class TIdMimeTable;
using TIdMimeTableEvent = std::function<void(TIdMimeTable* ASender)>;

inline constexpr const char* kIdDefaultMimeType = "application/octet-stream";

class TIdMimeTable {
public:
  TIdMimeTable() = default;
  virtual ~TIdMimeTable() = default;

  // The media type of AFileName's extension; "application/octet-stream" when
  // none is known after the table was filled.
  std::string GetFileMIMEType(std::string_view AFileName);
  // The first extension registered for AMIMEType; empty when none.
  std::string GetDefaultFileExt(std::string_view AMIMEType);
  // Adds one pair; an extension that is present already is kept as it is.
  void AddMimeType(std::string_view Ext, std::string_view MIMEType, bool ARaiseOnError = true);
  // Lines "ext=type".
  void LoadFromStrings(const TStrings& AStrings, char MimeSeparator = '=');
  void SaveToStrings(TStrings& AStrings, char MimeSeparator = '=') const;
  virtual void BuildCache();
  int Count() const { return static_cast<int>(FFileExt.size()); }

  bool LoadTypesFromOS = true;
  TIdMimeTableEvent OnBuildCache;
  // Where the system's registrations are read from; tests point it elsewhere.
  std::string OSTypesFile = "/etc/mime.types";

private:
  int IndexOfExt(std::string_view AExt) const;
  std::vector<std::string> FFileExt;
  std::vector<std::string> FMIMEList;
  // Extension -> index, so a lookup and a fill of a few thousand rows stay
  // linear.
  std::unordered_map<std::string, int> FExtIndex;
};

// The built-in rows ("ext=type"), in order.
const std::vector<std::string>& IdBuiltInMimeTypes();
// The "type ext ext ..." lines of a mime.types file as "ext=type" rows, in
// file order; unreadable or missing files give none. Lines and entries are
// bounded so a damaged file cannot exhaust memory.
std::vector<std::string> IdReadMimeTypesFile(const std::string& AFileName);

// Serialises every operation of one table, the lazy fill included.
class TIdThreadSafeMimeTable {
public:
  TIdThreadSafeMimeTable() = default;

  std::string GetFileMIMEType(std::string_view AFileName);
  std::string GetDefaultFileExt(std::string_view AMIMEType);
  void AddMimeType(std::string_view Ext, std::string_view MIMEType, bool ARaiseOnError = true);
  void LoadFromStrings(const TStrings& AStrings, char MimeSeparator = '=');
  void SaveToStrings(TStrings& AStrings, char MimeSeparator = '=');
  void BuildCache();
  bool LoadTypesFromOS();
  void SetLoadTypesFromOS(bool AValue);
  TIdMimeTableEvent OnBuildCache();
  void SetOnBuildCache(TIdMimeTableEvent AValue);
  void SetOSTypesFile(std::string AValue);

  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }

private:
  std::recursive_mutex FLock;
  TIdMimeTable FTable;
};
