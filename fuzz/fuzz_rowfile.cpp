// The row definitions file "Kelvora.Row": loaded, then saved and loaded again.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kvfuzz::World world({}, {});
    const std::string path = kvfuzz::writeInput("Kelvora.Row", kvfuzz::asText(data, size));
    for (const auto& r : world.rows->Snapshot()) world.rows->DeleteRow(r->UniqueNr);
    world.rows->LoadRowFile(path);
    const std::string saved = kvfuzz::scratch() + "/Saved.Row";
    if (world.rows->SaveRowFile(saved, false)) {
        for (const auto& r : world.rows->Snapshot()) world.rows->DeleteRow(r->UniqueNr);
        world.rows->LoadRowFile(saved);
    }
    return 0;
}
