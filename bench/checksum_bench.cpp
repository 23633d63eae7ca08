// SPDX-License-Identifier: BSD-2-Clause
// checksum_update against zlib's adler32, on a 64 KiB chunk (in cache, the size of a
// default chunk) and on 256 MiB (from memory), and each path the processor supports.
#include "transfer/checksum.hpp"
#include "transfer/checksum_paths.hpp"

#include <benchmark/benchmark.h>
#include <random>
#include <vector>
#include <zlib.h>

namespace {

const std::vector<unsigned char>& data_of(std::size_t size) {
    static std::vector<unsigned char> data;
    if (data.size() < size) {
        std::mt19937 generator(1);
        data.resize(size);
        for (auto& byte : data) {
            byte = static_cast<unsigned char>(generator());
        }
    }
    return data;
}

void zlib_adler32(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto& data = data_of(size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(adler32(1, data.data(), static_cast<uInt>(size)));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void ferrox_checksum_update(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto& data = data_of(size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(checksum_update(1, data.data(), static_cast<std::int32_t>(size)));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void each_path(benchmark::State& state, checksum_path update) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto& data = data_of(size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(update(1, data.data(), size));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

constexpr std::int64_t chunk = 64 << 10;
constexpr std::int64_t large = 256 << 20;

BENCHMARK(zlib_adler32)->Arg(chunk)->Arg(large);
BENCHMARK(ferrox_checksum_update)->Arg(chunk)->Arg(large);

const bool paths_registered = [] {
    named_checksum_path paths[8];
    const std::size_t count = supported_checksum_paths(paths, 8);
    for (std::size_t i = 0; i < count; ++i) {
        benchmark::RegisterBenchmark((std::string("path/") + paths[i].name).c_str(), each_path,
                                     paths[i].update)
            ->Arg(chunk);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
