// Per-iteration timing statistics of the event loop of each thread that
// loads the module.
#ifndef SRC_EVENTLOOP_H_
#define SRC_EVENTLOOP_H_

#include <nan.h>
#include <uv.h>

#include <cstdint>

#include "loop_statistics.h"

// The two hooks on one thread's loop and the counters they keep. The host's
// main environment counts in the block that the exported counter pointers
// name; every other environment in a block of its own.
class LoopMonitor {
 public:
  // Measures every iteration of loop from now on.
  LoopMonitor(v8::Isolate* isolate, uv_loop_t* loop);
  LoopMonitor(const LoopMonitor&) = delete;
  LoopMonitor& operator=(const LoopMonitor&) = delete;

  EventLoopStatistics& statistics() { return *statistics_; }

  // Stops measuring and closes both handles; on_closed gets each of them
  // with its data set to owner. Returns the number of handles closed.
  int close(void* owner, uv_close_cb on_closed);

 private:
  static void PreTick(uv_prepare_t* handle);
  static void PostTick(uv_check_t* handle);

  EventLoopStatistics own_{};
  EventLoopStatistics* statistics_;
  uint32_t pre_io_ = 0;
  uv_prepare_t prep_handle_;
  uv_check_t check_handle_;
  v8::Global<v8::ArrayBuffer> event_loop_info_;
};

void GetEventLoopInfo(const Nan::FunctionCallbackInfo<v8::Value>& info);
void ResetEventLoopInfo(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_EVENTLOOP_H_
