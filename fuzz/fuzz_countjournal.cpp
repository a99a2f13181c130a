// The count journal "CellCounts.Txt", restored after a crash.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kvfuzz::World world({}, {});
    kvfuzz::writeInput("CellCounts.Txt", kvfuzz::asText(data, size));
    (void)world.acq->journal.restore([](int) { return kv::TDateTime(0); });
    return 0;
}
