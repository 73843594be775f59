// A full reload of one user's denied functions from the host: N functions
// (a root, groups of 63 items) and a usage entry for each, loaded through the
// registry cache into a fresh cache entry. Counts the program calls on the
// host against what the list continuation rules give, and sets the wall
// time against the calls made times the measured loopback round trip.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "bench/bench_host.h"
#include "cache/registry_cache.h"
#include "hierarchy/client_functions.h"
#include "host/admin_host_apis.h"

namespace {

using namespace zvt;
using bench::HostedUser;

// The usage-list calls for `entries` entries: 250 on the first call, then
// as many as are left, at most 65535 per call.
uint64_t ExpectedUsageCalls(uint64_t entries) {
  uint64_t calls = 1;
  uint64_t left = entries > 250 ? entries - 250 : 0;
  for (; left > 0; ++calls) left -= std::min<uint64_t>(left, 0xFFFF);
  return calls;
}

void BM_FullReload(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  HostedUser hosted(n);
  if (!hosted.ok()) {
    state.SkipWithError(hosted.error().c_str());
    return;
  }
  hostd::HostServer& server = hosted.server();
  platform::PosixRegistry& registry = hosted.registry();
  SystemHandle& handle = *hosted.handle();
  ResetClientFunctionListsForTesting();

  // The loopback round trip of one program call, as the library makes it.
  double round_trip_us = 0;
  {
    uint8_t u[8], r[8], h[8];
    constexpr int kProbes = 200;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kProbes; ++i) {
      ErrorOut e;
      CAdminHostAPIs::getAdminTimestamps(u"SYS1", u"BENCH", u, r, h, &e, &handle);
    }
    round_trip_us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count() /
        kProbes;
  }

  uint64_t answered = 0, function_calls = 0, usage_calls = 0, timestamp_calls = 0;
  size_t denied_count = 0;
  double waited_ms = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ResetRegistryCacheForTesting();
    if (CRegistryCache::openCacheRegKey() == 0) deleteRegTree(CRegistryCache::cacheKey(), u"SYS1");
    ResetRegistryCacheForTesting();
    const auto waited0 = hosted.waited_for_host();
    const uint64_t a0 = server.calls_answered(), f0 = server.calls_of("KLIB/KRFNLST"),
                   u0 = server.calls_of("KLIB/KRUSRFN"), t0 = server.calls_of("KLIB/KRCHGTS");
    state.ResumeTiming();

    std::unique_ptr<DeniedSet> denied;
    std::u16string user = u"BENCH";
    if (CRegistryCache::getUserValues(&handle, u"SYS1", user, &denied) != 0 || !denied)
      state.SkipWithError("the reload failed");

    state.PauseTiming();
    denied_count = denied ? denied->size() : 0;
    answered = server.calls_answered() - a0;
    function_calls = server.calls_of("KLIB/KRFNLST") - f0;
    usage_calls = server.calls_of("KLIB/KRUSRFN") - u0;
    timestamp_calls = server.calls_of("KLIB/KRCHGTS") - t0;
    waited_ms =
        std::chrono::duration<double, std::milli>(hosted.waited_for_host() - waited0).count();
    state.ResumeTiming();
  }
  // The store writes of such a reload on their own: as many single values
  // as the reload wrote (the denied functions and the saved hierarchy), one
  // RegSetValueExW each, into a scratch key of the same store.
  double store_writes_ms = 0;
  {
    const size_t writes = denied_count + (n + 63) / 64;
    HKEY scratch = nullptr;
    if (registry.CreateRegKeyEx(kHKeyCurrentUser, u"Scratch", 0, nullptr, 0, kKeyAllAccess, nullptr,
                                &scratch, nullptr) == kErrorSuccess) {
      const BYTE one = 1;
      auto start = std::chrono::steady_clock::now();
      for (size_t i = 0; i < writes; ++i) {
        const std::string digits = std::to_string(i);
        const std::u16string name = u"V" + std::u16string(digits.begin(), digits.end());
        (void)registry.RegSetValueExW(scratch, name.c_str(), 0, kRegBinary, &one, 1);
      }
      store_writes_ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      registry.RegCloseKey(scratch);
    }
  }

  const uint64_t expected_function_calls = (n + 63) / 64;
  const uint64_t expected_usage_calls = ExpectedUsageCalls(n);
  if (function_calls != expected_function_calls || usage_calls != expected_usage_calls ||
      timestamp_calls > 1)
    state.SkipWithError("unexpected number of host calls");
  state.SetComplexityN(n);
  state.counters["calls"] = static_cast<double>(answered);
  state.counters["function_calls"] = static_cast<double>(function_calls);
  state.counters["usage_calls"] = static_cast<double>(usage_calls);
  state.counters["timestamp_calls"] = static_cast<double>(timestamp_calls);
  state.counters["denied"] = static_cast<double>(denied_count);
  state.counters["rtt_us"] = round_trip_us;
  // The wall time of the round trips alone, to set against the reload's.
  state.counters["calls_x_rtt_ms"] = static_cast<double>(answered) * round_trip_us / 1000;
  state.counters["store_writes_ms"] = store_writes_ms;
  // The same calls' own round trips: what the reload waited for the host,
  // the host's work and the transfer of the lists included.
  state.counters["waited_for_host_ms"] = waited_ms;
  state.counters["ns_per_function"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}
BENCHMARK(BM_FullReload)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
