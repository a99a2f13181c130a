#include "app/password.h"

#include <random>

namespace kv {

namespace {

// Filler characters before the length field; texts up to this length are the older form.
constexpr size_t kFillerLength = 90;
// The length field holds length × 8 in at most three digits.
constexpr size_t kLengthFieldMax = 3;
constexpr int kLengthDigitShift = 106;
constexpr unsigned char kBlankMark = 255;

// Shift added to the i-th password character (0-based): 5, 4, 3, 2, 1, 0, then 1, 0, ...
int charShift(size_t i) {
    if (i < 6) return 5 - static_cast<int>(i);
    return (i % 2 == 0) ? 1 : 0;
}

// 0-based index of the i-th password character in the stored text.
size_t charIndex(size_t length, size_t i) {
    return 2 + length % 2 + 2 * i;
}

char addCode(char c, int delta) {
    return static_cast<char>((static_cast<unsigned char>(c) + delta + 256) % 256);
}

char randomFiller() {
    // One generator per thread: encoding may run on any thread and needs no lock.
    thread_local std::mt19937 gen{std::random_device{}()};
    std::uniform_int_distribution<int> dist(32, 241);
    return static_cast<char>(dist(gen));
}

bool decodeCurrentForm(std::string_view stored, std::string& password) {
    const std::string_view field = stored.substr(kFillerLength, kLengthFieldMax);
    int value = 0;
    for (char c : field) {
        const char digit = addCode(c, kLengthDigitShift);
        if (digit < '0' || digit > '9') return false;
        value = value * 10 + (digit - '0');
    }
    const size_t length = static_cast<size_t>(value / 8);
    if (length > kMaxPasswordLength) return false;
    for (size_t i = 0; i < length; ++i)
        password += addCode(stored[charIndex(length, i)], -charShift(i));
    return true;
}

}  // namespace

std::string encodePassword(std::string_view password) {
    if (password.empty()) return {};
    password = password.substr(0, kMaxPasswordLength);
    const size_t length = password.size();

    std::string text(kFillerLength, ' ');
    text += std::to_string(length * 8);
    for (size_t i = 0; i < kFillerLength; ++i) text[i] = randomFiller();
    for (size_t i = kFillerLength; i < text.size(); ++i)
        text[i] = addCode(text[i], -kLengthDigitShift);
    for (size_t i = 0; i < length; ++i)
        text[charIndex(length, i)] = addCode(password[i], charShift(i));
    // The ini file trims its values, so a leading blank would be lost.
    if (text[0] == ' ') text[0] = static_cast<char>(kBlankMark);
    return text;
}

bool decodePassword(std::string_view stored, std::string& password) {
    password.clear();
    if (stored.empty()) return true;
    if (stored.size() > kFillerLength) {
        if (decodeCurrentForm(stored, password)) return true;
        password.clear();
        return false;
    }
    // Older form: the password itself, behind a prefix of a fifth of the text.
    std::string text(stored);
    if (static_cast<unsigned char>(text[0]) == kBlankMark) text[0] = ' ';
    password = text.substr(text.size() / 5, kMaxPasswordLength);
    return true;
}

std::string decodePassword(std::string_view stored) {
    std::string password;
    decodePassword(stored, password);
    return password;
}

std::string_view servicePassword() {
    return "Kv#Srv-2611";
}

bool checkPassword(std::string_view entry, std::string_view password, std::string_view master) {
    if (password.empty()) return true;
    if (entry == password) return true;
    // An unset master password must not let an empty entry through.
    if (!master.empty() && entry == master) return true;
    return entry == servicePassword();
}

}  // namespace kv
