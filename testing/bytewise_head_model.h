#pragma once
// A byte-at-a-time reader of the request head, the plain form of what the
// block reader must produce: each byte lands at position i, the head ends at
// LF LF or CR LF CR LF once i >= 5, the third slash becomes " /" or the second
// blank gets "/ " after it (once), and 8192 positions without an end fail.
// Tests and the fuzzer compare the block reader against it.
#include <cstddef>
#include <string>
#include <string_view>

namespace kv::proxy::model {

inline constexpr int kNeedMore = 0;
inline constexpr int kComplete = 1;
inline constexpr int kTooLong = 2;

// On kComplete: *head is the rewritten head, *consumed the raw bytes it took.
inline int bytewise_head(std::string_view in, std::string* head, std::size_t* consumed) {
    char buf[8192 + 4];
    std::size_t i = 0;
    std::size_t k = 0;
    int slashes = 0;
    int spaces = 0;
    bool rewritten = false;
    while (i < 8192) {
        if (k >= in.size()) return kNeedMore;
        buf[i] = in[k++];
        if (i >= 5 && ((buf[i - 3] == '\r' && buf[i - 2] == '\n' && buf[i - 1] == '\r' && buf[i] == '\n') ||
                       (buf[i - 1] == '\n' && buf[i] == '\n'))) {
            head->assign(buf, i + 1);
            *consumed = k;
            return kComplete;
        }
        const char c = buf[i];
        if (c == '/') ++slashes;
        if (c == ' ') ++spaces;
        if (!rewritten && c == '/' && slashes == 3) {
            buf[i] = ' ';
            buf[i + 1] = '/';
            ++i;
            rewritten = true;
        } else if (!rewritten && c == ' ' && spaces == 2) {
            buf[i + 1] = '/';
            buf[i + 2] = ' ';
            i += 2;
            rewritten = true;
        }
        ++i;
    }
    return kTooLong;
}

}  // namespace kv::proxy::model
