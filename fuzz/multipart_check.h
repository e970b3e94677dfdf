// What must hold for any multipart body the server extracts into its save
// folder; checked the same way by the fuzz target (fuzz/fuzz_multipart.cpp)
// and by the seed replay in the normal test build.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz/check_common.h"
#include "platform/Classes.h"
#include "platform/SysUtils.h"
#include "server/vynWSUpload.h"

namespace multipart_check {

using fuzz_check::Faults;

// The first line is the boundary, the rest the body. Properties: only the
// library's error leaves the extraction; every file it reports lies in the
// save folder and nothing else was created there or beside it; after an
// error the folder is empty; the files hold no more bytes than the body.
inline Faults CheckMultipart(std::string_view aInput) {
  namespace fs = std::filesystem;
  Faults faults;
  const std::size_t eol = aInput.find('\n');
  if (eol == std::string_view::npos) return faults;
  const std::string boundary(aInput.substr(0, eol));
  const std::string_view body = aInput.substr(eol + 1);

  static const fs::path root = fs::temp_directory_path() / ("vyn_multipart_check_" + std::to_string(::getpid()));
  fs::remove_all(root);
  const fs::path save = root / "save";
  fs::create_directories(save);
  TStringStream stream(body);
  bool failed = false;
  detail::TMultipartResult result;
  try {
    result = detail::ExtractMultipartFiles(stream, boundary, save.string(), {16, 1024});
  } catch (const Exception&) {
    failed = true;
  } catch (const std::exception& e) {
    faults.push_back(std::string("foreign exception: ") + e.what() + " for " + fuzz_check::Excerpt(aInput));
    failed = true;
  }
  std::uintmax_t bytes = 0;
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(save)) {
    ++entries;
    if (!e.is_regular_file() || e.is_symlink())
      faults.push_back("not a regular file: " + e.path().string());
    else
      bytes += e.file_size();
  }
  for (const auto& e : fs::directory_iterator(root))
    if (e.path() != save) faults.push_back("written outside the save folder: " + e.path().string());
  if (failed && entries != 0) faults.push_back("files left after an error for " + fuzz_check::Excerpt(aInput));
  if (!failed) {
    if (entries != result.Files.size()) faults.push_back("reported files differ from the folder");
    for (const std::string& f : result.Files)
      if (fs::path(f).parent_path() != save) faults.push_back("reported file outside the folder: " + f);
  }
  if (bytes > body.size()) faults.push_back("more bytes written than the body holds");
  fs::remove_all(root);
  return faults;
}

}  // namespace multipart_check
