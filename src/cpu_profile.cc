#include "cpu_profile.h"

#include <uv.h>
#include <v8-profiler.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <string>

#include "function_data.h"
#include "options.h"
#include "pprof_buffer.h"
#include "pprof_profile.h"
#include "pprof_tree.h"
#include "profile_walk.h"
#include "script_call.h"

namespace {

constexpr char kTitle[] = "vantarel-cpu-profile";

struct ProfileDeleter {
  void operator()(v8::CpuProfile* profile) const { profile->Delete(); }
};
using ProfileOwner = std::unique_ptr<v8::CpuProfile, ProfileDeleter>;

v8::Local<v8::String> title(v8::Isolate* isolate) {
  return v8::String::NewFromUtf8Literal(isolate, kTitle);
}

// Calls fn with a count and the node's hit count, function name, script
// resource name and line number. Empty when fn threw.
v8::MaybeLocal<v8::Value> call_with_node(v8::Isolate* isolate,
                                         v8::Local<v8::Function> fn,
                                         int32_t count,
                                         const v8::CpuProfileNode* node) {
  v8::Local<v8::Value> argv[] = {
      v8::Integer::New(isolate, count),
      v8::Number::New(isolate, node->GetHitCount()),
      node->GetFunctionName(),
      node->GetScriptResourceName(),
      v8::Integer::New(isolate, node->GetLineNumber()),
  };
  return vantarel::call_script(fn, 5, argv);
}

void walk(v8::Isolate* isolate, const v8::CpuProfile& profile,
          v8::Local<v8::Function> filter, v8::Local<v8::Function> visitor) {
  auto screen = [&](const v8::CpuProfileNode* node) {
    v8::HandleScope scope(isolate);
    v8::Local<v8::Value> result;
    if (!call_with_node(isolate, filter, node->GetChildrenCount(), node)
             .ToLocal(&result)) {
      return vantarel::Screen::kStop;
    }
    return result->BooleanValue(isolate) ? vantarel::Screen::kDissolve
                                         : vantarel::Screen::kRetain;
  };
  auto visit = [&](const v8::CpuProfileNode* node, int32_t retained) {
    v8::HandleScope scope(isolate);
    return !call_with_node(isolate, visitor, retained, node).IsEmpty();
  };
  // A throwing callback has already ended the walk; its exception stays
  // pending for the caller.
  vantarel::walk_profile(profile.GetTopDownRoot(), screen, visit);
}

// While the profiler is kept, the keeper samples as often as the module's
// last profile did when that is 10 ms or more, as continuous profilers do,
// and else ten times a second. The engine samples at the greatest common
// divisor of the running profiles' intervals and restarts its sampling
// thread when that changes, a start then waiting for the thread to work
// through the code compiled since its last sample: profiles that recur at
// one rate change nothing at their starts.
constexpr int kKeeperIntervalUs = 100 * 1000;
constexpr int kKeeperMatchesFromUs = 10 * 1000;

int keeper_interval_us(int sampling_interval_us) {
  return sampling_interval_us >= kKeeperMatchesFromUs ? sampling_interval_us
                                                      : kKeeperIntervalUs;
}

uint64_t now_ms() { return uv_hrtime() / 1000000; }

// The engine samples a profile at its asked interval rounded up to a
// multiple of the profiler's own, 1 ms unless Node was started with
// --cpu-profiler-sampling-interval, which the module cannot read.
constexpr int64_t kEngineIntervalUs = 1000;

int64_t sampled_interval_ns(int interval_us) {
  const int64_t us = interval_us <= kEngineIntervalUs
                         ? kEngineIntervalUs
                         : (interval_us + kEngineIntervalUs - 1) /
                               kEngineIntervalUs * kEngineIntervalUs;
  return us * 1000;
}

// The profile as pprof: a sample per node that the engine found running,
// its hits as the sample count and the time they stand for.
void add_samples(const v8::CpuProfile& profile, int64_t interval_ns,
                 vantarel::PprofProfile* pprof) {
  auto location = [pprof](const v8::CpuProfileNode* node) {
    const int line = node->GetLineNumber();
    return pprof->location(
        pprof->function_at(
            vantarel::pprof_function_name(node->GetFunctionNameStr()),
            node->GetScriptResourceNameStr(), line),
        line);
  };
  auto values = [interval_ns](const v8::CpuProfileNode* node, int64_t* out) {
    const int64_t hits = node->GetHitCount();
    out[0] = hits;
    out[1] = hits * interval_ns;
    return hits != 0;
  };
  vantarel::add_tree_samples(pprof, profile.GetTopDownRoot(), 2, location,
                             values);
  // The engine times samples on the monotonic clock that libuv reads.
  const int64_t started_ns = profile.GetStartTime() * 1000;
  pprof->set_time_nanos(vantarel::wall_clock_ns() -
                        (static_cast<int64_t>(uv_hrtime()) - started_ns));
  pprof->set_duration_nanos((profile.GetEndTime() - profile.GetStartTime()) *
                            1000);
}

}  // namespace

Profiler::Profiler(v8::Isolate* isolate, uv_loop_t* loop) : isolate_(isolate) {
  uv_timer_init(loop, &idle_timer_);
  idle_timer_.data = this;
  // A pending release never keeps the process alive.
  uv_unref(reinterpret_cast<uv_handle_t*>(&idle_timer_));
}

void Profiler::make_profiler() {
  uv_timer_stop(&idle_timer_);
  if (profiler_ == nullptr) {
    profiler_ =
        v8::CpuProfiler::New(isolate_, v8::kDebugNaming, v8::kEagerLogging);
  }
}

void Profiler::idle() {
  if (running_ || samplers_ > 0) return;
  if (keep_.started_once()) {
    uv_timer_start(&idle_timer_, Release, keep_.keep_ms(), 0);
  } else {
    dispose();
  }
}

void Profiler::start(int sampling_interval_us) {
  make_profiler();
  // A fresh keeper before the module's profile, whose start sample would
  // otherwise land in it; the old one goes, its samples unread.
  if (!running_) renew_keeper(keeper_interval_us(sampling_interval_us));
  v8::Local<v8::String> name = title(isolate_);
  // The engine rounds a profile's interval up to a multiple of the
  // profiler's own, and samples at the greatest common divisor of the
  // running profiles' intervals.
  const v8::CpuProfilingStatus status =
      sampling_interval_us == 0
          ? profiler_->StartProfiling(name, false)
          : profiler_->StartProfiling(
                name, v8::CpuProfilingOptions(v8::kLeafNodeLineNumbers, 0,
                                              sampling_interval_us));
  if (status == v8::CpuProfilingStatus::kErrorTooManyProfilers) {
    idle();
    return;
  }
  if (status == v8::CpuProfilingStatus::kStarted) {
    keep_.started(now_ms());
    interval_us_ = sampling_interval_us;
  }
  running_ = true;
}

v8::CpuProfile* Profiler::stop() {
  if (!running_) return nullptr;
  running_ = false;
  // The keeper runs on, and with it the sampling thread.
  v8::CpuProfile* profile = profiler_->StopProfiling(title(isolate_));
  idle();
  return profile;
}

v8::ProfilerId Profiler::start_sampling(int interval_us) {
  make_profiler();
  const v8::CpuProfilingResult result =
      profiler_->Start(v8::CpuProfilingOptions(
          v8::kLeafNodeLineNumbers, v8::CpuProfilingOptions::kNoSampleLimit,
          interval_us));
  if (result.status != v8::CpuProfilingStatus::kStarted) {
    idle();
    return 0;
  }
  ++samplers_;
  return result.id;
}

void Profiler::renew_keeper(int interval_us) {
  const v8::ProfilerId old = keeper_;
  keeper_ = 0;
  // Filtered to a context where no script runs, the keeper's tree holds
  // its root alone, however long it runs: dropping it costs nothing.
  if (keeper_context_.IsEmpty()) {
    keeper_context_.Reset(isolate_, v8::Context::New(isolate_));
  }
  const v8::CpuProfilingResult result = profiler_->Start(
      v8::CpuProfilingOptions(v8::kLeafNodeLineNumbers, 0, interval_us,
                              keeper_context_.Get(isolate_)));
  if (result.status == v8::CpuProfilingStatus::kStarted) keeper_ = result.id;
  if (old != 0) ProfileOwner profile(profiler_->Stop(old));
}

void Profiler::stop_keeper() {
  if (keeper_ == 0) return;
  ProfileOwner profile(profiler_->Stop(keeper_));
  keeper_ = 0;
}

void Profiler::Release(uv_timer_t* timer) {
  // Every start stops the timer, and only the stop of the last profile
  // starts it: nothing runs.
  static_cast<Profiler*>(timer->data)->dispose();
}

void Profiler::dispose() {
  if (profiler_ == nullptr) return;
  v8::HandleScope scope(isolate_);
  stop_keeper();
  keeper_context_.Reset();
  profiler_->Dispose();
  profiler_ = nullptr;
}

int Profiler::close(void* owner, uv_close_cb on_closed) {
  // A profile left running is ended and deleted first, so that disposing
  // the profiler finds its sampling thread stopped.
  if (profiler_ != nullptr && running_) {
    v8::HandleScope scope(isolate_);
    ProfileOwner(profiler_->StopProfiling(title(isolate_)));
  }
  running_ = false;
  dispose();
  idle_timer_.data = owner;
  uv_close(reinterpret_cast<uv_handle_t*>(&idle_timer_), on_closed);
  return 1;
}

void StartV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  // 0 is the engine's default interval.
  int64_t sampling_interval_us = 0;
  vantarel::Options options(info.GetIsolate(), info[0], "startV8Profiler");
  constexpr int kMostUs = std::numeric_limits<int>::max();
  if (!options.integer("samplingInterval", 1, kMostUs,
                       "a positive integer of microseconds, at most " +
                           std::to_string(kMostUs) + ",",
                       &sampling_interval_us)) {
    return;
  }
  vantarel::state_of<Profiler>(info)->start(
      static_cast<int>(sampling_interval_us));
}

void StopV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::Isolate* isolate = info.GetIsolate();
  // No profile runs: nothing to stop, nothing to call.
  ProfileOwner profile(vantarel::state_of<Profiler>(info)->stop());
  if (!profile) return;
  if (info.Length() < 2 || !info[0]->IsFunction() || !info[1]->IsFunction()) {
    return;
  }
  try {
    walk(isolate, *profile, info[0].As<v8::Function>(),
         info[1].As<v8::Function>());
  } catch (const std::exception&) {
    // Out of memory for the queue: the walk ends, the profile is deleted.
  }
}

void StopV8ProfilerPprof(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::Isolate* isolate = info.GetIsolate();
  Profiler* profiler = vantarel::state_of<Profiler>(info);
  const int64_t interval_ns = sampled_interval_ns(profiler->interval_us());
  ProfileOwner profile(profiler->stop());
  if (!profile) return;
  try {
    vantarel::PprofProfile pprof(
        {{"samples", "count"}, {"wall", "nanoseconds"}},
        {"wall", "nanoseconds"}, interval_ns);
    add_samples(*profile, interval_ns, &pprof);
    v8::Local<v8::Object> buffer;
    if (vantarel::pprof_buffer(isolate, pprof).ToLocal(&buffer)) {
      info.GetReturnValue().Set(buffer);
    }
  } catch (const std::exception&) {
    Nan::ThrowError("out of memory while encoding the CPU profile");
  }
}
