// Throughput of the check-value kernels in memory: the load-image word-sum and every CRC-8
// implementation this CPU can run, over buffers from cache-sized to far beyond any cache.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crc8.hpp"
#include "loadImage.hpp"

namespace {

const std::vector<unsigned char>& buffer(std::size_t size) {
  static std::vector<unsigned char> data;
  if (data.size() < size) {
    std::mt19937_64 generator(1);
    data.resize(size);
    for (auto& byte : data) byte = static_cast<unsigned char>(generator());
  }
  return data;
}

void setThroughput(benchmark::State& state, std::size_t size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}

void wordSum(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::span<const unsigned char> data(buffer(size).data(), size);
  for (auto _ : state) {
    WordSum sum;
    sum.update(data);
    benchmark::DoNotOptimize(sum.finish());
  }
  setThroughput(state, size);
}

void crc8(benchmark::State& state, Crc8Update update) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::span<const unsigned char> data(buffer(size).data(), size);
  for (auto _ : state) benchmark::DoNotOptimize(update(0, data));
  setThroughput(state, size);
}

void sizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Arg(4 << 10)->Arg(1 << 20)->Arg(256 << 20)->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
  sizes(benchmark::RegisterBenchmark("wordSum", wordSum));
  for (const Crc8Implementation& implementation : crc8Implementations()) {
    sizes(benchmark::RegisterBenchmark((std::string("crc8/") + implementation.name).c_str(), crc8,
                                       implementation.update));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
