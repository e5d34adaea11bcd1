// The store's own costs, in process: parsing, looking up and rewriting
// stores of 1 to 100,000 keys.
#include <benchmark/benchmark.h>

#include <string>

#include "fileregistry/text/reg_text.h"
#include "tests/test_support.h"

namespace {

using fileregistry::RegText;
using fileregistry::RegValue;

const char kSettings[] = "Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings";

// `keys` keys of other software, the settings key last: about 100 bytes a
// key; the same as regedit exports them, version 5 in UTF-16LE.
std::string Store(int64_t keys) {
  return "REGEDIT4\n\n" + FillerText(keys > 1 ? static_cast<size_t>(keys - 1) : 0) +
         "[HKEY_LOCAL_MACHINE\\" + kSettings +
         "]\n\"Supported protocols\"=\"SPX,TCPIP\"\n\"Debug messages\"=\"On\"\n";
}
std::string Utf16Store(int64_t keys) { return Regedit5Utf16(Store(keys)); }

// Parses a store of `state.range(0)` keys, made by `make`.
void Parse(benchmark::State& state, std::string (*make)(int64_t)) {
  std::string text = make(state.range(0));
  for (auto _ : state) {
    RegText store;
    benchmark::DoNotOptimize(store.Parse(text));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetComplexityN(state.range(0));
}

void Lookup(benchmark::State& state) {
  RegText store;
  store.Parse(Store(state.range(0)));
  std::string path;
  RegValue value;
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.FindKey(kSettings, &path));
    benchmark::DoNotOptimize(store.FindValue(kSettings, "Supported protocols", &value));
  }
  state.SetComplexityN(state.range(0));
}

void Rewrite(benchmark::State& state) {
  RegText store;
  store.Parse(Store(state.range(0)));
  RegValue value{1, "TCPIP"};
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.WithValue(kSettings, "Supported protocols", value));
  }
  state.SetComplexityN(state.range(0));
}

// Stores of 1 to 100,000 keys, each figure checked to grow linearly.
void Sizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Arg(1)->Arg(1000)->Arg(10000)->Arg(100000)->Complexity(benchmark::oN);
}

BENCHMARK_CAPTURE(Parse, Regedit4, Store)->Apply(Sizes);
BENCHMARK_CAPTURE(Parse, Utf16, Utf16Store)->Apply(Sizes);
BENCHMARK(Lookup)->Apply(Sizes);
BENCHMARK(Rewrite)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
