#include "gc.h"

#include <algorithm>
#include <exception>

#include "function_data.h"
#include "script_call.h"

namespace {

// Collections that may wait for one loop turn before a hook allocates.
constexpr size_t kReservedCollections = 16;

// Notifications delivered in one turn of the loop at most: a long
// synchronous stretch can queue hundreds of collections, and each script
// call is followed by the host's tick processing.
constexpr size_t kNotificationsPerTurn = 64;

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

}  // namespace

// Delivery goes through an async handle of the isolate's own loop, not
// through the host's thread pool: a pool request still queued when a
// worker's loop closes would make the close fail, and its completion would
// reach a dead environment. The handle closes with the environment, and
// what it had not delivered is dropped.
GCNotifier::GCNotifier(v8::Isolate* isolate, uv_loop_t* loop)
    : isolate_(isolate) {
  pending_.reserve(kReservedCollections);
  delivering_.reserve(kReservedCollections);
  uv_async_init(loop, &async_, GCEpilogueAsync);
  async_.data = this;
  // Referenced only while collections wait, so that, as before, a pending
  // notification keeps the loop alive and nothing else does.
  uv_unref(reinterpret_cast<uv_handle_t*>(&async_));
}

void GCNotifier::notify(v8::Local<v8::Function> fn) {
  callback_.Reset(isolate_, fn);
  // Hooks added again would make the engine report each collection once
  // per addition.
  if (hooked_) return;
  isolate_->AddGCPrologueCallback(GCPrologue, this, v8::kGCTypeAll);
  isolate_->AddGCEpilogueCallback(GCEpilogue, this, v8::kGCTypeAll);
  hooked_ = true;
}

int GCNotifier::close(void* owner, uv_close_cb on_closed) {
  if (hooked_) {
    isolate_->RemoveGCPrologueCallback(GCPrologue, this);
    isolate_->RemoveGCEpilogueCallback(GCEpilogue, this);
    hooked_ = false;
  }
  pending_.clear();
  delivering_.clear();
  delivered_ = 0;
  callback_.Reset();
  async_.data = owner;
  uv_close(reinterpret_cast<uv_handle_t*>(&async_), on_closed);
  return 1;
}

// The engine calls both hooks on the isolate's own thread inside the
// collection. They call no script and are O(1); the epilogue allocates only
// when more collections wait than ever did before (amortised growth).
void GCNotifier::GCPrologue(v8::Isolate*, v8::GCType, v8::GCCallbackFlags,
                            void* data) {
  static_cast<GCNotifier*>(data)->prologue_ns_ = uv_hrtime();
}

void GCNotifier::GCEpilogue(v8::Isolate*, v8::GCType type,
                            v8::GCCallbackFlags flags, void* data) {
  auto* self = static_cast<GCNotifier*>(data);
  const uint64_t now = uv_hrtime();
  // No prologue timed: the hooks were added during this collection.
  const uint64_t pause_ns = self->prologue_ns_ != 0 && now > self->prologue_ns_
                                ? now - self->prologue_ns_
                                : 0;
  self->prologue_ns_ = 0;
  v8::HeapStatistics heap;
  self->isolate_->GetHeapStatistics(&heap);
  try {
    self->pending_.push_back(
        Collection{type, flags, heap.used_heap_size(), pause_ns / 1000});
  } catch (const std::exception&) {
    // Out of memory: this collection goes unreported.
    return;
  }
  if (self->pending_.size() == 1) {
    uv_ref(reinterpret_cast<uv_handle_t*>(&self->async_));
    uv_async_send(&self->async_);
  }
}

// Calls the script function for one collection. False when nothing more
// may be delivered.
bool GCNotifier::deliver(const Collection& collection) {
  v8::HandleScope scope(isolate_);
  v8::Local<v8::Function> fn = callback_.Get(isolate_);
  v8::Local<v8::String> type;
  v8::Local<v8::String> flags;
  if (fn.IsEmpty() || !Nan::New(gc_type_name(collection.type)).ToLocal(&type) ||
      !Nan::New(gc_flags_name(collection.flags)).ToLocal(&flags)) {
    return false;
  }
  v8::Local<v8::Value> argv[] = {
      type,
      flags,
      Nan::New<v8::Number>(static_cast<double>(collection.used_heap_size)),
      Nan::New<v8::Number>(static_cast<double>(collection.pause_us)),
  };
  return vantarel::call_script_from_loop(fn, 4, argv);
}

// On the loop: one script call per collection, in order; once a turn has
// had its share, the rest waits for the next turn.
void GCNotifier::GCEpilogueAsync(uv_async_t* handle) {
  auto* self = static_cast<GCNotifier*>(handle->data);
  if (self->delivered_ == self->delivering_.size()) {
    // Collections during the calls below wait for a later turn.
    self->delivering_.clear();
    self->delivered_ = 0;
    self->delivering_.swap(self->pending_);
  }
  const size_t end = std::min(self->delivering_.size(),
                              self->delivered_ + kNotificationsPerTurn);
  while (self->delivered_ < end) {
    // A terminated thread runs no more script: the rest is dropped.
    if (self->isolate_->IsExecutionTerminating() ||
        !self->deliver(self->delivering_[self->delivered_++])) {
      self->delivered_ = self->delivering_.size();
      break;
    }
  }
  if (self->delivered_ < self->delivering_.size() || !self->pending_.empty()) {
    uv_async_send(handle);
  } else {
    uv_unref(reinterpret_cast<uv_handle_t*>(handle));
  }
}

void AfterGC(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() < 1 || !info[0]->IsFunction()) return;
  vantarel::state_of<GCNotifier>(info)->notify(info[0].As<v8::Function>());
}
