#include "dns/dns_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kv::dns {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes query_of(std::uint16_t id, const char* name) {
    Bytes out(kQuerySize);
    out.resize(build_query(id, name, out.data()));
    return out;
}

TEST(BuildQuery, ExactBytes) {
    const Bytes expect = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0,  // header
                          3, 'w', 'w', 'w', 7, 'E', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0,
                          0, 1, 0, 1};
    EXPECT_EQ(query_of(0x1234, "www.Example.com"), expect);
    // One trailing dot only ends the name.
    EXPECT_EQ(query_of(0x1234, "www.Example.com."), expect);
}

TEST(BuildQuery, NamesSentAndNot) {
    const std::string label63(63, 'a');
    const std::string label64(64, 'a');
    std::string name256;
    while (name256.size() < 256) name256 += "abcdefg.";
    name256.resize(256);
    if (name256.back() == '.') name256.back() = 'x';
    const std::string name257 = name256 + "x";
    struct Case {
        std::string name;
        std::size_t len;  // 0: not sent
    };
    const Case kCases[] = {
        {"a", 19},
        {"a.b", 21},
        {label63 + ".com", 63 + 4 + 18},
        {label64 + ".com", 0},
        {"com." + label64, 0},
        {name256, 256 + 18},
        {name257, 0},
        {"", 0},
        {".", 0},
        {"a..b", 0},
        {".a", 0},
        {"a.b..", 0},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(query_of(7, kCases[i].name.c_str()).size(), kCases[i].len) << "row " << i;
}

// A real-shaped answer: the question, then answer records whose names are
// compression pointers to the question.
struct Record {
    std::uint16_t type;
    Bytes data;
    Bytes name = {0xC0, 12};
};

Bytes answer(std::uint16_t id, const char* name, const std::vector<Record>& records, std::uint8_t flags2 = 0x80,
             std::uint8_t flags1 = 0x81) {
    Bytes msg = query_of(id, name);
    msg[2] = flags1;
    msg[3] = flags2;
    msg[7] = static_cast<std::uint8_t>(records.size());
    for (const Record& r : records) {
        msg.insert(msg.end(), r.name.begin(), r.name.end());
        const std::uint8_t fixed[] = {0, static_cast<std::uint8_t>(r.type), 0, 1, 0, 0, 0x0e, 0x10, 0,
                                      static_cast<std::uint8_t>(r.data.size())};
        msg.insert(msg.end(), std::begin(fixed), std::end(fixed));
        msg.insert(msg.end(), r.data.begin(), r.data.end());
    }
    return msg;
}

std::string parse_text(const Bytes& msg, int* code) {
    in_addr a{};
    *code = parse_answer(msg.data(), msg.size(), &a);
    char text[INET_ADDRSTRLEN] = "";
    if (*code == 0) inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

TEST(ParseAnswer, RealShapes) {
    const Bytes cname = {3, 'w', 'e', 'b', 0xC0, 12};
    Bytes wrong_len_a = answer(1, "a.example", {{1, {1, 2, 3}}, {1, {10, 0, 0, 7}}});
    Bytes long_name_record = answer(1, "a.example", {{1, {10, 0, 0, 8}, {1, 'x', 0}}});
    struct Case {
        Bytes msg;
        int code;
        std::string address;
    };
    const Case kCases[] = {
        {answer(1, "a.example", {{1, {10, 0, 0, 1}}}), 0, "10.0.0.1"},
        {answer(1, "a.example", {{1, {10, 0, 0, 1}}, {1, {10, 0, 0, 2}}}), 0, "10.0.0.1"},
        {answer(1, "a.example", {{5, cname}, {1, {10, 0, 0, 3}, {3, 'w', 'e', 'b', 0xC0, 12}}}), 0, "10.0.0.3"},
        {answer(1, "a.example", {{28, Bytes(16, 1)}, {1, {10, 0, 0, 4}}}), 0, "10.0.0.4"},
        {wrong_len_a, 0, "10.0.0.7"},
        {long_name_record, 0, "10.0.0.8"},
        // Only a CNAME, or only AAAA: no address.
        {answer(1, "a.example", {{5, cname}}), kCodeNoAnswer, ""},
        {answer(1, "a.example", {{28, Bytes(16, 1)}}), kCodeNoAnswer, ""},
        {answer(1, "a.example", {}), kCodeNoAnswer, ""},
        {answer(1, "a.example", {}, 0x83), 3, ""},
        {answer(1, "a.example", {}, 0x82), 2, ""},
        {answer(1, "a.example", {{1, {10, 0, 0, 1}}}, 0x85), 5, ""},
        {answer(1, "a.example", {{1, {10, 0, 0, 1}}}, 0x80, 0x01), kCodeNotResponse, ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        int code = -1;
        EXPECT_EQ(parse_text(kCases[i].msg, &code), kCases[i].address) << "row " << i;
        EXPECT_EQ(code, kCases[i].code) << "row " << i;
    }
}

TEST(ParseAnswer, LiesStayInside) {
    const Bytes good = answer(1, "a.example", {{1, {10, 0, 0, 1}}});
    std::vector<Bytes> lies;
    // Every cut of a good answer short of its end.
    for (std::size_t n = 0; n < good.size(); ++n) lies.emplace_back(good.begin(), good.begin() + n);
    // 65535 answers claimed, one CNAME given: the walk runs out of datagram.
    Bytes huge_count = answer(1, "a.example", {{5, {3, 'w', 'e', 'b', 0xC0, 12}}});
    huge_count[6] = 0xFF, huge_count[7] = 0xFF;
    lies.push_back(huge_count);
    Bytes many_questions = good;
    many_questions[4] = 0xFF;
    lies.push_back(many_questions);
    Bytes label_past_end = good;
    label_past_end[12] = 0x3F;  // the first label claims 63 bytes
    label_past_end.resize(30);
    lies.push_back(label_past_end);
    // A pointer to itself: never followed, so no loop; the record after it is cut.
    Bytes pointer_loop = answer(1, "a.example", {{1, {}, {0xC0, 0}}});
    pointer_loop.resize(pointer_loop.size() - 2);
    lies.push_back(pointer_loop);
    Bytes data_past_end = good;
    data_past_end[data_past_end.size() - 5] = 0xFF;  // data length
    lies.push_back(data_past_end);
    // The address lies beyond the 480-byte window.
    Bytes beyond_window = answer(1, "a.example", {{16, Bytes(255, 'x')}, {16, Bytes(200, 'y')}, {1, {1, 2, 3, 4}}});
    ASSERT_GT(beyond_window.size(), kAnswerWindow);
    lies.push_back(beyond_window);
    for (std::size_t i = 0; i < lies.size(); ++i) {
        // Each lie gets its own allocation of exactly its size, so a read past
        // the end shows under the address sanitizer.
        auto copy = std::make_unique<std::uint8_t[]>(lies[i].size() + 1);
        std::copy(lies[i].begin(), lies[i].end(), copy.get());
        in_addr a{};
        EXPECT_EQ(parse_answer(copy.get(), lies[i].size(), &a), kCodeMalformed) << "lie " << i;
    }
}

TEST(QueryIds, WrapSkipsZero) {
    EXPECT_EQ(following_id(0), 1);
    EXPECT_EQ(following_id(1), 2);
    EXPECT_EQ(following_id(65534), 65535);
    EXPECT_EQ(following_id(65535), 1);
    std::uint16_t id = 0;
    const std::uint8_t one[] = {0xAB};
    const std::uint8_t two[] = {0xAB, 0xCD};
    EXPECT_FALSE(message_id(one, 1, &id));
    ASSERT_TRUE(message_id(two, 2, &id));
    EXPECT_EQ(id, 0xABCD);
}

TEST(ClassifyDatagram, BySenderAndResponseBit) {
    sockaddr_in upstream{};
    upstream.sin_family = AF_INET;
    upstream.sin_port = htons(53);
    inet_pton(AF_INET, "10.53.0.2", &upstream.sin_addr);
    sockaddr_in client = upstream;
    inet_pton(AF_INET, "192.168.1.5", &client.sin_addr);
    client.sin_port = htons(40000);
    sockaddr_in upstream_other_port = upstream;
    upstream_other_port.sin_port = htons(5353);
    Bytes q = query_of(9, "a.example");
    Bytes a = answer(9, "a.example", {{1, {1, 2, 3, 4}}});
    struct Case {
        Bytes msg;
        sockaddr_in from;
        Datagram kind;
    };
    const Case kCases[] = {
        {q, client, Datagram::kQuery},
        {a, upstream, Datagram::kAnswer},
        {a, client, Datagram::kDrop},               // a stranger's answer
        {q, upstream, Datagram::kDrop},             // a query from the upstream: a loop
        {a, upstream_other_port, Datagram::kDrop},  // answers come from port 53 only
        {q, upstream_other_port, Datagram::kQuery},
        {Bytes(q.begin(), q.begin() + 11), client, Datagram::kDrop},
        {Bytes(q.begin(), q.begin() + 12), client, Datagram::kQuery},
        {Bytes(), client, Datagram::kDrop},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(classify_datagram(kCases[i].msg.data(), kCases[i].msg.size(), kCases[i].from, upstream),
                  kCases[i].kind)
            << "row " << i;
}

}  // namespace
}  // namespace kv::dns
