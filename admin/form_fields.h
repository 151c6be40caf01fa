#pragma once
// Readers of form values in a request path (the query string stays part of it).
#include <cstddef>

namespace kv::admin {

// The first place in text where name is directly followed by '=' (a name that
// ends the text also counts, without a value). Null when absent.
const char* find_field(const char* text, const char* name);
// The value (up to '&' or the end, at most max characters, %XX decoded) into
// out (size bytes). 0 and out unchanged when the field is absent.
int field_text(const char* text, const char* name, std::size_t max, char* out, std::size_t size);
// When the value is decimal digits only (empty counts, giving 0), *out becomes
// it and 1 is returned; otherwise *out is unchanged and 0 is returned.
int field_number(const char* text, const char* name, int* out);
// 1 when the field is present (with or without a value).
int field_checkbox(const char* text, const char* name);

}  // namespace kv::admin
