// Which environment is the host's main one: its loop counters are those the
// shared object exports, and it keeps the shared object loaded for the rest
// of the process.
#ifndef SRC_MAIN_ENVIRONMENT_H_
#define SRC_MAIN_ENVIRONMENT_H_

#include <node.h>
#include <uv.h>

namespace vantarel {

// node.h (Node 20 to 26) offers no public test for the host's main
// environment, so its loop tells: the node binary runs the main environment
// on the default loop and each worker on a loop of its own. An embedder
// whose main environment runs on another loop is taken for a worker: its
// counters are its own, and the hold waits for its isolate.
inline bool is_main_environment(v8::Isolate* isolate) {
  return node::GetCurrentEventLoop(isolate) == uv_default_loop();
}

}  // namespace vantarel

#endif  // SRC_MAIN_ENVIRONMENT_H_
