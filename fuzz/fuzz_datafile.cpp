// A row's data file "KLVdata.1" reloaded at start-up (repair of a cut last line, order
// check and rewrite included), then one more value appended.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kvfuzz::World world({}, {});
    static std::shared_ptr<kv::TRow> row = world.runningRow({1, 2, 3});
    kvfuzz::writeInput("Data/" + std::to_string(row->UniqueNr) + "/KLVdata.1",
                       kvfuzz::asText(data, size));
    {
        auto lock = world.rows->lock();
        row->State = kv::RowState::Running;
        row->AllocRTV();
    }
    row->Reload();
    kvfuzz::virtualClock().advanceMs(61000);
    row->Update(false);
    return 0;
}
