#include "dial/demand_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::dial {
namespace {

constexpr int at(int hour, int minute) { return hour * 60 + minute; }

TEST(DemandWindow, RangesHoldTheirStartNotTheirEnd) {
    const struct {
        std::string list;
        int minute;
        bool open;
    } kCases[] = {
        {"00:00-23:59", at(0, 0), true},
        {"00:00-23:59", at(23, 58), true},
        {"00:00-23:59", at(23, 59), false},  // the stock window closes for the last minute
        {"08:00-12:00, 13:00-17:00", at(7, 59), false},
        {"08:00-12:00, 13:00-17:00", at(8, 0), true},
        {"08:00-12:00, 13:00-17:00", at(11, 59), true},
        {"08:00-12:00, 13:00-17:00", at(12, 0), false},
        {"08:00-12:00, 13:00-17:00", at(12, 30), false},
        {"08:00-12:00, 13:00-17:00", at(13, 0), true},
        {"08:00-12:00, 13:00-17:00", at(17, 0), false},
        {"7:30-11:00;15:00-16:45", at(7, 30), true},
        {"7:30-11:00\t15:00-16:45", at(16, 44), true},
        {" ,; 9:00-10:00 ,", at(9, 30), true},
        {"0:00-24:00", at(23, 59), true},
        {"22:00-02:00", at(23, 0), false},  // a range that ends before it starts holds nothing
        {"", at(9, 0), false},
        {" ,;\t", at(9, 0), false},
        // The first range that does not parse closes the scan, even before a good one.
        {"junk, 00:00-23:59", at(9, 0), false},
        {"08:00-12:00 junk 13:00-17:00", at(14, 0), false},
        {"08:00-12:00 junk 13:00-17:00", at(9, 0), true},
        {"8:00-12:0", at(9, 0), false},
        {"8:00-", at(9, 0), false},
        {"8:00", at(9, 0), false},
        {"8.00-12.00", at(9, 0), false},
        {"08:00-12:00x", at(9, 0), false},
        {"123:00-124:00", at(9, 0), false},
        {"99999999999999999999:00-1:00", at(9, 0), false},
        {"08:60-12:00", at(9, 0), false},
        {"25:00-26:00", at(9, 0), false},
        {"-08:00-12:00", at(9, 0), false},
        {std::string(127, ','), at(9, 0), false},
        {std::string(120, ' ') + "0:00-9:59", at(9, 0), true},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(window_contains(kCases[i].list.c_str(), kCases[i].minute), kCases[i].open) << "row " << i;
    EXPECT_FALSE(window_contains(nullptr, at(9, 0)));
}

TEST(ExceptedName, LocalNamesAndWordsNeverDial) {
    const std::string long_words = std::string(200, 'q') + " corp " + std::string(42, 'z');  // 249 characters
    const std::string long_host = std::string(201, 'h') + ".corp.example";                  // 214 characters
    const struct {
        const char* name;
        bool except_local;
        const char* words;
        bool excepted;
    } kCases[] = {
        {"intranet", true, "", true},
        {"intranet", false, "", false},
        {"www.example.com", true, "", false},
        {"127.0.0.1", true, "", false},
        {"www.CORP.example", false, "corp other", true},
        {"www.example.com", false, "corp other", false},
        {"fileserver.lan", false, "\tFILESERVER\n", true},
        {"x.y", false, "   ", false},
        {long_host.c_str(), false, long_words.c_str(), true},
        {"www.example.com", false, long_words.c_str(), false},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(excepted_name(kCases[i].name, kCases[i].except_local, kCases[i].words), kCases[i].excepted)
            << "row " << i;
}

}  // namespace
}  // namespace kv::dial
