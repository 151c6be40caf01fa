#pragma once
// ftp:// addresses for browsers: logs in over the control connection the
// intake has connected, tells a file from a directory, fetches it over a
// passive or active data connection and answers in HTTP (a file with its
// MIME type, a directory as an HTML listing, failures as HTML pages). Every
// byte for the browser goes through the send-with-cache-copy.
#include <cstddef>
#include <cstdint>

#include "conn/connection_record.h"

namespace kv::proxy {

inline constexpr std::size_t kReplyTextSize = 2048;  // 2047 characters + NUL
inline constexpr int kMaxReplyLines = 1000;          // lines in one reply
// One reply line may run this long before the control connection is taken
// as broken; what passes 2047 characters is dropped.
inline constexpr std::size_t kMaxReplyLineBytes = 1 << 20;

// Where a reply stands between lines. Zero-initialise once per connection.
struct ReplyReader {
    int open_code = 0;  // the code of the multi-line reply being read; 0 outside one
    int lines = 0;      // lines taken for the current reply
};

enum class ReplyLine { kFinal, kMore, kSkip };

// Classifies one line of a reply (its line end removed). kFinal ends the
// reply: "ddd" or "ddd text" outside a multi-line reply, or its opening code
// with a blank (or alone) inside one; a line without a code outside one is an
// unrecognised reply with code 0. kMore is a line of a multi-line reply for a
// collecting caller ("ddd-" line: the text after the '-'; any other line: one
// leading blank removed); kSkip the same for a caller that does not collect.
// *code and *text (pointing into line) are set for kFinal and kMore.
ReplyLine classify_reply_line(ReplyReader& reader, const char* line, bool collect, int* code, const char** text);

// Reads the control connection up to a final line, or, when collecting, up to
// the next line of a multi-line reply (*more then true). Lines are peeked and
// taken whole; a line over 2047 characters is cut. 1 with *code and text (size
// bytes); 0 when the server closed; -1 on a failed receive, no line within
// timeout_ms, a line beyond kMaxReplyLineBytes or more than kMaxReplyLines lines.
[[nodiscard]] int read_ftp_reply(int fd, ReplyReader& reader, bool collect, int timeout_ms, char* text,
                                 std::size_t size, int* code, bool* more);

// The six numbers of a 227 text, with or without parentheses: 1 with
// address bytes and port; 0 when six numbers are not there or one is above 255.
[[nodiscard]] int parse_passive_reply(const char* text, std::uint8_t address[4], std::uint16_t* port);

// The size of a 213 text: its leading decimal number; 0 when unreadable
// (none, negative, or more than 18 digits).
long long parse_size_reply(const char* text);

// Runs the whole dialogue and answers the browser. 1 when it finished as
// planned; 0 otherwise (the cache object is then dropped).
[[nodiscard]] int ftp_engine(conn::ConnectionRecord& r);

}  // namespace kv::proxy
