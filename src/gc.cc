#include "gc.h"

#include <uv.h>

#include <cstdint>

#include "script_call.h"

namespace {

// Carries one collection's facts from the engine hook to the event loop.
struct GCWorkRecord {
  uv_work_t request;
  int32_t type;
  int32_t flags;
  uint64_t used_heap_size;
};

Nan::Persistent<v8::Function> callback;

const char* gc_type_name(int32_t type) {
  switch (type) {
    case v8::kGCTypeScavenge:
      return "kGCTypeScavenge";
    case v8::kGCTypeMarkSweepCompact:
      return "kGCTypeMarkSweepCompact";
    case v8::kGCTypeAll:
      return "kGCTypeAll";
    default:
      return "Other";
  }
}

const char* gc_flags_name(int32_t flags) {
  switch (flags) {
    case 0:
      return "kNoGCCallbackFlags";
    case 1:
      return "kGCCallbackFlagCompacted";
    default:
      return "Other";
  }
}

// Executed on a libuv worker thread: the detour only defers delivery to a
// later loop turn, so it must not touch any state.
void Noop(uv_work_t*) {}

void GCEpilogueAsync(uv_work_t* request, int) {
  Nan::HandleScope scope;
  auto* record = static_cast<GCWorkRecord*>(request->data);
  v8::Local<v8::Value> argv[] = {
      Nan::New(gc_type_name(record->type)).ToLocalChecked(),
      Nan::New(gc_flags_name(record->flags)).ToLocalChecked(),
      Nan::New<v8::Number>(static_cast<double>(record->used_heap_size)),
  };
  delete record;
  v8::Local<v8::Function> fn = Nan::New(callback);
  if (!fn.IsEmpty()) vantarel::call_script(fn, 3, argv);
}

// Runs inside the collection: records facts and queues, never calls script.
void GCEpilogue(v8::Isolate*, v8::GCType type, v8::GCCallbackFlags flags) {
  auto* record = new GCWorkRecord{};
  record->request.data = record;
  record->type = type;
  record->flags = flags;
  v8::HeapStatistics heap;
  v8::Isolate::GetCurrent()->GetHeapStatistics(&heap);
  record->used_heap_size = heap.used_heap_size();
  if (uv_queue_work(uv_default_loop(), &record->request, Noop,
                    GCEpilogueAsync) != 0) {
    delete record;
  }
}

}  // namespace

void AfterGC(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() < 1 || !info[0]->IsFunction()) return;
  callback.Reset(info[0].As<v8::Function>());
  // Adding the hook again would make the engine report each collection once
  // per addition, so it is added at the first registration only.
  static bool hooked = false;
  if (!hooked) {
    v8::Isolate::GetCurrent()->AddGCEpilogueCallback(GCEpilogue,
                                                     v8::kGCTypeAll);
    hooked = true;
  }
}
