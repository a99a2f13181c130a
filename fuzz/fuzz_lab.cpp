// The virtual lab's description (kelvora-sim --config, kelvora --simulate).
#include "fuzz_support.h"
#include "sim/lab.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto lab = kv::sim::Lab::fromText(kvfuzz::asText(data, size), &error);
    if (lab) (void)lab->ports().size();
    return 0;
}
