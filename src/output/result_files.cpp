#include "output/result_files.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>

#include "common/strutil.h"

namespace kv {

namespace {

// Length of the UTF-8 sequence starting at s[i], 0 when it is not well formed.
size_t utf8SeqLen(std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    return isValidUtf8(s.substr(i, n)) ? n : 0;
}

bool unsafeAscii(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F || std::strchr("*/:?\\<>|\"", c) != nullptr;
}

}  // namespace

std::string safeFileNamePart(std::string_view text, size_t maxBytes) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8SeqLen(text, i);
        if (n == 0) {
            out += '_';
            ++i;
            continue;
        }
        if (out.size() + n > maxBytes) break;
        if (n == 1 && unsafeAscii(text[i])) {
            out += '_';
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    if (out.size() > maxBytes) out.resize(maxBytes);  // only "_" replacements can get here
    if (out.empty()) out = "_";
    if (out[0] == '.' || out[0] == '-') out[0] = '_';
    return out;
}

std::string resultFileName(std::string_view resultPath, std::string_view rowName,
                           std::string_view suffix) {
    std::string folder = replaceAll(std::string(resultPath), "\\", "/");
    const size_t room = kMaxFileNameBytes > suffix.size() ? kMaxFileNameBytes - suffix.size() : 1;
    std::string name = safeFileNamePart(rowName, room) + std::string(suffix);
    if (folder.empty()) return name;
    if (folder.back() != '/') folder += '/';
    return folder + name;
}

std::string temporaryPathFor(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path p(target);
    const std::string base = p.filename().string().substr(0, 200);
    const std::string tmpName = "." + base + "." + std::to_string(::getpid()) + "-" +
                                std::to_string(counter.fetch_add(1)) + ".tmp";
    return (p.parent_path() / tmpName).string();
}

std::string replaceFileWith(const std::string& tmp, const std::string& target) {
    std::error_code ec;
    std::filesystem::rename(tmp, target, ec);
    if (!ec) return {};
    std::error_code ignored;
    std::filesystem::remove(tmp, ignored);
    return "Cannot write file [" + target + "]: " + ec.message();
}

}  // namespace kv
