#include "shell/status_lines.h"

#include <cstring>

#include "platform/bounded_text.h"

namespace kv::shell {

void StatusLines::put(char* last, std::size_t size, const char* value) {
    if (!value || std::strcmp(last, value) == 0) return;
    (void)platform::copy_bounded(last, value, size);
    if (!shown_ || !out_) return;
    std::fputs(last, out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void StatusLines::set_title(const char* title) { put(title_, sizeof title_, title); }

void StatusLines::set_text(const char* text) {
    // The dialog's texts open with a line feed that keeps them off its top edge.
    if (text && text[0] == '\n') ++text;
    put(text_, sizeof text_, text);
}

void connection_text(int count, char (&out)[32]) { (void)platform::format_bounded(out, "\n %d connection", count); }

}  // namespace kv::shell
