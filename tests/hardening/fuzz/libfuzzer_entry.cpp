// libFuzzer's entry point for one target, chosen at build time with TARVIK_FUZZ_ENTRY.
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return TARVIK_FUZZ_ENTRY(data, size);
}
