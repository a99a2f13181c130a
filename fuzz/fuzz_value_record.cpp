// A data device's answer to V1#: parsed alone, then handled by an acquisition tick whose
// device sends it (the read-back of missed tacts included).
#include "acquisition/value_record.h"
#include "fuzz_support.h"
#include "support/command_device.h"

namespace {

class RecordDevice : public kvtest::CommandDevice {
  public:
    RecordDevice() : CommandDevice("KLV0001", "KLV/USB V1.4.1", 0x200) {}
    std::string answer;

  private:
    std::string answerLocked(const std::string& cmd) override {
        return cmd == "V1#" ? answer : standardAnswer(cmd);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = kvfuzz::asText(data, size);
    if (kv::holdsValueRecord(text)) (void)kv::parseValueRecord(text);
    static auto device = std::make_shared<RecordDevice>();
    static kvfuzz::World world({device}, {kvfuzz::dataDevice("KLV0001", 1)});
    static const bool started = [] {
        world.flags.systemRunning = true;
        world.acq->cells.MapCellToRow(1, 1);
        world.acq->cells.StartCell(1, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal, 0, 0,
                                   250);
        return true;
    }();
    (void)started;
    device->answer = std::string(text);
    device->setValue("O", std::string(text.substr(0, std::min<size_t>(text.size(), 60))));
    kvfuzz::virtualClock().advanceMs(2000);
    world.acq->cycle.dataDeviceStep(1, kvfuzz::virtualClock().now());
    return 0;
}
