// The JSON benchmark: our reader and writer against RapidJSON (DOM), nlohmann
// and simdjson (DOM, reading only) on three generated documents.
//
//   bench_json [benchmark options]   timed runs; names are <op>/<document>/<library>
//   bench_json --memory              heap used per node after reading each document
//
// Every library gets the same bytes, and every run first checks that all of
// them accept each document and that ours writes back exactly what it read.
//
// Throughput is always counted in bytes of the input document, for reading
// and for writing alike: the writers do not emit the same number of bytes
// (RapidJSON writes \u00e9 back as two raw bytes), and what is compared is
// documents per second.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include "bench/json_documents.h"
#include "json/vynJSON.h"

namespace {

struct Input {
  bench::Document doc;
  simdjson::padded_string padded;  // simdjson reads past the end: give it its padding once
};

std::vector<Input>& Inputs() {
  static std::vector<Input> inputs;
  return inputs;
}

// A document made the way the client makes one per answer: no owner, ended
// with Destroy.
struct Ours {
  TvynJSON* doc = new TvynJSON(nullptr);
  Ours() = default;
  Ours(const Ours&) = delete;
  Ours& operator=(const Ours&) = delete;
  ~Ours() { doc->Destroy(); }
};

// ---------------------------------------------------------------------------
// Node counts: every value but the root, the way our documents hold them.

std::size_t CountNodes(const TvynJSON* aDoc) {
  std::size_t n = 0;
  for (std::int32_t i = 0; i < aDoc->Count(); ++i) {
    ++n;
    if (const TvynJSON* nested = aDoc->Node(i)->NestedDocument()) n += CountNodes(nested);
  }
  return n;
}

std::size_t CountNodes(const rapidjson::Value& aValue) {
  std::size_t n = 0;
  if (aValue.IsObject()) {
    for (auto it = aValue.MemberBegin(); it != aValue.MemberEnd(); ++it) n += 1 + CountNodes(it->value);
  } else if (aValue.IsArray()) {
    for (auto it = aValue.Begin(); it != aValue.End(); ++it) n += 1 + CountNodes(*it);
  }
  return n;
}

std::size_t CountNodes(const nlohmann::json& aValue) {
  std::size_t n = 0;
  if (aValue.is_structured())
    for (const auto& child : aValue) n += 1 + CountNodes(child);
  return n;
}

std::size_t CountNodes(simdjson::dom::element aValue) {
  std::size_t n = 0;
  if (aValue.is_object()) {
    for (auto field : simdjson::dom::object(aValue)) n += 1 + CountNodes(field.value);
  } else if (aValue.is_array()) {
    for (auto child : simdjson::dom::array(aValue)) n += 1 + CountNodes(child);
  }
  return n;
}

// Refuses to measure anything a library does not read, or that ours does not
// give back unchanged.
bool Check(const bench::Document& aDoc) {
  const std::string& text = aDoc.text;
  bool ok = true;
  auto fail = [&](const char* aWhat) {
    std::fprintf(stderr, "bench_json: %s: %s\n", aDoc.name.c_str(), aWhat);
    ok = false;
  };

  rapidjson::Document rj;
  rj.Parse(text.data(), text.size());
  if (rj.HasParseError()) fail("RapidJSON rejects it");
  nlohmann::json nl = nlohmann::json::parse(text, nullptr, false);
  if (nl.is_discarded()) fail("nlohmann rejects it");
  simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  simdjson::dom::element sj;
  if (parser.parse(padded).get(sj) != simdjson::SUCCESS) fail("simdjson rejects it");
  if (!ok) return false;

  Ours ours;
  ours.doc->Read(text);
  if (ours.doc->Text() != text) fail("ours does not write back what it read");
  const std::size_t nodes = CountNodes(ours.doc);
  if (nodes != CountNodes(rj) || nodes != CountNodes(nl) || nodes != CountNodes(sj))
    fail("the libraries disagree on the number of values");
  return ok;
}

// ---------------------------------------------------------------------------
// Timed runs. Each parse builds and ends a whole document inside the loop, as
// a client does per answer; simdjson keeps its parser between runs because
// that is how it is meant to be used (the parser owns the document's memory).

void SetBytes(benchmark::State& state, const Input& in) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(in.doc.text.size()));
}

void ReadOurs(benchmark::State& state, const Input& in) {
  for (auto _ : state) {
    Ours ours;
    ours.doc->Read(in.doc.text);
    benchmark::DoNotOptimize(ours.doc->Count());
  }
  SetBytes(state, in);
}

void ReadRapidJSON(benchmark::State& state, const Input& in) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(in.doc.text.data(), in.doc.text.size());
    benchmark::DoNotOptimize(d.HasParseError());
  }
  SetBytes(state, in);
}

void ReadNlohmann(benchmark::State& state, const Input& in) {
  for (auto _ : state) {
    nlohmann::json j = nlohmann::json::parse(in.doc.text);
    benchmark::DoNotOptimize(j.size());
  }
  SetBytes(state, in);
}

void ReadSimdjson(benchmark::State& state, const Input& in) {
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element root;
    auto error = parser.parse(in.padded).get(root);
    benchmark::DoNotOptimize(error);
    benchmark::DoNotOptimize(root);
  }
  SetBytes(state, in);
}

void TextOurs(benchmark::State& state, const Input& in) {
  Ours ours;
  ours.doc->Read(in.doc.text);
  for (auto _ : state) {
    std::string text = ours.doc->Text();
    benchmark::DoNotOptimize(text.data());
  }
  SetBytes(state, in);
}

void TextRapidJSON(benchmark::State& state, const Input& in) {
  rapidjson::Document d;
  d.Parse(in.doc.text.data(), in.doc.text.size());
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    d.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  SetBytes(state, in);
}

void TextNlohmann(benchmark::State& state, const Input& in) {
  const nlohmann::json j = nlohmann::json::parse(in.doc.text);
  for (auto _ : state) {
    std::string text = j.dump();
    benchmark::DoNotOptimize(text.data());
  }
  SetBytes(state, in);
}

void RegisterAll() {
  using Fn = void (*)(benchmark::State&, const Input&);
  struct Case {
    const char* op;
    const char* library;
    Fn fn;
  };
  static constexpr Case kCases[] = {
      {"Read", "ours", ReadOurs},         {"Read", "rapidjson", ReadRapidJSON}, {"Read", "nlohmann", ReadNlohmann},
      {"Read", "simdjson", ReadSimdjson}, {"Text", "ours", TextOurs},           {"Text", "rapidjson", TextRapidJSON},
      {"Text", "nlohmann", TextNlohmann},
  };
  for (const Input& in : Inputs()) {
    for (const Case& c : kCases) {
      const std::string name = std::string(c.op) + "/" + in.doc.name + "/" + c.library;
      const Input* input = &in;
      const Fn fn = c.fn;
      benchmark::RegisterBenchmark(name.c_str(), [input, fn](benchmark::State& state) {
        fn(state, *input);
      })->Unit(benchmark::kMicrosecond);
    }
  }
}

// ---------------------------------------------------------------------------
// --memory: what reading each document leaves on the heap.
//
// "Heap" is what malloc hands out (small blocks plus mmapped ones) after the
// document is read, less what it handed out before. "Touched" is the growth of
// the resident set: memory reserved but never written (our reader reserves
// ahead for its arena) is heap, but not touched.

std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

std::size_t Resident() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

struct Usage {
  std::size_t heap = 0;
  std::size_t touched = 0;
};

// Runs aBuild (which reads a document and keeps it) and then aEnd (which lets
// it go), and reports what lay between the two.
Usage Measure(const std::function<void()>& aBuild, const std::function<void()>& aEnd) {
  malloc_trim(0);  // freed pages of earlier runs would otherwise be reused untouched-for
  const std::size_t heap = HeapInUse();
  const std::size_t resident = Resident();
  aBuild();
  Usage u;
  const std::size_t heapAfter = HeapInUse();
  const std::size_t residentAfter = Resident();
  u.heap = heapAfter > heap ? heapAfter - heap : 0;
  u.touched = residentAfter > resident ? residentAfter - resident : 0;
  aEnd();
  return u;
}

int MemoryReport() {
  // A fixed threshold: glibc otherwise moves it after the first large free,
  // and later runs would land in a different kind of memory.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  std::printf("sizeof(TvynObjectJSON) = %zu, sizeof(TvynJSON) = %zu\n\n", sizeof(TvynObjectJSON), sizeof(TvynJSON));
  std::printf(
      "| document | input bytes | nodes | library | heap bytes | heap / node | heap / input | touched / node |\n");
  std::printf("|---|---:|---:|---|---:|---:|---:|---:|\n");
  for (const Input& in : Inputs()) {
    const std::string& text = in.doc.text;
    std::size_t nodes = 0;
    {
      Ours probe;
      probe.doc->Read(text);
      nodes = CountNodes(probe.doc);
    }
    auto row = [&](const char* aLibrary, const Usage& u) {
      // The resident set grows in whole pages and malloc may hand out pages
      // it already touched: for a small document the growth says nothing.
      char touched[32] = "-";
      if (text.size() >= 256 * 1024) std::snprintf(touched, sizeof touched, "%.1f", double(u.touched) / double(nodes));
      std::printf("| %s | %zu | %zu | %s | %zu | %.1f | %.2f | %s |\n", in.doc.name.c_str(), text.size(), nodes,
                  aLibrary, u.heap, double(u.heap) / double(nodes), double(u.heap) / double(text.size()), touched);
    };

    std::unique_ptr<Ours> ours;
    // Read on a thread of its own: each thread keeps freed arena blocks for
    // its next reads, and blocks already kept would not show as new heap.
    row("ours", Measure(
                    [&] {
                      ours = std::make_unique<Ours>();
                      std::thread([&] { ours->doc->Read(text); }).join();
                    },
                    [&] { ours.reset(); }));

    std::unique_ptr<rapidjson::Document> rj;
    row("rapidjson", Measure(
                         [&] {
                           rj = std::make_unique<rapidjson::Document>();
                           rj->Parse(text.data(), text.size());
                         },
                         [&] { rj.reset(); }));

    std::unique_ptr<nlohmann::json> nl;
    row("nlohmann",
        Measure([&] { nl = std::make_unique<nlohmann::json>(nlohmann::json::parse(text)); }, [&] { nl.reset(); }));

    // The parser holds the document; the padded copy of the input is made
    // beforehand and not counted, as for the others.
    std::unique_ptr<simdjson::dom::parser> sj;
    row("simdjson", Measure(
                        [&] {
                          sj = std::make_unique<simdjson::dom::parser>();
                          simdjson::dom::element root;
                          if (sj->parse(in.padded).get(root) != simdjson::SUCCESS) std::abort();
                        },
                        [&] { sj.reset(); }));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool memory = false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--memory") == 0) memory = true;

  for (bench::Document& doc : bench::MakeDocuments()) {
    simdjson::padded_string padded(doc.text);
    Inputs().push_back(Input{std::move(doc), std::move(padded)});
  }
  for (const Input& in : Inputs())
    if (!Check(in.doc)) return 1;

  if (memory) return MemoryReport();

  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("documents", [] {
    std::string sizes;
    for (const Input& in : Inputs())
      sizes += (sizes.empty() ? "" : ", ") + in.doc.name + "=" + std::to_string(in.doc.text.size());
    return sizes;
  }());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
