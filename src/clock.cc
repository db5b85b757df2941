#include "clock.h"

#include <sys/resource.h>
#include <sys/time.h>

namespace {

double microseconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) * 1000000.0 +
         static_cast<double>(tv.tv_usec);
}

}  // namespace

void Time(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  timeval now;
  if (gettimeofday(&now, nullptr) < 0) return;
  info.GetReturnValue().Set(microseconds(now));
}

// Counts every thread of the process, the host's worker pool included.
void CPUTime(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) < 0) return;
  info.GetReturnValue().Set(microseconds(usage.ru_utime) +
                            microseconds(usage.ru_stime));
}
