// The O2 tank file "O2_TankData.Txt".
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kvfuzz::World world({}, {});
    kvfuzz::writeInput("O2_TankData.Txt", kvfuzz::asText(data, size));
    world.acq->tanks.read_O2TankData();
    return 0;
}
