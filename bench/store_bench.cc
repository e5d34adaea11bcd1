// The store's own costs, in process: parsing, looking up and rewriting
// stores of 1 to 100,000 keys.
#include <benchmark/benchmark.h>

#include <string>

#include "fileregistry/text/reg_text.h"

namespace {

using fileregistry::RegText;
using fileregistry::RegValue;

const char kSettings[] = "Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings";

// `keys` keys of other software, the settings key last: about 88 bytes a key.
std::string Store(int64_t keys) {
  std::string text = "REGEDIT4\n\n";
  for (int64_t i = 1; i < keys; ++i) {
    text += "[HKEY_LOCAL_MACHINE\\Software\\Filler\\Key " + std::to_string(i) + "]\n" +
            "\"Name\"=\"A value of other software " + std::to_string(i) + "\"\n\n";
  }
  return text + "[HKEY_LOCAL_MACHINE\\" + kSettings +
         "]\n\"Supported protocols\"=\"SPX,TCPIP\"\n\"Debug messages\"=\"On\"\n";
}

// The same keys as regedit exports them: version 5, UTF-16LE.
std::string Utf16Store(int64_t keys) {
  std::string text = Store(keys);
  text.replace(0, 8, "Windows Registry Editor Version 5.00");
  std::string bytes = "\xff\xfe";
  fileregistry::Utf8ToUtf16(text, &bytes);
  return bytes;
}

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
