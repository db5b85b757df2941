// How long the shared object stays loaded. The host closes its handle when
// an environment that loaded the module is freed, and the shared object goes
// with the last handle; but code of the module can run later than that:
// - an engine disposes the external strings of analytics batches, whose
//   resource class lives here, when it disposes its isolate; so each
//   worker's isolate holds a reference, dropped once the host has disposed
//   that isolate;
// - a batch Buffer that script hands to another thread is freed by that
//   thread's engine, maybe long after the thread that made it has ended,
//   and both its deleter and the bookkeeping of its backing store are code
//   of this object; so the first batch Buffer keeps the object for the rest
//   of the process.
// The main thread's hold lasts as long as the process, as the counters that
// the shared object exports must, and so does one that cannot be tied to
// its isolate.
#ifndef SRC_LIBRARY_HOLD_H_
#define SRC_LIBRARY_HOLD_H_

#include <v8.h>

namespace vantarel {

// Takes the hold for the isolate of the environment whose main context this
// is.
void hold_library(v8::Isolate* isolate, v8::Local<v8::Context> context);

// Keeps the shared object loaded for the rest of the process. Cheap after
// the first call.
void pin_library();

}  // namespace vantarel

#endif  // SRC_LIBRARY_HOLD_H_
