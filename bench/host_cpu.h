#pragma once

namespace pellan::bench {

// CPU seconds (user + system) used so far by the calling thread, and by the whole process.
double ThreadCpuSeconds();
double ProcessCpuSeconds();

}  // namespace pellan::bench
