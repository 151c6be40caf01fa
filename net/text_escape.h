#pragma once
// Escapes of URLs, form values and HTML.
#include <cstddef>

namespace kv::net {

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

}  // namespace kv::net
