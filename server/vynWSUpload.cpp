#include "server/vynWSUpload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/SysUtils.h"
#include "server/vynWSMatch.h"

namespace detail {

namespace {

constexpr char kUploadCreateError[] = "Cannot create upload file %s: %s";
constexpr char kUploadNoFreeName[] = "No free upload file name in %s";
constexpr char kMultipartNoBoundary[] = "Multipart body without its boundary";
constexpr char kMultipartNoOpening[] = "Multipart body does not start with its boundary";
constexpr char kMultipartBadDelimiter[] = "Multipart boundary line is malformed";
constexpr char kMultipartHeadTooLong[] = "Multipart part head too long or not ended";
constexpr char kMultipartTooManyParts[] = "Multipart body has too many parts";
constexpr char kMultipartCutShort[] = "Multipart body ends before its closing boundary";
constexpr char kMultipartRefusedName[] = "Multipart part file name refused: %s";
constexpr char kMultipartWriteError[] = "Cannot write upload part %s: %s";

// Tries for a free name; enough for any real collision, and it bounds a
// folder full of names.
constexpr int kMaxNameTries = 1000;
constexpr std::size_t kMaxFileNameBytes = 255;
constexpr std::size_t kReadChunk = 64 * 1024;

int OpenExclusive(const std::string& aFileName) {
  return ::open(aFileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
}

std::string JoinPath(const std::string& aDirectory, std::string_view aName) {
  std::string path = aDirectory.empty() ? std::string(".") : aDirectory;
  if (path.back() != '/') path.push_back('/');
  path.append(aName);
  return path;
}

// Reads the body ahead of the parser, keeping what it has not consumed.
class TBodyReader {
public:
  explicit TBodyReader(TStream& aBody) : FBody(aBody) {}
  // Makes at least aCount bytes available when the body has them.
  bool Fill(std::size_t aCount) {
    while (Available() < aCount && !FEnd) {
      if (FPos > 0 && FPos >= FBuffer.size() / 2) {
        FBuffer.erase(0, FPos);
        FPos = 0;
      }
      const std::size_t old = FBuffer.size();
      FBuffer.resize(old + kReadChunk);
      const std::int64_t n = FBody.Read(FBuffer.data() + old, static_cast<std::int64_t>(kReadChunk));
      FBuffer.resize(old + static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
      if (n <= 0) FEnd = true;
    }
    return Available() >= aCount;
  }
  std::size_t Available() const { return FBuffer.size() - FPos; }
  std::string_view View() const { return std::string_view(FBuffer).substr(FPos); }
  void Skip(std::size_t aCount) { FPos += std::min(aCount, Available()); }
  bool AtEnd() { return !Fill(1); }

private:
  TStream& FBody;
  std::string FBuffer;
  std::size_t FPos = 0;
  bool FEnd = false;
};

// The parts of one extraction: each is written under a hidden temporary
// name and appears under its own name only when the whole body was read, so
// nobody watching the folder sees a part half written or the parts of a
// refused body. What is left when the extraction ends early goes.
class TWrittenFiles {
public:
  explicit TWrittenFiles(std::string aDirectory) : FDirectory(std::move(aDirectory)) {}
  ~TWrittenFiles() {
    for (const Part& p : FParts) ::unlink(p.Temporary.c_str());
    if (!FDone)
      for (const std::string& f : FPublished) ::unlink(f.c_str());
  }
  // A new temporary file for a part that the client named aName.
  int Create(std::string aName, std::string& aPath) {
    aPath = JoinPath(FDirectory, kTemporaryName);
    const int fd = ::mkostemp(aPath.data(), O_CLOEXEC);
    if (fd < 0) throw Exception(Format(kUploadCreateError, aPath, SysErrorMessage(errno)));
    FParts.push_back({aPath, std::move(aName)});
    return fd;
  }
  // Gives every part its name, or the first free "_N" variant of it.
  std::vector<std::string> Finish() {
    for (const Part& p : FParts) {
      const std::size_t dot = p.Name.rfind('.');
      const bool hasExt = dot != std::string::npos && dot != 0;
      const std::string stem = hasExt ? p.Name.substr(0, dot) : p.Name;
      const std::string ext = hasExt ? p.Name.substr(dot) : std::string();
      std::string path;
      for (int i = 0;; ++i) {
        if (i == kMaxNameTries) throw Exception(Format(kUploadNoFreeName, FDirectory));
        path = JoinPath(FDirectory, i == 0 ? p.Name : stem + "_" + std::to_string(i) + ext);
        if (::link(p.Temporary.c_str(), path.c_str()) == 0) break;
        if (errno != EEXIST) throw Exception(Format(kUploadCreateError, path, SysErrorMessage(errno)));
      }
      FPublished.push_back(path);
    }
    FDone = true;
    return FPublished;
  }

private:
  static constexpr char kTemporaryName[] = ".upload-XXXXXX";
  struct Part {
    std::string Temporary, Name;
  };
  std::string FDirectory;
  std::vector<Part> FParts;
  std::vector<std::string> FPublished;
  bool FDone = false;
};

void WriteAll(int aHandle, std::string_view aData, const std::string& aPath) {
  while (!aData.empty()) {
    const ssize_t n = ::write(aHandle, aData.data(), aData.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Exception(Format(kMultipartWriteError, aPath, SysErrorMessage(errno)));
    aData.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string HeaderValue(std::string_view aHead, std::string_view aName) {
  std::size_t pos = 0;
  while (pos < aHead.size()) {
    std::size_t end = aHead.find("\r\n", pos);
    if (end == std::string_view::npos) end = aHead.size();
    const std::string_view line = aHead.substr(pos, end - pos);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && WildcardMatch(Trim(line.substr(0, colon)), aName))
      return Trim(line.substr(colon + 1));
    pos = end + 2;
  }
  return {};
}

}  // namespace

TUploadFileStream::TUploadFileStream(std::string aFileName) : FFileName(std::move(aFileName)) {
  FHandle = OpenExclusive(FFileName);
  if (FHandle < 0) throw EFCreateError(Format(kUploadCreateError, FFileName, SysErrorMessage(errno)));
}

TUploadFileStream::~TUploadFileStream() {
  if (FHandle >= 0) ::close(FHandle);
  if (!FKeep) ::unlink(FFileName.c_str());
}

std::int64_t TUploadFileStream::Read(void* aBuffer, std::int64_t aCount) {
  for (;;) {
    const ssize_t n = ::read(FHandle, aBuffer, static_cast<std::size_t>(std::max<std::int64_t>(0, aCount)));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : n;
  }
}

std::int64_t TUploadFileStream::Write(const void* aBuffer, std::int64_t aCount) {
  for (;;) {
    const ssize_t n = ::write(FHandle, aBuffer, static_cast<std::size_t>(std::max<std::int64_t>(0, aCount)));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : n;
  }
}

std::int64_t TUploadFileStream::Seek(std::int64_t aOffset, TSeekOrigin aOrigin) {
  const int whence = aOrigin == TSeekOrigin::soBeginning ? SEEK_SET
                     : aOrigin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                         : SEEK_END;
  const off_t r = ::lseek(FHandle, static_cast<off_t>(aOffset), whence);
  return r < 0 ? -1 : static_cast<std::int64_t>(r);
}

void TUploadFileStream::SetSize(std::int64_t aSize) {
  if (::ftruncate(FHandle, static_cast<off_t>(aSize)) != 0)
    throw EWriteError(Format(kMultipartWriteError, FFileName, SysErrorMessage(errno)));
}

std::string UploadTimeStamp(TDateTime aLocal) {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(aLocal, y, mo, d, h, mi, s, ms);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%03d", y, mo, d, h, mi, s, ms);
  return text;
}

std::unique_ptr<TUploadFileStream> CreateUploadFile(const std::string& aDirectory) {
  const TDateTime now = Now();
  for (int i = 0; i < kMaxNameTries; ++i) {
    const std::string name =
        JoinPath(aDirectory, UploadTimeStamp(IncMilliSecond(now, i)) + std::string(kUploadExtension));
    try {
      return std::make_unique<TUploadFileStream>(name);
    } catch (const EFCreateError&) {
      struct stat st;
      if (::lstat(name.c_str(), &st) != 0) throw;  // not taken: the folder is the problem
    }
  }
  throw EFCreateError(Format(kUploadNoFreeName, aDirectory));
}

bool IsFileUpload(std::string_view aContentType, std::string_view aContentLength, std::int64_t aMinSize) {
  if (!ContainsText(aContentType, kMultipartFormData)) return false;
  if (aMinSize <= 0) return true;
  std::int64_t length = 0;
  return TryStrToInt64(Trim(aContentLength), length) && length >= aMinSize;
}

std::string MultipartBoundary(std::string_view aContentType) {
  std::size_t pos = aContentType.find(';');
  while (pos != std::string_view::npos) {
    const std::size_t next = aContentType.find(';', pos + 1);
    std::string_view param =
        aContentType.substr(pos + 1, next == std::string_view::npos ? aContentType.npos : next - pos - 1);
    pos = next;
    const std::size_t eq = param.find('=');
    if (eq == std::string_view::npos || !WildcardMatch(Trim(param.substr(0, eq)), "boundary")) continue;
    std::string value = Trim(param.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value.empty() || value.size() > 70) return {};
    for (char c : value)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return {};
    return value;
  }
  return {};
}

std::string SafePartFileName(std::string_view aClientName) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= aClientName.size(); ++i) {
    if (i == aClientName.size() || aClientName[i] == '/' || aClientName[i] == '\\') {
      if (aClientName.substr(start, i - start) == "..") return {};
      start = i + 1;
    } else if (static_cast<unsigned char>(aClientName[i]) < 0x20 || aClientName[i] == 0x7f) {
      return {};
    }
  }
  const std::size_t slash = aClientName.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? aClientName : aClientName.substr(slash + 1);
  if (name.empty() || name == "." || name.size() > kMaxFileNameBytes) return {};
  return std::string(name);
}

std::string DispositionFileName(std::string_view aDisposition, bool& aFound) {
  aFound = false;
  std::size_t pos = 0;
  while (pos < aDisposition.size()) {
    // Parameters: name=token or name="quoted", separated by ';'.
    const std::size_t eq = aDisposition.find('=', pos);
    const std::size_t semi = aDisposition.find(';', pos);
    if (eq == std::string_view::npos) break;
    if (semi != std::string_view::npos && semi < eq) {
      pos = semi + 1;
      continue;
    }
    const std::string name = Trim(aDisposition.substr(pos, eq - pos));
    std::size_t v = eq + 1;
    while (v < aDisposition.size() && aDisposition[v] == ' ') ++v;
    std::string value;
    if (v < aDisposition.size() && aDisposition[v] == '"') {
      ++v;
      while (v < aDisposition.size() && aDisposition[v] != '"') {
        // Browsers send Windows paths with bare backslashes: only a quote or
        // a backslash after one is an escape.
        if (aDisposition[v] == '\\' && v + 1 < aDisposition.size() &&
            (aDisposition[v + 1] == '"' || aDisposition[v + 1] == '\\'))
          ++v;
        value.push_back(aDisposition[v++]);
      }
      pos = aDisposition.find(';', v);
    } else {
      const std::size_t end = aDisposition.find(';', v);
      value = Trim(aDisposition.substr(v, end == std::string_view::npos ? aDisposition.npos : end - v));
      pos = end;
    }
    if (SameText(name, "filename")) {
      aFound = true;
      return value;
    }
    if (pos == std::string_view::npos) break;
    ++pos;
  }
  return {};
}

TMultipartResult ExtractMultipartFiles(TStream& aBody, std::string_view aBoundary, const std::string& aDirectory,
                                       const TMultipartLimits& aLimits) {
  if (aBoundary.empty()) throw Exception(kMultipartNoBoundary);
  aBody.SetPosition(0);
  TBodyReader in(aBody);
  TWrittenFiles written(aDirectory);
  const std::string dash = "--" + std::string(aBoundary);
  const std::string delimiter = "\r\n" + dash;

  // Before the first boundary only a preamble may stand; the boundary must
  // begin a line.
  in.Fill(dash.size());
  if (in.View().substr(0, dash.size()) != dash) {
    for (;;) {
      in.Fill(delimiter.size());
      const std::size_t at = in.View().find(delimiter);
      if (at != std::string_view::npos) {
        in.Skip(at + 2);
        break;
      }
      if (in.Available() < delimiter.size()) throw Exception(kMultipartNoOpening);
      in.Skip(in.Available() - delimiter.size() + 1);
    }
  }
  in.Skip(dash.size());

  std::int32_t parts = 0;
  for (;;) {
    // After a boundary: "--" ends the body, else blanks and a line break.
    in.Fill(2);
    if (in.View().substr(0, 2) == "--") break;
    while (in.Fill(1) && (in.View()[0] == ' ' || in.View()[0] == '\t')) in.Skip(1);
    in.Fill(2);
    if (in.View().substr(0, 2) != "\r\n") throw Exception(kMultipartBadDelimiter);
    in.Skip(2);
    if (++parts > aLimits.MaxParts) throw Exception(kMultipartTooManyParts);

    // The part's head, bounded.
    std::size_t headEnd;
    for (;;) {
      headEnd = in.View().find("\r\n\r\n");
      if (in.View().substr(0, 2) == "\r\n") headEnd = 0;  // a part without header lines
      if (headEnd != std::string_view::npos) break;
      if (in.Available() > static_cast<std::size_t>(aLimits.MaxPartHeaderBytes) || !in.Fill(in.Available() + 1))
        throw Exception(kMultipartHeadTooLong);
    }
    if (headEnd > static_cast<std::size_t>(aLimits.MaxPartHeaderBytes)) throw Exception(kMultipartHeadTooLong);
    const std::string head(in.View().substr(0, headEnd));
    in.Skip(headEnd == 0 ? 2 : headEnd + 4);

    bool hasFileName = false;
    const std::string clientName = DispositionFileName(HeaderValue(head, "Content-Disposition"), hasFileName);
    int fd = -1;
    std::string path;
    if (hasFileName && !clientName.empty()) {
      const std::string name = SafePartFileName(clientName);
      if (name.empty()) throw Exception(Format(kMultipartRefusedName, clientName));
      fd = written.Create(name, path);
    }
    // The part's data runs to the next delimiter.
    try {
      for (;;) {
        in.Fill(delimiter.size() + kReadChunk);
        const std::size_t at = in.View().find(delimiter);
        if (at != std::string_view::npos) {
          if (fd >= 0) WriteAll(fd, in.View().substr(0, at), path);
          in.Skip(at + delimiter.size());
          break;
        }
        if (in.Available() < delimiter.size()) throw Exception(kMultipartCutShort);
        const std::size_t safe = in.Available() - delimiter.size() + 1;
        if (fd >= 0) WriteAll(fd, in.View().substr(0, safe), path);
        in.Skip(safe);
      }
    } catch (...) {
      if (fd >= 0) ::close(fd);
      throw;
    }
    if (fd >= 0 && ::close(fd) != 0) throw Exception(Format(kMultipartWriteError, path, SysErrorMessage(errno)));
  }
  TMultipartResult result;
  result.Files = written.Finish();
  return result;
}

}  // namespace detail
