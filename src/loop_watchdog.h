// Finding what blocks a thread's event loop: the stack of an iteration that
// kept the loop from coming around for longer than a threshold, taken while
// it blocked, and handed to script once the loop moves again.
#ifndef SRC_LOOP_WATCHDOG_H_
#define SRC_LOOP_WATCHDOG_H_

#include <nan.h>
#include <uv.h>
#include <v8-profiler.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "cpu_profile.h"
#include "loop_watch.h"

// A watchdog with no thread of its own: a blocked thread runs no code, so
// the engine's CPU profiler, whose own thread samples the blocked one from a
// signal, takes its stack, native calls included (their script callers show
// in the samples). A profile kept running at a low rate holds the samples;
// the loop's prepare hook measures each iteration's busy time, and after a
// block the profile that holds it is swapped for a fresh one and read a
// little later, once the engine has processed its last samples. Profiles
// are also renewed once a minute, so that their samples stay few.
class LoopWatchdog {
 public:
  LoopWatchdog(v8::Isolate* isolate, uv_loop_t* loop, Profiler* profiler);
  LoopWatchdog(const LoopWatchdog&) = delete;
  LoopWatchdog& operator=(const LoopWatchdog&) = delete;

  // Watches from now on for iterations busy threshold_ms or longer, and
  // calls fn(blockedMs, frames) after each; replaces an earlier watch.
  // False when the engine refused to profile.
  bool start(int64_t threshold_ms, v8::Local<v8::Function> fn);
  // No call comes after this; the profiles and hooks go.
  void stop();

  // Stops watching and closes both handles, handed to on_closed with their
  // data set to owner. Returns the number of handles closed.
  int close(void* owner, uv_close_cb on_closed);

 private:
  struct Block {
    uint64_t from_ns;
    uint64_t to_ns;
  };
  // A profile swapped out, read once the engine has processed its samples.
  struct Retired {
    v8::ProfilerId id;
    Block block;
    uint64_t read_at_ns;
  };

  static void CameAround(uv_prepare_t* handle);
  static void ReadDue(uv_timer_t* handle);
  // Starts a fresh profile; the current one is retired with block, or
  // deleted unread when block is null.
  void renew(uint64_t now_ns, const Block* block);
  void read_due(uint64_t now_ns);
  // Calls the callback for one block; false when no more script may run.
  bool report(const Block& block, const v8::CpuProfile& profile);
  void drop_profiles();

  v8::Isolate* isolate_;
  uv_loop_t* loop_;
  Profiler* profiler_;
  v8::Global<v8::Function> callback_;
  bool watching_ = false;
  uint64_t threshold_ns_ = 0;
  int interval_ms_ = 0;
  vantarel::IterationClock clock_;
  // The profile that samples now (0: none, the engine refused the last
  // one), and since when.
  v8::ProfilerId current_ = 0;
  uint64_t current_since_ns_ = 0;
  std::deque<Retired> retired_;
  uv_prepare_t prepare_;
  uv_timer_t read_timer_;
};

void StartLoopWatchdog(const Nan::FunctionCallbackInfo<v8::Value>& info);
void StopLoopWatchdog(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_LOOP_WATCHDOG_H_
