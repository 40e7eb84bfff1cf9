#include <sys/resource.h>

#include "host_cpu.h"

namespace pellan::bench {
namespace {

double Seconds(int who) {
    rusage usage{};
    if (getrusage(who, &usage) != 0) {
        return 0.0;
    }
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

double ThreadCpuSeconds() {
    return Seconds(RUSAGE_THREAD);
}

double ProcessCpuSeconds() {
    return Seconds(RUSAGE_SELF);
}

}  // namespace pellan::bench
