/* Forced into libdeflate's decompressor for the 32-bit build: no BMI2
 * variant of the inflate loop beside the plain one. Measured on a CPU that
 * has BMI2, the 32-bit BMI2 loop inflates no faster (1.6 to 1.8 GB/s
 * against 1.85 to 1.87), and it costs the stub 3.3 KB. */
#include "x86/cpu_features.h"
#undef HAVE_BMI2_INTRIN
#define HAVE_BMI2_INTRIN 0
