#include "cpu_profile.h"

#include <v8-profiler.h>

#include <cstdint>
#include <exception>
#include <memory>

#include "profile_walk.h"
#include "script_call.h"

namespace {

constexpr char kTitle[] = "vantarel-cpu-profile";

struct ProfileDeleter {
  void operator()(v8::CpuProfile* profile) const { profile->Delete(); }
};
using ProfileOwner = std::unique_ptr<v8::CpuProfile, ProfileDeleter>;

// The host gives no per-isolate profiler, so one is made on first use and
// kept for the process.
v8::CpuProfiler* cpu_profiler(v8::Isolate* isolate) {
  static v8::CpuProfiler* profiler = v8::CpuProfiler::New(isolate);
  return profiler;
}

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

}  // namespace

void StartV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>&) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  cpu_profiler(isolate)->StartProfiling(title(isolate), false);
}

void StopV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  // No profile runs under the title: nothing to stop, nothing to call.
  ProfileOwner profile(cpu_profiler(isolate)->StopProfiling(title(isolate)));
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
