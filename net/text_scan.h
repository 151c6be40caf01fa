#pragma once
// Searching, splitting and trimming text.
#include <cstddef>

namespace kv::net {

// Case-blind substring search; null when absent.
const char* find_case_blind(const char* text, const char* pattern);
// Words of list (split at blanks, tabs, CR, LF): true when any occurs in text,
// case-blind.
bool word_list_match(const char* list, const char* text);
// Skips delimiters, copies the next token when it fits, advances *cursor.
// Returns 1 when a token was copied.
int next_token(const char** cursor, const char* delimiters, char* out, std::size_t size);
// Removes the trailing '/' and '\' characters, but the first character.
void trim_trailing_slash(char* path);
// Removes leading and trailing white space in place.
void trim(char* text);

}  // namespace kv::net
