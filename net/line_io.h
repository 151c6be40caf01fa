#pragma once
// Line readers and writers over blocking sockets and files.
//
// The socket readers keep every byte after the line in the socket for the next
// reader (a raw read, the relay): they peek a block, find the line feed, then
// take exactly the line. "Closed" below means the peer closed or the receive
// failed: the thread's last socket error is then the receive's error, or 0
// for a close or a line too long.
#include <cstddef>
#include <cstdarg>

namespace kv::net {

inline constexpr std::size_t kLineBufferSize = 8192;    // 8191 characters + NUL
inline constexpr std::size_t kSendFormattedSize = 300;  // one reply line or HTML fragment
inline constexpr std::size_t kFileWriteFormattedSize = 300;

// Reads one line of at most 8191 characters; CR LF or LF removed. 1 with the
// line; 0 with an empty buffer when closed or when 8192 bytes pass without LF.
// out must hold kLineBufferSize bytes.
[[nodiscard]] int read_line(int fd, char* out);
// Same with the caller's size n (n bytes including the terminator).
[[nodiscard]] int read_line_sized(int fd, char* out, std::size_t n);
// read_line_sized with a whole limit of whole_ms for the line (a command or
// login line from a client; see read_deadline.h).
[[nodiscard]] int read_line_within(int fd, char* out, std::size_t n, long long whole_ms);
// Line feed kept, NUL added after it. Returns the length including the LF;
// -1 when closed or too long. out holds kLineBufferSize bytes.
[[nodiscard]] int read_raw_line(int fd, char* out);
// Returns the bytes taken including the line end (the text has CR LF/LF
// removed); 0 on a failed receive or when n bytes pass without LF; when the
// peer closes first, the count so far with the bytes received as the text.
[[nodiscard]] int read_line_counted(int fd, char* out, std::size_t n);
// Reads one line from a file descriptor (8192 bytes); 1, or 0 at end of file or
// when too long. Uses the descriptor's position; reads ahead never leave the
// position past the line's end.
[[nodiscard]] int read_file_line(int fd, char* out);
// 1 when exactly n bytes arrived; 0 when the peer closed or a receive failed.
[[nodiscard]] int read_exactly(int fd, void* out, std::size_t n);
// Steps backwards from the file position (window w bytes); fills out (w+1
// bytes) with the previous line and moves the position back; returns 1 when a
// line was given, 0 when nothing is left.
[[nodiscard]] int read_previous_line(int fd, char* out, std::size_t w);

// Sends a whole NUL-terminated text; 1, or 0 when the send failed.
[[nodiscard]] int send_text(int fd, const char* text);
// Sends n bytes; 1 or 0.
[[nodiscard]] int send_all(int fd, const void* data, std::size_t n);
// Formats at most 299 characters (longer output is cut) and sends them. A cut
// line whose format ends in CR LF still ends in CR LF.
[[nodiscard]] int send_formatted(int fd, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The same into a file descriptor.
[[nodiscard]] int write_formatted(int fd, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kv::net
