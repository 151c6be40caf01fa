#include "proxy/gopher_engine.h"

#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/settings.h"
#include "net/banners.h"
#include "platform/bounded_text.h"
#include "tests/unit/proxy/proxy_rig.h"

namespace kv::proxy {
namespace {

using kv::test::drain;
using test::Rig;

// The path split and the request line the server gets for it.
TEST(GopherEngine, PathToRequestLine) {
    struct Case {
        const char* path;
        bool root;
        char type;
        const char* selector;
        const char* query;  // null: none
        const char* sent;   // "": nothing goes to the server yet
    };
    const Case kCases[] = {
        {"/", true, '\0', "", nullptr, "\r\n"},
        {"/1", false, '1', "", nullptr, "\r\n"},
        {"/1/pub", false, '1', "/pub", nullptr, "/pub\r\n"},
        // Escapes reach the server as the bytes they stand for.
        {"/0/a%20b%3fc%2bd%26e%25f", false, '0', "/a b?c+d&e%f", nullptr, "/a b?c+d&e%f\r\n"},
        {"/0/a?b+c", false, '0', "/a?b+c", nullptr, "/a?b+c\r\n"},
        {"/%30x", false, '0', "x", nullptr, "x\r\n"},
        // A second request line never leaves: cut at CR, LF or NUL.
        {"/0/x%0d%0aQUIT", false, '0', "/x", nullptr, "/x\r\n"},
        {"/0/x%0aY", false, '0', "/x", nullptr, "/x\r\n"},
        {"/0/x%00y", false, '0', "/x", nullptr, "/x\r\n"},
        {"/%00", false, '\0', "", nullptr, "\r\n"},
        // CSO: the query is split off raw, '+' is a blank, escapes decoded.
        {"/2", false, '2', "", nullptr, ""},
        {"/2?name+smith%2b", false, '2', "", "name smith+", "ph name smith+\nquit\n"},
        {"/2/ph?a%0d%0aquit", false, '2', "/ph", "a", "ph a\nquit\n"},
        {"/2?", false, '2', "", "", "ph \nquit\n"},
        // Search: selector TAB query; an escaped '?' belongs to the selector.
        {"/7/find", false, '7', "/find", nullptr, ""},
        {"/7/find?two+words", false, '7', "/find", "two words", "/find\ttwo words\r\n"},
        {"/7/f%3fx?q", false, '7', "/f?x", "q", "/f?x\tq\r\n"},
        {"/%37s?q", false, '7', "s", "q", "s\tq\r\n"},
    };
    // A long selector leaves whole, with its line end.
    const std::string long_selector(700, 's');
    char long_path[1024];
    platform::format_bounded(long_path, "/0%s", long_selector.c_str());
    GopherRequest long_req;
    split_gopher_path(long_path, &long_req);
    char long_out[1024];
    const std::size_t long_n = format_gopher_request(long_req, long_out, sizeof long_out);
    EXPECT_EQ(std::string(long_out, long_n), long_selector + "\r\n");
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        char path[256];
        platform::copy_bounded(path, c.path);
        GopherRequest req;
        split_gopher_path(path, &req);
        EXPECT_EQ(req.root, c.root) << "row " << i;
        EXPECT_EQ(req.type, c.type) << "row " << i;
        EXPECT_STREQ(req.selector, c.selector) << "row " << i;
        if (c.query)
            EXPECT_STREQ(req.query, c.query) << "row " << i;
        else
            EXPECT_EQ(req.query, nullptr) << "row " << i;
        char out[512];
        const std::size_t n = format_gopher_request(req, out, sizeof out);
        EXPECT_EQ(std::string(out, n), c.sent) << "row " << i;
    }
    // A request line that does not fit is refused, not cut.
    GopherRequest req;
    char path[] = "/0abcdef";
    split_gopher_path(path, &req);
    char small[6];
    EXPECT_EQ(format_gopher_request(req, small, sizeof small), 0u);
}

TEST(GopherEngine, MenuLineFields) {
    struct Case {
        const char* line;
        int ok;
        char type;
        const char* display, *selector, *host, *port;
    };
    const Case kCases[] = {
        {"0About\t/about.txt\tgopher.example\t70", 1, '0', "About", "/about.txt", "gopher.example", "70"},
        // A Gopher+ fifth field is dropped; the port also ends at a CR.
        {"1Dir\t/d\th\t7070\t+", 1, '1', "Dir", "/d", "h", "7070"},
        {"1Dir\t/d\th\t70\rjunk", 1, '1', "Dir", "/d", "h", "70"},
        {"i\t\t\t", 1, 'i', "", "", "", ""},
        // Missing fields.
        {"", 0, 0, "", "", "", ""},
        {"0no tabs at all", 0, 0, "", "", "", ""},
        {"0two\tfields\tonly", 0, 0, "", "", "", ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        char line[256];
        platform::copy_bounded(line, c.line);
        MenuItem item;
        ASSERT_EQ(parse_menu_line(line, &item), c.ok) << "row " << i;
        if (!c.ok) continue;
        EXPECT_EQ(item.type, c.type) << "row " << i;
        EXPECT_STREQ(item.display, c.display) << "row " << i;
        EXPECT_STREQ(item.selector, c.selector) << "row " << i;
        EXPECT_STREQ(item.host, c.host) << "row " << i;
        EXPECT_STREQ(item.port, c.port) << "row " << i;
    }
}

TEST(GopherEngine, IconsAndShownTypes) {
    const std::pair<char, const char*> kIcons[] = {
        {'0', "text"},   {'h', "text"},   {'1', "dir"},   {'7', "dir"},     {'2', "index"},
        {'4', "binary"}, {'5', "binary"}, {';', "movie"}, {'I', "image"},   {'g', "image"},
        {'s', "sound"},  {'9', "unknown"}, {'i', "unknown"}, {'3', "unknown"}, {'\x01', "unknown"},
    };
    for (const auto& [type, icon] : kIcons) EXPECT_STREQ(icon_for_type(type), icon) << "type " << type;
    for (char type : std::string("0124569;Igshi+T"))
        EXPECT_TRUE(menu_item_shown(type)) << type;
    EXPECT_FALSE(menu_item_shown('3'));
    EXPECT_FALSE(menu_item_shown('7'));
}

TEST(GopherEngine, MenuItemHtml) {
    struct Case {
        MenuItem item;
        const char* html;
    };
    const char* img = "\"><IMG ALIGN=absbottom BORDER=0 SRC=\"http://10.0.0.1:3129/admin/images/";
    const Case kCases[] = {
        {{'1', "Pub", "/pub", "h.example", "70"}, "<A HREF=\"gopher://h.example:70/1/pub"},
        // The shared escape's five, then what a quoted link cannot hold.
        {{'0', "x", "/a b?c+d&e%f", "h", "70"}, "<A HREF=\"gopher://h:70/0/a%20b%3fc%2bd%26e%25f"},
        {{'0', "x", "q\"#<>\x01\x7f\xe9", "h", "70"}, "<A HREF=\"gopher://h:70/0q%22%23%3c%3e%01%7f\xe9"},
        {{'"', "x", "", "h\"><script>", "7\"0"}, "<A HREF=\"gopher://h%22%3e%3cscript%3e:7%220/%22"},
    };
    const char* kIconsAndTexts[][2] = {
        {"dir.gif\"> Pub</A>\r\n", ""},
        {"text.gif\"> x</A>\r\n", ""},
        {"text.gif\"> x</A>\r\n", ""},
        {"unknown.gif\"> x</A>\r\n", ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char out[kMenuItemHtmlSize];
        const std::size_t n = format_menu_item(kCases[i].item, "10.0.0.1", 3129, out, sizeof out);
        EXPECT_EQ(std::string(out, n), std::string(kCases[i].html) + img + kIconsAndTexts[i][0]) << "row " << i;
    }
    // Shown text is escaped; the link keeps its own rules.
    char out[kMenuItemHtmlSize];
    const MenuItem shown{'0', "a<b>&c\"", "s", "h", "70"};
    const std::string html(out, format_menu_item(shown, "127.0.0.1", 8080, out, sizeof out));
    EXPECT_NE(html.find("text.gif\"> a&lt;b&gt;&amp;c\"</A>\r\n"), std::string::npos) << html;

    // The escaped selector is cut at 8092 characters, never inside an escape.
    const std::string blanks(3000, ' ');
    const MenuItem wide{'0', "w", blanks.c_str(), "h", "70"};
    std::vector<char> big(20000);
    const std::string long_html(big.data(), format_menu_item(wide, "127.0.0.1", 1, big.data(), big.size()));
    const std::size_t from = long_html.find("/0") + 2;
    const std::size_t to = long_html.find('"', from);
    EXPECT_EQ(to - from, 8091u);
    // Too small an output buffer gives nothing rather than a cut line.
    char tiny[40];
    EXPECT_EQ(format_menu_item(shown, "127.0.0.1", 1, tiny, sizeof tiny), 0u);
    EXPECT_STREQ(tiny, "");
}

TEST(GopherEngine, MenuLineLimit) {
    struct Case {
        std::string data;
        MenuLineState state;
        std::size_t length, taken;
    };
    const Case kCases[] = {
        {"abc\r\nrest", MenuLineState::kComplete, 3, 5},
        {"abc\nrest", MenuLineState::kComplete, 3, 4},
        {"\n", MenuLineState::kComplete, 0, 1},
        {"\r\n", MenuLineState::kComplete, 0, 2},
        {"", MenuLineState::kNeedMore, 0, 0},
        {"abc\r", MenuLineState::kNeedMore, 0, 0},
        // 199 bytes with the LF is a line; 199 without one is too long.
        {std::string(198, 'x') + "\n", MenuLineState::kComplete, 198, 199},
        {std::string(197, 'x') + "\r\n", MenuLineState::kComplete, 197, 199},
        {std::string(198, 'x'), MenuLineState::kNeedMore, 0, 0},
        {std::string(199, 'x'), MenuLineState::kTooLong, 0, 0},
        {std::string(199, 'x') + "\n", MenuLineState::kTooLong, 0, 0},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        std::size_t length = 0, taken = 0;
        EXPECT_EQ(find_menu_line(c.data.data(), c.data.size(), &length, &taken), c.state) << "row " << i;
        if (c.state != MenuLineState::kComplete) continue;
        EXPECT_EQ(length, c.length) << "row " << i;
        EXPECT_EQ(taken, c.taken) << "row " << i;
    }
}

// The whole exchange over socket pairs, the server's bytes in small pieces.
struct EngineRun {
    std::string to_server;
    std::string to_browser;
    int result = 0;
    long long bytes_sent = 0;
    int discard = 0;
};

EngineRun run_engine(const char* url, const std::vector<std::string>& pieces) {
    config::live().AdminPort = 3129;
    Rig rig;
    EngineRun out;
    if (rig.load(std::string("GET ") + url + " HTTP/1.0\r\n\r\n") != 1) {
        ADD_FAILURE() << url;
        return out;
    }
    platform::copy_bounded(rig.r->interface_text, "10.0.0.1");
    const int fd = rig.upstream.get();
    std::thread server([fd, &pieces] {
        for (const std::string& piece : pieces) {
            EXPECT_EQ(net::send_all(fd, piece.data(), piece.size()), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::shutdown(fd, SHUT_WR);
    });
    out.result = gopher_engine(*rig.r);
    server.join();
    conn::close_server_socket(*rig.r);
    conn::close_client_socket(*rig.r);
    out.to_server = drain(rig.upstream);
    out.to_browser = drain(rig.browser);
    out.bytes_sent = rig.r->proxy.bytes_sent;
    out.discard = rig.r->proxy.discard;
    return out;
}

const std::string kMenuHead =
    "HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\n"
    "<BODY BACKGROUND=\"http://10.0.0.1:3129/admin/images/background.gif\"><H1>Gopher Menu</H1><PRE>";
const std::string kPub =
    "<A HREF=\"gopher://h:70/1/pub\"><IMG ALIGN=absbottom BORDER=0 "
    "SRC=\"http://10.0.0.1:3129/admin/images/dir.gif\"> Pub</A>\r\n";

TEST(GopherEngine, MenuInPieces) {
    kv::test::ScratchLogs logs("gopher-menu");
    const EngineRun run = run_engine("gopher://h/", {"1Pub\t/p", "ub\th\t70\r", "\n3Oops\t\terr\t0\r\n7Find\t/f\th\t70\r\n",
                                                     ".", "\r\n"});
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.to_server, "\r\n");
    char footer[512];
    const std::size_t n = net::format_generated_by(footer, sizeof footer);
    EXPECT_EQ(run.to_browser, kMenuHead + kPub + std::string(footer, n) + "</BODY>");
    EXPECT_EQ(run.bytes_sent, static_cast<long long>(kPub.size()));
    EXPECT_EQ(logs.error_log().find("Error 2001"), std::string::npos);
}

TEST(GopherEngine, BrokenMenus) {
    kv::test::ScratchLogs logs("gopher-broken");
    const std::string line_199(199, 'x');
    const std::vector<std::vector<std::string>> kCases = {
        {"1Pub\t/pub\th\t70\r\n"},                                  // closed before "."
        {"1Pub\t/pub\th\t70\r\n", "no tabs here\r\n.\r\n"},         // a line without its fields
        {"1Pub\t/pub\th\t70\r\n", line_199.substr(0, 100), line_199.substr(100)},  // 199 bytes, no LF
        {"1Pub\t/pub\th\t70\r\n\r\n.\r\n"},                         // an empty line
    };
    for (std::size_t i = 0; i < kCases.size(); ++i) {
        const EngineRun run = run_engine("gopher://h/1", kCases[i]);
        EXPECT_EQ(run.result, 0) << "row " << i;
        EXPECT_EQ(run.to_browser, kMenuHead + kPub) << "row " << i;  // no footer, no "</BODY>"
        EXPECT_EQ(run.discard, 1) << "row " << i;
    }
    const std::string log = logs.error_log();
    std::size_t entries = 0;
    for (std::size_t at = 0; (at = log.find("failed to receive data from gopher", at)) != std::string::npos; ++at)
        ++entries;
    EXPECT_EQ(entries, kCases.size()) << log;
    EXPECT_NE(log.find("2001"), std::string::npos) << log;
}

TEST(GopherEngine, StalledServerEndsTheDocumentWithEntry2001) {
    kv::test::ScratchLogs logs("gopher-stall");
    config::live().AdminPort = 3129;
    Rig rig;  // the server end gives up after two idle seconds
    ASSERT_EQ(rig.load("GET gopher://h/0/slow HTTP/1.0\r\n\r\n"), 1);
    Rig::put(rig.upstream, "partial");
    EXPECT_EQ(gopher_engine(*rig.r), 0);
    EXPECT_EQ(rig.r->proxy.bytes_sent, 7);
    EXPECT_EQ(rig.r->proxy.discard, rig.r->proxy.discard_on_abort);
    conn::close_client_socket(*rig.r);
    EXPECT_EQ(drain(rig.browser), "HTTP/1.0 200 \r\nContent-Type: text/plain\r\n\r\npartial");
    const std::string log = logs.error_log();
    EXPECT_NE(log.find("2001"), std::string::npos) << log;
    EXPECT_NE(log.find("10060"), std::string::npos) << log;
    EXPECT_NE(log.find("failed to receive data from gopher"), std::string::npos) << log;
}

TEST(GopherEngine, RefusedBlockIsEntry2000UnlessTheBrowserReset) {
    struct Case {
        bool browser_closes;  // else it stops reading and the send times out
        bool logged;
    };
    const Case kCases[] = {{true, false}, {false, true}};
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        kv::test::ScratchLogs logs("gopher-refused");
        Rig rig;
        ASSERT_EQ(rig.load("GET gopher://h/9/big HTTP/1.0\r\n\r\n"), 1) << "row " << i;
        // The head and the first blocks fit the socket buffer; then the send
        // waits for a browser that reads nothing, until it gives up or the
        // browser closes.
        timeval tv{kCases[i].browser_closes ? 5 : 0, 200000};
        ::setsockopt(rig.r->client.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        std::thread browser([&rig, closes = kCases[i].browser_closes] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (closes) rig.browser.reset();
        });
        const int fd = rig.upstream.get();
        std::thread server([fd] {
            const std::string block(64 * 1024, 'b');
            for (int n = 0; n < 64 && net::send_all(fd, block.data(), block.size()); ++n) {
            }
        });
        EXPECT_EQ(gopher_engine(*rig.r), 0) << "row " << i;
        EXPECT_GT(rig.r->proxy.bytes_sent, 0) << "row " << i;
        conn::close_server_socket(*rig.r);
        server.join();
        browser.join();
        const std::string log = logs.error_log();
        EXPECT_EQ(log.find("failed to send data to client") != std::string::npos, kCases[i].logged)
            << "row " << i << log;
        EXPECT_EQ(log.find("2001"), std::string::npos) << "row " << i << log;
    }
}

TEST(GopherEngine, DocumentsAndForms) {
    struct Case {
        const char* url;
        std::vector<std::string> pieces;
        std::string to_server, to_browser;
        long long bytes_sent;
    };
    const std::string plain = "HTTP/1.0 200 \r\nContent-Type: text/plain\r\n\r\n";
    const std::string binary("\x00\xff.\r\n\x01", 6);
    const Case kCases[] = {
        {"gopher://h/0/a.txt", {"line\r\n", ".\r\n"}, "/a.txt\r\n", plain + "line\r\n.\r\n", 9},
        {"gopher://h/g/p.gif", {binary}, "/p.gif\r\n",
         "HTTP/1.0 200 \r\nContent-Type: image/gif\r\n\r\n" + binary, 6},
        {"gopher://h/h/x.html", {"<p>"}, "/x.html\r\n", "HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\n<p>", 3},
        {"gopher://h/I/x.jpg", {binary}, "/x.jpg\r\n", plain + binary, 6},
        {"gopher://h/9/x.bin", {}, "/x.bin\r\n", plain, 0},
        {"gopher://h/2", {"ignored"}, "", "HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\nA CSO Search <ISINDEX>", 1},
        {"gopher://h/2?smith", {"200:ok\n"}, "ph smith\nquit\n", plain + "200:ok\n", 7},
        {"gopher://h/7/s", {"ignored"}, "",
         "HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\nA Gopher Search <ISINDEX>", 1},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        const EngineRun run = run_engine(c.url, c.pieces);
        EXPECT_EQ(run.result, 1) << "row " << i;
        EXPECT_EQ(run.to_server, c.to_server) << "row " << i;
        EXPECT_EQ(run.to_browser, c.to_browser) << "row " << i;
        EXPECT_EQ(run.bytes_sent, c.bytes_sent) << "row " << i;
    }
    // A search with a query is answered as a menu.
    const EngineRun search = run_engine("gopher://h/7/s?a+b", {"1Pub\t/pub\th\t70\n.\n"});
    EXPECT_EQ(search.to_server, "/s\ta b\r\n");
    EXPECT_EQ(search.to_browser.compare(0, kMenuHead.size() + kPub.size(), kMenuHead + kPub), 0);
}

}  // namespace
}  // namespace kv::proxy
