#include "cache/cache_pages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

#include "cache/object_file.h"

namespace kv::cache {
namespace {

namespace fs = std::filesystem;

void write_object(const fs::path& file, const char* url, std::int64_t expiry, std::uint32_t hits,
                  const std::string& data) {
    fs::create_directories(file.parent_path());
    unsigned char head[kHeaderMax];
    const std::size_t n = encode_header(ObjectHeader{kFormatComplete, 0, hits, expiry, nullptr}, url, head, sizeof head);
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(head), static_cast<std::streamsize>(n));
    out << data;
}

// What a writer function sends, captured through a file.
template <typename Fn>
std::string capture(Fn fn) {
    const platform::File out = kv::test::scratch_file();
    fn(out.get());
    ::lseek(out.get(), 0, SEEK_SET);
    return kv::test::read_to_end(out);
}

std::int64_t utc(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 23;  // late in the day: the date shown is the UTC one
    return static_cast<std::int64_t>(::timegm(&t));
}

TEST(CachePages, DomainListByName) {
    const kv::test::ScratchDir d("kv-cache-pages");  // the cache directory
    fs::create_directories(d.path / "www.b.test.dns");
    fs::create_directories(d.path / "a.test.dns");
    fs::create_directories(d.path / "not-a-host");
    std::ofstream(d.path / "file.dns") << "a file, not a host directory";
    EXPECT_EQ(capture([&](int fd) { write_domain_list(fd, d.path.c_str()); }),
              "<a href=\"/admin/delete/domain/a.test.dns\"><img src=\"/admin/images/cross.gif\" border=0></a>"
              "<a href=\"/admin/content/a.test.dns\">a.test</a>\n"
              "<a href=\"/admin/delete/domain/www.b.test.dns\"><img src=\"/admin/images/cross.gif\" border=0></a>"
              "<a href=\"/admin/content/www.b.test.dns\">www.b.test</a>\n");
    EXPECT_EQ(capture([&](int fd) { write_domain_list(fd, (d.path / "missing").c_str()); }), "");
    EXPECT_EQ(capture([](int fd) { write_not_started(fd); }), "Cache is not started.");
}

TEST(CachePages, ContentListRowsAndEscaping) {
    const kv::test::ScratchDir d("kv-cache-pages");  // the cache directory
    const fs::path host = d.path / "h.test.dns";
    write_object(host / "0aaa.cch", "http://h.test/a?x=<b>&y=\"q\"", utc(2030, 3, 5), 1, std::string(100, 'x'));
    write_object(host / "1bbb.cch", "ftp://h.test/f", utc(2031, 12, 31), 12345, "");
    std::ofstream(host / "2ccc.cch") << "short";  // no valid header: no row
    std::ofstream(host / "note.txt") << "not an object";

    const std::string head = "Expire        size accessed    object<HR>";
    const std::string cross = "\"><img src=\"/admin/images/cross.gif\" border=0></a>";
    const std::string size_a = std::to_string(17 + 27 + 1 + 100);  // header, URL, NUL, data
    EXPECT_EQ(capture([&](int fd) { write_content_list(fd, d.path.c_str(), "h.test.dns"); }),
              head + "05/Mar/2030     " + size_a + "   1  <a href=\"/admin/delete/file/h.test.dns\\0aaa.cch" + cross +
                  "<a href=\"http://h.test/a?x=&lt;b&gt;&amp;y=&quot;q&quot;\">"
                  "http://h.test/a?x=&lt;b&gt;&amp;y=&quot;q&quot;</a>\n"
                  "31/Dec/2031      32 12345  <a href=\"/admin/delete/file/h.test.dns\\1bbb.cch" + cross +
                  "<a href=\"ftp://h.test/f\">ftp://h.test/f</a>\n");

    // Names that would leave the cache directory give the heading alone.
    for (const char* bad : {"../h.test.dns", "h.test", "h.test.dns/..", "..dns", ""})
        EXPECT_EQ(capture([&](int fd) { write_content_list(fd, d.path.c_str(), bad); }), head) << bad;
}

TEST(CachePages, StatisticsTableBytes) {
    StatisticsView v{};
    v.totals = Totals{{3000, 2000, 1000, 0, 4, 3, 1, 0}};
    v.cache_size = 10;
    v.hit = 3;
    v.miss = 1;
    v.garbage_count = 2;
    v.last_garbage_min = 0;
    const std::string got = capture([&](int fd) { write_statistics_table(fd, v); });
    EXPECT_EQ(got,
              "<TABLE BORDER=2>"
              "<TR><TD COLSPAN=6 ALIGN=CENTER><FONT SIZE=+1><B>Cache</B></FONT></TD></TR>"
              "<TR ALIGN=CENTER> <TD> Type <TD> Objects <BR> &nbsp; <TD> Objects <BR> [%] <TD> Size <br>[Bytes] "
              "<TD> Size <br>[%] <TD> Average<BR>[Bytes/Object] "
              "<TR ALIGN=RIGHT> <TD ALIGN=CENTER> http <TD> 3 <TD> 75.0 <TD> 2000 <TD> 66.7 <TD> 666"
              "<TR ALIGN=RIGHT> <TD ALIGN=CENTER> ftp  <TD> 1 <TD> 25.0 <TD> 1000 <TD> 33.3 <TD> 999"
              "<TR ALIGN=RIGHT> <TD ALIGN=CENTER> gopher <TD> 0 <TD> 0.0 <TD> 0 <TD> 0.0 <TD> 0"
              "<TR ALIGN=RIGHT>  <TH ALIGN=CENTER> Total <TH> 4 <TH> 100.0 <TH> 3000 <TH> 100.0 <TH> 749"
              "<TR ALIGN=center> <TD COLSPAN=6> Cache Size 10 MB  : <B>100.0</B> % free, <B>0.0</B> % used"
              "<TR ALIGN=center> <TD COLSPAN=6> Hit / Miss Ratio : <B>3</B> (75.0 %) / <B>1</B> (25.0 %)"
              "<TR ALIGN=center> <TD COLSPAN=6> Garbage : Count : <B>2</B>, last took <B>0</B> min."
              "</TABLE><P>");

    // Shares of a cache past 21 MB (and counters past 42 million) are right:
    // no product overflows before the division.
    StatisticsView big{};
    big.totals = Totals{{150 * 1048576, 100 * 1048576, 50 * 1048576, 0, 3, 2, 1, 0}};
    big.cache_size = 200;
    big.hit = 60000000;
    big.miss = 20000000;
    const std::string large = capture([&](int fd) { write_statistics_table(fd, big); });
    EXPECT_NE(large.find("http <TD> 2 <TD> 66.7 <TD> 104857600 <TD> 66.7 <TD> 52426178"), std::string::npos) << large;
    EXPECT_NE(large.find("ftp  <TD> 1 <TD> 33.3 <TD> 52428800 <TD> 33.3 <TD> 52423557"), std::string::npos) << large;
    EXPECT_NE(large.find("Hit / Miss Ratio : <B>60000000</B> (75.0 %) / <B>20000000</B> (25.0 %)"),
              std::string::npos)
        << large;

    // An empty cache divides by the small constants, never by zero.
    StatisticsView empty{};
    empty.cache_size = 1;
    const std::string zero = capture([&](int fd) { write_statistics_table(fd, empty); });
    EXPECT_NE(zero.find("http <TD> 0 <TD> 0.0 <TD> 0 <TD> 0.0 <TD> 0"), std::string::npos);
    EXPECT_NE(zero.find("Hit / Miss Ratio : <B>0</B> (0.0 %) / <B>0</B> (0.0 %)"), std::string::npos);
}

}  // namespace
}  // namespace kv::cache
