#include "transport/vynIdMimeTable.h"

#include <fstream>

#include "platform/SysUtils.h"

namespace {

constexpr const char* RSMIMEExtensionEmpty = "Extension is empty";
constexpr const char* RSMIMEMIMETypeEmpty = "Mimetype is empty";
constexpr const char* RSMIMEMIMEExtAlreadyExists = "Extension already exits";

// A damaged or hostile types file must not grow the table without bound.
constexpr std::size_t kMaxTypesFileLine = 4096;
constexpr std::size_t kMaxTypesFileRows = 20000;

std::string ExtOf(std::string_view AFileName) {
  // The extension starts at the last "." after the last folder separator.
  for (std::size_t i = AFileName.size(); i-- > 0;) {
    const char c = AFileName[i];
    if (c == '/' || c == '\\') return {};
    if (c == '.') return LowerCase(AFileName.substr(i));
  }
  return {};
}

}  // namespace

const std::vector<std::string>& IdBuiltInMimeTypes() {
  static const std::vector<std::string> rows = {
      ".323=text/h323",
      ".7z=application/x-7z-compressed",
      ".aac=audio/aac",
      ".abw=application/x-abiword",
      ".ai=application/postscript",
      ".aif=audio/x-aiff",
      ".aifc=audio/x-aiff",
      ".aiff=audio/x-aiff",
      ".apk=application/vnd.android.package-archive",
      ".arj=application/x-arj",
      ".asf=video/x-ms-asf",
      ".asx=video/x-ms-asf",
      ".atom=application/atom+xml",
      ".au=audio/basic",
      ".avi=video/x-msvideo",
      ".avif=image/avif",
      ".bat=application/x-msdos-program",
      ".bin=application/octet-stream",
      ".bmp=image/bmp",
      ".bz2=application/x-bzip2",
      ".c=text/x-csrc",
      ".cab=application/vnd.ms-cab-compressed",
      ".cer=application/x-x509-ca-cert",
      ".cgm=image/cgm",
      ".class=application/java-vm",
      ".cpp=text/x-c++src",
      ".crt=application/x-x509-ca-cert",
      ".csh=application/x-csh",
      ".css=text/css",
      ".csv=text/csv",
      ".deb=application/vnd.debian.binary-package",
      ".der=application/x-x509-ca-cert",
      ".diff=text/x-diff",
      ".djvu=image/vnd.djvu",
      ".dll=application/x-msdownload",
      ".doc=application/msword",
      ".docx=application/vnd.openxmlformats-officedocument.wordprocessingml.document",
      ".dot=application/msword",
      ".dtd=application/xml-dtd",
      ".dvi=application/x-dvi",
      ".eml=message/rfc822",
      ".eot=application/vnd.ms-fontobject",
      ".eps=application/postscript",
      ".epub=application/epub+zip",
      ".etx=text/x-setext",
      ".exe=application/x-msdownload",
      ".flac=audio/flac",
      ".flv=video/x-flv",
      ".gif=image/gif",
      ".gtar=application/x-gtar",
      ".gz=application/x-gzip",
      ".h=text/x-chdr",
      ".hqx=application/mac-binhex40",
      ".htc=text/x-component",
      ".htm=text/html",
      ".html=text/html",
      ".ico=image/x-icon",
      ".ics=text/calendar",
      ".ief=image/ief",
      ".iso=application/x-iso9660-image",
      ".jar=application/java-archive",
      ".java=text/x-java",
      ".jp2=image/jp2",
      ".jpe=image/jpeg",
      ".jpeg=image/jpeg",
      ".jpg=image/jpeg",
      ".js=text/javascript",
      ".json=application/json",
      ".jsonld=application/ld+json",
      ".kar=audio/midi",
      ".latex=application/x-latex",
      ".log=text/plain",
      ".m3u=audio/mpegurl",
      ".m4a=audio/mp4",
      ".m4v=video/mp4",
      ".man=application/x-troff-man",
      ".map=application/json",
      ".md=text/markdown",
      ".mdb=application/x-msaccess",
      ".me=application/x-troff-me",
      ".mht=message/rfc822",
      ".mid=audio/midi",
      ".midi=audio/midi",
      ".mjs=text/javascript",
      ".mkv=video/x-matroska",
      ".mov=video/quicktime",
      ".movie=video/x-sgi-movie",
      ".mp2=audio/mpeg",
      ".mp3=audio/mpeg",
      ".mp4=video/mp4",
      ".mpe=video/mpeg",
      ".mpeg=video/mpeg",
      ".mpg=video/mpeg",
      ".mpga=audio/mpeg",
      ".msi=application/x-msi",
      ".ms=application/x-troff-ms",
      ".odp=application/vnd.oasis.opendocument.presentation",
      ".ods=application/vnd.oasis.opendocument.spreadsheet",
      ".odt=application/vnd.oasis.opendocument.text",
      ".oga=audio/ogg",
      ".ogg=audio/ogg",
      ".ogv=video/ogg",
      ".ogx=application/ogg",
      ".opus=audio/ogg",
      ".otf=font/otf",
      ".p10=application/pkcs10",
      ".p12=application/x-pkcs12",
      ".p7b=application/x-pkcs7-certificates",
      ".p7c=application/pkcs7-mime",
      ".p7m=application/pkcs7-mime",
      ".p7s=application/pkcs7-signature",
      ".pas=text/x-pascal",
      ".patch=text/x-diff",
      ".pbm=image/x-portable-bitmap",
      ".pdf=application/pdf",
      ".pem=application/x-pem-file",
      ".pfx=application/x-pkcs12",
      ".pgm=image/x-portable-graymap",
      ".php=application/x-httpd-php",
      ".pl=text/x-perl",
      ".png=image/x-png",
      ".pnm=image/x-portable-anymap",
      ".pot=application/vnd.ms-powerpoint",
      ".ppm=image/x-portable-pixmap",
      ".pps=application/vnd.ms-powerpoint",
      ".ppt=application/vnd.ms-powerpoint",
      ".pptx=application/vnd.openxmlformats-officedocument.presentationml.presentation",
      ".ps=application/postscript",
      ".psd=image/vnd.adobe.photoshop",
      ".py=text/x-python",
      ".qt=video/quicktime",
      ".ra=audio/x-pn-realaudio",
      ".ram=audio/x-pn-realaudio",
      ".rar=application/x-rar-compressed",
      ".ras=image/x-cmu-raster",
      ".rdf=application/rdf+xml",
      ".rgb=image/x-rgb",
      ".rm=application/vnd.rn-realmedia",
      ".roff=application/x-troff",
      ".rpm=application/x-redhat-package-manager",
      ".rss=application/rss+xml",
      ".rtf=application/rtf",
      ".rtx=text/richtext",
      ".sh=application/x-sh",
      ".shtml=text/html",
      ".sit=application/x-stuffit",
      ".snd=audio/basic",
      ".sql=application/sql",
      ".svg=image/svg+xml",
      ".svgz=image/svg+xml",
      ".swf=application/x-shockwave-flash",
      ".t=application/x-troff",
      ".tar=application/x-tar",
      ".tcl=application/x-tcl",
      ".tex=application/x-tex",
      ".texi=application/x-texinfo",
      ".texinfo=application/x-texinfo",
      ".tgz=application/x-compressed",
      ".tif=image/tiff",
      ".tiff=image/tiff",
      ".tr=application/x-troff",
      ".ts=video/mp2t",
      ".tsv=text/tab-separated-values",
      ".ttf=font/ttf",
      ".txt=text/plain",
      ".vcf=text/x-vcard",
      ".vcs=text/x-vcalendar",
      ".vsd=application/vnd.visio",
      ".wasm=application/wasm",
      ".wav=audio/x-wav",
      ".weba=audio/webm",
      ".webm=video/webm",
      ".webmanifest=application/manifest+json",
      ".webp=image/webp",
      ".wma=audio/x-ms-wma",
      ".wmv=video/x-ms-wmv",
      ".woff=font/woff",
      ".woff2=font/woff2",
      ".wrl=model/vrml",
      ".xbm=image/x-xbitmap",
      ".xhtml=application/xhtml+xml",
      ".xls=application/vnd.ms-excel",
      ".xlsx=application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
      ".xml=text/xml",
      ".xpm=image/x-xpixmap",
      ".xsl=text/xml",
      ".xslt=application/xslt+xml",
      ".xwd=image/x-xwindowdump",
      ".xz=application/x-xz",
      ".yaml=application/yaml",
      ".yml=application/yaml",
      ".z=application/x-compress",
      ".zip=application/x-zip-compressed",
      ".zst=application/zstd",
      ".m3u=audio/x-mpegurl",
  };
  return rows;
}

std::vector<std::string> IdReadMimeTypesFile(const std::string& AFileName) {
  std::vector<std::string> rows;
  std::ifstream in(AFileName, std::ios::binary);
  if (!in) return rows;
  std::string line;
  char c;
  bool overlong = false;
  auto takeLine = [&] {
    if (!overlong) {
      std::size_t hash = line.find('#');
      if (hash != std::string::npos) line.resize(hash);
      std::vector<std::string> words;
      std::size_t i = 0;
      while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > start) words.emplace_back(line.substr(start, i - start));
      }
      // A type needs a "/"; the rest of the line are its extensions.
      if (words.size() >= 2 && words[0].find('/') != std::string::npos) {
        std::string type = LowerCase(words[0]);
        for (std::size_t w = 1; w < words.size() && rows.size() < kMaxTypesFileRows; ++w)
          rows.push_back("." + LowerCase(words[w]) + "=" + type);
      }
    }
    line.clear();
    overlong = false;
  };
  while (in.get(c) && rows.size() < kMaxTypesFileRows) {
    if (c == '\n') {
      takeLine();
    } else if (line.size() < kMaxTypesFileLine) {
      line.push_back(c);
    } else {
      overlong = true;
    }
  }
  if (!line.empty()) takeLine();
  return rows;
}

int TIdMimeTable::IndexOfExt(std::string_view AExt) const {
  auto it = FExtIndex.find(std::string(AExt));
  return it == FExtIndex.end() ? -1 : it->second;
}

std::string TIdMimeTable::GetFileMIMEType(std::string_view AFileName) {
  std::string ext = ExtOf(AFileName);
  int i = IndexOfExt(ext);
  if (i < 0) {
    BuildCache();
    i = IndexOfExt(ext);
  }
  return i < 0 ? std::string(kIdDefaultMimeType) : FMIMEList[static_cast<std::size_t>(i)];
}

std::string TIdMimeTable::GetDefaultFileExt(std::string_view AMIMEType) {
  std::string type = LowerCase(AMIMEType);
  auto find = [&]() -> int {
    for (std::size_t i = 0; i < FMIMEList.size(); ++i)
      if (FMIMEList[i] == type) return static_cast<int>(i);
    return -1;
  };
  int i = find();
  if (i < 0) {
    BuildCache();
    i = find();
  }
  return i < 0 ? std::string() : FFileExt[static_cast<std::size_t>(i)];
}

void TIdMimeTable::AddMimeType(std::string_view Ext, std::string_view MIMEType, bool ARaiseOnError) {
  std::string ext = LowerCase(Ext);
  std::string type = LowerCase(MIMEType);
  if (ext.empty()) {
    if (ARaiseOnError) throw EIdException(RSMIMEExtensionEmpty);
    return;
  }
  if (type.empty()) {
    if (ARaiseOnError) throw EIdException(RSMIMEMIMETypeEmpty);
    return;
  }
  if (ext[0] != '.') ext.insert(ext.begin(), '.');
  if (IndexOfExt(ext) >= 0) {
    if (ARaiseOnError) throw EIdException(RSMIMEMIMEExtAlreadyExists);
    return;
  }
  FExtIndex.emplace(ext, static_cast<int>(FFileExt.size()));
  FFileExt.push_back(std::move(ext));
  FMIMEList.push_back(std::move(type));
}

void TIdMimeTable::LoadFromStrings(const TStrings& AStrings, char MimeSeparator) {
  FFileExt.clear();
  FMIMEList.clear();
  FExtIndex.clear();
  for (const std::string& line : AStrings) {
    std::size_t sep = line.find(MimeSeparator);
    if (sep == std::string::npos) continue;
    AddMimeType(std::string_view(line).substr(0, sep), std::string_view(line).substr(sep + 1), false);
  }
}

void TIdMimeTable::SaveToStrings(TStrings& AStrings, char MimeSeparator) const {
  AStrings.Clear();
  for (std::size_t i = 0; i < FFileExt.size(); ++i) AStrings.Add(FFileExt[i] + MimeSeparator + FMIMEList[i]);
}

void TIdMimeTable::BuildCache() {
  if (OnBuildCache) {
    OnBuildCache(this);
    return;
  }
  if (!FFileExt.empty()) return;
  std::vector<std::string> rows = IdBuiltInMimeTypes();
  if (LoadTypesFromOS) {
    // A registered type replaces the first built-in row of its extension.
    std::unordered_map<std::string, std::size_t> first;
    for (std::size_t i = 0; i < rows.size(); ++i) first.emplace(rows[i].substr(0, rows[i].find('=')), i);
    for (std::string& row : IdReadMimeTypesFile(OSTypesFile)) {
      std::string ext = row.substr(0, row.find('='));
      auto same = first.find(ext);
      if (same != first.end()) {
        rows[same->second] = std::move(row);
      } else {
        first.emplace(std::move(ext), rows.size());
        rows.push_back(std::move(row));
      }
    }
  }
  for (const std::string& row : rows) {
    std::size_t sep = row.find('=');
    AddMimeType(std::string_view(row).substr(0, sep), std::string_view(row).substr(sep + 1), false);
  }
}

std::string TIdThreadSafeMimeTable::GetFileMIMEType(std::string_view AFileName) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FTable.GetFileMIMEType(AFileName);
}
std::string TIdThreadSafeMimeTable::GetDefaultFileExt(std::string_view AMIMEType) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FTable.GetDefaultFileExt(AMIMEType);
}
void TIdThreadSafeMimeTable::AddMimeType(std::string_view Ext, std::string_view MIMEType, bool ARaiseOnError) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FTable.AddMimeType(Ext, MIMEType, ARaiseOnError);
}
void TIdThreadSafeMimeTable::LoadFromStrings(const TStrings& AStrings, char MimeSeparator) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FTable.LoadFromStrings(AStrings, MimeSeparator);
}
void TIdThreadSafeMimeTable::SaveToStrings(TStrings& AStrings, char MimeSeparator) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FTable.SaveToStrings(AStrings, MimeSeparator);
}
void TIdThreadSafeMimeTable::BuildCache() {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FTable.BuildCache();
}
bool TIdThreadSafeMimeTable::LoadTypesFromOS() {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FTable.LoadTypesFromOS;
}
void TIdThreadSafeMimeTable::SetLoadTypesFromOS(bool AValue) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FTable.LoadTypesFromOS = AValue;
}
TIdMimeTableEvent TIdThreadSafeMimeTable::OnBuildCache() {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FTable.OnBuildCache;
}
void TIdThreadSafeMimeTable::SetOnBuildCache(TIdMimeTableEvent AValue) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FTable.OnBuildCache = std::move(AValue);
}
void TIdThreadSafeMimeTable::SetOSTypesFile(std::string AValue) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FTable.OSTypesFile = std::move(AValue);
}
