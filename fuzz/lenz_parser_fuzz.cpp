// libFuzzer target for the Lenz receive parser (see LenzParserFuzz.h).
#include "fuzz/LenzParserFuzz.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!lenz_fuzz::EenInvoer(data, size)) std::abort();
    return 0;
}
