#include "shell/status_lines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kv::shell {
namespace {

// What a sequence of settings prints, on a memory stream.
struct Printed {
    Printed() : out(open_memstream(&data, &size)) {}
    ~Printed() {
        if (out) std::fclose(out);
        std::free(data);
    }
    std::string text() {
        std::fflush(out);
        return std::string(data, size);
    }
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* out;
};

TEST(StatusLines, ANormalRunPrintsEachChangeOnce) {
    Printed p;
    StatusLines lines(p.out, true);
    char count[32];
    lines.set_title("Korvanet : starting");
    lines.set_text("\nPlease wait ...");
    lines.set_title(" Korvanet");
    connection_text(0, count);
    lines.set_text(count);
    lines.set_text(count);  // the same count again: nothing
    connection_text(1, count);
    lines.set_text(count);
    connection_text(0, count);
    lines.set_text(count);
    lines.set_text("\nPlease wait ...");
    lines.set_title("Korvanet : going down");
    lines.set_title("Korvanet : going down");
    lines.set_text("\nKorvanet is stopped.");
    EXPECT_EQ(p.text(),
              "Korvanet : starting\nPlease wait ...\n Korvanet\n 0 connection\n 1 connection\n"
              " 0 connection\nPlease wait ...\nKorvanet : going down\nKorvanet is stopped.\n");
}

TEST(StatusLines, HiddenPrintsNothingUntilShown) {
    Printed p;
    StatusLines lines(p.out, false);
    lines.set_title("Korvanet : starting");
    lines.set_text("\nPlease wait ...");
    EXPECT_EQ(p.text(), "");
    lines.show();
    lines.set_title("Korvanet can't start");
    lines.set_text("\nPlease wait ...");  // unchanged while hidden: still nothing new
    lines.set_text("Can't open/create file error.log in logs directory.");
    EXPECT_EQ(p.text(), "Korvanet can't start\nCan't open/create file error.log in logs directory.\n");
}

TEST(StatusLines, ATextOfSeveralLinesAndAnOverlongOne) {
    Printed p;
    StatusLines lines(p.out, true);
    lines.set_text("There were some problems while Korvanet\n tried to start. For details see file error.log in\n"
                   "logs directory.");
    const std::string long_text(1000, 'x');
    lines.set_text(long_text.c_str());
    EXPECT_EQ(p.text(), "There were some problems while Korvanet\n tried to start. For details see file error.log in\n"
                        "logs directory.\n" + std::string(kStatusTextSize - 1, 'x') + "\n");
}

}  // namespace
}  // namespace kv::shell
