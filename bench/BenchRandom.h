// BenchRandom is the benchmarks' deterministic number generator (splitmix64),
// so that every run measures the same generated inputs.
//
// Thread safety: one generator per thread.
#ifndef ZN_BENCH_BENCHRANDOM_H_
#define ZN_BENCH_BENCHRANDOM_H_

#include <cstdint>

class BenchRandom {
 public:
  explicit BenchRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  // Uniform in [0, 1).
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }

 private:
  std::uint64_t state_;
};

#endif  // ZN_BENCH_BENCHRANDOM_H_
