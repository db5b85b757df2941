// Two symbols that the headers of GCC 11 and later make every C++ object
// refer to, although the runtime libraries of older systems lack them. Both
// are defined here with hidden visibility, so the addon binds to its own
// definitions and needs no libc or libstdc++ newer than the official Node
// binaries do (GLIBC_2.28, GLIBCXX_3.4.21). libstdc++ stays a shared library:
// node already loads it, and a second, static copy would bring symbols of an
// even newer glibc along.
#include <new>

#if __has_include(<sys/single_threaded.h>)
// Reference counts in libstdc++'s headers skip their atomic operations while
// this glibc 2.32 flag says the process has one thread. A Node process always
// runs the engine's worker threads, so the flag would read zero there anyway.
extern "C" __attribute__((visibility("hidden"))) char __libc_single_threaded;
char __libc_single_threaded = 0;
#endif

#if defined(__GLIBCXX__) && defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE >= 11
namespace std {
// std::allocator throws through this when asked for more elements than fit
// in memory; libstdc++ itself has it only since GLIBCXX_3.4.29.
__attribute__((visibility("hidden"), noreturn)) void
__throw_bad_array_new_length() {
  throw bad_array_new_length();
}
}  // namespace std
#endif
