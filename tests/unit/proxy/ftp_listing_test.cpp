#include "proxy/ftp_listing.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kv::proxy {
namespace {

constexpr char kIface[] = "10.0.0.1";
constexpr int kAdminPort = 3129;

// One listing line as the page shows it: icon link, name, padding, details.
std::string line(const char* href, const char* icon, const char* shown, int pad, const char* details) {
    std::string s = std::string("<A HREF=\"") + href +
                    "\"><IMG ALIGN=absbottom BORDER=0 SRC=\"http://10.0.0.1:3129/admin/images/" + icon + ".gif\"> " +
                    shown + "</A>";
    s.append(static_cast<std::size_t>(pad), ' ');
    return s + details;
}

// The page line of each listing line, parsed in order with one parser; ""
// when the line yields no entry.
std::vector<std::string> listing(const std::vector<std::string>& lines, const char* current) {
    ListingParser parser;
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        std::vector<char> text(l.begin(), l.end());
        text.push_back('\0');
        ListingEntry e{};
        char html[kEntryLineSize];
        if (parse_listing_line(parser, text.data(), &e)) {
            const std::size_t n = format_listing_entry(e, current, kIface, kAdminPort, html, sizeof html);
            EXPECT_EQ(n, std::strlen(html));
            out.emplace_back(html);
        } else {
            out.emplace_back("");
        }
    }
    return out;
}

TEST(FtpListing, EachKindOfLineToHtml) {
    struct Case {
        const char* current;
        std::string in;
        std::string out;
    };
    const std::string forty = "abcdefghijabcdefghijabcdefghijabcdefghij";
    const Case kCases[] = {
        {"/pub", "-rw-r--r--   1 ftp ftp  2000 Jan 15 10:30 notes.txt",
         line("/pub/notes.txt", "text", "notes.txt", 24, "      1 kB Jan 15 10:30 Text\r\n")},
        {"/", "drwxr-xr-x 2 ftp ftp 4096 Mar  3  2019 pub dir",
         line("/pub%20dir", "dir", "pub dir", 26, " Directory Mar  3  2019\r\n")},
        {"/pub/a", "lrwxrwxrwx 1 ftp ftp 11 Feb 28 09:05 latest -> ../rel/v2",
         line("/pub/rel/v2", "link", "latest", 27, "Symb. Link Feb 28 09:05 -> ../rel/v2\r\n")},
        {"/x/", "01-15-2024  10:30AM  3145728 big file.zip",
         line("/x/big%20file.zip", "binary", "big file.zip", 21,
              "      3 MB 01-15-2024  10:30AM Zip Compressed Data\r\n")},
        {"", "01-15-24  09:00PM  <DIR>  sub", line("/sub", "dir", "sub", 30, " Directory   01-15-24  09:00PM\r\n")},
        {"/", "d [RWCEAFMS] admin 512 Jan 01 12:00 system",
         line("/system", "dir", "system", 27, " Directory Jan 01 12:00\r\n")},
        {"/nw", "- [RWCEAFMS] admin 1023 Jan 01 12:00 a.b.exe",
         line("/nw/a.b.exe", "binary", "a.b.exe", 26, "1023 bytes Jan 01 12:00 Executable\r\n")},
        {"/", "-rw-r--r-- 1 u g 5 Jan 1 2020 " + forty,
         line(("/" + forty).c_str(), "unknown", "abcdefghijabcdefghijabcdefg...", 3, "   5 bytes Jan  1  2020 \r\n")},
        {"/", "-rw-r--r-- 1 u g 1 Jan 1 2020 <b>&\"x#.html",
         line("/%3cb%3e%26%22x%23.html", "text", "&lt;b&gt;&amp;&quot;x#.html", 21,
              "   1 bytes Jan  1  2020 Hypertext File\r\n")},
        {"/", "-rw-r--r-- 1 u g 7 Jan 1 2020 a\"><script>.txt",
         line("/a%22%3e%3cscript%3e.txt", "text", "a&quot;&gt;&lt;script&gt;.txt", 18,
              "   7 bytes Jan  1  2020 Text\r\n")},
        {"/", "total 12", ""},
        {"/", "drwxr-xr-x 2 u g 4096 Jan 1 12:00 .", ""},
        {"/", "drwxr-xr-x 2 u g 4096 Jan 1 12:00 ..", ""},
        {"/", "crw-rw-rw- 1 root root 1, 3 Jan 1 12:00 null", ""},
        {"/", "drwxr-xr-x 2 u g 4096 Jan 1 12:00", ""},
        {"/", "drwxr-xr-x 2 u g 4096 Jan 1 12:00    ", ""},
        {"/", "", ""},
        {"/", "01-15-24  09:00PM  <DIR>", ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(listing({kCases[i].in}, kCases[i].current)[0], kCases[i].out) << "row " << i;
}

TEST(FtpListing, StyleStaysUntilALineFailsThenTheNextDecides) {
    const auto got = listing({"01-15-24  09:00PM  12 a.txt", "-rw-r--r-- 1 u g 5 Jan 1 2020 b.txt",
                              "-rw-r--r-- 1 u g 5 Jan 1 2020 c.txt", "01-15-24  09:00PM  12 d.txt"},
                             "/");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_NE(got[0].find("/a.txt"), std::string::npos);
    EXPECT_EQ(got[1], "");  // read as DOS: its size field is not a number
    EXPECT_NE(got[2].find("/c.txt"), std::string::npos);
    EXPECT_EQ(got[3], "");
}

TEST(FtpListing, SizeTextAtEachLimit) {
    struct Case {
        long long size;
        const char* text;
    };
    constexpr Case kCases[] = {
        {0, "   0 bytes"},        {1023, "1023 bytes"},          {1024, "   1 kB"},
        {2000, "   1 kB"},        {1048575, "1023 kB"},          {1048576, "   1 MB"},
        {3145728, "   3 MB"},     {1073741823, "1023 MB"},       {1073741824, "???? GB"},
        {5000000000LL, "???? GB"}, {-1, "   0 bytes"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char out[kSizeTextSize];
        size_text(kCases[i].size, out);
        EXPECT_STREQ(out, kCases[i].text) << "row " << i;
    }
}

TEST(FtpListing, ParentPath) {
    struct Case {
        const char* path;
        const char* parent;  // null: none
    };
    constexpr Case kCases[] = {
        {"/", nullptr},    {"", nullptr},      {"//", nullptr},       {"/pub", "/"},  {"/pub/", "/"},
        {"/pub/a", "/pub"}, {"pub/a/", "/pub"}, {"~u/x", "/~u"},      {"a", "/"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char out[64] = "";
        const int has = parent_path(kCases[i].path, out, sizeof out);
        if (!kCases[i].parent) {
            EXPECT_EQ(has, 0) << "row " << i;
        } else {
            EXPECT_EQ(has, 1) << "row " << i;
            EXPECT_STREQ(out, kCases[i].parent) << "row " << i;
        }
    }
}

TEST(FtpListing, LinkResolution) {
    struct Case {
        const char* current;
        const char* target;
        const char* link;
    };
    constexpr Case kCases[] = {
        {"/pub/a", "/abs/x", "/abs/x"},   {"/pub/a", "./x", "/pub/a/x"},     {"/pub/a", "../x", "/pub/x"},
        {"/pub/a", "../../../x", "/x"},   {"/", "../x", "/x"},               {"pub", "x", "/pub/x"},
        {"/pub/", "x/y", "/pub/x/y"},     {"", "./../x", "/x"},              {"/pub/a/", "..", "/pub/a/.."},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        ListingEntry e{};
        e.kind = EntryKind::kLink;
        e.name = "n";
        e.target = kCases[i].target;
        char out[kHrefSize];
        entry_link(kCases[i].current, e, out, sizeof out);
        EXPECT_STREQ(out, kCases[i].link) << "row " << i;
    }
}

TEST(FtpListing, HrefEscapeCutsBeforeAnEscapeThatDoesNotFit) {
    char out[8];
    href_escape("ab cd", out, sizeof out);
    EXPECT_STREQ(out, "ab%20cd");
    href_escape("abcde f", out, sizeof out);
    EXPECT_STREQ(out, "abcde");
    href_escape("x\r\ny%?+&#", out, sizeof out);
    EXPECT_STREQ(out, "x%0d%0a");
}

std::string root_icon() {
    return "<a href=\"/\"><IMG ALIGN=absbottom BORDER=0 SRC=\"http://10.0.0.1:3129/admin/images/dir.gif\">/</a><br>";
}
std::string dir_icon(const char* href, const char* shown, const char* end) {
    return std::string("<a href=\"") + href +
           "\"><IMG ALIGN=absbottom BORDER=0 SRC=\"http://10.0.0.1:3129/admin/images/dir.gif\">" + shown + end;
}

TEST(FtpListing, PathBarAndItsCutOver) {
    std::string bar;
    append_path_bar(bar, "/pub/a b/fi<le", kIface, kAdminPort);
    EXPECT_EQ(bar, root_icon() + "&nbsp;&nbsp;" + dir_icon("/pub/", "pub", "</a><br>") +
                       "&nbsp;&nbsp;&nbsp;&nbsp;" + dir_icon("/pub/a%20b/", "a b", "</a><br>") +
                       "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;" + dir_icon("/pub/a%20b/fi%3cle/", "fi&lt;le", "</a><p>"));
    bar.clear();
    append_path_bar(bar, "/pub/", kIface, kAdminPort);
    EXPECT_EQ(bar, root_icon() + "&nbsp;&nbsp;" + dir_icon("/pub/", "pub", "</a><br>"));

    // Each level adds its link and two more blanks: 15 levels stay a bar,
    // 40 pass 70 % of the work buffer and give the single line.
    std::string path;
    for (int i = 0; i < 15; ++i) path += "/d";
    bar.clear();
    append_path_bar(bar, path.c_str(), kIface, kAdminPort);
    EXPECT_LE(bar.size(), kPathBarLimit);
    EXPECT_EQ(bar.find("Current Directory"), std::string::npos);
    for (int i = 0; i < 25; ++i) path += "/d";
    path += "/<x>";
    bar.clear();
    append_path_bar(bar, path.c_str(), kIface, kAdminPort);
    const std::string shown = path.substr(0, path.size() - 4) + "/&lt;x&gt;";
    EXPECT_EQ(bar, "<FONT size=+1><B>Current Directory is :<PRE>" + shown + "</PRE></B></FONT><HR>\r\n");
}

}  // namespace
}  // namespace kv::proxy
