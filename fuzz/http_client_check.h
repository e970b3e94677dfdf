// What must hold for any bytes a server sends to the HTTP client's response
// reader (status line, head, interim heads, length, chunked and
// read-until-close bodies, redirects); checked the same way by the fuzz
// target (fuzz/fuzz_http_response.cpp) and by the seed replay in the normal
// test build. The bytes come through an in-memory transport a few at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/check_common.h"
#include "fuzz/http_server_check.h"
#include "platform/Classes.h"
#include "transport/vynIdHTTP.h"

namespace http_client_check {

using fuzz_check::Faults;
using http_server_check::MemoryIOHandler;

// Byte 0 picks the receive size (1 to 16 bytes), byte 1 the options
// (bit 0 follow redirects, bit 1 HEAD, bit 2 no error exceptions, bit 3 a
// chunk handler); the rest is what the server sends. Properties: only the
// transport's own exceptions leave the call; the body stored is never
// larger than the bytes received; a 2xx GET that returns normally with a
// Content-Length and no chunking stored exactly that many bytes; the
// client wrote whole requests only, never more than its round limit.
inline Faults CheckResponseReader(std::string_view aInput) {
  Faults faults;
  if (aInput.size() < 2) return faults;
  const std::size_t piece = 1 + static_cast<unsigned char>(aInput[0]) % 16;
  const unsigned flags = static_cast<unsigned char>(aInput[1]);
  const std::string_view input = aInput.substr(2);

  MemoryIOHandler io(input, piece);
  TIdHTTP http;
  http.SetIOHandler(&io);
  http.SetHandleRedirects(flags & 1);
  http.SetMaxHeaderLines(64);
  io.SetMaxLineLength(4096);
  auto opts = http.HTTPOptions();
  if (flags & 4) opts.Include(TIdHTTPOption::hoNoProtocolErrorException);
  http.SetHTTPOptions(opts);
  if (flags & 8) http.OnChunkReceived = [](TComponent*, TIdBytes& AChunk) { AChunk.resize(AChunk.size() / 2); };
  TMemoryStream body;
  bool returned = false;
  try {
    if (flags & 2)
      http.Head("http://fuzz.test/p");
    else
      http.Get("http://fuzz.test/p", &body);
    returned = true;
  } catch (const EIdException&) {
  } catch (const std::exception& e) {
    faults.push_back(std::string("foreign exception: ") + e.what());
  }
  if (body.Size() > static_cast<std::int64_t>(input.size()))
    faults.push_back("stored " + std::to_string(body.Size()) + " body bytes from " + std::to_string(input.size()));
  TIdHTTPResponse& r = http.Response();
  const bool chunked = LowerCase(r.TransferEncoding).find("chunked") != std::string::npos;
  if (returned && !(flags & 2) && !(flags & 8) && r.ResponseCode() / 100 == 2 && r.ResponseCode() != 204 &&
      r.HasContentLength && !chunked && r.ContentEncoding.empty() && body.Size() != r.ContentLength())
    faults.push_back("Content-Length " + std::to_string(r.ContentLength()) + " but " + std::to_string(body.Size()) +
                     " bytes stored");
  // Requests written: each begins with its method, none holds a NUL.
  const std::string& out = io.Output;
  std::size_t requests = 0;
  for (std::size_t at = 0; at < out.size();) {
    if (out.compare(at, 4, "GET ") != 0 && out.compare(at, 5, "HEAD ") != 0) {
      faults.push_back("written bytes do not start a request: " + fuzz_check::Excerpt(out.substr(at, 40)));
      break;
    }
    ++requests;
    const auto end = out.find("\r\n\r\n", at);
    if (end == std::string::npos) {
      faults.push_back("request head not terminated");
      break;
    }
    at = end + 4;
  }
  if (out.find('\0') != std::string::npos) faults.push_back("a request holds a NUL");
  if (requests > static_cast<std::size_t>(TIdCustomHTTP::kMaxExchangeRounds))
    faults.push_back("more requests than the round limit: " + std::to_string(requests));
  return faults;
}

}  // namespace http_client_check
