#include "dns/forward_table.h"

namespace kv::dns {
namespace {

// Draws before the scan for a free ID: with at most 20 of 65530 taken, a
// second draw is rare and a tenth all but impossible.
constexpr int kDraws = 16;

}  // namespace

bool ForwardTable::id_in_use(std::uint16_t id) const {
    for (const ForwardEntry& e : entries_)
        if (e.age != 0 && e.upstream_id == id) return true;
    return false;
}

std::uint16_t ForwardTable::draw_id() {
    std::uniform_int_distribution<int> below_limit(0, kIdLimit - 1);
    for (int i = 0; i < kDraws; ++i) {
        const auto id = static_cast<std::uint16_t>(below_limit(random_));
        if (!id_in_use(id)) return id;
    }
    std::uint16_t id = static_cast<std::uint16_t>(below_limit(random_));
    while (id_in_use(id)) id = static_cast<std::uint16_t>((id + 1) % kIdLimit);
    return id;
}

std::uint16_t ForwardTable::insert(std::uint16_t client_id, const sockaddr_in& client, in_addr local) {
    int slot = -1;
    int oldest = 0;
    for (int i = 0; i < kForwardEntries; ++i) {
        ForwardEntry& e = entries_[i];
        if (e.age == 0) {
            if (slot < 0) slot = i;
            continue;
        }
        ++e.age;
        if (e.age > entries_[oldest].age) oldest = i;
    }
    if (slot < 0) {
        slot = oldest;
        entries_[slot].age = 0;  // the oldest mapping is lost; its ID may be drawn again
    }
    ForwardEntry& e = entries_[slot];
    e.upstream_id = draw_id();
    e.client_id = client_id;
    e.client = client;
    e.local = local;
    e.age = 1;
    return e.upstream_id;
}

int ForwardTable::take(std::uint16_t upstream_id, ForwardEntry* out) {
    for (ForwardEntry& e : entries_) {
        if (e.age != 0 && e.upstream_id == upstream_id) {
            *out = e;
            e.age = 0;
            return 1;
        }
    }
    return 0;
}

void ForwardTable::clear() {
    for (ForwardEntry& e : entries_) e = ForwardEntry{};
}

int ForwardTable::used() const {
    int n = 0;
    for (const ForwardEntry& e : entries_) n += e.age != 0;
    return n;
}

}  // namespace kv::dns
