#include "heap.h"

#include <v8-profiler.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "census.h"
#include "engine_compat.h"
#include "function_data.h"
#include "name_tally.h"
#include "script_call.h"

namespace {

struct SnapshotDeleter {
  void operator()(const v8::HeapSnapshot* snapshot) const {
    const_cast<v8::HeapSnapshot*>(snapshot)->Delete();
  }
};
using SnapshotOwner = std::unique_ptr<const v8::HeapSnapshot, SnapshotDeleter>;

SnapshotOwner take_snapshot(v8::Isolate* isolate) {
  return SnapshotOwner(
      isolate->GetHeapProfiler()->TakeHeapSnapshot(nullptr, nullptr));
}

// Names of the heap snapshot are internalized strings: one object per text.
using NameTally = vantarel::NameTally<v8::Local<v8::String>>;

// Appends the UTF-8 form of a node's name as the requested names are
// converted, in one pass: at most three bytes per UTF-16 unit.
void append_name(v8::Isolate* isolate, v8::Local<v8::String> name,
                 std::string* key) {
  const size_t start = key->size();
  key->resize(start + 3 * static_cast<size_t>(name->Length()));
  const size_t written = vantarel::compat::write_utf8(
      isolate, name, &(*key)[start], key->size() - start);
  const char* text = key->data() + start;
  const void* nul = std::memchr(text, '\0', written);
  key->resize(start + (nul == nullptr ? written
                                      : static_cast<const char*>(nul) - text));
}

// Nodes counted under one handle scope: bounds the handles held for the
// names of a tally.
constexpr int kNodesPerTally = 1 << 16;

// Moves the tally's counts into the table under the names' keys.
void flush_tally(v8::Isolate* isolate, NameTally* tally,
                 vantarel::SummaryTable* table) {
  std::string key;
  for (const NameTally::Entry& entry : tally->entries()) {
    const char mark = vantarel::census_mark(entry.type);
    key.clear();
    if (mark != '\0') key += mark;
    append_name(isolate, entry.name, &key);
    if (mark != '\0') key += mark;
    vantarel::count_nodes(table, entry.type, key, entry.size, entry.count);
  }
  tally->clear();
}

void count_snapshot(v8::Isolate* isolate, const v8::HeapSnapshot& snapshot,
                    vantarel::SummaryTable* table) {
  const int nodes = snapshot.GetNodesCount();
  NameTally tally;
  for (int first = 0; first < nodes; first += kNodesPerTally) {
    v8::HandleScope scope(isolate);
    const int end =
        nodes - first > kNodesPerTally ? first + kNodesPerTally : nodes;
    for (int i = first; i < end; ++i) {
      const v8::HeapGraphNode* node = snapshot.GetNode(i);
      const int32_t type = node->GetType();
      if (!vantarel::counted_type(type)) continue;
      v8::Local<v8::String> name = node->GetName();
      tally.add(name, static_cast<uint32_t>(name->GetIdentityHash()), type,
                node->GetShallowSize());
    }
    flush_tally(isolate, &tally, table);
  }
}

// Takes the records of the keys that the array names. An element that
// cannot be read or turned into text is skipped, and its exception dropped.
// False when script execution is being terminated.
bool take_requested(v8::Isolate* isolate, v8::Local<v8::Array> names,
                    vantarel::SummaryTable* table,
                    std::vector<vantarel::HeapInfo>* records) {
  v8::Local<v8::Context> context = isolate->GetCurrentContext();
  uint32_t length;
  {
    v8::TryCatch try_catch(isolate);
    v8::Local<v8::Value> value;
    if (!names->Get(context, v8::String::NewFromUtf8Literal(isolate, "length"))
             .ToLocal(&value) ||
        !vantarel::to_count(value, &length)) {
      return !isolate->IsExecutionTerminating();
    }
  }
  std::string key;
  for (uint32_t i = 0; i < length; ++i) {
    v8::HandleScope scope(isolate);
    v8::TryCatch try_catch(isolate);
    v8::Local<v8::Value> element;
    if (names->Get(context, i).ToLocal(&element) &&
        vantarel::to_text(element, &key)) {
      vantarel::take_requested(table, key, records);
    } else if (isolate->IsExecutionTerminating()) {
      return false;
    }
  }
  return true;
}

void census(v8::Isolate* isolate, v8::Local<v8::Value> names,
            v8::Local<v8::Function> callback) {
  vantarel::SummaryTable table;
  {
    SnapshotOwner snapshot = take_snapshot(isolate);
    if (!snapshot) return;
    count_snapshot(isolate, *snapshot, &table);
  }
  std::vector<vantarel::HeapInfo> records;
  if (names->IsArray() &&
      !take_requested(isolate, names.As<v8::Array>(), &table, &records)) {
    return;
  }
  vantarel::append_ranked(&table, &records);
  const std::string text = vantarel::census_text(records);
  v8::Local<v8::String> result;
  if (!v8::String::NewFromUtf8(isolate, text.data(), v8::NewStringType::kNormal,
                               static_cast<int>(text.size()))
           .ToLocal(&result)) {
    return;
  }
  v8::Local<v8::Value> argv[] = {v8::Null(isolate), result};
  // An exception of the callback stays pending for the caller.
  vantarel::call_script(callback, 2, argv);
}

constexpr int kChunkSize = 16384;

// Hands each piece of the serialised snapshot to a script function while it
// answers true.
class SnapshotOutputStream : public v8::OutputStream {
 public:
  SnapshotOutputStream(v8::Isolate* isolate, v8::Local<v8::Function> callback)
      : isolate_(isolate), callback_(callback) {}

  void EndOfStream() override {}
  int GetChunkSize() override { return kChunkSize; }

  WriteResult WriteAsciiChunk(char* data, int size) override {
    v8::HandleScope scope(isolate_);
    v8::Local<v8::String> piece;
    if (!v8::String::NewFromUtf8(isolate_, data, v8::NewStringType::kNormal,
                                 size)
             .ToLocal(&piece)) {
      return kAbort;
    }
    v8::Local<v8::Context> context = isolate_->GetCurrentContext();
    v8::Local<v8::Value> argv[] = {piece};
    v8::Local<v8::Value> answer;
    // A throw leaves its exception pending: stop before calling again.
    if (!callback_->Call(context, context->Global(), 1, argv)
             .ToLocal(&answer)) {
      return kAbort;
    }
    return answer->BooleanValue(isolate_) ? kContinue : kAbort;
  }

 private:
  v8::Isolate* isolate_;
  v8::Local<v8::Function> callback_;
};

}  // namespace

void GetV8HeapSnapshot(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() < 2 || !info[1]->IsFunction()) return;
  try {
    census(info.GetIsolate(), info[0], info[1].As<v8::Function>());
  } catch (const std::exception&) {
    // Out of memory for the table: no census, and nothing called back.
  }
}

void IsObjectTrackingSupported(
    const Nan::FunctionCallbackInfo<v8::Value>& info) {
  info.GetReturnValue().Set(true);
}

void HeapTracking::start() {
  // Without allocation stack traces: while it records them, the engine's
  // allocation tracker walks the stack on every allocation, also during a
  // deoptimization that is still materializing an inlined closure, and
  // reads a function that does not exist yet (a segmentation fault on Node
  // 20, 22 and 26; Node's own inspector crashes the same way). Ordinary
  // code reaches that, so the traces would put the host at risk.
  isolate_->GetHeapProfiler()->StartTrackingHeapObjects(false);
  started_ = true;
}

void HeapTracking::stop() {
  isolate_->GetHeapProfiler()->StopTrackingHeapObjects();
  started_ = false;
}

void HeapTracking::close() {
  if (started_) stop();
}

void StartTrackingHeapObjects(
    const Nan::FunctionCallbackInfo<v8::Value>& info) {
  vantarel::state_of<HeapTracking>(info)->start();
}

void StopTrackingHeapObjects(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  vantarel::state_of<HeapTracking>(info)->stop();
}

void TakeHeapSnapshot(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::Isolate* isolate = info.GetIsolate();
  // Taken whatever the argument: taking one also runs a full collection.
  SnapshotOwner snapshot = take_snapshot(isolate);
  if (!snapshot || info.Length() < 1 || !info[0]->IsFunction()) return;
  SnapshotOutputStream stream(isolate, info[0].As<v8::Function>());
  snapshot->Serialize(&stream, v8::HeapSnapshot::kJSON);
}
