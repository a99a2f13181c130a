#include "app/debuglog.h"

#include "app/messages.h"
#include "common/datetime.h"
#include "common/strutil.h"

namespace kv {

DebugSwitches& dbg() {
    static DebugSwitches switches;
    return switches;
}

bool DebugLog::open(const std::string& fileName) {
    std::lock_guard lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = std::fopen(fileName.c_str(), "ab");
    fileName_ = file_ ? fileName : std::string();
    return file_ != nullptr;
}

void DebugLog::close() {
    std::lock_guard lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

bool DebugLog::isOpen() const {
    std::lock_guard lock(mutex_);
    return file_ != nullptr;
}

std::string DebugLog::fileName() const {
    std::lock_guard lock(mutex_);
    return fileName_;
}

void DebugLog::setFillChar(std::string_view fill) {
    std::lock_guard lock(mutex_);
    const std::string first = firstUtf8Char(decodeLegacyLine(fill));
    if (!first.empty()) fill_ = first;
}

std::string DebugLog::fillChar() const {
    std::lock_guard lock(mutex_);
    return fill_;
}

std::string DebugLog::formatLine(std::string_view stamp, std::string_view category,
                                 std::string_view text) const {
    std::string field = "{";
    field += category.empty() ? std::string_view("Msg") : category;
    field += "}";
    // The column is 40 characters wide; longer categories are neither padded nor cut.
    std::string fill;
    {
        std::lock_guard lock(mutex_);
        fill = fill_;
    }
    for (size_t n = utf8Length(field); n < 40; ++n) field += fill;
    std::string line(stamp);
    line += ' ';
    line += field;
    line += ' ';
    line += text;
    return line;
}

void DebugLog::write(std::string_view category, std::string_view text, bool enabled) {
    if (!enabled) return;
    const std::string line = formatLine(dateTimeToText(clock().now()), category, text);
    {
        std::lock_guard lock(mutex_);
        if (file_) {
            std::fputs(line.c_str(), file_);
            std::fputc('\n', file_);
            std::fflush(file_);
        }
    }
    if (dbg().copyToMessages.load()) messageList().add(line, true);
}

DebugLog& debugLog() {
    static DebugLog log;
    return log;
}

void WriteDbg(std::string_view category, std::string_view text, bool enabled) {
    debugLog().write(category, text, enabled);
}

}  // namespace kv
