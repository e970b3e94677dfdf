// Uploads: a multipart/form-data body received into a temporary file of the
// save folder, and the file parts of such a body extracted into that folder.
// The bodies are outside input: part names never leave the folder, never
// replace a file, sizes are bounded, and a body that cannot be read whole
// leaves no file behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Classes.h"
#include "platform/DateUtils.h"

namespace detail {

inline constexpr std::string_view kUploadExtension = ".vyn_ps";
inline constexpr std::string_view kMultipartFormData = "multipart/form-data";

// A file made by this process, read and written through its descriptor.
// Freed without Keep(), it deletes its file: a body cut short or refused
// never stays behind.
class TUploadFileStream : public TStream {
public:
  // Creates aFileName exclusively (never an existing file or a link), owner
  // only (0600); raises EFCreateError when it cannot.
  explicit TUploadFileStream(std::string aFileName);
  ~TUploadFileStream() override;
  TUploadFileStream(const TUploadFileStream&) = delete;
  TUploadFileStream& operator=(const TUploadFileStream&) = delete;

  std::int64_t Read(void* aBuffer, std::int64_t aCount) override;
  std::int64_t Write(const void* aBuffer, std::int64_t aCount) override;
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override;
  void SetSize(std::int64_t aSize) override;

  const std::string& FileName() const { return FFileName; }
  void Keep() { FKeep = true; }
  bool Kept() const { return FKeep; }

private:
  std::string FFileName;
  int FHandle = -1;
  bool FKeep = false;
};

// "yyyymmddhhnnsszzz" of a local time.
std::string UploadTimeStamp(TDateTime aLocal);

// A new temporary upload file in aDirectory named by the local time and
// ".vyn_ps"; a name that is taken is replaced by the stamp of the next
// millisecond, a bounded number of times.
std::unique_ptr<TUploadFileStream> CreateUploadFile(const std::string& aDirectory);

// Whether a request's body goes to a file: its content type names
// multipart/form-data and, when aMinSize is above 0, its declared length is
// at least aMinSize.
bool IsFileUpload(std::string_view aContentType, std::string_view aContentLength, std::int64_t aMinSize);

// The boundary parameter of a multipart content type (quotes removed);
// empty when there is none or it breaks the format's rules (1 to 70
// characters, no control characters).
std::string MultipartBoundary(std::string_view aContentType);

// The name a part's file gets in the save folder: the last segment of what
// the client sent (after "/" or "\"). Empty, meaning refused, when the text
// holds a ".." segment, a NUL or another control character, or the name is
// empty, "." or longer than 255 bytes.
std::string SafePartFileName(std::string_view aClientName);

// The filename parameter of a Content-Disposition value (quoted or token);
// aFound false when there is none.
std::string DispositionFileName(std::string_view aDisposition, bool& aFound);

struct TMultipartLimits {
  std::int32_t MaxParts = 1000;
  std::int32_t MaxPartHeaderBytes = 16384;
};

// The result of an extraction: the full names of the files written.
struct TMultipartResult {
  std::vector<std::string> Files;
};

// Extracts every part that carries a file name from aBody (read from its
// start) into aDirectory. A name that exists already gets "_1", "_2", ...
// before its extension. Raises Exception for a body that breaks the format
// (no opening or closing boundary, part head too long or without its end,
// too many parts, a refused file name); the files written so far are then
// deleted.
TMultipartResult ExtractMultipartFiles(TStream& aBody, std::string_view aBoundary, const std::string& aDirectory,
                                       const TMultipartLimits& aLimits = {});

}  // namespace detail
