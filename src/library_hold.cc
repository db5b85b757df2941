#include "library_hold.h"

#include <dlfcn.h>
#include <node.h>

#include <atomic>

#include "main_environment.h"

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

// The file this shared object was loaded from, or null.
const char* own_file() {
  static const char* const file = [] {
    Dl_info self;
    return dladdr(reinterpret_cast<void*>(&anchor), &self) != 0 ? self.dli_fname
                                                                : nullptr;
  }();
  return file;
}

}  // namespace

void hold_library(v8::Isolate* isolate, v8::Local<v8::Context> context) {
  const char* file = own_file();
  if (file == nullptr) return;
  node::MultiIsolatePlatform* platform =
      is_main_environment(isolate)
          ? nullptr
          : node::GetMultiIsolatePlatform(node::GetCurrentEnvironment(context));
  // The object is loaded: these only count one more reference.
  if (platform == nullptr) {
    // The main environment's counters are exported for the whole process;
    // elsewhere nothing ties the release to the isolate finishing, and an
    // earlier one would crash. Pinned either way.
    pin_library();
    return;
  }
  void* handle = dlopen(file, RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return;
  // dlclose itself is the callback, so that no code of this object runs
  // while the object goes away; the host ignores what it returns.
  platform->AddIsolateFinishedCallback(
      isolate, reinterpret_cast<void (*)(void*)>(&dlclose), handle);
}

void pin_library() {
  static std::atomic<bool> pinned{false};
  if (pinned.exchange(true, std::memory_order_relaxed)) return;
  const char* file = own_file();
  if (file != nullptr) dlopen(file, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace vantarel
