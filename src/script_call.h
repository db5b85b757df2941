// Calling script functions from the module, and reading script values.
#ifndef SRC_SCRIPT_CALL_H_
#define SRC_SCRIPT_CALL_H_

#include <nan.h>
#include <node.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "engine_compat.h"

namespace vantarel {

namespace detail {

inline v8::MaybeLocal<v8::Value> make_callback(v8::Isolate* isolate,
                                               v8::Local<v8::Function> fn,
                                               int argc,
                                               v8::Local<v8::Value>* argv) {
  v8::Local<v8::Object> global = isolate->GetCurrentContext()->Global();
  return node::MakeCallback(isolate, global, fn, argc, argv,
                            node::async_context{0, 0});
}

}  // namespace detail

// Calls fn with the current context's global object as receiver through
// node::MakeCallback, so the host's callback bookkeeping runs. Empty when the
// function threw; its exception is then rethrown to the caller.
inline v8::MaybeLocal<v8::Value> call_script(v8::Local<v8::Function> fn,
                                             int argc,
                                             v8::Local<v8::Value>* argv) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  // The TryCatch tells whether fn threw: with no callback scope open (script
  // reached from another addon's libuv callback through a plain call),
  // node::MakeCallback answers undefined, not empty, for a throw.
  v8::TryCatch try_catch(isolate);
  v8::MaybeLocal<v8::Value> result =
      detail::make_callback(isolate, fn, argc, argv);
  if (!try_catch.HasCaught()) return result;
  // Inside a call from script a termination goes on by itself when the
  // TryCatch ends.
  if (!try_catch.HasTerminated()) try_catch.ReThrow();
  return v8::MaybeLocal<v8::Value>();
}

// Calls fn as call_script does, from the loop, outside any call from
// script: a throw is reported the way the host reports an uncaught
// exception. False when no more script may run on this thread: it is being
// terminated (also when the host ends it for that exception).
inline bool call_script_from_loop(v8::Local<v8::Function> fn, int argc,
                                  v8::Local<v8::Value>* argv) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  v8::TryCatch try_catch(isolate);
  detail::make_callback(isolate, fn, argc, argv);
  if (try_catch.HasTerminated()) return false;
  if (try_catch.HasCaught()) node::FatalException(isolate, try_catch);
  return !isolate->IsExecutionTerminating();
}

// The script's string conversion, as UTF-8 with lone surrogates replaced by
// U+FFFD, cut at the first NUL. False when the conversion throws.
inline bool to_text(v8::Local<v8::Value> value, std::string* out) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  v8::Local<v8::String> str;
  if (!value->ToString(isolate->GetCurrentContext()).ToLocal(&str)) {
    return false;
  }
  std::string text(compat::utf8_length(isolate, str), '\0');
  text.resize(compat::write_utf8(isolate, str, text.data(), text.size()));
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  out->swap(text);
  return true;
}

// ECMAScript ToUint32 of ToNumber. False when ToNumber throws.
inline bool to_count(v8::Local<v8::Value> value, uint32_t* out) {
  double number;
  if (!value->NumberValue(v8::Isolate::GetCurrent()->GetCurrentContext())
           .To(&number)) {
    return false;
  }
  if (!std::isfinite(number)) {
    *out = 0;
    return true;
  }
  double wrapped = std::fmod(std::trunc(number), 4294967296.0);
  if (wrapped < 0) wrapped += 4294967296.0;
  *out = static_cast<uint32_t>(wrapped);
  return true;
}

}  // namespace vantarel

#endif  // SRC_SCRIPT_CALL_H_
