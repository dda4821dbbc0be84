// Receive ring throughput against a plain memcpy of the same chunk sizes.
// Each iteration moves one chunk in and out of the ring (two copies), the
// baseline does the two memcpys alone, so the difference is the ring's own
// cost: the lock, IRQL changes and the wrap arithmetic.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "serial/ringbuf.h"

namespace {

void BM_RingPutGet(benchmark::State& state) {
  const ULONG chunk = static_cast<ULONG>(state.range(0));
  PRING_BUFFER ring = RingBufferAllocate();
  std::vector<UCHAR> in(chunk, 0x5A), out(chunk);
  for (auto _ : state) {
    ULONG put = RingBufferPut(ring, in.data(), chunk);
    ULONG got = RingBufferGet(ring, out.data(), chunk);
    benchmark::DoNotOptimize(got);
    if (put != chunk || got != chunk) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
  RingBufferFree(ring);
}

void BM_MemcpyTwice(benchmark::State& state) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  // A ring-sized staging area, walked like the ring is, so caches see the same footprint.
  std::vector<UCHAR> in(chunk, 0x5A), out(chunk), stage(RING_BUFFER_DATA_SIZE);
  size_t at = 0;
  for (auto _ : state) {
    if (at + chunk > stage.size()) at = 0;
    memcpy(stage.data() + at, in.data(), chunk);
    memcpy(out.data(), stage.data() + at, chunk);
    at += chunk;
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}

}  // namespace

BENCHMARK(BM_RingPutGet)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_MemcpyTwice)->Arg(64)->Arg(4096)->Arg(65536);
