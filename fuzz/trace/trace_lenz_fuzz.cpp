// libFuzzer target for the lenz line-traffic decoder (see TraceFuzz.h).
#include "fuzz/trace/TraceFuzz.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string broken = trace_fuzz::OneInput("lenz", data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "lenz decoder: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
