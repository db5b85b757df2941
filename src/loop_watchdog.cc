#include "loop_watchdog.h"

#include <signal.h>

#include <cstring>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "function_data.h"
#include "options.h"
#include "script_call.h"

namespace {

// A profile is renewed at least this often, so that it holds a minute's
// samples at most.
constexpr uint64_t kRenewNs = 60ull * 1000 * 1000 * 1000;
// A retired profile is read this many sampling intervals after the block:
// the engine processes samples on its own thread, and the last ones of a
// block may still wait there when the block ends.
constexpr uint64_t kReadAfterIntervals = 2;

constexpr uint64_t kNsPerMs = 1000 * 1000;

// The engine's own states, which name no code of the application.
bool is_engine_state(const v8::CpuProfileNode* node) {
  const char* name = node->GetFunctionNameStr();
  return node->GetParent() == nullptr ||
         (name != nullptr && (std::strcmp(name, "(garbage collector)") == 0 ||
                              std::strcmp(name, "(program)") == 0 ||
                              std::strcmp(name, "(idle)") == 0));
}

// Empty when script is being terminated.
v8::MaybeLocal<v8::Object> frame_of(v8::Isolate* isolate,
                                    const v8::CpuProfileNode* node) {
  v8::Local<v8::Object> frame = v8::Object::New(isolate);
  v8::Local<v8::Context> context = isolate->GetCurrentContext();
  const std::pair<const char*, v8::Local<v8::Value>> members[] = {
      {"functionName", node->GetFunctionName()},
      {"scriptName", node->GetScriptResourceName()},
      {"lineNumber", v8::Integer::New(isolate, node->GetLineNumber())},
      {"columnNumber", v8::Integer::New(isolate, node->GetColumnNumber())},
  };
  for (const auto& [name, value] : members) {
    v8::Local<v8::String> key;
    if (!v8::String::NewFromUtf8(isolate, name).ToLocal(&key) ||
        frame->CreateDataProperty(context, key, value).IsNothing()) {
      return {};
    }
  }
  return frame;
}

}  // namespace

LoopWatchdog::LoopWatchdog(v8::Isolate* isolate, uv_loop_t* loop,
                           Profiler* profiler)
    : isolate_(isolate), loop_(loop), profiler_(profiler) {
  uv_prepare_init(loop, &prepare_);
  prepare_.data = this;
  uv_unref(reinterpret_cast<uv_handle_t*>(&prepare_));
  // Armed only while a block waits to be reported, which keeps the loop
  // alive, as a GC notification that waits does.
  uv_timer_init(loop, &read_timer_);
  read_timer_.data = this;
}

bool LoopWatchdog::start(int64_t threshold_ms, v8::Local<v8::Function> fn) {
  stop();
  // The profiler's signal would otherwise interrupt the loop's wait for
  // I/O at every sample: an idle thread would wake as often as it is
  // sampled, and libuv would count little of the wait as idle, taking
  // waiting for blocking. The signal is held back until the wait ends.
  uv_loop_configure(loop_, UV_LOOP_BLOCK_SIGNAL, SIGPROF);
  // Node counts idle time on its loops; an embedder's may not.
  uv_loop_configure(loop_, UV_METRICS_IDLE_TIME);
  threshold_ns_ = static_cast<uint64_t>(threshold_ms) * kNsPerMs;
  interval_ms_ = vantarel::watch_interval_ms(threshold_ms);
  current_ = profiler_->start_sampling(interval_ms_ * 1000);
  if (current_ == 0) return false;
  current_since_ns_ = uv_hrtime();
  // The iteration under way counts from now.
  clock_ = vantarel::IterationClock();
  clock_.came_around(current_since_ns_, uv_metrics_idle_time(loop_));
  callback_.Reset(isolate_, fn);
  uv_prepare_start(&prepare_, CameAround);
  watching_ = true;
  return true;
}

void LoopWatchdog::stop() {
  if (!watching_) return;
  watching_ = false;
  uv_prepare_stop(&prepare_);
  uv_timer_stop(&read_timer_);
  callback_.Reset();
  drop_profiles();
}

void LoopWatchdog::drop_profiles() {
  for (const Retired& retired : retired_) profiler_->stop_sampling(retired.id);
  retired_.clear();
  if (current_ != 0) profiler_->stop_sampling(current_);
  current_ = 0;
}

int LoopWatchdog::close(void* owner, uv_close_cb on_closed) {
  {
    v8::HandleScope scope(isolate_);
    stop();
  }
  prepare_.data = owner;
  read_timer_.data = owner;
  uv_close(reinterpret_cast<uv_handle_t*>(&prepare_), on_closed);
  uv_close(reinterpret_cast<uv_handle_t*>(&read_timer_), on_closed);
  return 2;
}

// Runs once an iteration, as the loop is about to wait for I/O: a clock
// read and libuv's idle time (a lock), nothing more unless the iteration
// was a block or the profile is due for renewal.
void LoopWatchdog::CameAround(uv_prepare_t* handle) {
  auto* self = static_cast<LoopWatchdog*>(handle->data);
  const uint64_t now = uv_hrtime();
  const uint64_t busy =
      self->clock_.came_around(now, uv_metrics_idle_time(self->loop_));
  if (busy >= self->threshold_ns_) {
    // The wait for I/O comes first in an iteration: what follows it, up to
    // now, is the block.
    const Block block{now - busy, now};
    v8::HandleScope scope(self->isolate_);
    self->renew(now, &block);
  } else if (self->current_ == 0 || now - self->current_since_ns_ > kRenewNs) {
    v8::HandleScope scope(self->isolate_);
    self->renew(now, nullptr);
  }
}

void LoopWatchdog::renew(uint64_t now_ns, const Block* block) {
  const v8::ProfilerId old = current_;
  // The fresh one first, so that the engine's sampling never pauses.
  current_ = profiler_->start_sampling(interval_ms_ * 1000);
  current_since_ns_ = now_ns;
  if (old == 0) return;
  if (block == nullptr) {
    profiler_->stop_sampling(old);
    return;
  }
  const uint64_t read_at =
      now_ns + kReadAfterIntervals * interval_ms_ * kNsPerMs;
  try {
    retired_.push_back(Retired{old, *block, read_at});
  } catch (const std::exception&) {
    // Out of memory: this block goes unreported.
    profiler_->stop_sampling(old);
    return;
  }
  if (retired_.size() == 1) {
    uv_timer_start(&read_timer_, ReadDue, (read_at - now_ns) / kNsPerMs, 0);
  }
}

void LoopWatchdog::ReadDue(uv_timer_t* handle) {
  auto* self = static_cast<LoopWatchdog*>(handle->data);
  self->read_due(uv_hrtime());
}

void LoopWatchdog::read_due(uint64_t now_ns) {
  v8::HandleScope scope(isolate_);
  while (watching_ && !retired_.empty() &&
         retired_.front().read_at_ns <= now_ns) {
    const Retired retired = retired_.front();
    retired_.pop_front();
    // The callback may stop the watch, or start another.
    const bool go_on = profiler_->stop_sampling(
        retired.id, [&](const v8::CpuProfile& profile) {
          return report(retired.block, profile);
        });
    if (!go_on) return;
  }
  if (watching_ && !retired_.empty()) {
    const uint64_t at = retired_.front().read_at_ns;
    uv_timer_start(&read_timer_, ReadDue,
                   at > now_ns ? (at - now_ns) / kNsPerMs + 1 : 0, 0);
  }
}

bool LoopWatchdog::report(const Block& block, const v8::CpuProfile& profile) {
  using Sample = vantarel::TimedSample<v8::CpuProfileNode>;
  std::vector<Sample> samples;
  const int count = profile.GetSamplesCount();
  samples.reserve(count);
  for (int i = 0; i < count; ++i) {
    samples.push_back(
        Sample{profile.GetSampleTimestamp(i), profile.GetSample(i)});
  }
  const v8::CpuProfileNode* leaf = vantarel::heaviest_node(
      std::move(samples), static_cast<int64_t>(block.from_ns / 1000),
      static_cast<int64_t>(block.to_ns / 1000), is_engine_state);
  v8::Local<v8::Array> frames = v8::Array::New(isolate_);
  uint32_t depth = 0;
  for (const v8::CpuProfileNode* node = leaf;
       node != nullptr && node->GetParent() != nullptr;
       node = node->GetParent()) {
    v8::Local<v8::Object> frame;
    if (!frame_of(isolate_, node).ToLocal(&frame) ||
        frames->Set(isolate_->GetCurrentContext(), depth++, frame)
            .IsNothing()) {
      return false;
    }
  }
  v8::Local<v8::Value> argv[] = {
      v8::Number::New(
          isolate_,
          static_cast<double>(block.to_ns - block.from_ns) / kNsPerMs),
      frames,
  };
  return vantarel::call_script_from_loop(callback_.Get(isolate_), 2, argv);
}

void StartLoopWatchdog(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  int64_t threshold_ms = 0;
  vantarel::Options options(info.GetIsolate(), info[0], "startLoopWatchdog",
                            true);
  if (!options.integer("threshold", 1, 2147483647.0,
                       "a positive integer of milliseconds", &threshold_ms,
                       true)) {
    return;
  }
  if (!info[1]->IsFunction()) {
    Nan::ThrowTypeError(
        "Expected a function for the callback of startLoopWatchdog");
    return;
  }
  if (!vantarel::state_of<LoopWatchdog>(info)->start(
          threshold_ms, info[1].As<v8::Function>())) {
    Nan::ThrowError(
        "The engine's CPU profiler refused a profile for the watchdog");
  }
}

void StopLoopWatchdog(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::HandleScope scope(info.GetIsolate());
  vantarel::state_of<LoopWatchdog>(info)->stop();
}
