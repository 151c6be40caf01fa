// The main-frame admin pages, called directly with a local socket pair as the
// browser connection.
#include "admin/admin_pages.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config_lists.h"
#include "config/settings.h"
#include "conn/task_table.h"
#include "log/logs.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "tests/unit/test_support.h"

namespace kv::admin {
namespace {

namespace fs = std::filesystem;

using kv::test::drain;
using kv::test::read_file;
using kv::test::unix_pair;

// The installation directory of this test program, removed when it ends.
const kv::test::ScratchDir kHomeDir("kv-pages");
const fs::path& kHome = kHomeDir.path;

// Registry, install directory and logs of this test program, fixed before any test.
class PagesEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("KORVANET_HOME", kHomeDir.with_slash().c_str(), 1);
        setenv("KORVANET_REGISTRY", (kHome / "registry.reg").c_str(), 1);
        ASSERT_EQ(platform::registry_open((kHome / "registry.reg").c_str()), 1);
        ASSERT_EQ(log::open_logs((kHome / "logs").c_str(), true, true, true), 1);
        platform::copy_bounded(state().body_attribute, "bgcolor=\"#c0c0c0\"");
    }
    void TearDown() override { log::close_logs(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PagesEnvironment);

void write_file(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

fs::path log_file(const char* name) {
    char path[600];
    log::log_path(name, path, sizeof path);
    return path;
}

// One request: the page writes into one end of a socket pair, the test reads the other.
struct Exchange {
    std::unique_ptr<AdminRequest> r = std::make_unique<AdminRequest>();
    platform::Socket peer;

    explicit Exchange(const std::string& path) {
        unix_pair(r->conn.client, peer);
        platform::copy_bounded(r->request, path.c_str());
        r->path = r->request;
    }
    // Closes the page's end the way the admin server does after a 1.
    std::string finish() {
        r->conn.client.reset();
        return drain(peer);
    }
};

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// --- status page ------------------------------------------------------------

// A task slot in use with a record the test owns; freed again at the end.
struct FakeConnection {
    int index;
    std::unique_ptr<conn::ConnectionRecord> rec = std::make_unique<conn::ConnectionRecord>();

    FakeConnection(int slot_index, int serial, const char* service) : index(slot_index) {
        conn::TaskSlot& s = conn::slot(index);
        platform::copy_bounded(s.service_name, service);
        s.serial = serial;
        s.start_tick = platform::tick_ms() - 3000;
        platform::copy_bounded(rec->client_text, "10.0.0.7");
        s.record = rec.get();
        s.in_use = 1;
    }
    ~FakeConnection() {
        conn::TaskSlot& s = conn::slot(index);
        std::lock_guard<std::mutex> guard(s.lock);
        s.in_use = 0;
        s.record = nullptr;
    }
    // A parsed proxy request: scheme, host and path inside the request buffer.
    void parsed(std::uint32_t kind, const char* scheme, const char* host, std::uint16_t port, const char* path) {
        conn::ProxyFields& p = rec->proxy;
        char* at = p.request;
        auto put = [&at](const char* text) {
            char* start = at;
            std::strcpy(at, text);  // test data, far below the buffer size
            at += std::strlen(text) + 1;
            return start;
        };
        p.scheme = put(scheme);
        p.host = put(host);
        p.path = put(path);
        p.kind = kind;
        p.dest_port = port;
        p.parsed = 1;
    }
};

TEST(StatusPage, RefreshLineOnlyWithANonZeroSetting) {
    config::live().RefreshStatusPage = 0;
    Exchange none("/admin/status");
    EXPECT_EQ(status_page(*none.r), 1);
    const std::string page = none.finish();
    EXPECT_EQ(page.find("Refresh"), std::string::npos);
    EXPECT_EQ(page.rfind(kPageHead, 0), 0u);
    EXPECT_NE(page.find("<BODY bgcolor=\"#c0c0c0\">\n"), std::string::npos);
    EXPECT_STREQ(state().last_admin_page, "status");

    config::live().RefreshStatusPage = 15;
    Exchange some("/admin/status");
    (void)status_page(*some.r);
    EXPECT_NE(some.finish().find("<meta http-equiv=\"Refresh\" content=\"15; URL=/admin/status\">\n"),
              std::string::npos);
    config::live().RefreshStatusPage = 0;
}

TEST(StatusPage, NoConnectionsShowOnlyTheHeadingsAndAZeroTotal) {
    Exchange x("/admin/status");
    (void)status_page(*x.r);
    const std::string page = x.finish();
    EXPECT_EQ(page.find("<TR ALIGN=LEFT>"), std::string::npos);
    EXPECT_NE(page.find("<TR ALIGN=CENTER> <TH>Type <TH>Sec.<TH> From <TH>Destination"
                        "<TR ALIGN=CENTER> <TD COLSPAN=4> Total Connections : <B>0</B> </TABLE><P>"),
              std::string::npos);
    EXPECT_NE(page.find("<TR ALIGN=CENTER> <TD> Dial-Up <TD> not connected "), std::string::npos);
    EXPECT_NE(page.find("<TR ALIGN=CENTER> <TD> Version <TD> 1.5.3 </TABLE></CENTER>"), std::string::npos);
}

TEST(StatusPage, RowsByServiceWithPortsProgressAndEscapedValues) {
    FakeConnection tunnel(3, 41, "PROXY");
    tunnel.parsed(conn::kKindHttps, "https", "secure.example", 443, "");
    FakeConnection alt_port(4, 42, "PROXY");
    alt_port.parsed(conn::kKindHttp, "http", "origin.example", 8080, "/a<b>\"c&d");
    alt_port.rec->proxy.bytes_sent = 1200;
    alt_port.rec->proxy.expected_size = 5000;
    FakeConnection plain(5, 43, "PROXY");
    plain.parsed(conn::kKindHttp, "http", "origin.example", 80, "/x");
    plain.rec->proxy.bytes_sent = 77;
    FakeConnection unparsed(6, 44, "PROXY");
    FakeConnection gateway(7, 45, "POP3 GW");
    platform::copy_bounded(gateway.rec->gateway.destination, "mail.example<x>");
    FakeConnection link(8, 46, "MAPPED LINK");
    link.rec->client_port = 5555;
    platform::copy_bounded(link.rec->gateway.destination, "db.example");
    link.rec->gateway.dest_port = 5432;
    FakeConnection transfer(9, 47, "MAIL TRANSFER");
    platform::copy_bounded(gateway.rec->client_host, "pc<1>.lan");

    Exchange x("/admin/status");
    (void)status_page(*x.r);
    const std::string page = x.finish();
    const std::string kill = "<TR ALIGN=LEFT> <TD NOWRAP><A HREF=\"/admin/kill/";
    struct Row {
        const char* text;
    };
    const Row rows[] = {
        {"<A HREF=\"/admin/kill/41\"> <IMG SRC=\"/admin/images/cross.gif\" border=0></a>&nbsp;<font "
         "size=-1>PROXY</font><TD> 3 <TD> 10.0.0.7 <TD> <A HREF=\"https://secure.example\">https://secure.example</A>"
         "&nbsp;<font size=-1>(0/?)</font>\n"},
        {"<TD> 10.0.0.7 <TD> <A HREF=\"http://origin.example:8080/a&lt;b&gt;&quot;c&amp;d\">"
         "http://origin.example:8080/a&lt;b&gt;&quot;c&amp;d</A>&nbsp;<font size=-1>(1200/5000)</font>\n"},
        {"<TD> <A HREF=\"http://origin.example/x\">http://origin.example/x</A>&nbsp;<font size=-1>(77/?)</font>\n"},
        {"/admin/kill/44\">"},
        {"<font size=-1>POP3 GW</font><TD> 3 <TD> pc&lt;1&gt;.lan <TD> mail.example&lt;x&gt;"},
        {"<TD> 10.0.0.7:5555 <TD> db.example:5432"},
        {"<font size=-1>MAIL TRANSFER</font><TD> 3 <TD> Korvanet <TD> "},
        {"Total Connections : <B>7</B> "},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_NE(page.find(rows[i].text), std::string::npos) << "row " << i << "\n" << page;
    EXPECT_EQ(count(page, kill), 7u);
    // The unparsed request keeps only its first cells: the next row follows at once.
    EXPECT_NE(page.find("<font size=-1>PROXY</font><TD> 3 " + kill + "45\">"), std::string::npos) << page;
    EXPECT_EQ(page.find("pc<1>"), std::string::npos);
}

// --- kill ---------------------------------------------------------------------

TEST(Kill, ClosesTheConnectionWithThatSerialAndRedirects) {
    FakeConnection victim(10, 90, "PROXY");
    platform::Socket browser;
    unix_pair(victim.rec->client, browser);

    Exchange x("/admin/kill/90");
    EXPECT_EQ(kill_connection(*x.r), 1);
    EXPECT_EQ(x.finish(), "HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/status\r\n\r\n");
    char c;
    EXPECT_EQ(::recv(browser.get(), &c, 1, MSG_DONTWAIT), 0);  // shut down: end of stream
}

TEST(Kill, UnknownOrMalformedSerialOnlyRedirectsAfterHalfASecond) {
    FakeConnection bystander(11, 0, "PROXY");
    platform::Socket browser;
    unix_pair(bystander.rec->client, browser);

    for (const char* path : {"/admin/kill/7", "/admin/kill/abc", "/admin/kill/", "/admin/kill/0x1"}) {
        Exchange x(path);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kill_connection(*x.r), 1);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(450)) << path;
        EXPECT_EQ(x.finish(), "HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/status\r\n\r\n") << path;
    }
    // Serial 0 is a real connection: garbage must not be read as 0.
    char c;
    EXPECT_EQ(::recv(browser.get(), &c, 1, MSG_DONTWAIT), -1);
}

// --- log views ----------------------------------------------------------------

TEST(LogView, LinesNewestFirstEscapedAndCut) {
    const std::string kErrorForm =
        "<center><form action=\"/admin/clearerrorlog\"><input type=\"submit\" name=\"button\" value=\" Clear "
        "\"></form></center>";
    struct Case {
        std::string content;
        std::string listing;  // between the clear form and the page end
    };
    const std::string long_line(1200, 'x');
    const Case cases[] = {
        {"", ""},
        {"only line", "only line<br>"},
        {"one\ntwo\n", "<br>two<br>one<br>"},
        {"one\r\ntwo\r\n", "<br>two<br>one<br>"},
        {"a <b> & c\n\nlast", "last<br><br>a &lt;b&gt; & c<br>"},
        // A line longer than the piece ends the listing at that line.
        {"first\n" + long_line + "\nnewest", "newest<br>"},
        {long_line, ""},
        // The error view's piece is 999 bytes: a line of 998 and its line end fit.
        {"first\n" + std::string(998, 'y') + "\nnewest", "newest<br>" + std::string(998, 'y') + "<br>first<br>"},
        {"first\n" + std::string(999, 'y') + "\nnewest", "newest<br>"},
        {std::string(999, 'y'), std::string(999, 'y') + "<br>"},
        {std::string("nul\0cut\nlast", 12), "last<br>nul<br>"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        write_file(log_file("error.log"), cases[i].content);
        Exchange x("/admin/logs/error");
        EXPECT_EQ(log_view(*x.r, "error"), 1);
        const std::string expected = std::string(kPageHead) + "<BODY bgcolor=\"#c0c0c0\">\n" + kErrorForm +
                                     cases[i].listing + "</body>";
        EXPECT_EQ(x.finish(), expected) << "row " << i;
    }
    EXPECT_STREQ(state().last_admin_page, "logs");
}

TEST(LogView, PiecesMeetAtLineEnds) {
    // Lines of 400 bytes: several per 999-byte piece, none across a cut unnoticed.
    std::string content;
    std::string listing;
    for (int i = 0; i < 12; ++i) {
        std::string line = std::to_string(i) + std::string(400, 'a' + i);
        content += line + "\r\n";
        listing = line + "<br>" + listing;
    }
    write_file(log_file("dial.log"), content);
    Exchange x("/admin/logs/dial");
    (void)log_view(*x.r, "dial");
    const std::string page = x.finish();
    EXPECT_NE(page.find("</form></center><br>" + listing), std::string::npos);
    EXPECT_EQ(page.find('\r', std::strlen(kPageHead)), std::string::npos);
}

TEST(LogView, LongLogAcrossManyReads) {
    // About 1 MB of lines of every length up to 990 bytes, ending in LF or
    // CR LF at random: every line shown once, newest first, whatever the
    // reads the view is split into.
    std::mt19937 rng(7);
    std::string content;
    std::string listing = "<br>";  // the empty text after the last line end
    std::vector<std::string> lines;
    while (content.size() < 1000000) {
        std::string line(rng() % 991, 'a');
        for (char& c : line) c = static_cast<char>('a' + rng() % 26);
        content += line + (rng() % 2 ? "\r\n" : "\n");
        lines.push_back(line);
    }
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) listing += *it + "<br>";
    write_file(log_file("error.log"), content);
    Exchange x("/admin/logs/error");
    // The page is larger than the socket's buffer: read while it is written.
    std::thread writer([&] {
        (void)log_view(*x.r, "error");
        x.r->conn.client.reset();
    });
    const std::string page = drain(x.peer);
    writer.join();
    const std::string form_end = "</form></center>";
    const std::size_t at = page.find(form_end);
    ASSERT_NE(at, std::string::npos);
    EXPECT_TRUE(page.substr(at + form_end.size()) == listing + "</body>")
        << "page of " << page.size() << " bytes, expected " << at + form_end.size() + listing.size() + 7;
}

TEST(LogView, MailColoursAndMissingFiles) {
    write_file(log_file("mail.log"), "Obtained 1 <msg>\nError sending\n");
    Exchange mail("/admin/logs/mail");
    (void)log_view(*mail.r, "mail");
    const std::string page = mail.finish();
    EXPECT_NE(page.find("</form></center><font color=\"#cf0000\"><br>\n</font>"
                        "<font color=\"#cf0000\">Error sending<br>\n</font>"
                        "<font color=\"#0000aa\">Obtained 1 &lt;msg&gt;<br>\n</font>"),
              std::string::npos)
        << page;
    EXPECT_EQ(page.find("</body>"), std::string::npos);

    // Missing files: access and error end their page, the others stop at the
    // form. The files move aside and back: the logs keep writing to them.
    fs::rename(log_file("http-proxy.log"), kHome / "access.aside");
    fs::rename(log_file("security.log"), kHome / "security.aside");
    Exchange access("/admin/logs/access");
    (void)log_view(*access.r, "access");
    const std::string access_page = access.finish();
    EXPECT_NE(access_page.find("</form></center><PRE></body>"), std::string::npos) << access_page;
    Exchange security("/admin/logs/security");
    (void)log_view(*security.r, "security");
    const std::string security_page = security.finish();
    EXPECT_EQ(security_page.size() - security_page.rfind("</form></center>"), std::strlen("</form></center>"));
    fs::rename(kHome / "access.aside", log_file("http-proxy.log"));
    fs::rename(kHome / "security.aside", log_file("security.log"));
}

TEST(LogPages, ClearEmptiesTheLogAndLoggingGoesOn) {
    struct Case {
        const char* route;
        const char* file;
        const char* location;
    };
    const Case cases[] = {
        {"/admin/clearsecuritylog?button=+Clear+", "security.log", "/admin/logs/security"},
        {"/admin/clearerrorlog", "error.log", "/admin/logs/error"},
        {"/admin/cleardiallog", "dial.log", "/admin/logs/dial"},
        {"/admin/clearlog?button=+Clear+", "http-proxy.log", "/admin/logs/access"},
        {"/admin/clearalllog", "error.log", "/admin/logs/access"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        log::security("before clearing %zu", i);
        log::error(1, 1, 0, "before clearing %zu", i);
        log::dial("before clearing %zu", i);
        write_file(log_file("http-proxy.log"), "old line\n");
        Exchange x(cases[i].route);
        EXPECT_EQ(clear_logs(*x.r, cases[i].route), 1);
        EXPECT_EQ(x.finish(), std::string("HTTP/1.0 301 Moved Permanently\r\nLocation: ") + cases[i].location +
                                  "\r\n\r\n")
            << "row " << i;
        EXPECT_EQ(read_file(log_file(cases[i].file)), "") << "row " << i;
    }
    log::security("after clearing");
    EXPECT_NE(read_file(log_file("security.log")).find("after clearing"), std::string::npos);
    EXPECT_EQ(read_file(log_file("security.log")).find("before"), std::string::npos);
}

TEST(LogPages, FrameSetTabBarAndEmptyWindow) {
    Exchange frames("/admin/logs");
    (void)logs_frameset(*frames.r);
    const std::string f = frames.finish();
    EXPECT_EQ(f.find("<BODY"), std::string::npos);
    EXPECT_NE(f.find("<frame src=\"/admin/logs/nic\" noresize name=\"logwindow\"></frameset><noframe>"),
              std::string::npos);
    EXPECT_STREQ(state().last_admin_page, "logs");

    Exchange tabs("/admin/logs/index");
    (void)logs_tab_bar(*tabs.r);
    const std::string t = tabs.finish();
    EXPECT_EQ(count(t, "target=logwindow>"), 5u);
    EXPECT_NE(t.find("target=logwindow>Security</a></b><td width=20><br>\n<td align=center width=70 "
                     "bgcolor=\"ffffff\"><b><a href=\"/admin/logs/error\" target=logwindow>Error</a></b>\n<tr>"
                     "</table></body>"),
              std::string::npos);

    Exchange nic("/admin/logs/nic");
    (void)logs_empty_window(*nic.r);
    EXPECT_EQ(nic.finish(), std::string(kPageHead) + "<BODY bgcolor=\"#c0c0c0\">\n</body>");
    EXPECT_STREQ(state().last_admin_page, "logs/nic");
}

// --- manual, dial, mail -------------------------------------------------------

TEST(ManualPage, WithoutTheDialUpManager) {
    Exchange x("/admin/manual");
    EXPECT_EQ(manual_page(*x.r), 1);
    const std::string page = x.finish();
    EXPECT_NE(page.find("Dial up : </FONT></b>\n<b>RAS is not installed</b></center></FORM>"), std::string::npos);
    EXPECT_NE(page.find("VALUE=\"View Queue\"></FORM>"), std::string::npos);
    EXPECT_STREQ(state().last_admin_page, "manual");
}

TEST(DialPage, HandsTheConnectionOverAfterItsOwnLines) {
    struct Case {
        const char* path;
        int msie;
        const char* text;
    };
    const Case cases[] = {
        {"/admin/dial/dial?connect=+Dial+to&DontHangup=on", 1, "<B>Dialling ...      </B><br><br>"},
        {"/admin/dial/dial?disconnect=+Hang+Up+", 0, "<B>Disconnecting ... </B><P>\n"},
        {"/admin/dial/dial", 0, "<B>Disconnecting ... </B><P>\n"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Exchange x(cases[i].path);
        x.r->is_msie = cases[i].msie;
        EXPECT_EQ(dial_page(*x.r), 0) << "row " << i;
        EXPECT_FALSE(x.r->conn.client.valid()) << "row " << i;
        const std::string page = drain(x.peer);
        const std::string padding = cases[i].msie ? [] {
            std::string p;
            for (int n = 0; n < 7; ++n) p += std::string(45, ' ') + "<br>\n";
            return p;
        }()
                                                   : "";
        EXPECT_EQ(page, std::string(kPageHead) + "<BODY bgcolor=\"#c0c0c0\">\n" + padding + cases[i].text)
            << "row " << i;
    }
}

TEST(MailPage, QueueTransferAndNoButton) {
    Exchange none("/admin/mail");
    EXPECT_EQ(mail_page(*none.r), 1);
    EXPECT_EQ(none.finish(), std::string(kPageHead) + "<BODY bgcolor=\"#c0c0c0\">\n");

    Exchange queue("/admin/mail?ViewQueue=View+Queue");
    EXPECT_EQ(mail_page(*queue.r), 1);
    const std::string q = queue.finish();
    EXPECT_NE(q.find("Mail Queue</FONT></b></center><hr>\nNo messages<br>\n<hr><a href=\"/admin/manual\"><B>Back</b>"
                     "</a>\n</body>"),
              std::string::npos)
        << q;

    Exchange transfer("/admin/mail?BothMail=+Send+and+Receive+");
    EXPECT_EQ(mail_page(*transfer.r), 0);
    EXPECT_FALSE(transfer.r->conn.client.valid());
    const std::string t = drain(transfer.peer);
    EXPECT_NE(t.find("Mail Transfer</FONT></b></center><hr>\n</body>"), std::string::npos) << t;
}

// --- current user and password --------------------------------------------------

class UserPages : public ::testing::Test {
protected:
    void SetUp() override {
        for (config::Settings* s : {&config::live(), &config::admin_copy()}) {
            config::reset_lists(s->lists);
            ASSERT_GE(config::add_user(s->lists, "alice", "old secret"), 0);
            ASSERT_GE(config::add_user(s->lists, "bob<i>", "x"), 0);
        }
        config::Settings& live = config::live();
        ASSERT_GE(config::add_group(live.lists, "Staff"), 0);
        ASSERT_GE(config::add_group(live.lists, "Other"), 0);
        ASSERT_EQ(config::add_to_group(live.lists, "alice", "Staff"), 1);
        ASSERT_EQ(config::add_to_group(live.lists, "alice", "Admins"), 1);
        ASSERT_EQ(config::add_to_group(live.lists, "bob<i>", "Other"), 1);
    }
};

TEST_F(UserPages, WithoutCredentialsAsksForThem) {
    Exchange x("/admin/user");
    EXPECT_EQ(user_page(*x.r), 1);
    EXPECT_EQ(x.finish(),
              "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Korvanet\"\r\nContent-Type: "
              "text/html\r\n\r\n");
}

TEST_F(UserPages, ShowsTheUserEscapedAndItsGroups) {
    Exchange x("/admin/user");
    platform::copy_bounded(x.r->user, "alice");
    (void)user_page(*x.r);
    const std::string page = x.finish();
    EXPECT_NE(page.find("<font size=+1 color=\"#FF0000\">alice</font></font></center><hr>"), std::string::npos);
    EXPECT_NE(page.find("name=\"username\" value=\"alice\"></center></form><hr><center><font size=+1> Groups "
                        "Membership</font></center>Admins, Staff, "),
              std::string::npos)
        << page;
    EXPECT_EQ(page.find("Other"), std::string::npos);
    EXPECT_STREQ(state().last_admin_page, "user");

    Exchange odd("/admin/user");
    platform::copy_bounded(odd.r->user, "bob<i>");
    (void)user_page(*odd.r);
    const std::string odd_page = odd.finish();
    EXPECT_EQ(odd_page.find("bob<i>"), std::string::npos);
    EXPECT_NE(odd_page.find("value=\"bob&lt;i&gt;\""), std::string::npos);
    EXPECT_NE(odd_page.find("Membership</font></center>Other, "), std::string::npos);
}

TEST_F(UserPages, PasswordChange) {
    struct Case {
        const char* query;
        const char* answer;
        const char* password_after;  // of alice, in both lists
    };
    const char* kWrong = "Old password is incorrect.<p>Please enter it <a href=\"/admin/user\">again</a>";
    const char* kMismatch =
        "New password and confirm password do not match.<p>Please enter them <a href=\"/admin/user\">again</a>";
    const char* kDone =
        "Your password has been successfuly changed.<p>Please <a href=\"/admin/user\">re-authenticate</a> youself "
        "against Korvanet.";
    const Case cases[] = {
        {"old_password=wrong&new_password=n&retype_password=n&username=alice", kWrong, "old secret"},
        {"old_password=old+secret&new_password=n&retype_password=m&username=alice", kMismatch, "old secret"},
        {"old_password=old+secret&new_password=n&retype_password=n&username=nobody", kWrong, "old secret"},
        {"old_password=+old%20secret+&new_password=new+one&retype_password=new%20one+&username=alice&button=x", kDone,
         "new one"},
        // Characters that are form syntax arrive as typed.
        {"username=alice&old_password=new+one&new_password=a%26b%2Bc%3D%25&retype_password=a%26b%2Bc%3D%25", kDone,
         "a&b+c=%"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Exchange x(std::string("/admin/password?") + cases[i].query);
        EXPECT_EQ(password_change(*x.r), 1);
        EXPECT_EQ(x.finish(), std::string(kPageHead) + "<BODY bgcolor=\"#c0c0c0\">\n" + cases[i].answer)
            << "row " << i;
        EXPECT_TRUE(config::check_password(config::live().lists, "alice", cases[i].password_after)) << "row " << i;
        EXPECT_TRUE(config::check_password(config::admin_copy().lists, "alice", cases[i].password_after))
            << "row " << i;
    }
    // The stored settings hold the last change.
    char digest[33];
    config::password_digest("alice", "a&b+c=%", digest);
    EXPECT_NE(read_file(kHome / "registry.reg").find(digest), std::string::npos);
}

}  // namespace
}  // namespace kv::admin
