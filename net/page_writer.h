#pragma once
// The one way pages and multi-part answers are written: text is gathered in a
// buffer and sent in few large sends. The first failed send is remembered;
// everything added after it is dropped, so a page builder can add its whole
// page and look at ok() once at the end.
#include <cstddef>
#include <string>

#include "net/line_io.h"

namespace kv::net {

class PageWriter {
public:
    explicit PageWriter(int fd) : fd_(fd) {}
    ~PageWriter() { (void)flush(); }
    PageWriter(const PageWriter&) = delete;
    PageWriter& operator=(const PageWriter&) = delete;

    void add(const char* text);
    void add(const char* data, std::size_t n);
    // Values shown inside page text or a quoted attribute: '&', '<', '>' and
    // '"' as entities.
    void add_escaped(const char* text);
    // Only '<' and '>' as entities: request texts echoed on refusal pages.
    void add_tags_escaped(const char* text);
    // Formats one fragment: at most kSendFormattedSize - 1 characters, as a
    // formatted send cuts them. Longer text goes through add().
    void addf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Sends what is buffered; the caller must flush before it writes to the
    // descriptor by other means or hands it over. 1 while every send succeeded.
    [[nodiscard]] int flush();
    int ok() const { return error_ == 0; }
    // The socket error of the first failed send, 0 when none failed.
    int error() const { return error_; }
    int fd() const { return fd_; }

private:
    void add_with_entities(const char* text, const char* special);

    int fd_;
    int error_ = 0;
    std::string buf_;
};

}  // namespace kv::net
