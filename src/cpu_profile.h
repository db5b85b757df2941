// CPU profile of the calling thread's engine, walked through script
// callbacks.
#ifndef SRC_CPU_PROFILE_H_
#define SRC_CPU_PROFILE_H_

#include <nan.h>
#include <uv.h>
#include <v8-profiler.h>

#include "profile_keep.h"

// One isolate's profiler, made with eager code logging: it then keeps its
// map of compiled code up to date, and a start does not log all existing
// code again (hundreds of milliseconds with a large application loaded).
//
// - Keeping the map up to date taxes every later compilation, so the
//   profiler is disposed once no profile has started for as long as
//   ProfileKeep says. The idle timer that disposes it is armed only while
//   nothing runs: every start disarms it, and the stop of the last profile
//   arms it. Sampling profiles of the module's own (the loop watchdog's)
//   hold the profiler too; when only they have run, it goes with the last.
// - While the profiler exists, a keeper profile runs beside the module's,
//   never read, filtered to a context of its own where no script runs (so
//   its tree stays a root), and made anew at each start of the module's
//   profile. The engine's sampling thread then lives as long as the
//   profiler instead of being made anew for every profile, which with
//   fresh code compiled between profiles leaves the allocator holding more
//   freed memory at every profile.
// - As the module's profile is then never the last to stop, the engine
//   does not wait at its stop for the samples still queued: at most the
//   last sampling interval's go unrecorded.
class Profiler {
 public:
  Profiler(v8::Isolate* isolate, uv_loop_t* loop);
  Profiler(const Profiler&) = delete;
  Profiler& operator=(const Profiler&) = delete;

  // Starts the module's profile, making the profiler first when there is
  // none; a sampling interval of 0 is the engine's default.
  void start(int sampling_interval_us);
  // Stops the module's profile, which the caller deletes, and keeps the
  // profiler for the next start; null when the profile does not run.
  v8::CpuProfile* stop();
  // The running profile's sampling interval as asked for; 0 for the
  // engine's default.
  int interval_us() const { return interval_us_; }

  // A profile of the module's own (the loop watchdog's) that keeps every
  // sample with its time, making the profiler first when there is none.
  // While one runs the profiler stays. 0 when the engine refused it.
  v8::ProfilerId start_sampling(int interval_us);
  // Stops one and hands it to read, if the engine gives it back, before it
  // is deleted; answers what read answers, else true.
  template <typename Read>
  bool stop_sampling(v8::ProfilerId id, Read&& read) {
    v8::CpuProfile* profile = profiler_->Stop(id);
    bool answer = true;
    if (profile != nullptr) {
      answer = read(static_cast<const v8::CpuProfile&>(*profile));
      profile->Delete();
    }
    // The profile is deleted before the profiler may go.
    --samplers_;
    idle();
    return answer;
  }
  bool stop_sampling(v8::ProfilerId id) {
    return stop_sampling(id, [](const v8::CpuProfile&) { return true; });
  }

  // Ends a running profile, disposes the profiler and closes the timer,
  // handed to on_closed with its data set to owner. Returns the number of
  // handles closed.
  int close(void* owner, uv_close_cb on_closed);

 private:
  void make_profiler();
  // Arms the idle timer once nothing runs, or disposes of the profiler at
  // once if the module's profile never ran.
  void idle();
  void dispose();
  void renew_keeper(int interval_us);
  void stop_keeper();
  static void Release(uv_timer_t* timer);

  v8::Isolate* isolate_;
  v8::CpuProfiler* profiler_ = nullptr;
  // Whether the module's profile runs; the engine ignores a second start.
  bool running_ = false;
  int interval_us_ = 0;
  // The module's own sampling profiles that run.
  int samplers_ = 0;
  // The keeper's id while it runs, else 0.
  v8::ProfilerId keeper_ = 0;
  v8::Global<v8::Context> keeper_context_;
  vantarel::ProfileKeep keep_;
  uv_timer_t idle_timer_;
};

void StartV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>& info);
void StopV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>& info);
void StopV8ProfilerPprof(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_CPU_PROFILE_H_
