// This image's record of its payload's digest (see FindImageDigest in
// payload_format.h), made with none recorded; mksetup fills it in. In a
// file of its own: the code that reads it cannot see this value and take
// it for the one the running image holds.
#include "extract/payload_format.h"

extern "C" const uint8_t g_imageDigest[kImageDigestSize] __attribute__((section(".rdata$digest"), used)) = {
    'K', 'V', 'D', 'I', 'G', 'E', 'S', 'T'};
