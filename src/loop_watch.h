// The rules of the loop watchdog that need no engine: when an iteration of
// the loop was a block, how often to sample for its stack, and which of the
// samples taken in it stands for the block. Times are handed in by the
// caller, so tests can drive the rules.
#ifndef SRC_LOOP_WATCH_H_
#define SRC_LOOP_WATCH_H_

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vantarel {

// Milliseconds between the samples that watching for blocks of threshold_ms
// takes: at least two in any block, so that one falls inside it, from a few
// rates only, which keep the engine's one sampling rate for all running
// profiles (their greatest common divisor) a round one.
inline int watch_interval_ms(int64_t threshold_ms) {
  constexpr int kRates[] = {1000, 500, 200, 100, 50, 20};
  for (int rate : kRates) {
    if (2 * static_cast<int64_t>(rate) <= threshold_ms) return rate;
  }
  return 10;
}

// The busy time of each iteration of the loop: the time from one prepare
// hook to the next (the loop came around) without the time the loop waited
// for I/O, which libuv counts.
class IterationClock {
 public:
  // The prepare hook ran at now_ns, with the loop's idle time so far at
  // idle_ns. Answers the nanoseconds the iteration that ends here was busy;
  // 0 for the first.
  uint64_t came_around(uint64_t now_ns, uint64_t idle_ns) {
    uint64_t busy = 0;
    if (started_) {
      const uint64_t wall = now_ns > last_ns_ ? now_ns - last_ns_ : 0;
      const uint64_t idle =
          idle_ns > last_idle_ns_ ? idle_ns - last_idle_ns_ : 0;
      busy = wall > idle ? wall - idle : 0;
    }
    started_ = true;
    last_ns_ = now_ns;
    last_idle_ns_ = idle_ns;
    return busy;
  }

 private:
  bool started_ = false;
  uint64_t last_ns_ = 0;
  uint64_t last_idle_ns_ = 0;
};

// One sample of a profile: when it was taken and the call tree's node it
// fell in.
template <typename Node>
struct TimedSample {
  int64_t at_us;
  const Node* node;
};

// The node that stood for most of the time from from_us to to_us: each
// sample inside stands for the time since the one before it (the first,
// since from_us), as a sample that waits for a system call to return is
// taken late and once. Samples are taken in any order. Nodes that skip()
// rejects (the engine's own work: garbage collection, the idle and program
// states) count for nothing. Null when no sample counts.
template <typename Node, typename Skip>
const Node* heaviest_node(std::vector<TimedSample<Node>> samples,
                          int64_t from_us, int64_t to_us, Skip&& skip) {
  std::sort(samples.begin(), samples.end(),
            [](const TimedSample<Node>& a, const TimedSample<Node>& b) {
              return a.at_us < b.at_us;
            });
  std::unordered_map<const Node*, int64_t> weight;
  int64_t previous = from_us;
  const Node* best = nullptr;
  int64_t best_weight = 0;
  for (const TimedSample<Node>& sample : samples) {
    if (sample.at_us < from_us || sample.at_us > to_us) continue;
    const int64_t stands_for = sample.at_us - previous + 1;
    previous = sample.at_us;
    if (skip(sample.node)) continue;
    const int64_t total = weight[sample.node] += stands_for;
    if (total > best_weight) {
      best_weight = total;
      best = sample.node;
    }
  }
  return best;
}

}  // namespace vantarel

#endif  // SRC_LOOP_WATCH_H_
