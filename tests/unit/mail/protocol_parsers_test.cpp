// The pure parsers of the SMTP and POP3 servers: command words, recipient
// syntax, the relay decision, end-of-data detection, POP3 line split and
// message numbers.
#include <string>

#include "mail/dot_stream.h"
#include "mail/pop3_server.h"
#include "mail/smtp_server.h"
#include "tests/unit/test_support.h"

namespace kv::mail {
namespace {

TEST(SmtpCommand, FirstCharactersInTableOrder) {
    struct Case {
        const char* line;
        SmtpCommand command;
    } cases[] = {{"HELO x", kHelo},       {"helox", kHelo},          {"EHLO", kEhlo},
                 {"AUTH LOGIN", kAuthLogin}, {"auth login abc", kAuthLogin}, {"AUTH PLAIN", kUnknown},
                 {"MAIL FROM:<a>", kMailFrom}, {"MAIL FRO", kUnknown}, {"RCPT TO:<a>", kRcpt},
                 {"DATA", kData},        {"NOOP", kNoop},           {"RSET", kRset},
                 {"QUIT", kQuit},        {"HELP me", kHelp},        {"", kUnknown},
                 {"HEL", kUnknown},      {" HELO", kUnknown}};
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(smtp_command(cases[i].line), cases[i].command) << "row " << i;
}

TEST(RecipientSyntax, EmptyAndBrokenAddresses) {
    struct Case {
        const char* text;
        int result;
    } cases[] = {{"", 1}, {"<a@b>", 0}, {"a@", 2}, {"<a@>", 2}, {"<@r:a@b>", 2}, {"ann", 0}, {"@", 2}};
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(recipient_syntax(cases[i].text), cases[i].result) << "row " << i;
}

TEST(RelayAllowed, StepsInOrder) {
    const std::string long_domain = "<a@" + std::string(255, 'd') + ">";
    const std::string long_entry = std::string(128, 'x') + " 10.0.0.1";
    struct Case {
        const char* rcpt;
        const char* client;
        bool authenticated, relay_authenticated;
        const char* ips;
        const char* domains;
        bool allowed;
    } cases[] = {
        {"<a@far>", "10.0.0.1", false, true, "", "", true},           // no relay list: anyone
        {"<a@far>", "10.0.0.1", false, true, " \t\r\n", "", true},    // only white space
        {"ann", "10.0.0.1", false, true, "1.2.3.4", "", true},        // local name
        {"<a@far>", "10.0.0.1", true, true, "1.2.3.4", "", true},     // authenticated
        {"<a@far>", "10.0.0.1", true, false, "1.2.3.4", "", false},   // authentication does not count
        {"<a@Home.Example>", "10.0.0.1", false, true, "1.2.3.4", "x;home.example", true},
        {"<a@home.example.evil>", "10.0.0.1", false, true, "1.2.3.4", "home.example", false},
        {"<a@far>", "10.0.0.1", false, true, "10.0.0.0/255.0.0.0", "", true},
        {"<a@far>", "11.0.0.1", false, true, "10.0.0.0/255.0.0.0", "", false},
        {"<a@far>", "10.0.0.1", false, true, "10.0.0.1", "", true},
        {"<a@far>", "10.0.0.2", false, true, "10.0.0.1", "", false},
        {"<a@far>", "10.0.0.1", false, true, "10.0.0.300 10.0.0.1/8", "", false},   // bad entry, prefix mask
        {"<a@far>", "10.0.0.1", false, true, "junk,10.0.0.1", "", true},
        {"<a@far>", "10.0.0.1", false, true, "10.0.0.0/255.255.255.0.1", "", false},
        {long_domain.c_str(), "10.0.0.1", false, true, "1.2.3.4", "", false},
        {"<a@far>", "10.0.0.1", false, true, long_entry.c_str(), "", false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const RelayRules rules{cases[i].authenticated, cases[i].relay_authenticated, cases[i].ips, cases[i].domains};
        EXPECT_EQ(relay_allowed(cases[i].rcpt, cases[i].client, rules), cases[i].allowed) << "row " << i;
    }
}

// Feeds the stream in pieces of `step` bytes; returns the message and what stayed.
std::pair<std::string, std::string> receive(const std::string& stream, std::size_t step) {
    DataEnd state;
    std::string message;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min(step, stream.size() - at);
        int cut = 0;
        const std::size_t taken = scan_data_end(state, stream.data() + at, n, &cut);
        message.append(stream, at, taken);
        at += taken;
        if (cut) {
            message.resize(message.size() - static_cast<std::size_t>(cut));
            return {message, stream.substr(at)};
        }
    }
    return {message + "<unended>", ""};
}

TEST(DataEnd, SameResultHoweverTheStreamIsCut) {
    struct Case {
        std::string stream, message, rest;
    } cases[] = {
        {"a\r\n.\r\nQUIT\r\n", "a\r\n", "QUIT\r\n"},
        {".\r\n", "", ""},                          // the trace line ended the file before
        {"a\n.\nNOOP", "a\n", "NOOP"},
        {"a\r\n.\n", "a\r\n", ""},
        {"..\r\n.x\r\n.\r\n", "..\r\n.x\r\n", ""},  // stuffed lines stay stuffed
        {"a\r\n. \r\nb", "a\r\n. \r\nb<unended>", ""},
        {std::string("\0\r\n.\r\n", 6), std::string("\0\r\n", 3), ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        for (std::size_t step : {1, 2, 3, 5, 8192}) {
            const auto [message, rest] = receive(cases[i].stream, step);
            EXPECT_EQ(message, cases[i].message) << "row " << i << " step " << step;
            EXPECT_EQ(rest, cases[i].rest) << "row " << i << " step " << step;
        }
    }
}

TEST(Pop3Line, SplitsAtBlanksAndCutsArguments) {
    Pop3Line l{};
    split_pop3_line("  TOP\t1   5 extra", 2, l);
    EXPECT_STREQ(l.word, "TOP");
    EXPECT_EQ(l.args, 2);
    EXPECT_STREQ(l.arg[0], "1");
    EXPECT_STREQ(l.arg[1], "5");
    split_pop3_line("PASS secret word", 1, l);
    EXPECT_EQ(l.args, 1);
    EXPECT_STREQ(l.arg[0], "secret");
    split_pop3_line("", 2, l);
    EXPECT_EQ(l.args, 0);
    EXPECT_STREQ(l.word, "");
    const std::string long_arg(3000, 'x');
    split_pop3_line(("USER " + long_arg).c_str(), 1, l);
    EXPECT_EQ(std::string(l.arg[0]), long_arg.substr(0, kPop3ArgumentSize - 1));
}

TEST(Pop3Number, SignAndDigitsWithin32Bits) {
    struct Case {
        const char* text;
        int ok;
        long long value;
    } cases[] = {{"1", 1, 1},          {"0", 1, 0},           {"-3", 1, -3},          {"007", 1, 7},
                 {"", 0, 0},           {"-", 0, 0},           {"1x", 0, 0},           {"+1", 0, 0},
                 {"2147483647", 1, 2147483647}, {"2147483648", 0, 0}, {"-2147483648", 1, -2147483648LL},
                 {"99999999999999999999", 0, 0}, {"--1", 0, 0}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        long long v = 0;
        EXPECT_EQ(pop3_number(cases[i].text, &v), cases[i].ok) << "row " << i;
        if (cases[i].ok) {
            EXPECT_EQ(v, cases[i].value) << "row " << i;
        }
    }
}

}  // namespace
}  // namespace kv::mail
