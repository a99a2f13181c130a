// The synchronisation reading a device's queue: the first bytes give the queue length the
// device claims, the rest is what it answers to O# (each block as the device sends it).
#include "fuzz_support.h"
#include "rows/sync.h"
#include "support/command_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static auto device =
        std::make_shared<kvtest::CommandDevice>("KLV0001", "KLV/USB V1.4.1", 0x200);
    static kvfuzz::World world({device}, {kvfuzz::dataDevice("KLV0001", 1)});
    static std::shared_ptr<kv::TRow> row = world.runningRow({1, 2, 3, 4, 5, 6});
    const int claimed = (data[0] << 8 | data[1]) % 400;
    device->setValue("F3", std::to_string(claimed));
    device->setValue("O", std::string(kvfuzz::asText(data + 2, size - 2)));
    kvfuzz::virtualClock().advanceMs(60000);
    kv::DeviceSync sync(world.cfg, *world.list, world.acq->io, world.acq->cells, *world.rows);
    (void)sync.SyncWithDevices(true);
    return 0;
}
