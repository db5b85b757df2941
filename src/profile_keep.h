// How long a thread's CPU profiler, and with it the engine's code logging,
// is kept after a profile stops. Engine-free: times are milliseconds of any
// steady clock, handed in by the caller, so tests can drive the rule.
#ifndef SRC_PROFILE_KEEP_H_
#define SRC_PROFILE_KEEP_H_

#include <algorithm>
#include <cstdint>

namespace vantarel {

// A start with code logging already on takes well under a millisecond; one
// without logs all compiled code again, for tens to hundreds of
// milliseconds with a large application loaded. Logging taxes every later
// compilation, so it is kept only as long as the next start is likely to
// come: twice the last interval between starts, within a floor and a cap.
class ProfileKeep {
 public:
  // After the first profile, and whenever starts come too far apart for the
  // cap to bridge: long enough that a second profile a minute after the
  // first starts at once.
  static constexpr uint64_t kFloorMs = 90 * 1000;
  // The longest a stopped profiler is kept.
  static constexpr uint64_t kCapMs = 10 * 60 * 1000;

  // A profile began at now_ms (not a start the engine ignored because the
  // profile already ran).
  void started(uint64_t now_ms) {
    if (has_started_) interval_ms_ = now_ms - last_start_ms_;
    last_start_ms_ = now_ms;
    has_started_ = true;
  }

  // Whether a profile ever began.
  bool started_once() const { return has_started_; }

  // How long to keep the profiler once its profile has stopped.
  uint64_t keep_ms() const {
    if (interval_ms_ == 0 || interval_ms_ > kCapMs) return kFloorMs;
    return std::clamp(2 * interval_ms_, kFloorMs, kCapMs);
  }

 private:
  bool has_started_ = false;
  uint64_t last_start_ms_ = 0;
  // Between the last two starts; 0 before the second.
  uint64_t interval_ms_ = 0;
};

}  // namespace vantarel

#endif  // SRC_PROFILE_KEEP_H_
