// What must hold for any bytes a client sends to the HTTP server's request
// loop; checked the same way by the fuzz target (fuzz/fuzz_http_request.cpp)
// and by the seed replay in the normal test build. The bytes come through an
// in-memory transport that hands them over a few at a time, so a request is
// read across many receives.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check_common.h"
#include "transport/vynIdCustomHTTPServer.h"
#include "transport/vynIdIOHandler.h"
#include "transport/vynIdTCPConnection.h"

namespace http_server_check {

using fuzz_check::Faults;

// A transport over a fixed input: every receive gives at most FPiece bytes,
// and whatever is written is kept. After the input the client sends nothing
// more but stays connected, as one waiting for its answers does: every wait
// then runs out at once.
class MemoryIOHandler : public TIdIOHandler {
public:
  MemoryIOHandler(std::string_view aInput, std::size_t aPiece) : FInput(aInput), FPiece(aPiece) {}
  void CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) override {
    if (FClosedGracefully && (AIgnoreBuffer || InputBufferIsEmpty()) && ARaiseExceptionIfDisconnected)
      throw EIdConnClosedGracefully();
  }
  bool SourceIsOpen() override { return FOpened && !FClosedGracefully; }
  bool Readable(std::int32_t) override { return FPos < FInput.size(); }
  std::string Output;

protected:
  std::int32_t ReadDataFromSource(TIdBytes& VBuffer) override {
    std::size_t n = std::min({FPiece, FInput.size() - FPos, VBuffer.size()});
    std::copy_n(FInput.data() + FPos, n, VBuffer.data());
    FPos += n;
    return static_cast<std::int32_t>(n);
  }
  std::int32_t WriteDataToTarget(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength) override {
    Output.append(reinterpret_cast<const char*>(ABuffer.data()) + AOffset, static_cast<std::size_t>(ALength));
    return ALength;
  }

private:
  std::string_view FInput;
  std::size_t FPos = 0;
  std::size_t FPiece;
};

inline constexpr std::int64_t kBodyLimit = 4096;

// The first byte picks the receive size (1 to 16 bytes); the rest is what
// the client sends. Properties: only the transport's own exceptions leave
// the loop; what the server wrote is a sequence of whole responses, each a
// status line "HTTP/1.1 NNN ...", header lines, an empty line and exactly
// Content-Length body bytes (none for a HEAD request, whose head tells the
// length a GET would get; after optional interim 100 lines); no body the
// handler saw is larger than the limit or left unpositioned.
inline Faults CheckRequestReader(std::string_view aInput) {
  Faults faults;
  if (aInput.empty()) return faults;
  const std::size_t piece = 1 + static_cast<unsigned char>(aInput[0]) % 16;
  std::string_view input = aInput.substr(1);

  TIdHTTPServer server;
  server.KeepAlive = true;
  server.MaximumRequestBodySize = kBodyLimit;
  server.MaximumHeaderLineCount = 64;
  server.MaximumRequestLineLength = 1024;
  int handled = 0;
  // Whether each handled request was a HEAD, in order: a refusal ends the
  // connection, so the responses follow the handled requests one for one.
  std::vector<bool> heads;
  server.OnCommandGet = server.OnCommandOther = [&](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    ++handled;
    heads.push_back(q->CommandType == THTTPCommandType::hcHEAD);
    if (TStream* s = q->PostStream()) {
      if (s->Size() > kBodyLimit) faults.push_back("body over the limit reached the handler");
      if (s->Position() != 0) faults.push_back("body not at position 0");
    }
    r->ContentText = q->Document + "|" + std::to_string(q->Params().Count());
    if (q->Document == "/404") r->SetResponseNo(404);
  };
  MemoryIOHandler io(input, piece);
  io.Open();
  TIdTCPConnection conn;
  conn.SetIOHandler(&io);
  try {
    server.ServeConnection(nullptr, conn);
  } catch (const EIdException&) {
    // Ends the connection: a parse error, the client's close, a time-out.
  } catch (const std::exception& e) {
    faults.push_back(std::string("foreign exception left the loop: ") + e.what() + " for " +
                     fuzz_check::Excerpt(input));
  }
  conn.SetIOHandler(nullptr);

  std::string_view out = io.Output;
  int responses = 0;
  while (!out.empty()) {
    std::size_t headEnd = out.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
      faults.push_back("response head not ended: " + fuzz_check::Excerpt(out));
      break;
    }
    std::string_view head = out.substr(0, headEnd + 2);
    out.remove_prefix(headEnd + 4);
    if (head.substr(0, 9) != "HTTP/1.1 " || head.size() < 12 ||
        !std::all_of(head.begin() + 9, head.begin() + 12, [](char c) { return c >= '0' && c <= '9'; })) {
      faults.push_back("bad status line: " + fuzz_check::Excerpt(head));
      break;
    }
    if (head.substr(9, 3) == "100") continue;
    ++responses;
    std::size_t cl = head.find("\r\nContent-Length: ");
    if (cl == std::string_view::npos) {
      faults.push_back("response without Content-Length: " + fuzz_check::Excerpt(head));
      break;
    }
    std::uint64_t length = std::strtoull(std::string(head.substr(cl + 18, 20)).c_str(), nullptr, 10);
    if (static_cast<std::size_t>(responses) <= heads.size() && heads[static_cast<std::size_t>(responses) - 1])
      length = 0;
    if (length > out.size()) {
      faults.push_back("body shorter than its Content-Length: " + fuzz_check::Excerpt(head));
      break;
    }
    out.remove_prefix(static_cast<std::size_t>(length));
  }
  if (responses < handled) faults.push_back("a handled request got no response");
  if (static_cast<std::size_t>(responses) > input.size() / 4 + 1) faults.push_back("more responses than requests");
  return faults;
}

}  // namespace http_server_check
