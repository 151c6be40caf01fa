#pragma once
// Header values and mail addresses out of message text.
#include <cstddef>

namespace kv::net {

// Value of header `name` at the start of block (length bytes), case-blind name,
// one optional blank, continued over lines starting with blank or tab, trailing
// CR dropped. Returns 1 when found.
int header_value(const char* name, const char* block, std::size_t length, char* out, std::size_t size);
// With '@': the run around it bounded by '<', '>' or blanks; else the whole text.
void extract_mail_address(const char* text, char* out, std::size_t size);

}  // namespace kv::net
