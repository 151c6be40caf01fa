// The pure pieces of the mail exchange: upstream SMTP replies (line by line
// and over a socket), spool envelope lines as SMTP commands, the POP3 STAT
// reply, queue headers and the schedule's two readers.
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mail/mail_schedule.h"
#include "mail/mail_sender.h"
#include "mail/pop3_download.h"
#include "mail/smtp_replies.h"
#include "net/line_io.h"
#include "tests/unit/test_support.h"

namespace kv::mail {
namespace {

// --- replies, line by line ----------------------------------------------------------

TEST(ReplyAddLine, OnlyADashInTheFourthPlaceContinues) {
    struct Case {
        const char* line;
        ReplyStep step;
    } cases[] = {{"250-host", ReplyStep::kMore}, {"250-", ReplyStep::kMore},   {"abc-", ReplyStep::kMore},
                 {"250", ReplyStep::kDone},      {"250 ok", ReplyStep::kDone}, {"25", ReplyStep::kDone},
                 {"", ReplyStep::kDone},         {"2500-x", ReplyStep::kDone}, {"250 -x", ReplyStep::kDone},
                 {"25-0", ReplyStep::kDone}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SmtpReply r;
        reply_start(r);
        EXPECT_EQ(reply_add_line(r, cases[i].line), cases[i].step) << "row " << i;
        EXPECT_EQ(std::string(r.whole), std::string(cases[i].line) + "\r\n") << "row " << i;
        EXPECT_STREQ(r.last, cases[i].step == ReplyStep::kDone ? cases[i].line : "") << "row " << i;
    }
}

TEST(ReplyAddLine, MultiLineReplyKeepsEveryLineAndTheLast) {
    SmtpReply r;
    reply_start(r);
    EXPECT_EQ(reply_add_line(r, "250-relay.example"), ReplyStep::kMore);
    EXPECT_EQ(reply_add_line(r, "250-AUTH LOGIN"), ReplyStep::kMore);
    EXPECT_EQ(reply_add_line(r, "250 HELP"), ReplyStep::kDone);
    EXPECT_STREQ(r.last, "250 HELP");
    EXPECT_STREQ(r.whole, "250-relay.example\r\n250-AUTH LOGIN\r\n250 HELP\r\n");
    EXPECT_EQ(r.whole_length, std::strlen(r.whole));
    EXPECT_EQ(r.lines, 3);
    EXPECT_TRUE(reply_positive(r));

    // A new reply starts empty.
    reply_start(r);
    EXPECT_STREQ(r.last, "");
    EXPECT_STREQ(r.whole, "");
    EXPECT_EQ(r.whole_length, 0u);
    EXPECT_EQ(r.lines, 0);
    EXPECT_FALSE(reply_positive(r));
}

TEST(ReplyAddLine, AtMostAHundredLines) {
    struct Case {
        int continued;  // "250-" lines before the last one
        ReplyStep last;
    } cases[] = {{99, ReplyStep::kDone}, {100, ReplyStep::kTooLong}};
    for (const Case& c : cases) {
        SmtpReply r;
        reply_start(r);
        for (int i = 0; i < c.continued; ++i) ASSERT_EQ(reply_add_line(r, "250-x"), ReplyStep::kMore) << i;
        EXPECT_EQ(reply_add_line(r, "250 end"), c.last) << c.continued;
        EXPECT_EQ(reply_positive(r), c.last == ReplyStep::kDone) << c.continued;
    }
}

TEST(ReplyAddLine, WholeReplyKeptUpTo8190Bytes) {
    // 90 lines of 101 bytes with their CR LF: 9,090 bytes.
    const std::string line = "250-" + std::string(95, 'x');
    SmtpReply r;
    reply_start(r);
    std::string all;
    for (int i = 0; i < 90; ++i) {
        ASSERT_EQ(reply_add_line(r, line.c_str()), ReplyStep::kMore);
        all += line + "\r\n";
    }
    EXPECT_EQ(reply_add_line(r, "250 end"), ReplyStep::kDone);
    EXPECT_STREQ(r.last, "250 end");
    EXPECT_EQ(r.whole_length, kWholeReplyKept);
    EXPECT_EQ(std::string(r.whole), all.substr(0, kWholeReplyKept));
}

TEST(ReplyPositive, TwoAndThreeOnly) {
    struct Case {
        const char* last;
        bool positive;
    } cases[] = {{"250 ok", true}, {"354 go", true}, {"334 VXNlcm5hbWU6", true}, {"421 bye", false}, {"550 no", false},
                 {"", false},      {"1", false}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SmtpReply r;
        reply_start(r);
        (void)reply_add_line(r, cases[i].last);
        EXPECT_EQ(reply_positive(r), cases[i].positive) << "row " << i;
    }
}

// --- replies over a socket ------------------------------------------------------------

// The upstream server's end of a connection and ours.
class ReplyRead : public ::testing::Test {
protected:
    void SetUp() override { test::unix_pair(ours_, theirs_); }
    void TearDown() override {
        if (writer_.joinable()) writer_.join();
    }

    // The upstream writes the pieces one at a time, a little apart, then
    // closes when asked.
    void upstream(std::vector<std::string> pieces, bool close_after) {
        writer_ = std::thread([this, pieces = std::move(pieces), close_after] {
            for (const std::string& piece : pieces) {
                ASSERT_EQ(::send(theirs_.get(), piece.data(), piece.size(), MSG_NOSIGNAL),
                          static_cast<ssize_t>(piece.size()));
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
            if (close_after) theirs_.reset();
        });
    }

    platform::Socket ours_, theirs_;
    std::thread writer_;
    SmtpReply reply_{};
};

TEST_F(ReplyRead, ReplyCutAcrossWrites) {
    upstream({"25", "0-first\r", "\n250", " last\r\n"}, false);
    EXPECT_EQ(read_smtp_reply(ours_.get(), reply_), 1);
    EXPECT_STREQ(reply_.last, "250 last");
    EXPECT_STREQ(reply_.whole, "250-first\r\n250 last\r\n");
    EXPECT_EQ(reply_.lines, 2);
}

TEST_F(ReplyRead, NextReplyStaysInTheSocket) {
    // Bare line feeds end lines too; the kept lines still carry CR LF.
    upstream({"220 ready\r\n250-a\n250 b\n"}, true);
    EXPECT_EQ(read_smtp_reply(ours_.get(), reply_), 1);
    EXPECT_STREQ(reply_.last, "220 ready");
    EXPECT_EQ(read_smtp_reply(ours_.get(), reply_), 1);
    EXPECT_STREQ(reply_.last, "250 b");
    EXPECT_STREQ(reply_.whole, "250-a\r\n250 b\r\n");
    EXPECT_EQ(read_smtp_reply(ours_.get(), reply_), 0);
}

TEST_F(ReplyRead, LineSizeCountsTheLineEnd) {
    // 16 bytes with CR LF fit a 16-byte line; one byte more does not.
    const std::string fits = "250 " + std::string(10, 'x');
    upstream({fits + "\r\n", "250 " + std::string(11, 'y') + "\r\n"}, false);
    EXPECT_EQ(read_smtp_reply(ours_.get(), reply_, 16), 1);
    EXPECT_EQ(std::string(reply_.last), fits);
    EXPECT_EQ(read_smtp_reply(ours_.get(), reply_, 16), 0);
}

TEST_F(ReplyRead, LineOverTheLimitFails) {
    // An AUTH reply longer than its 1,024-byte line, then the default size
    // against a line longer than 8,192 bytes.
    upstream({"334 " + std::string(1100, 'a') + "\r\n"}, true);
    EXPECT_EQ(read_smtp_reply(ours_.get(), reply_, kAuthReplyLineSize), 0);
    writer_.join();
    test::unix_pair(ours_, theirs_);
    upstream({"250-" + std::string(9000, 'b') + "\r\n250 ok\r\n"}, true);
    EXPECT_EQ(read_smtp_reply(ours_.get(), reply_), 0);
}

TEST_F(ReplyRead, HundredAndOneLinesFail) {
    std::string lines;
    for (int i = 0; i < 100; ++i) lines += "250-x\r\n";
    upstream({lines + "250 ok\r\n"}, true);
    EXPECT_EQ(read_smtp_reply(ours_.get(), reply_), 0);
}

TEST(ReplyReadClosed, PeerClosingMidReplyFails) {
    const char* cases[] = {"", "250-first\r\n", "250-first\r\n250 last", "250 no line end"};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        platform::Socket ours, theirs;
        test::unix_pair(ours, theirs);
        ASSERT_TRUE(net::send_text(theirs.get(), cases[i]));
        theirs.reset();
        SmtpReply r{};
        EXPECT_EQ(read_smtp_reply(ours.get(), r), 0) << "row " << i;
    }
}

// --- envelope lines ----------------------------------------------------------------

TEST(EnvelopeCommand, SpoolLinesAsCommands) {
    struct Case {
        const char* line;
        EnvelopeCommand kind;
        const char* out;
    } cases[] = {
        {"$$ <ann@home.example>", EnvelopeCommand::kMailFrom, "MAIL FROM:<ann@home.example>\r\n"},
        {"$$ ann@home.example", EnvelopeCommand::kMailFrom, "MAIL FROM:<ann@home.example>\r\n"},
        {"$$ <a@b> SIZE=120", EnvelopeCommand::kMailFrom, "MAIL FROM:<a@b>\r\n"},
        {"$$ Ann <a@b>", EnvelopeCommand::kMailFrom, "MAIL FROM:<a@b>\r\n"},
        {"$$ x\ta@b\ty", EnvelopeCommand::kMailFrom, "MAIL FROM:<a@b>\r\n"},
        {"$$ <a@b> <c@d>", EnvelopeCommand::kMailFrom, "MAIL FROM:<a@b>\r\n"},
        {"$$ @", EnvelopeCommand::kMailFrom, "MAIL FROM:<@>\r\n"},
        {"$$ <>", EnvelopeCommand::kMailFrom, "MAIL FROM:<>\r\n"},
        {"$$ bob", EnvelopeCommand::kMailFrom, "MAIL FROM:<bob>\r\n"},
        {"$$ ", EnvelopeCommand::kMailFrom, "MAIL FROM:<>\r\n"},
        {"$", EnvelopeCommand::kMailFrom, "MAIL FROM:<>\r\n"},
        {"$xyz@q", EnvelopeCommand::kMailFrom, "MAIL FROM:<z@q>\r\n"},
        {"T <c@d>", EnvelopeCommand::kRcptTo, "RCPT TO:<c@d>\r\n"},
        {"B <c@d>", EnvelopeCommand::kRcptTo, "RCPT TO:<c@d>\r\n"},
        {"C  <c@d> x", EnvelopeCommand::kRcptTo, "RCPT TO: <c@d> x\r\n"},
        {"T ", EnvelopeCommand::kRcptTo, "RCPT TO:\r\n"},
        {"T", EnvelopeCommand::kRcptTo, "RCPT TO:\r\n"},
        {"", EnvelopeCommand::kData, "DATA\r\n"},
        {"t <c@d>", EnvelopeCommand::kBad, ""},
        {" T <c@d>", EnvelopeCommand::kBad, ""},
        {"Received: from x", EnvelopeCommand::kBad, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        char out[256];
        std::memset(out, 'z', sizeof out);
        EXPECT_EQ(envelope_command(cases[i].line, out, sizeof out), cases[i].kind) << "row " << i;
        EXPECT_STREQ(out, cases[i].out) << "row " << i;
    }
}

TEST(EnvelopeCommand, CutToSizeNeverPastIt) {
    const char* lines[] = {"$$ <ann@home.example>", "T <c@d>", "", "X"};
    for (const char* line : lines) {
        for (std::size_t size : {0, 1, 5, 12}) {
            char out[32];
            std::memset(out, 'z', sizeof out);
            (void)envelope_command(line, out, size);
            for (std::size_t j = size; j < sizeof out; ++j) ASSERT_EQ(out[j], 'z') << line << " size " << size;
            if (size == 0) continue;
            const std::size_t n = strnlen(out, size);
            EXPECT_LT(n, size) << line << " size " << size;
        }
    }
}

TEST(EnvelopeCommand, LongestSpoolLineStillEndsWithLineEnd) {
    // The send pass reads lines of up to 8,191 characters and gives 16 bytes more.
    constexpr std::size_t kSize = net::kLineBufferSize + 16;
    const std::string longest[] = {"T " + std::string(net::kLineBufferSize - 3, 'r'),
                                   "$$ " + std::string(net::kLineBufferSize - 6, 's') + "@x",
                                   "$$ " + std::string(net::kLineBufferSize - 4, 'n')};
    for (const std::string& line : longest) {
        std::vector<char> out(kSize);
        (void)envelope_command(line.c_str(), out.data(), out.size());
        const std::string text(out.data());
        ASSERT_GE(text.size(), 2u);
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << line.substr(0, 4);
    }
}

// --- POP3 STAT ----------------------------------------------------------------------

TEST(ParseStatReply, CountAndSize) {
    struct Case {
        const char* line;
        int ok;
        long long count, size;
    } cases[] = {
        {"+OK 3 120", 1, 3, 120},
        {"+ok 0 0", 1, 0, 0},
        {"+Ok\t2\t5", 1, 2, 5},
        {"+OK  7   9 octets", 1, 7, 9},
        {"+OK 99999999999 1", 1, 2147483647, 1},
        {"+OK 1 99999999999", 1, 1, 2147483647},
        {"+OK 3", 0, 0, 0},
        {"+OK 3 ", 0, 0, 0},
        {"+OK", 0, 0, 0},
        {"+OK x 1", 0, 0, 0},
        {"+OK 1 x", 0, 0, 0},
        {"+OK -1 5", 0, 0, 0},
        {"-ERR 3 120", 0, 0, 0},
        {"OK 3 120", 0, 0, 0},
        {" +OK 3 120", 0, 0, 0},
        {"", 0, 0, 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        long long count = -1, size = -1;
        EXPECT_EQ(parse_stat_reply(cases[i].line, &count, &size), cases[i].ok) << "row " << i;
        if (cases[i].ok) {
            EXPECT_EQ(count, cases[i].count) << "row " << i;
            EXPECT_EQ(size, cases[i].size) << "row " << i;
        }
    }
}

// --- queue headers ------------------------------------------------------------------

TEST(QueueHeader, ValueAfterALineFeed) {
    const std::string spool =
        "$$ <a@b>\r\nT <c@d>\r\n\r\nReceived: from x\r\nFrom: Ann <a@b>\r\nto: c@d,\r\n\te@f\r\nDATE:Mon\r\n\r\n"
        "body\r\nX-Late: y\r\n";
    struct Case {
        std::string block;
        const char* name;
        const char* value;
    } cases[] = {
        {spool, "From:", "Ann <a@b>"},
        {spool, "To:", "c@d,\te@f"},  // any case, folded
        {spool, "Date:", "Mon"},
        {spool, "Subject:", ""},
        {spool, "X-Late:", "y"},                  // the body counts as well
        {"\nSubject: To: inner\r\n", "To:", ""},  // not at a line start
        {"\nReply-To: r\r\nTo: t\r\n", "To:", "t"},
        {"To: first\r\nX: 1\r\n", "To:", ""},  // the block's start has no line feed
        {"\nTo: one\r\nTo: two\r\n", "To:", "one"},
        {"\nTo:\r\nX: 1", "To:", ""},
        {"\nTo:", "To:", ""},
        {"\nTo", "To:", ""},
        {"", "To:", ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        // Exactly the block's bytes, nothing after them to lean on.
        const std::vector<char> block(cases[i].block.begin(), cases[i].block.end());
        char out[64];
        std::memset(out, 'z', sizeof out);
        queue_header(block.data(), block.size(), cases[i].name, out, sizeof out);
        EXPECT_STREQ(out, cases[i].value) << "row " << i;
    }
}

TEST(QueueHeader, StopsAtTheBlockAndTheOutputSize) {
    const std::string text = "\r\nTo: abcdef\r\n";
    struct Case {
        std::size_t n, size;
        const char* value;
    } cases[] = {{text.size(), 64, "abcdef"}, {7, 64, "a"},        {5, 64, ""}, {4, 64, ""},
                 {text.size(), 4, "abc"},     {text.size(), 1, ""}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::vector<char> block(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(cases[i].n));
        char out[64];
        std::memset(out, 'z', sizeof out);
        queue_header(block.data(), block.size(), "To:", out, cases[i].size);
        EXPECT_STREQ(out, cases[i].value) << "row " << i;
    }
}

// --- the schedule ---------------------------------------------------------------------

TEST(ScheduleInterval, HoursAndMinutesInSeconds) {
    struct Case {
        const char* text;
        long long seconds;
    } cases[] = {
        {"00:05", 300},     {"1:30", 5400},  {"0:0", 0},      {"", 0},           {"abc", 0},      {"99:99", 362340},
        {"-1:0", 0},        {" 2", 7200},    {":30", 0},      {"2", 7200},       {"1:", 3600},    {"1:x", 3600},
        {"+1:+1", 3660},    {"1: 30", 5400}, {"1 :30", 3600}, {"0:-5", 0},       {"-1:90", 1800}, {"0:90", 5400},
        {"12:00 x", 43200}, {"- 1:0", 0},    {"\t0:1", 60},   {"\v1:\f1", 3660},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(schedule_interval_seconds(cases[i].text), cases[i].seconds) << "row " << i << " " << cases[i].text;
}

TEST(ScheduleInterval, LargeNumbersClampAlike) {
    // Every number from 1,000,000 on reads as 1,000,000: a longer run of
    // digits never gives a shorter interval.
    const char* texts[] = {"1000000:0", "1000001:0", "9999999:0", "10000000:0", "99999999999999999999:0"};
    for (const char* text : texts) EXPECT_EQ(schedule_interval_seconds(text), 3600000000LL) << text;
    EXPECT_EQ(schedule_interval_seconds("0:99999999999999999999"), 60000000LL);
    EXPECT_EQ(schedule_interval_seconds("-99999999999999999999:99999999999999999999"), 0);
}

TEST(TimeListed, MinuteAsTwoDigitPairs) {
    const char* list = "07:05 09:30 ";
    struct Case {
        const char* text;
        int hour, minute;
        bool listed;
    } cases[] = {
        {list, 7, 5, true},      {list, 9, 30, true}, {list, 7, 6, false},           {list, 17, 5, false},
        {list, 9, 3, false},     {list, 0, 0, false}, {"7:05", 7, 5, false},         {"00:00", 0, 0, true},
        {"23:59", 23, 59, true}, {"", 0, 0, false},   {"12:00,13:15", 13, 15, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(time_listed(cases[i].text, cases[i].hour, cases[i].minute), cases[i].listed) << "row " << i;
}

}  // namespace
}  // namespace kv::mail
