// Notifications to a script function after every garbage collection of the
// calling thread's engine.
#ifndef SRC_GC_H_
#define SRC_GC_H_

#include <nan.h>
#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// The collection hooks of one isolate and the delivery of what they record
// on that isolate's loop.
class GCNotifier {
 public:
  GCNotifier(v8::Isolate* isolate, uv_loop_t* loop);
  GCNotifier(const GCNotifier&) = delete;
  GCNotifier& operator=(const GCNotifier&) = delete;

  // Notifies fn from now on; the hooks are added at the first call.
  void notify(v8::Local<v8::Function> fn);

  // Removes the hooks, drops what waits for delivery and closes the
  // delivery handle, handed to on_closed with its data set to owner.
  // Returns the number of handles closed.
  int close(void* owner, uv_close_cb on_closed);

 private:
  // One collection's facts, from the hooks to the loop.
  struct Collection {
    int32_t type;
    int32_t flags;
    uint64_t used_heap_size;
    uint64_t pause_us;
  };

  static void GCPrologue(v8::Isolate* isolate, v8::GCType type,
                         v8::GCCallbackFlags flags, void* data);
  static void GCEpilogue(v8::Isolate* isolate, v8::GCType type,
                         v8::GCCallbackFlags flags, void* data);
  static void GCEpilogueAsync(uv_async_t* handle);
  bool deliver(const Collection& collection);

  v8::Isolate* isolate_;
  v8::Global<v8::Function> callback_;
  bool hooked_ = false;
  uint64_t prologue_ns_ = 0;
  // Collections waiting for the loop, oldest first, and those being
  // delivered, of which the first delivered_ are done; the two swap once
  // delivering_ is done, so their capacity is kept.
  std::vector<Collection> pending_;
  std::vector<Collection> delivering_;
  size_t delivered_ = 0;
  uv_async_t async_;
};

void AfterGC(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_GC_H_
