// A console command line (stdin or the control socket): split into words, and each word
// read as the commands read their arguments (spans, cell lists, numbers).
#include <vector>

#include "console/command_line.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words;
    std::string error;
    if (!kv::splitCommandLine(kvfuzz::asText(data, size), words, error)) return 0;
    for (const auto& w : words) {
        double v = 0;
        kv::TimeUnit u{};
        if (kv::parseSpan(w, v, u)) (void)kv::spanText(v, u);
        std::vector<int> cells;
        if (kv::parseCellList(w, cells, 120)) (void)kv::cellListText(cells);
        int n = 0;
        (void)kv::parseInt(w, n);
        (void)kv::quoteWord(w);
    }
    return 0;
}
