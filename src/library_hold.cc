#include "library_hold.h"

#include <dlfcn.h>
#include <node.h>
#include <uv.h>

// The official Node binaries need glibc 2.28, whose libdl has these functions
// at their first version only; glibc 2.34 moved them into libc under a newer
// default version, which the linker would otherwise bind to.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver dladdr,dladdr@GLIBC_2.2.5");
__asm__(".symver dlopen,dlopen@GLIBC_2.2.5");
__asm__(".symver dlclose,dlclose@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver dladdr,dladdr@GLIBC_2.17");
__asm__(".symver dlopen,dlopen@GLIBC_2.17");
__asm__(".symver dlclose,dlclose@GLIBC_2.17");
#endif

namespace vantarel {

namespace {

// A function of this shared object, to find the object by.
void anchor() {}

}  // namespace

void hold_library(v8::Isolate* isolate, v8::Local<v8::Context> context) {
  Dl_info self;
  if (dladdr(reinterpret_cast<void*>(&anchor), &self) == 0 ||
      self.dli_fname == nullptr) {
    return;
  }
  const bool main_thread =
      node::GetCurrentEventLoop(isolate) == uv_default_loop();
  // The object is loaded: this only counts one more reference.
  void* handle = dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD |
                                            (main_thread ? RTLD_NODELETE : 0));
  if (handle == nullptr || main_thread) return;
  node::MultiIsolatePlatform* platform =
      node::GetMultiIsolatePlatform(node::GetCurrentEnvironment(context));
  if (platform == nullptr) {
    dlclose(handle);
    return;
  }
  // dlclose itself is the callback, so that no code of this object runs
  // while the object goes away; the host ignores what it returns.
  platform->AddIsolateFinishedCallback(
      isolate, reinterpret_cast<void (*)(void*)>(&dlclose), handle);
}

}  // namespace vantarel
