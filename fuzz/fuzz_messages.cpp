// The message list file "Kelvora.Msg", read back at start-up.
#include "app/messages.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = kvfuzz::writeInput("Kelvora.Msg", kvfuzz::asText(data, size));
    kv::messageList().deleteAll();
    (void)kv::messageList().load(path);
    for (const auto& m : kv::messageList().newestFirst()) (void)m.size();
    return 0;
}
