#include "common/escapes.h"

namespace kv {

std::string decodeEscapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '\\') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            i += 2;
            continue;
        }
        const std::string_view digits = text.substr(i + 1, 3);
        int code = 0;
        bool number = digits.size() == 3;
        for (char d : digits) {
            if (d < '0' || d > '9') number = false;
            code = code * 10 + (d - '0');
        }
        if (number && code <= 255) out += static_cast<char>(code);
        i += 1 + digits.size();
    }
    return out;
}

}  // namespace kv
