// How long the shared object stays loaded. The host closes its handle when
// an environment that loaded the module is freed, and the shared object goes
// with the last handle; but an engine calls into the module later than that:
// it disposes the external strings of analytics batches, whose resource
// class lives here, when it disposes its isolate. So each worker's isolate
// holds a reference, dropped once the host has disposed that isolate; the
// main thread's lasts as long as the process, as the counters that the
// shared object exports must, and so does one that cannot be tied to its
// isolate.
#ifndef SRC_LIBRARY_HOLD_H_
#define SRC_LIBRARY_HOLD_H_

#include <v8.h>

namespace vantarel {

// Takes the hold for the isolate of the environment whose main context this
// is.
void hold_library(v8::Isolate* isolate, v8::Local<v8::Context> context);

}  // namespace vantarel

#endif  // SRC_LIBRARY_HOLD_H_
