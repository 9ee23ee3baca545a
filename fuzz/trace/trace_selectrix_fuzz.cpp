// libFuzzer target for the selectrix line-traffic decoder (see TraceFuzz.h).
#include "fuzz/trace/TraceFuzz.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string broken = trace_fuzz::OneInput("selectrix", data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "selectrix decoder: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
