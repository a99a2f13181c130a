// The language file "Kelvora.Txt" (UTF-8 or Windows-1252, any content).
#include "app/texts.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kv::languageTexts().loadFromText(kvfuzz::asText(data, size));
    (void)kv::GetText("frmMain", "sbDevStatus_OK", "Devices: OK");
    (void)kv::GetTextFmt("uMain", "ConnectionDown_Device", "Device %s down. Error %s.", "1-6", "x");
    return 0;
}
