#include "system/frontend.h"

#include <cstdio>

namespace kv {

void HeadlessFrontEnd::progress(const std::string& text) {
    if (!quiet) std::fprintf(stderr, "kelvora: %s\n", text.c_str());
}

void HeadlessFrontEnd::errorBox(const std::string& text) {
    std::fprintf(stderr, "kelvora: error: %s\n", text.c_str());
}

Answer HeadlessFrontEnd::ask(const std::string& question, bool withCancel) {
    const Answer a = (!withCancel && reply == Answer::Cancel) ? Answer::No : reply;
    if (!quiet)
        std::fprintf(stderr, "kelvora: %s -> %s\n", question.c_str(),
                     a == Answer::Yes ? "Yes" : a == Answer::No ? "No" : "Cancel");
    return a;
}

bool HeadlessFrontEnd::askPassword(const std::string&, std::string&) { return false; }

}  // namespace kv
