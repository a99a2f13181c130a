// The EC71 meter's answers: attribute values and quoted texts taken out of a frame.
#include "co2/ec71.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = kvfuzz::asText(data, size);
    for (const char* name : {"va", "SerialNr", "ModEqu", "VEquip", "Cond", "Temp", ""})
        (void)kv::getAttributeValue(text, name);
    (void)kv::quotedAfter(text, "va='");
    (void)kv::quotedAfter(text, "'");
    return 0;
}
