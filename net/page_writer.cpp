#include "net/page_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/bounded_text.h"
#include "platform/file_io.h"
#include "platform/socket_error.h"

namespace kv::net {
namespace {

// Big enough that a long listing leaves in a few sends, small enough to stay
// in the cache between adds.
constexpr std::size_t kPageChunk = 16 * 1024;

}  // namespace

void PageWriter::add(const char* text) { add(text, std::strlen(text)); }

void PageWriter::add(const char* data, std::size_t n) {
    if (error_ != 0) return;
    buf_.append(data, n);
    if (buf_.size() >= kPageChunk) (void)flush();
}

void PageWriter::add_escaped(const char* text) { add_with_entities(text, "&<>\""); }

void PageWriter::add_tags_escaped(const char* text) { add_with_entities(text, "<>"); }

void PageWriter::add_with_entities(const char* text, const char* special) {
    if (error_ != 0 || !text) return;
    for (const char* run = text; *run;) {
        const std::size_t plain = std::strcspn(run, special);
        if (plain > 0) buf_.append(run, plain);
        run += plain;
        switch (*run) {
            case '&': buf_ += "&amp;"; break;
            case '<': buf_ += "&lt;"; break;
            case '>': buf_ += "&gt;"; break;
            case '"': buf_ += "&quot;"; break;
            default: continue;  // the end of the text
        }
        ++run;
    }
    if (buf_.size() >= kPageChunk) (void)flush();
}

void PageWriter::addf(const char* fmt, ...) {
    char line[kSendFormattedSize];
    va_list ap;
    va_start(ap, fmt);
    (void)platform::format_bounded_v(line, sizeof line, fmt, ap);
    va_end(ap);
    add(line);
}

int PageWriter::flush() {
    if (error_ == 0 && !buf_.empty()) {
        if (!send_all(fd_, buf_.data(), buf_.size())) {
            // A file (tests, dumps) takes the same bytes through write().
            if (errno == ENOTSOCK && platform::write_all(fd_, buf_.data(), buf_.size())) {
                buf_.clear();
                return 1;
            }
            error_ = platform::last_socket_error();
            if (error_ == 0) error_ = -1;
        }
    }
    buf_.clear();
    return error_ == 0;
}

}  // namespace kv::net
