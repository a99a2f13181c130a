#include "app/messages.h"

#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <unistd.h>

#include "app/texts.h"
#include "common/datetime.h"
#include "common/strutil.h"

namespace kv {

std::string currentUserName() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result &&
        result->pw_name && *result->pw_name)
        return result->pw_name;
    return "Unknown";
}

MessageList::MessageList() : ring_(kRingSize), userName_(currentUserName()) {}

void MessageList::setUserName(std::string name) {
    std::lock_guard lock(mutex_);
    userName_ = std::move(name);
}

std::string MessageList::userName() const {
    std::lock_guard lock(mutex_);
    return userName_;
}

std::string MessageList::fileName() const {
    std::lock_guard lock(mutex_);
    return fileName_;
}

void MessageList::pushLocked(std::string line) {
    if (line.size() > kMaxViewLine) {
        line.resize(kMaxViewLine);
        // Do not leave half a UTF-8 sequence at the cut.
        while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xC0) == 0x80)
            line.pop_back();
        if (!line.empty() && (static_cast<unsigned char>(line.back()) & 0x80)) line.pop_back();
        line += " …";
    }
    ++total_;
    newest_ = newest_ % kRingSize + 1;
    ring_[static_cast<size_t>(newest_ - 1)] = std::move(line);
    gridStale_ = true;
}

std::string MessageList::load(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return {};
    std::lock_guard lock(mutex_);
    std::string line;
    int longLines = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kMaxViewLine) ++longLines;
        pushLocked(decodeLegacyLine(line));
    }
    gridStale_ = true;
    if (in.bad()) return "Message file [" + fileName + "] could not be read completely.";
    if (longLines > 0)
        return "Message file [" + fileName + "]: " + std::to_string(longLines) +
               " overlong line(s) shortened in the view.";
    return {};
}

bool MessageList::openForAppend(const std::string& fileName) {
    std::lock_guard lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = std::fopen(fileName.c_str(), "ab");
    fileName_ = fileName;
    return file_ != nullptr;
}

void MessageList::close() {
    std::lock_guard lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

std::string MessageList::formatLine(std::string_view stamp, std::string_view text) const {
    // A line that already carries a debug-log stamp and category is kept as it is.
    if (text.find("] {") != std::string_view::npos) return " " + std::string(text);
    std::string user;
    {
        std::lock_guard lock(mutex_);
        user = userName_;
    }
    std::string line(stamp);
    line += "  [" + user + "]  ";
    line += text;
    return line;
}

void MessageList::add(std::string_view text, bool indicate) {
    // Embedded line breaks would split one message into several lines of the file.
    std::string clean(text);
    for (char& c : clean)
        if (c == '\r' || c == '\n') c = ' ';
    std::string line = formatLine(dateTimeToText(clock().now()), clean);
    {
        std::lock_guard lock(mutex_);
        if (file_) {
            std::fputs(line.c_str(), file_);
            std::fputc('\n', file_);
            std::fflush(file_);
        }
        pushLocked(std::move(line));
    }
    if (indicate) newMessages_.store(true);
}

bool MessageList::save(const std::string& dest) {
    std::error_code ec;
    const std::string src = fileName();
    const bool ok = !src.empty() &&
                    std::filesystem::copy_file(
                        src, dest, std::filesystem::copy_options::overwrite_existing, ec);
    add(GetTextFmt("uMsgs", "SaveMsgs", "Messages saved to %s", dest), true);
    return ok;
}

bool MessageList::deleteAll() {
    bool ok = true;
    {
        std::lock_guard lock(mutex_);
        if (!fileName_.empty()) {
            if (file_) std::fclose(file_);
            file_ = std::fopen(fileName_.c_str(), "wb");  // truncates to empty
            if (file_) {
                std::fclose(file_);
                file_ = std::fopen(fileName_.c_str(), "ab");
            }
            ok = file_ != nullptr;
        }
        for (auto& s : ring_) s.clear();
        newest_ = 0;
        total_ = 0;
        gridStale_ = true;
    }
    add(GetText("uMsgs", "MsgsDeleted", "Messages deleted"), true);
    return ok;
}

std::vector<std::string> MessageList::newestFirst() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (int slot = newest_; slot >= 1; --slot) out.push_back(ring_[static_cast<size_t>(slot - 1)]);
    if (total_ > kRingSize)
        for (int slot = kRingSize; slot > newest_; --slot)
            out.push_back(ring_[static_cast<size_t>(slot - 1)]);
    return out;
}

int MessageList::total() const {
    std::lock_guard lock(mutex_);
    return total_;
}

int MessageList::newest() const {
    std::lock_guard lock(mutex_);
    return newest_;
}

bool MessageList::takeGridStale() {
    std::lock_guard lock(mutex_);
    const bool was = gridStale_;
    gridStale_ = false;
    return was;
}

MessageList& messageList() {
    static MessageList list;
    return list;
}

void AddMsg(std::string_view text, bool indicate) { messageList().add(text, indicate); }

}  // namespace kv
