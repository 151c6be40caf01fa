#pragma once
// The end of a dot-terminated mail stream (SMTP DATA, a POP3 RETR answer),
// found however the stream is cut into blocks.
#include <cstddef>

namespace kv::mail {

// The last bytes seen. Starts as after a line end (the trace line ends the file so far).
struct DataEnd {
    char seen[4] = {'\0', '\0', '\r', '\n'};
};
// Scans n bytes. Returns how many belong to the message stream (all n, or up
// to and including the end mark); *cut is then 3 ("\r\n.\r\n": drop ".\r\n")
// or 2 ("\n.\n": drop ".\n") of those bytes, else 0.
[[nodiscard]] std::size_t scan_data_end(DataEnd& state, const char* data, std::size_t n, int* cut);

}  // namespace kv::mail
