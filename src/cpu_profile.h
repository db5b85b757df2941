// CPU profile of the calling thread's engine, walked through script
// callbacks.
#ifndef SRC_CPU_PROFILE_H_
#define SRC_CPU_PROFILE_H_

#include <nan.h>
#include <uv.h>

#include "profile_keep.h"

namespace v8 {
class CpuProfiler;
}  // namespace v8

// One isolate's profiler, made with eager code logging: it then keeps its
// map of compiled code up to date, and a start does not log all existing
// code again (hundreds of milliseconds with a large application loaded).
// Keeping the map up to date taxes every later compilation, so the profiler
// is disposed once no profile has started for as long as ProfileKeep says.
class Profiler {
 public:
  Profiler(v8::Isolate* isolate, uv_loop_t* loop);
  Profiler(const Profiler&) = delete;
  Profiler& operator=(const Profiler&) = delete;

  // Starts the module's profile, making the profiler first when there is
  // none; a sampling interval of 0 is the engine's default.
  void start(int sampling_interval_us);
  // The profiler when there is one, else null.
  v8::CpuProfiler* current() const { return profiler_; }
  // A profile has stopped: release the profiler unless another starts soon.
  void stopped();

  // Ends a running profile, disposes the profiler and closes the timer,
  // handed to on_closed with its data set to owner. Returns the number of
  // handles closed.
  int close(void* owner, uv_close_cb on_closed);

 private:
  static void Release(uv_timer_t* timer);

  v8::Isolate* isolate_;
  v8::CpuProfiler* profiler_ = nullptr;
  vantarel::ProfileKeep keep_;
  uv_timer_t idle_timer_;
};

void StartV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>& info);
void StopV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_CPU_PROFILE_H_
