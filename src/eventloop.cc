#include "eventloop.h"

#include "function_data.h"
#include "main_environment.h"

// The counters of the host's main environment, once it has loaded the
// module; other environments count in counters of their own.
EventLoopStatistics statistics;

// The counters' addresses, for native readers that share the process.
#define EXPORTED __attribute__((visibility("default")))
extern "C" {
EXPORTED extern uint32_t* const num;
EXPORTED extern uint32_t* const min;
EXPORTED extern uint32_t* const max;
EXPORTED extern uint32_t* const sum;
EXPORTED extern uint32_t* const iosum;
uint32_t* const num = &statistics.num;
uint32_t* const min = &statistics.min;
uint32_t* const max = &statistics.max;
uint32_t* const sum = &statistics.sum;
uint32_t* const iosum = &statistics.iosum;
}
#undef EXPORTED

LoopMonitor::LoopMonitor(v8::Isolate* isolate, uv_loop_t* loop)
    : statistics_(vantarel::is_main_environment(isolate) ? &::statistics
                                                         : &own_) {
  uv_prepare_init(loop, &prep_handle_);
  prep_handle_.data = this;
  uv_prepare_start(&prep_handle_, PreTick);
  uv_unref(reinterpret_cast<uv_handle_t*>(&prep_handle_));
  uv_check_init(loop, &check_handle_);
  check_handle_.data = this;
  uv_check_start(&check_handle_, PostTick);
  uv_unref(reinterpret_cast<uv_handle_t*>(&check_handle_));

  // The engine must never free the counters, and its deleter is the
  // engine's own, so nothing of the module runs when the buffer goes.
  std::unique_ptr<v8::BackingStore> store =
      v8::ArrayBuffer::NewBackingStore(statistics_, sizeof(EventLoopStatistics),
                                       v8::BackingStore::EmptyDeleter, nullptr);
  event_loop_info_.Reset(isolate,
                         v8::ArrayBuffer::New(isolate, std::move(store)));
}

int LoopMonitor::close(void* owner, uv_close_cb on_closed) {
  event_loop_info_.Reset();
  prep_handle_.data = owner;
  check_handle_.data = owner;
  uv_close(reinterpret_cast<uv_handle_t*>(&prep_handle_), on_closed);
  uv_close(reinterpret_cast<uv_handle_t*>(&check_handle_), on_closed);
  return 2;
}

// Both hooks run on every iteration: one clock read, no allocation, no script.
void LoopMonitor::PreTick(uv_prepare_t* handle) {
  auto* self = static_cast<LoopMonitor*>(handle->data);
  self->pre_io_ = elapsed_ms(uv_hrtime(), uv_now(handle->loop));
}

void LoopMonitor::PostTick(uv_check_t* handle) {
  auto* self = static_cast<LoopMonitor*>(handle->data);
  self->statistics_->record(elapsed_ms(uv_hrtime(), uv_now(handle->loop)),
                            self->pre_io_);
}

void GetEventLoopInfo(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  const EventLoopStatistics& statistics =
      vantarel::state_of<LoopMonitor>(info)->statistics();
  const uint32_t counters[] = {statistics.num, statistics.min, statistics.max,
                               statistics.sum, statistics.iosum};
  v8::Local<v8::Object> result = Nan::New<v8::Object>();
  for (uint32_t i = 0; i < 5; ++i) {
    Nan::Set(result, i, Nan::New<v8::Number>(counters[i]));
  }
  info.GetReturnValue().Set(result);
}

void ResetEventLoopInfo(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  vantarel::state_of<LoopMonitor>(info)->statistics() = EventLoopStatistics{};
}
