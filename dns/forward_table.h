#pragma once
// The forwarder's table of queries waiting for their answer: 20 entries,
// each the client's ID, the ID the query went upstream with, the client's
// address and the local address it asked. The forwarder thread alone uses it.
#include <netinet/in.h>

#include <cstdint>
#include <random>

namespace kv::dns {

inline constexpr int kForwardEntries = 20;
inline constexpr std::uint16_t kIdLimit = 65530;  // substituted IDs stay below it

struct ForwardEntry {
    std::uint16_t client_id = 0;
    std::uint16_t upstream_id = 0;
    int age = 0;            // 0: free; the oldest has the largest age
    sockaddr_in client{};   // where the answer goes
    in_addr local{};        // the address the client sent to: the answer comes from it
};

class ForwardTable {
public:
    // seed: any value; the forwarder takes one from the system at start.
    explicit ForwardTable(std::uint32_t seed) : random_(seed) {}

    // Records a query and returns the ID it goes upstream with: random, below
    // 65530, and held by no live entry. Every live entry ages by one; the new
    // one takes the first free entry, or the oldest when all are used.
    std::uint16_t insert(std::uint16_t client_id, const sockaddr_in& client, in_addr local);
    // Frees the entry that holds upstream_id and copies it to *out; 0 when
    // none does (an answer nobody waits for, or one already given).
    [[nodiscard]] int take(std::uint16_t upstream_id, ForwardEntry* out);
    void clear();
    // Live entries, for tests.
    int used() const;

private:
    bool id_in_use(std::uint16_t id) const;
    std::uint16_t draw_id();

    ForwardEntry entries_[kForwardEntries];
    std::mt19937 random_;
};

}  // namespace kv::dns
