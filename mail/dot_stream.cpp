#include "mail/dot_stream.h"

namespace kv::mail {

std::size_t scan_data_end(DataEnd& state, const char* data, std::size_t n, int* cut) {
    *cut = 0;
    char* w = state.seen;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = data[i];
        const bool crlf_end = c == '\n' && w[0] == '\r' && w[1] == '\n' && w[2] == '.' && w[3] == '\r';
        const bool lf_end = c == '\n' && w[2] == '\n' && w[3] == '.';
        w[0] = w[1];
        w[1] = w[2];
        w[2] = w[3];
        w[3] = c;
        if (crlf_end || lf_end) {
            *cut = crlf_end ? 3 : 2;
            return i + 1;
        }
    }
    return n;
}

}  // namespace kv::mail
