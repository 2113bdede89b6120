// The benchmark's payload: many records of three kinds, each a few
// megabytes: text-like (compresses well), incompressible, and long zero
// runs. The same for the Windows and the host benchmark.
#pragma once

#include "tools/mksetup/installer.h"

#include <string>
#include <vector>

// Files of about totalBytes in all, from a fixed seed.
std::vector<mksetup::InputFile> BenchFiles(uint64_t totalBytes);

// Seconds on a monotonic clock.
double Now();
