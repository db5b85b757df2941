// A pprof profile handed to script as a Buffer, encoded straight into the
// Buffer's memory.
#ifndef SRC_PPROF_BUFFER_H_
#define SRC_PPROF_BUFFER_H_

#include <node_buffer.h>

#include <chrono>
#include <cstdint>

#include "pprof_profile.h"

namespace vantarel {

// Nanoseconds of the wall clock since the epoch, as profiles are dated.
inline int64_t wall_clock_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The engine names anonymous functions with an empty text, which pprof
// readers show as "<unknown>"; they are shown as DevTools shows them.
inline const char* pprof_function_name(const char* name) {
  return name == nullptr || name[0] == '\0' ? "(anonymous)" : name;
}

// Empty, with an exception pending, when the engine refused the memory.
inline v8::MaybeLocal<v8::Object> pprof_buffer(v8::Isolate* isolate,
                                               const PprofProfile& profile) {
  v8::Local<v8::Object> buffer;
  if (!node::Buffer::New(isolate, profile.encoded_size()).ToLocal(&buffer)) {
    return {};
  }
  profile.write(node::Buffer::Data(buffer));
  return buffer;
}

}  // namespace vantarel

#endif  // SRC_PPROF_BUFFER_H_
