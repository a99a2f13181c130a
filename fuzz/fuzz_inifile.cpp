// The configuration file: the ini reader (Windows profile semantics) and the configuration
// load on top of it, then a write back (a batch), as start-up does.
#include "app/config.h"
#include "app/inifile.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = kvfuzz::writeInput("Kelvora.Ini", kvfuzz::asText(data, size));
    kv::IniFile ini(path);
    kv::Config cfg;
    kv::loadConfig(ini, cfg);
    kv::loadExportOptions(ini, cfg);
    (void)ini.readString("Kelvora", "DateTimeFormat", "GE");
    {
        kv::IniFile::Batch batch(ini);
        ini.writeString("General", "Version", "fuzz");
        ini.writeString("Kelvora", "Cells", std::to_string(cfg.Cells));
    }
    kv::IniFile again(path);
    (void)again.readString("General", "Version", "");
    return 0;
}
