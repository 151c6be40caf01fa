#pragma once
// Small text helpers shared by every service: escaping, HTTP
// dates, header values, tokens and dates for the cache schedule.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/bounded_text.h"

namespace kv::net {

// Socket error text of a code; "Unknown socket error" for codes not in the table.
const char* socket_error_text(int code);

// In place: '%', ' ', '?', '+', '&' become %25 %20 %3f %2b %26; stops, cutting
// the text, when the next escape would not fit in capacity (bytes incl. NUL).
void url_escape(char* text, std::size_t capacity);
// In place: "%hh" (either case) becomes the byte.
void url_unescape(char* text);
void plus_to_blank(char* text);
// '<' -> "&lt;", '>' -> "&gt;" into out (size bytes; cut to fit).
void html_escape(const char* text, char* out, std::size_t size);
// For values shown inside page text or a quoted attribute: '&', '<', '>' and
// '"' become entities. Cut at a whole character when out (size bytes) is full.
void html_escape_attribute(const char* text, char* out, std::size_t size);
// Same in place; returns the new length, or 0 leaving the text as it was when
// the result would not fit in capacity.
std::size_t html_escape_in_place(char* text, std::size_t capacity);

// Case-blind substring search; null when absent.
const char* find_case_blind(const char* text, const char* pattern);
// Words of list (split at blanks, tabs, CR, LF): true when any occurs in text,
// case-blind.
bool word_list_match(const char* list, const char* text);
// Value of header `name` at the start of block (length bytes), case-blind name,
// one optional blank, continued over lines starting with blank or tab, trailing
// CR dropped. Returns 1 when found.
int header_value(const char* name, const char* block, std::size_t length, char* out, std::size_t size);
// With '@': the run around it bounded by '<', '>' or blanks; else the whole text.
void extract_mail_address(const char* text, char* out, std::size_t size);
// Skips delimiters, copies the next token when it fits, advances *cursor.
// Returns 1 when a token was copied.
int next_token(const char** cursor, const char* delimiters, char* out, std::size_t size);
// Removes one trailing '/' or '\' unless the path is that single character.
void trim_trailing_slash(char* path);
// Removes leading and trailing white space in place.
void trim(char* text);

// "Jan".."Dec" for 1-12 ("Jan" otherwise); "Sun".."Sat" for 0-6 ("Mon" otherwise).
const char* month_name(int month);
const char* day_name(int day);

// The three HTTP date forms to seconds since 1970 (UTC); 0 when they do not scan.
std::int64_t parse_http_date(const char* text);

// Hours since 1973 as the cache's garbage schedule counts them, from local time.
long hours_since_epoch(const std::tm& local);
// Steps a date n days forward with February always 28 days.
void add_days(int* year, int* month, int* day, int n);

}  // namespace kv::net
