#pragma once
// Passwords of the configuration (quit, configuration, master) and of the rows are stored
// scrambled: the characters are spread between random filler so that a casual look at the
// file does not reveal them. This is obscurity, not encryption.
//
// Passwords are byte strings: the stored form uses byte codes 32..255 and is kept byte for
// byte (IniFile::readRaw), so it must never pass through a text decoding.

#include <string>
#include <string_view>

namespace kv {

inline constexpr size_t kMaxPasswordLength = 30;

// The stored form: 90 filler characters with the password's characters written over every
// second one, followed by the scrambled length field. Two calls give different texts for
// the same password. An empty password gives an empty text (no password); a longer one is
// cut to kMaxPasswordLength.
std::string encodePassword(std::string_view password);

// Decodes the current form (more than 90 characters) and the older plain form (90 or
// fewer). Returns false, with an empty password, for a stored text whose length field is
// unreadable or impossible.
bool decodePassword(std::string_view stored, std::string& password);
// As above; a damaged stored text gives an empty password.
std::string decodePassword(std::string_view stored);

// The built-in service password (11 characters), accepted by every prompt.
std::string_view servicePassword();

// A prompt is shown only when a password is set.
inline bool passwordPromptNeeded(std::string_view password) {
    return !password.empty();
}

// An entry is accepted when it equals the password, the master password or the service
// password (case-sensitive). An empty password accepts everything; so does nothing else.
bool checkPassword(std::string_view entry, std::string_view password, std::string_view master);

}  // namespace kv
