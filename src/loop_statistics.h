// Folding event-loop tick times into five wrapping 32-bit counters.
#ifndef SRC_LOOP_STATISTICS_H_
#define SRC_LOOP_STATISTICS_H_

#include <cstdint>

// Milliseconds from the loop's cached time to now; 0 when the clock is behind.
inline uint32_t elapsed_ms(uint64_t now_ns, uint64_t loop_now_ms) {
  uint64_t now_ms = now_ns / 1000000;
  return now_ms > loop_now_ms ? static_cast<uint32_t>(now_ms - loop_now_ms) : 0;
}

// Five counters of one measuring interval. All arithmetic wraps at 2^32;
// min == 0 means that no minimum is set yet.
struct EventLoopStatistics {
  uint32_t num;
  uint32_t min;
  uint32_t max;
  uint32_t sum;
  uint32_t iosum;

  void record(uint32_t tick, uint32_t pre_io) {
    if (tick < min || min == 0) min = tick;
    if (tick > max) max = tick;
    sum += tick;
    iosum += tick > pre_io ? tick - pre_io : 0;
    num += 1;
  }
};

static_assert(sizeof(EventLoopStatistics) == 20, "five packed counters");

#endif  // SRC_LOOP_STATISTICS_H_
