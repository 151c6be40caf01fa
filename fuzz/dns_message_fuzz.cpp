// Feeds arbitrary bytes to the DNS message code: as an answer to read, as a
// name to build a query from, and as a run of forwarder steps. Besides the
// sanitizers' checks: an answer's code is one the reader can give, a built
// query reads back as its name, an answer made from it gives its address,
// and the forwarding table behaves as a list of at most 20 live queries in
// arrival order, each with its own upstream ID.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dns/dns_message.h"
#include "dns/forward_table.h"

namespace {

using namespace kv::dns;

void check(bool ok) {
    if (!ok) std::abort();
}

void fuzz_answer(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the datagram's size: any read past it is caught.
    auto msg = std::make_unique<std::uint8_t[]>(size ? size : 1);
    std::memcpy(msg.get(), data, size);
    in_addr a{};
    const int code = parse_answer(msg.get(), size, &a);
    check(code >= 0 && code <= 15);
    std::uint16_t id = 0;
    check(message_id(msg.get(), size, &id) == (size >= 2));
}

void fuzz_query(const std::uint8_t* data, std::size_t size) {
    std::string name(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 300));
    name = name.c_str();  // up to the first NUL, as a caller's text
    std::uint8_t q[kQuerySize];
    const std::size_t len = build_query(0x1234, name.c_str(), q);
    if (len == 0) return;
    const bool trailing_dot = !name.empty() && name.back() == '.';
    if (trailing_dot) name.pop_back();
    check(len == name.size() + 18);
    check(len <= kQuerySize);
    // The labels read back as the name.
    std::string back;
    std::size_t p = kHeaderSize;
    while (q[p]) {
        check(q[p] <= kLongestLabel && q[p] > 0);
        if (!back.empty()) back += '.';
        back.append(reinterpret_cast<const char*>(q + p + 1), q[p]);
        p += 1 + q[p];
    }
    check(back == name);
    // An answer built the way servers do comes back with its address.
    std::vector<std::uint8_t> answer(q, q + len);
    answer[2] = 0x81, answer[3] = 0x80, answer[7] = 1;
    const std::uint8_t record[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 1, 2, 3};
    answer.insert(answer.end(), std::begin(record), std::end(record));
    in_addr a{};
    const int code = parse_answer(answer.data(), answer.size(), &a);
    if (answer.size() <= kAnswerWindow) {
        check(code == 0);
        check(a.s_addr == htonl(0x0A010203));
    } else {
        check(code == kCodeMalformed);
    }
}

void fuzz_forwarding(const std::uint8_t* data, std::size_t size) {
    sockaddr_in upstream{};
    upstream.sin_family = AF_INET;
    upstream.sin_port = htons(53);
    upstream.sin_addr.s_addr = htonl(0x0A350002);
    ForwardTable table(size);
    struct Live {
        std::uint16_t upstream_id, client_id;
    };
    std::vector<Live> model;  // arrival order: the front is the oldest
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        const std::uint8_t* step = data + i;
        sockaddr_in from = upstream;
        if (step[0] & 1) from.sin_addr.s_addr = htonl(0xC0A80100u | step[1]);
        if (step[0] & 2) from.sin_port = htons(5353);
        std::uint8_t msg[kHeaderSize] = {step[2], step[3], static_cast<std::uint8_t>(step[0] & 0x80)};
        const std::size_t len = (step[0] & 4) ? kHeaderSize - 1 : kHeaderSize;
        const Datagram kind = classify_datagram(msg, len, from, upstream);
        const bool from_upstream = !(step[0] & 3);
        const bool response = step[0] & 0x80;
        const std::uint16_t id = static_cast<std::uint16_t>(step[2] << 8 | step[3]);
        if (len < kHeaderSize) {
            check(kind == Datagram::kDrop);
        } else if (from_upstream) {
            check(kind == (response ? Datagram::kAnswer : Datagram::kDrop));
        } else {
            check(kind == (response ? Datagram::kDrop : Datagram::kQuery));
        }
        if (kind == Datagram::kQuery) {
            if (model.size() == kForwardEntries) model.erase(model.begin());
            const std::uint16_t given = table.insert(id, from, in_addr{});
            check(given < kIdLimit);
            for (const Live& l : model) check(l.upstream_id != given);
            model.push_back({given, id});
        } else if (kind == Datagram::kAnswer) {
            // Half the answers carry an ID the table gave out.
            std::uint16_t asked = id;
            if ((step[1] & 1) && !model.empty()) asked = model[step[1] % model.size()].upstream_id;
            ForwardEntry e;
            const int found = table.take(asked, &e);
            auto it = std::find_if(model.begin(), model.end(), [&](const Live& l) { return l.upstream_id == asked; });
            check(found == (it != model.end()));
            if (found) {
                check(e.client_id == it->client_id);
                model.erase(it);
            }
        }
        check(table.used() == static_cast<int>(model.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_answer(data, size);
    fuzz_query(data, size);
    fuzz_forwarding(data, size);
    return 0;
}
