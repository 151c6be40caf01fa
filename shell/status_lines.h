#pragma once
// The status dialog of the desktop program, as lines on its standard output:
// the title as it stands and the text without its leading line feed, each
// printed when it is set to something other than what it was. A hidden
// dialog prints nothing but still remembers what it would show.
#include <cstddef>
#include <cstdio>

namespace kv::shell {

inline constexpr std::size_t kStatusTitleSize = 64;
inline constexpr std::size_t kStatusTextSize = 256;  // the longest failure text fits

class StatusLines {
public:
    StatusLines(std::FILE* out, bool shown) : out_(out), shown_(shown) {}

    void set_title(const char* title);
    void set_text(const char* text);
    // From now on the lines are printed (a failure is shown even when hidden).
    void show() { shown_ = true; }

private:
    void put(char* last, std::size_t size, const char* value);

    std::FILE* out_;
    bool shown_;
    char title_[kStatusTitleSize] = "";
    char text_[kStatusTextSize] = "";
};

// The dialog's text for a count of active connections: "\n %d connection".
void connection_text(int count, char (&out)[32]);

}  // namespace kv::shell
