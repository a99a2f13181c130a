// The CDM meter's display answer.
#include "co2/cdm.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kv::CdmDisplay d = kv::parseCdmDisplay(kvfuzz::asText(data, size));
    (void)d.sLF.size();
    return 0;
}
