// The state an exported function works on: each thread that loads the module
// has its own, and Init gives each function its thread's part as the
// function's data, so a call finds it without a lookup.
#ifndef SRC_FUNCTION_DATA_H_
#define SRC_FUNCTION_DATA_H_

#include <nan.h>

#include "engine_compat.h"

namespace vantarel {

template <typename State>
State* state_of(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  return static_cast<State*>(
      compat::external_value(info.Data().As<v8::External>()));
}

}  // namespace vantarel

#endif  // SRC_FUNCTION_DATA_H_
