// An exported row file brought in with import.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kvfuzz::World world({}, {});
    const std::string path = kvfuzz::writeInput("row.export", kvfuzz::asText(data, size));
    (void)world.rows->ImportRow(path);
    for (const auto& r : world.rows->Snapshot()) world.rows->DeleteRow(r->UniqueNr);
    return 0;
}
