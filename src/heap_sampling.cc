#include "heap_sampling.h"

#include <v8-profiler.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "engine_compat.h"
#include "function_data.h"
#include "options.h"
#include "pprof_buffer.h"
#include "pprof_profile.h"
#include "pprof_tree.h"
#include "profile_walk.h"
#include "script_call.h"

using AllocationNode = v8::AllocationProfile::Node;

namespace vantarel {

template <>
struct ProfileTree<AllocationNode> {
  static int ChildCount(const AllocationNode* node) {
    return static_cast<int>(node->children.size());
  }
  static const AllocationNode* Child(const AllocationNode* node, int i) {
    return node->children[i];
  }
};

}  // namespace vantarel

namespace {

// What continuous profilers sample at: a sample every 512 KiB allocated
// on average, and deep enough stacks for a framework's call chains.
constexpr int64_t kDefaultIntervalBytes = 512 * 1024;
constexpr int64_t kDefaultStackDepth = 64;

// The profile is the engine's to make and the caller's to delete.
struct ProfileDeleter {
  void operator()(v8::AllocationProfile* profile) const { delete profile; }
};
using ProfileOwner = std::unique_ptr<v8::AllocationProfile, ProfileDeleter>;

// The engine's estimate, for the whole heap, of what a node's own
// allocations hold: it scales each sampled size by how likely a sample of
// that size was.
struct Held {
  double bytes = 0;
  double count = 0;
};

Held held_by(const AllocationNode* node) {
  Held held;
  for (const v8::AllocationProfile::Allocation& allocation :
       node->allocations) {
    held.bytes += static_cast<double>(allocation.size) * allocation.count;
    held.count += allocation.count;
  }
  return held;
}

v8::Local<v8::Value> text_or_empty(v8::Isolate* isolate,
                                   v8::Local<v8::String> text) {
  if (text.IsEmpty()) return v8::String::Empty(isolate);
  return text;
}

void walk(v8::Isolate* isolate, const v8::AllocationProfile::Node* root,
          v8::Local<v8::Function> filter, v8::Local<v8::Function> visitor) {
  auto screen = [&](const AllocationNode* node) {
    v8::HandleScope scope(isolate);
    v8::Local<v8::Value> argv[] = {
        v8::Integer::New(isolate, static_cast<int32_t>(node->children.size())),
        v8::Number::New(isolate, held_by(node).bytes),
        text_or_empty(isolate, node->name),
        text_or_empty(isolate, node->script_name),
        v8::Integer::New(isolate, node->line_number),
    };
    v8::Local<v8::Value> result;
    if (!vantarel::call_script(filter, 5, argv).ToLocal(&result)) {
      return vantarel::Screen::kStop;
    }
    return result->BooleanValue(isolate) ? vantarel::Screen::kDissolve
                                         : vantarel::Screen::kRetain;
  };
  auto visit = [&](const AllocationNode* node, int32_t retained) {
    v8::HandleScope scope(isolate);
    const Held held = held_by(node);
    v8::Local<v8::Value> argv[] = {
        v8::Integer::New(isolate, retained),
        v8::Number::New(isolate, held.bytes),
        text_or_empty(isolate, node->name),
        text_or_empty(isolate, node->script_name),
        v8::Integer::New(isolate, node->line_number),
        v8::Number::New(isolate, held.count),
    };
    return !vantarel::call_script(visitor, 6, argv).IsEmpty();
  };
  // A throwing callback has already ended the walk; its exception stays
  // pending for the caller.
  vantarel::walk_profile(root, screen, visit);
}

// The UTF-8 form of text, replacing what out held.
void utf8(v8::Isolate* isolate, v8::Local<v8::String> text, std::string* out) {
  if (text.IsEmpty()) {
    out->clear();
    return;
  }
  out->resize(3 * static_cast<size_t>(text->Length()));
  out->resize(
      vantarel::compat::write_utf8(isolate, text, out->data(), out->size()));
}

// One sample per allocation site that holds memory, its stack leaf first.
void add_samples(v8::Isolate* isolate, const AllocationNode* root,
                 vantarel::PprofProfile* profile) {
  std::string name;
  std::string file;
  auto location = [&](const AllocationNode* node) {
    utf8(isolate, node->name, &name);
    if (name.empty()) name = vantarel::pprof_function_name("");
    utf8(isolate, node->script_name, &file);
    return profile->location(profile->function(name, file, node->line_number),
                             node->line_number);
  };
  auto values = [](const AllocationNode* node, int64_t* out) {
    const Held held = held_by(node);
    out[0] = static_cast<int64_t>(held.count);
    out[1] = static_cast<int64_t>(held.bytes);
    return !node->allocations.empty();
  };
  vantarel::add_tree_samples(profile, root, 2, location, values);
}

}  // namespace

void HeapSampling::start(uint64_t interval_bytes, int stack_depth) {
  v8::HeapProfiler* profiler = isolate_->GetHeapProfiler();
  if (running_) profiler->StopSamplingHeapProfiler();
  running_ = profiler->StartSamplingHeapProfiler(interval_bytes, stack_depth);
  interval_bytes_ = interval_bytes;
}

void HeapSampling::stop() {
  if (!running_) return;
  isolate_->GetHeapProfiler()->StopSamplingHeapProfiler();
  running_ = false;
}

void StartHeapSampling(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  int64_t interval = kDefaultIntervalBytes;
  int64_t depth = kDefaultStackDepth;
  vantarel::Options options(info.GetIsolate(), info[0], "startHeapSampling");
  if (!options.integer("samplingInterval", 1, 9007199254740991.0,
                       "a positive integer of bytes", &interval) ||
      !options.integer("stackDepth", 1, 2147483647.0,
                       "a positive integer of at most 2147483647 frames",
                       &depth)) {
    return;
  }
  HeapSampling* sampling = vantarel::state_of<HeapSampling>(info);
  sampling->start(static_cast<uint64_t>(interval), static_cast<int>(depth));
  if (!sampling->running()) {
    Nan::ThrowError(
        "The engine's sampling heap profiler is in use by another client "
        "(such as the inspector)");
  }
}

void StopHeapSampling(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  vantarel::state_of<HeapSampling>(info)->stop();
}

void GetHeapSamples(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::Isolate* isolate = info.GetIsolate();
  if (!vantarel::state_of<HeapSampling>(info)->running()) return;
  if (info.Length() < 2 || !info[0]->IsFunction() || !info[1]->IsFunction()) {
    return;
  }
  ProfileOwner profile(isolate->GetHeapProfiler()->GetAllocationProfile());
  if (!profile) return;
  try {
    walk(isolate, profile->GetRootNode(), info[0].As<v8::Function>(),
         info[1].As<v8::Function>());
  } catch (const std::exception&) {
    // Out of memory for the queue: the walk ends, the profile is deleted.
  }
}

void GetHeapSamplesPprof(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::Isolate* isolate = info.GetIsolate();
  HeapSampling* sampling = vantarel::state_of<HeapSampling>(info);
  if (!sampling->running()) return;
  ProfileOwner profile(isolate->GetHeapProfiler()->GetAllocationProfile());
  if (!profile) return;
  try {
    vantarel::PprofProfile pprof(
        {{"objects", "count"}, {"space", "bytes"}}, {"space", "bytes"},
        static_cast<int64_t>(sampling->interval_bytes()));
    pprof.set_time_nanos(vantarel::wall_clock_ns());
    add_samples(isolate, profile->GetRootNode(), &pprof);
    v8::Local<v8::Object> buffer;
    if (vantarel::pprof_buffer(isolate, pprof).ToLocal(&buffer)) {
      info.GetReturnValue().Set(buffer);
    }
  } catch (const std::exception&) {
    Nan::ThrowError("out of memory while encoding the heap profile");
  }
}
