// Module entry: registers with the host and, for each environment that loads
// the module (the main thread and every worker thread), makes that
// environment's state, installs the exported functions over it and tears it
// down when the environment ends.
#include <nan.h>
#include <node.h>
#include <uv.h>

#include "analytics.h"
#include "clock.h"
#include "cpu_profile.h"
#include "engine_compat.h"
#include "eventloop.h"
#include "gc.h"
#include "heap.h"
#include "heap_sampling.h"
#include "library_hold.h"
#include "loop_watchdog.h"

namespace {

// Everything the module keeps for one environment. Only that environment's
// thread touches it.
struct ModuleState {
  ModuleState(v8::Isolate* isolate, uv_loop_t* loop)
      : isolate(isolate),
        loop_monitor(isolate, loop),
        gc(isolate, loop),
        profiler(isolate, loop),
        watchdog(isolate, loop, &profiler),
        heap(isolate),
        heap_sampling(isolate) {}

  v8::Isolate* isolate;
  LoopMonitor loop_monitor;
  GCNotifier gc;
  Profiler profiler;
  LoopWatchdog watchdog;
  HeapTracking heap;
  HeapSampling heap_sampling;
  Analytics analytics;
  node::AsyncCleanupHookHandle cleanup_hook;
  // Handles still closing, and what to call when the last has closed.
  int closing = 0;
  void (*torn_down)(void*) = nullptr;
  void* torn_down_arg = nullptr;
};

// The part of the state an exported function works on.
enum class Area {
  kNone,
  kLoop,
  kGC,
  kProfiler,
  kHeap,
  kHeapSampling,
  kWatchdog,
  kAnalytics
};

void* part_of(ModuleState* state, Area area) {
  switch (area) {
    case Area::kLoop:
      return &state->loop_monitor;
    case Area::kGC:
      return &state->gc;
    case Area::kProfiler:
      return &state->profiler;
    case Area::kHeap:
      return &state->heap;
    case Area::kHeapSampling:
      return &state->heap_sampling;
    case Area::kWatchdog:
      return &state->watchdog;
    case Area::kAnalytics:
      return &state->analytics;
    case Area::kNone:
      break;
  }
  return nullptr;
}

using ModuleFunction = void (*)(const Nan::FunctionCallbackInfo<v8::Value>&);

struct ExportedFunction {
  const char* name;
  ModuleFunction function;
  Area area;
};

// Installed in this order. The package entry makes recordTransaction of
// recordFlatTransaction and a script reader.
constexpr ExportedFunction kExports[] = {
    {"time", Time, Area::kNone},
    {"cpuTime", CPUTime, Area::kNone},
    {"afterGC", AfterGC, Area::kGC},
    {"startV8Profiler", StartV8Profiler, Area::kProfiler},
    {"stopV8Profiler", StopV8Profiler, Area::kProfiler},
    {"getEventLoopInfo", GetEventLoopInfo, Area::kLoop},
    {"resetEventLoopInfo", ResetEventLoopInfo, Area::kLoop},
    {"getV8HeapSnapshot", GetV8HeapSnapshot, Area::kNone},
    {"isObjectTrackingSupported", IsObjectTrackingSupported, Area::kNone},
    {"initAnalytics", InitAnalytics, Area::kAnalytics},
    {"enableAnalytics", EnableAnalytics, Area::kAnalytics},
    {"recordFlatTransaction", RecordFlatTransaction, Area::kAnalytics},
    {"reportTransactions", ReportTransactions, Area::kAnalytics},
    {"startTrackingHeapObjects", StartTrackingHeapObjects, Area::kHeap},
    {"stopTrackingHeapObjects", StopTrackingHeapObjects, Area::kHeap},
    {"takeHeapSnapshot", TakeHeapSnapshot, Area::kNone},
    {"startHeapSampling", StartHeapSampling, Area::kHeapSampling},
    {"getHeapSamples", GetHeapSamples, Area::kHeapSampling},
    {"getHeapSamplesPprof", GetHeapSamplesPprof, Area::kHeapSampling},
    {"stopHeapSampling", StopHeapSampling, Area::kHeapSampling},
    {"stopV8ProfilerPprof", StopV8ProfilerPprof, Area::kProfiler},
    {"startLoopWatchdog", StartLoopWatchdog, Area::kWatchdog},
    {"stopLoopWatchdog", StopLoopWatchdog, Area::kWatchdog},
};

void HandleClosed(uv_handle_t* handle) {
  auto* state = static_cast<ModuleState*>(handle->data);
  if (--state->closing > 0) return;
  void (*torn_down)(void*) = state->torn_down;
  void* arg = state->torn_down_arg;
  delete state;
  torn_down(arg);
}

// Runs when the environment ends, after its last script and before its
// loop closes; the host waits for torn_down, called once every handle's
// close callback has run, so that none is left on the loop.
void Teardown(void* data, void (*torn_down)(void*), void* arg) {
  auto* state = static_cast<ModuleState*>(data);
  state->torn_down = torn_down;
  state->torn_down_arg = arg;
  v8::HandleScope scope(state->isolate);
  state->heap.close();
  state->heap_sampling.close();
  // The watchdog's profiles end before the profiler goes.
  state->closing = state->watchdog.close(state, HandleClosed);
  state->closing += state->gc.close(state, HandleClosed);
  state->closing += state->profiler.close(state, HandleClosed);
  state->closing += state->loop_monitor.close(state, HandleClosed);
}

// The state of the environment whose main context is context, made at the
// environment's first load; a later load in the same environment shares
// it. Null when script is being terminated.
ModuleState* environment_state(v8::Isolate* isolate,
                               v8::Local<v8::Context> context) {
  v8::Local<v8::Private> key = v8::Private::ForApi(
      isolate, v8::String::NewFromUtf8Literal(isolate, "vantarel:state"));
  v8::Local<v8::Object> global = context->Global();
  v8::Local<v8::Value> held;
  if (!global->GetPrivate(context, key).ToLocal(&held)) return nullptr;
  if (held->IsExternal()) {
    return static_cast<ModuleState*>(
        vantarel::compat::external_value(held.As<v8::External>()));
  }
  auto* state = new ModuleState(isolate, node::GetCurrentEventLoop(isolate));
  state->cleanup_hook =
      node::AddEnvironmentCleanupHook(isolate, Teardown, state);
  vantarel::hold_library(isolate, context);
  if (global
          ->SetPrivate(context, key,
                       vantarel::compat::new_external(isolate, state))
          .IsNothing()) {
    return nullptr;
  }
  return state;
}

void Init(v8::Local<v8::Object> exports, v8::Local<v8::Value>,
          v8::Local<v8::Context> context, void*) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  ModuleState* state = environment_state(isolate, context);
  if (state == nullptr) return;
  for (const ExportedFunction& row : kExports) {
    void* part = part_of(state, row.area);
    v8::Local<v8::Value> data;
    if (part != nullptr) data = vantarel::compat::new_external(isolate, part);
    v8::Local<v8::String> name;
    v8::Local<v8::Function> function;
    if (!v8::String::NewFromUtf8(isolate, row.name).ToLocal(&name) ||
        !Nan::GetFunction(Nan::New<v8::FunctionTemplate>(row.function, data))
             .ToLocal(&function)) {
      return;
    }
    // A setter that script put on the way may throw; only a termination
    // stops the installing.
    if (Nan::Set(exports, name, function).IsNothing() &&
        isolate->IsExecutionTerminating()) {
      return;
    }
  }
  Nan::Set(exports, Nan::New("analyticsControl").ToLocalChecked(),
           AnalyticsControl(isolate, &state->analytics));
#ifdef VANTAREL_BENCH_EXPORTS
  Nan::Set(
      exports, Nan::New("analyticsMemory").ToLocalChecked(),
      Nan::GetFunction(Nan::New<v8::FunctionTemplate>(
                           AnalyticsMemory, vantarel::compat::new_external(
                                                isolate, &state->analytics)))
          .ToLocalChecked());
#endif
}

}  // namespace

extern "C" {

// Context-aware: the host calls Init once for every environment that loads
// the module.
static node::node_module _module = {
    NODE_MODULE_VERSION,
    0,
    nullptr,
    __FILE__,
    nullptr,  // no register function for one environment only
    Init,
    "vantarel",
    nullptr,
    nullptr,
};

static void _register_vantarel() __attribute__((constructor));
static void _register_vantarel() { node_module_register(&_module); }

// The host looks for this symbol when the shared object is already loaded
// (its constructor ran for an earlier load, in this thread or another).
NODE_MODULE_EXPORT void NODE_MODULE_INITIALIZER(
    v8::Local<v8::Object> exports, v8::Local<v8::Value> module,
    v8::Local<v8::Context> context) {
  Init(exports, module, context, nullptr);
}
}
