#pragma once
// The message list: the operator's journal of events (device not found, series started,
// cell suspended, ...). Kept in a file that grows across program starts; the newest 500
// lines are held in a ring and shown newest first.
//   08.12.2026 03:12:30  [operator]  Messages deleted

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

class MessageList {
public:
    static constexpr int kRingSize = 500;
    // Longer lines are shortened in the ring (the file keeps them whole).
    static constexpr size_t kMaxViewLine = 4096;

    MessageList();
    ~MessageList() { close(); }
    MessageList(const MessageList&) = delete;
    MessageList& operator=(const MessageList&) = delete;

    // Reads an existing message file into the ring (no file writes). Returns an error text
    // for the operator, empty when the file was read or did not exist.
    std::string load(const std::string& fileName);
    // Opens (creating if missing) the file for appending. False if that is impossible; the
    // list then works in memory only.
    bool openForAppend(const std::string& fileName);
    void close();

    // Appends one line; indicate raises the new-messages indicator.
    void add(std::string_view text, bool indicate);
    // Copies the message file to dest (replacing it), then adds "Messages saved to %s".
    bool save(const std::string& dest);
    // Empties the file and the ring, then adds "Messages deleted".
    bool deleteAll();

    // The ring, newest first (at most 500 lines).
    std::vector<std::string> newestFirst() const;
    int total() const;
    int newest() const;
    // True once after the ring changed: the view must be refilled.
    bool takeGridStale();
    // The new-messages indicator that the main window clears when it repaints.
    std::atomic<bool>& newMessages() { return newMessages_; }

    void setUserName(std::string name);
    std::string userName() const;
    std::string fileName() const;

    // The whole line as add() writes it, for a given time stamp text.
    std::string formatLine(std::string_view stamp, std::string_view text) const;

private:
    void pushLocked(std::string line);

    mutable std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::string fileName_;
    std::vector<std::string> ring_;  // slots 1..500 stored at 0..499
    int newest_ = 0;
    int total_ = 0;
    bool gridStale_ = false;
    std::atomic<bool> newMessages_{false};
    std::string userName_;
};

// The log-on name of the user running the program; "Unknown" when unavailable.
std::string currentUserName();

MessageList& messageList();
void AddMsg(std::string_view text, bool indicate);

}  // namespace kv
