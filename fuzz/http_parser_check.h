// The HTTP/1 message reader's property: the same bytes give the same events
// however they are split into feeds. Shared by the fuzz target, its seed
// replay and the reader's unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check_common.h"
#include "transport/vynIdHTTPParser.h"

namespace http_parser_check {

using fuzz_check::Faults;

// The events of AInput fed in pieces that end at ACuts (offsets, rising),
// as one line of text: "H<status or version> <framing> <length>" per head,
// "B<body>" per run of body bytes, "T<n>" for trailer lines, "C" per
// message, "E<status>" for an error, "." when the close found nothing begun.
// Messages that follow one another on the connection are read in turn;
// AEnd says whether the peer closes after the last byte.
inline std::string Trace(TIdHTTPMessageKind AKind, std::string_view AInput, const std::vector<std::size_t>& ACuts,
                         bool AEnd = true, const TIdHTTPParserLimits& ALimits = {}) {
  TIdHTTPParser parser(AKind, ALimits);
  std::string out, body;
  auto flushBody = [&] {
    if (!body.empty()) out += "B" + body + " ";
    body.clear();
  };
  auto record = [&](TIdHTTPParseResult r) {
    switch (r) {
      case TIdHTTPParseResult::prHeadComplete:
        out += "H" +
               (AKind == TIdHTTPMessageKind::mkRequest
                    ? std::to_string(parser.VersionMajor()) + std::to_string(parser.VersionMinor())
                    : std::to_string(parser.StatusCode())) +
               " " + std::to_string(static_cast<int>(parser.Framing())) + " " + std::to_string(parser.ContentLength()) +
               " " + std::to_string(parser.HeaderLines().size()) + " ";
        break;
      case TIdHTTPParseResult::prBodyBytes:
        body += parser.Body();
        break;
      case TIdHTTPParseResult::prMessageComplete:
        flushBody();
        if (!parser.TrailerLines().empty()) out += "T" + std::to_string(parser.TrailerLines().size()) + " ";
        out += "C ";
        parser.Reset();
        break;
      case TIdHTTPParseResult::prError:
        flushBody();
        out += "E" + std::to_string(parser.ErrorStatus());
        break;
      case TIdHTTPParseResult::prNeedMore:
        break;
    }
  };
  std::size_t from = 0;
  std::vector<std::size_t> cuts = ACuts;
  cuts.push_back(AInput.size());
  for (std::size_t to : cuts) {
    if (to < from || to > AInput.size()) continue;
    const std::string_view piece = AInput.substr(from, to - from);
    from = to;
    std::size_t offset = 0;
    for (int guard = 0; guard < 1 << 20; ++guard) {
      std::size_t used = 0;
      const TIdHTTPParseResult r = parser.Feed(piece.substr(offset), used);
      offset += used;
      record(r);
      if (r == TIdHTTPParseResult::prError) return out;
      if (r == TIdHTTPParseResult::prNeedMore) break;
      if (r == TIdHTTPParseResult::prMessageComplete && offset == piece.size()) break;
    }
  }
  if (AEnd) {
    const TIdHTTPParseResult r = parser.FeedEnd();
    if (r == TIdHTTPParseResult::prNeedMore)
      out += ".";
    else
      record(r);
  }
  flushBody();
  return out;
}

inline std::vector<std::size_t> EveryByte(std::size_t ASize) {
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < ASize; ++i) cuts.push_back(i);
  return cuts;
}

// The first byte picks the kind and the seed of the splits; the rest is the
// message. Whole, one byte at a time and in pseudo-random pieces must agree.
inline Faults CheckParser(std::string_view AData) {
  Faults faults;
  if (AData.empty()) return faults;
  const auto head = static_cast<unsigned char>(AData[0]);
  const TIdHTTPMessageKind kind = (head & 1) ? TIdHTTPMessageKind::mkResponse : TIdHTTPMessageKind::mkRequest;
  const std::string_view input = AData.substr(1);
  // Small limits reach the limit paths with small inputs.
  TIdHTTPParserLimits limits;
  if (head & 2) {
    limits.MaxStartLine = 40;
    limits.MaxHeaderLine = 40;
    limits.MaxHeaderLines = 4;
    limits.MaxHeadBytes = 100;
    limits.MaxChunkLine = 8;
    limits.MaxBody = 20;
  }
  const std::string whole = Trace(kind, input, {}, true, limits);
  const std::string bytewise = Trace(kind, input, EveryByte(input.size()), true, limits);
  std::vector<std::size_t> random;
  std::uint32_t state = head * 2654435761u + 1;
  for (std::size_t at = 0; at < input.size();) {
    state = state * 1103515245u + 12345u;
    at += 1 + (state >> 16) % 13;
    if (at < input.size()) random.push_back(at);
  }
  const std::string pieces = Trace(kind, input, random, true, limits);
  if (whole != bytewise)
    faults.push_back("byte by byte " + fuzz_check::Excerpt(bytewise) + " differs from whole " +
                     fuzz_check::Excerpt(whole) + " for " + fuzz_check::Excerpt(input));
  if (whole != pieces)
    faults.push_back("in pieces " + fuzz_check::Excerpt(pieces) + " differs from whole " + fuzz_check::Excerpt(whole) +
                     " for " + fuzz_check::Excerpt(input));
  return faults;
}

}  // namespace http_parser_check
