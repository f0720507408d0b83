// Parse throughput of MarkupDocument against pugixml on a 10 MB document of
// journal-like items. scripts/bench.d/markup.sh prints the ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include <pugixml.hpp>

#include "launcher/markup/markup_document.h"

namespace {

const std::string& JournalText() {
  static const std::string text = [] {
    std::string t =
        "<Download url=\"http://download.example/packages/patch-1.0.0.7.exe\" "
        "localfile=\"temp\\patch-1.0.0.7.exe\" filesize=\"734003200\">\r\n";
    char line[160];
    for (long long i = 0; t.size() < 10 * 1024 * 1024; ++i) {
      std::snprintf(line, sizeof line,
                    "<item index=\"%lld\" begin=\"%lld\" end=\"%lld\" finished=\"%lld\"/>\r\n", i,
                    i * 65536, i * 65536 + 65535, (i * 7919) % 65536);
      t += line;
    }
    t += "</Download>\r\n";
    return t;
  }();
  return text;
}

void BM_MarkupDocument(benchmark::State& state) {
  const std::string& text = JournalText();
  for (auto _ : state) {
    MarkupDocument doc;
    bool ok = doc.SetDoc(text);
    if (!ok) state.SkipWithError("not well-formed");
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_MarkupDocument)->Unit(benchmark::kMillisecond);

void BM_Pugixml(benchmark::State& state) {
  const std::string& text = JournalText();
  for (auto _ : state) {
    pugi::xml_document doc;
    pugi::xml_parse_result r = doc.load_buffer(text.data(), text.size());
    if (!r) state.SkipWithError("pugixml parse failed");
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_Pugixml)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
