// Module entry: registers with the host and installs the exported functions.
#include <nan.h>
#include <node.h>
#include <uv.h>

#include "analytics.h"
#include "clock.h"
#include "cpu_profile.h"
#include "eventloop.h"
#include "gc.h"
#include "heap.h"

namespace {

using ModuleFunction = void (*)(const Nan::FunctionCallbackInfo<v8::Value>&);

struct ExportedFunction {
  const char* name;
  ModuleFunction function;
};

// Installed in this order. The package entry makes recordTransaction of
// recordFlatTransaction and a script reader.
constexpr ExportedFunction kExports[] = {
    {"time", Time},
    {"cpuTime", CPUTime},
    {"afterGC", AfterGC},
    {"startV8Profiler", StartV8Profiler},
    {"stopV8Profiler", StopV8Profiler},
    {"getEventLoopInfo", GetEventLoopInfo},
    {"resetEventLoopInfo", ResetEventLoopInfo},
    {"getV8HeapSnapshot", GetV8HeapSnapshot},
    {"isObjectTrackingSupported", IsObjectTrackingSupported},
    {"initAnalytics", InitAnalytics},
    {"enableAnalytics", EnableAnalytics},
    {"recordFlatTransaction", RecordFlatTransaction},
    {"reportTransactions", ReportTransactions},
    {"startTrackingHeapObjects", StartTrackingHeapObjects},
    {"stopTrackingHeapObjects", StopTrackingHeapObjects},
    {"takeHeapSnapshot", TakeHeapSnapshot},
};

}  // namespace

// The hooks and process-wide state belong to the default loop's thread;
// installing them from a worker would race with the main thread's loop.
static void Init(v8::Local<v8::Object> exports) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  if (node::GetCurrentEventLoop(isolate) != uv_default_loop()) {
    Nan::ThrowError("vantarel works on the main thread only");
    return;
  }
  for (const ExportedFunction& row : kExports) {
    Nan::Set(exports, Nan::New(row.name).ToLocalChecked(),
             Nan::GetFunction(Nan::New<v8::FunctionTemplate>(row.function))
                 .ToLocalChecked());
  }
  Nan::Set(exports, Nan::New("analyticsControl").ToLocalChecked(),
           AnalyticsControl(isolate));
  InitEventLoopMonitoring();
}

extern "C" {

static node::node_module _module = {
    NODE_MODULE_VERSION,
    0,
    nullptr,
    __FILE__,
    reinterpret_cast<node::addon_register_func>(Init),
    nullptr,
    "vantarel",
    nullptr,
    nullptr,
};

static void _register_vantarel() __attribute__((constructor));
static void _register_vantarel() { node_module_register(&_module); }

// The host looks for this symbol when the shared object is already loaded
// (its constructor ran for an earlier load, for example in a worker).
NODE_MODULE_EXPORT void NODE_MODULE_INITIALIZER(v8::Local<v8::Object> exports,
                                                v8::Local<v8::Value>,
                                                v8::Local<v8::Context>) {
  Init(exports);
}
}
