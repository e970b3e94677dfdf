// The documents the JSON benchmark reads and writes, made in code from a fixed
// seed so every run and every machine measures the same bytes. They have the
// shape of the answers the trading service gives: one hopper's settings, a
// ticker list, and a large export of tickers and orders per exchange.
//
// All three are compact (no blanks outside strings), valid JSON, and carry a
// few escapes (\" \\ \u00e9) so that every library takes its escape path.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct Document {
  std::string name;  // short, used in benchmark names: hopper, tickers, export
  std::string text;
};

// About 5 KB: {"data":{"hopper":{...about 75 settings...}}}.
std::string MakeHopperDocument();
// About 1 MB: an array of about 5000 ticker objects.
std::string MakeTickerDocument();
// About 10 MB: exchanges, each with a ticker list and nested order objects.
std::string MakeExportDocument();

// The three above, smallest first.
std::vector<Document> MakeDocuments();

}  // namespace bench
