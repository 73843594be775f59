// What a client component pays for a cached answer: this program dlopens
// libzvtappad as a component does and asks through its exports, with the
// real client services (the configuration in SQLite, 21 systems configured)
// and a real zvthostd process on loopback whose registry holds function IDs
// of the lengths real ones have (9, 14, 22 and 30 characters). Timed:
// zvtUN_GetAdminValueEx with a system handle, and zvtUN_GetAdminValue by
// system name with 21 and with 100 configured systems, each answered from
// the process cache after a first load, asking for a denied function of 22
// characters; each also counts the allocations a call makes (operator new,
// replaced for the whole process). The floor, in the same program: two bare
// unordered_map<u16string> lookups of the same keys (the process cache's key
// of user and system, and the function in its denied set).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bench/client_stores.h"

extern char** environ;

// Every allocation of the process, the library's included.
std::atomic<uint64_t> g_allocations{0};

// (Not inlined, so that the compiler sees the pairs as the replacements they
// are rather than as malloc meeting delete.)
__attribute__((noinline)) void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

constexpr int kSystems = 21;
constexpr int kFunctions = 40;

// The i-th function's ID: 9, 14, 22 or 30 characters, as the host's
// registries have them ("QVYN_XD1_ZENTA_F000007" is the 22-character kind).
std::string FunctionId(int i) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06d", i);
  switch (i % 4) {
    case 0:
      return "QVYN" + std::string(digits + 1);  // 9
    case 1:
      return "QVYN_XD1" + std::string(digits);  // 14
    case 2:
      return "QVYN_XD1_ZENTA_F" + std::string(digits);  // 22
    default:
      return "QVYN_XD1_ZENTA_PAYROLL_" + std::string(digits + 1) + "XX";  // 30
  }
}
const std::string kFunction = FunctionId(6);  // 22 characters, denied to BENCH

using ValueByName = uint32_t (*)(const char*, const char*, uint32_t*);
using ValueByHandle = uint32_t (*)(const uint64_t*, const char*, uint32_t*);
using SystemHandleOf = uint32_t (*)(const char16_t*, const char16_t*, uint64_t*);

struct Setting {
  Setting() {
    std::string message;
    {
      auto store = zvt::bench::OpenClientStores(dir, &message);
      if (!store) {
        error = message;
        return;
      }
      for (int i = 0; i < kFunctions; ++i) {
        const std::string id = FunctionId(i);
        if (!store->AddFunction(zvt::bench::BenchFunction(id, "3", "*NONE", "*NONE"), &message) ||
            (i % 3 == 0 && !store->SetUsage("BENCH", id, "1", &message))) {
          error = message;
          return;
        }
      }
    }
    // A real zvthostd on an ephemeral port.
    std::string program = std::string(ZVT_BIN_DIR) + "/zvthostd";
    std::string store_arg = dir.File("host.db"), port_file = dir.File("port");
    ca_file_ = zvt::bench::BenchCertificate(dir);
    std::string key_file = dir.File("host-key.pem");
    char* args[] = {program.data(),
                    const_cast<char*>("--allow-fast-hashes"),
                    const_cast<char*>("--tls-cert"),
                    ca_file_.data(),
                    const_cast<char*>("--tls-key"),
                    key_file.data(),
                    const_cast<char*>("--store"),
                    store_arg.data(),
                    const_cast<char*>("--listen"),
                    const_cast<char*>("127.0.0.1:0"),
                    const_cast<char*>("--port-file"),
                    port_file.data(),
                    nullptr};
    if (posix_spawn(&host, program.c_str(), nullptr, nullptr, args, environ) != 0) {
      error = "zvthostd does not start";
      return;
    }
    std::string port;
    for (int i = 0; i < 200 && port.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::ifstream(port_file) >> port;
    }
    port_ = port;
    if (port.empty() || !Configure(kSystems)) {
      error = "zvtadm system add failed";
      return;
    }
    library = dlopen(ZVT_LIB_DIR "/libzvtappad.so.0", RTLD_NOW | RTLD_LOCAL);
    void* client = dlopen(ZVT_LIB_DIR "/libzvtclient.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr || client == nullptr) {
      error = dlerror();
      return;
    }
    by_name = reinterpret_cast<ValueByName>(dlsym(library, "zvtUN_GetAdminValue"));
    by_handle = reinterpret_cast<ValueByHandle>(dlsym(library, "zvtUN_GetAdminValueEx"));
    handle_of = reinterpret_cast<SystemHandleOf>(dlsym(client, "zvtsvc_GetSystemHandle"));
    uint32_t v = 0;
    if (by_name == nullptr || by_handle == nullptr || handle_of == nullptr ||
        handle_of(u"SYS0", u"ZVWIN", &handle) != 0 || by_name("SYS0", kFunction.c_str(), &v) != 0 ||
        v != 1)
      error = "the first query did not answer denied";
  }
  // Configures systems SYS0 .. SYS(n-1), each a name for the one host.
  bool Configure(int n) {
    for (; configured < n; ++configured)
      if (!zvt::bench::ConfigureSystem("SYS" + std::to_string(configured), port_, ca_file_))
        return false;
    return true;
  }
  ~Setting() {
    if (host > 0) {
      kill(host, SIGTERM);
      waitpid(host, nullptr, 0);
    }
  }

  zvt::testing::TempDir dir;
  pid_t host = 0;
  void* library = nullptr;
  ValueByName by_name = nullptr;
  ValueByHandle by_handle = nullptr;
  SystemHandleOf handle_of = nullptr;
  uint64_t handle = 0;
  std::string error;
  std::string port_;
  std::string ca_file_;  // the host's certificate, which the systems trust
  int configured = 0;
};

// The one setting: the library stays loaded, with its process cache, for
// the whole program; the number of configured systems only grows.
Setting& TheSetting() {
  static Setting* setting = new Setting;
  return *setting;
}

// The setting, or null with the benchmark skipped when it could not be made.
Setting* Ready(benchmark::State& state) {
  Setting& s = TheSetting();
  if (s.error.empty()) return &s;
  state.SkipWithError(s.error.c_str());
  return nullptr;
}

// The floor: the process cache's keys of user and system for 50 systems,
// each with the denied set BENCH has, and the two lookups of one answer.
struct BareLookups {
  BareLookups() {
    auto wide = [](const std::string& s) { return std::u16string(s.begin(), s.end()); };
    for (int i = 0; i < 50; ++i)
      for (int f = 0; f < kFunctions; f += 3)
        cache[u"BENCH*****SYS" + wide(std::to_string(i))].insert(wide(FunctionId(f)));
    function = wide(kFunction);
  }
  bool Ask() const {
    auto it = cache.find(key);
    return it != cache.end() && it->second.count(function) != 0;
  }
  std::unordered_map<std::u16string, std::unordered_set<std::u16string>> cache;
  const std::u16string key = u"BENCH*****SYS0";
  std::u16string function;
};

void BM_TwoBareMapLookups(benchmark::State& state) {
  const BareLookups bare;
  for (auto _ : state) benchmark::DoNotOptimize(bare.Ask());
}
// Every figure is the median of five runs: single runs of these short loops
// move by a tenth from one run to the next.
BENCHMARK(BM_TwoBareMapLookups)->Repetitions(5)->ReportAggregatesOnly(true);

// A cached answer through the Ex path, from one and from two threads at
// once: the calls per second of all threads together (items_per_second),
// to set two against one.
void BM_CachedAnswerByHandle(benchmark::State& state) {
  Setting* s = Ready(state);
  if (s == nullptr) return;
  const uint64_t allocations = g_allocations.load();
  for (auto _ : state) {
    uint32_t v = 0;
    if (s->by_handle(&s->handle, kFunction.c_str(), &v) != 0 || v != 1) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["allocations_per_call"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - allocations) / state.iterations());
}
BENCHMARK(BM_CachedAnswerByHandle)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_CachedAnswerByName(benchmark::State& state) {
  Setting* s = Ready(state);
  if (s == nullptr) return;
  if (!s->Configure(static_cast<int>(state.range(0)))) {
    state.SkipWithError("zvtadm system add failed");
    return;
  }
  const uint64_t allocations = g_allocations.load();
  for (auto _ : state) {
    uint32_t v = 0;
    uint32_t rc = s->by_name("SYS0", kFunction.c_str(), &v);
    if (rc != 0 || v != 1) {
      state.SkipWithError(
          ("wrong answer: rc " + std::to_string(rc) + ", value " + std::to_string(v)).c_str());
      break;
    }
  }
  state.SetLabel(std::to_string(state.range(0)) + " configured systems");
  state.counters["allocations_per_call"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - allocations) / state.iterations());
}
BENCHMARK(BM_CachedAnswerByName)
    ->Arg(kSystems)
    ->Arg(100)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The ratios of P1 taken in turns: single runs of these loops move by up to
// half from one run to the next on a shared machine (the bare lookups took
// 38 to 67 ns in three runs of one build), and not both sides alike. So each
// of 31 rounds times 20,000 bare lookups, 20,000 Ex calls and 20,000 calls
// by name, one after the other, in the thread's CPU time (time the machine
// gives to others does not count), and the figures are the medians of the
// rounds' ratios.
double ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e9 + t.tv_nsec;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void BM_RatiosInTurns(benchmark::State& state) {
  Setting* s = Ready(state);
  if (s == nullptr) return;
  const BareLookups bare;
  constexpr int kRounds = 31, kCalls = 20000;
  std::vector<double> bare_ns, ex_ns, name_ns, ex_ratio, name_ratio;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      double start = ThreadCpuNs();
      for (int i = 0; i < kCalls; ++i) benchmark::DoNotOptimize(bare.Ask());
      const double b = (ThreadCpuNs() - start) / kCalls;
      start = ThreadCpuNs();
      for (int i = 0; i < kCalls; ++i) {
        uint32_t v = 0;
        if (s->by_handle(&s->handle, kFunction.c_str(), &v) != 0 || v != 1) {
          state.SkipWithError("wrong answer");
          return;
        }
      }
      const double e = (ThreadCpuNs() - start) / kCalls;
      start = ThreadCpuNs();
      for (int i = 0; i < kCalls; ++i) {
        uint32_t v = 0;
        if (s->by_name("SYS0", kFunction.c_str(), &v) != 0 || v != 1) {
          state.SkipWithError("wrong answer");
          return;
        }
      }
      const double n = (ThreadCpuNs() - start) / kCalls;
      bare_ns.push_back(b);
      ex_ns.push_back(e);
      name_ns.push_back(n);
      ex_ratio.push_back(e / b);
      name_ratio.push_back(n / e);
    }
  }
  state.counters["bare_ns"] = Median(bare_ns);
  state.counters["ex_ns"] = Median(ex_ns);
  state.counters["by_name_ns"] = Median(name_ns);
  state.counters["ex_over_bare"] = Median(ex_ratio);
  state.counters["by_name_over_ex"] = Median(name_ratio);
  state.SetLabel(std::to_string(s->configured) + " configured systems, medians of " +
                 std::to_string(ex_ratio.size()) + " rounds");
}
BENCHMARK(BM_RatiosInTurns)->Iterations(1)->Unit(benchmark::kMillisecond);

// P6 in ten rounds: each times 200,000 Ex calls on one thread, then 200,000
// on each of two threads at once (wall time, from both threads' start to
// the later one's end), and takes the calls per second of the two together
// over the one's. The minimum, the median and how many rounds reach 0.9.
void BM_TwoThreadsInTurns(benchmark::State& state) {
  Setting* s = Ready(state);
  if (s == nullptr) return;
  constexpr int kRounds = 10, kCalls = 200000;
  std::atomic<int> wrong{0};
  auto ask = [&] {
    for (int i = 0; i < kCalls; ++i) {
      uint32_t v = 0;
      if (s->by_handle(&s->handle, kFunction.c_str(), &v) != 0 || v != 1) ++wrong;
    }
  };
  std::vector<double> ratios;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      auto start = std::chrono::steady_clock::now();
      ask();
      const double one =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      start = std::chrono::steady_clock::now();
      std::thread other(ask);
      ask();
      other.join();
      const double two =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      ratios.push_back((2 * kCalls / two) / (kCalls / one));
    }
  }
  if (wrong.load() != 0) {
    state.SkipWithError("wrong answer");
    return;
  }
  int reached = 0;
  for (double r : ratios) reached += r >= 0.9 ? 1 : 0;
  state.counters["min"] = *std::min_element(ratios.begin(), ratios.end());
  state.counters["median"] = Median(ratios);
  state.counters["rounds_at_least_0_9"] = reached;
  state.SetLabel("two threads' calls/s over one thread's, " + std::to_string(ratios.size()) +
                 " rounds");
}
BENCHMARK(BM_TwoThreadsInTurns)->Iterations(1)->Unit(benchmark::kMillisecond);

// The part of the by-name path that finds the system handle, for comparison.
void BM_SystemHandleByName(benchmark::State& state) {
  Setting* s = Ready(state);
  if (s == nullptr) return;
  for (auto _ : state) {
    uint64_t h = 0;
    if (s->handle_of(u"SYS0", u"ZVWIN", &h) != 0) {
      state.SkipWithError("no handle");
      break;
    }
  }
}
BENCHMARK(BM_SystemHandleByName);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  delete &TheSetting();  // stops the host server
  return 0;
}
