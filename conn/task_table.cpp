#include "conn/task_table.h"

#include <condition_variable>
#include <cstring>

#include "platform/clock.h"

namespace kv::conn {
namespace {

TaskSlot g_slots[kTaskSlots];
std::atomic<int> g_serial{0};
// Lets the accept thread wake as soon as a slot frees instead of sleeping 2 s.
// Never destroyed: a detached connection thread may still be leaving when the
// process exits.
std::mutex& g_free_lock = *new std::mutex;
std::condition_variable& g_slot_freed = *new std::condition_variable;
std::atomic<int> g_waiters{0};  // threads waiting for a slot to free

constexpr unsigned kFullTableWaitMs = 2000;
constexpr unsigned kKillWaitMs = 500;

}  // namespace

void clear_task_table() {
    for (auto& s : g_slots) {
        s.serial = 0;
        s.thread_id = 0;
        s.in_use = 0;
        s.dial_use = 0;
        s.handler = nullptr;
        s.service_name[0] = '\0';
        s.start_tick = 0;
        std::lock_guard<std::mutex> guard(s.lock);
        s.record = nullptr;
    }
}

int first_free_slot() {
    for (int i = 0; i < kTaskSlots; ++i)
        if (g_slots[i].in_use.load() == 0) return i;
    return -1;
}

int free_slot_index(bool (*stopping)()) {
    for (;;) {
        int index = first_free_slot();
        if (index >= 0) return index;
        if (stopping()) return -1;
        std::unique_lock<std::mutex> lock(g_free_lock);
        // Announce the wait, then look once more: a slot freed in between is
        // either seen here or its owner sees the flag and wakes us.
        g_waiters.fetch_add(1);
        index = first_free_slot();
        if (index < 0) g_slot_freed.wait_for(lock, std::chrono::milliseconds(kFullTableWaitMs));
        g_waiters.fetch_sub(1);
        if (index >= 0) return index;
    }
}

int active_connections() {
    int n = 0;
    for (auto& s : g_slots) n += s.in_use.load(std::memory_order_relaxed) ? 1 : 0;
    return n;
}

bool any_active_connection() { return active_connections() > 0; }

int dial_line_in_use() {
    for (auto& s : g_slots) {
        if (s.in_use.load() && s.dial_use.load() && std::strcmp(s.service_name, "MAIL TRANSFER") != 0)
            return 1;
    }
    return 0;
}

TaskSlot& slot(int index) { return g_slots[index]; }

int next_serial() { return g_serial.fetch_add(1); }

void release_slot(int index) {
    TaskSlot& s = g_slots[index];
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.record = nullptr;
    }
    s.in_use.store(0);
    // Only a full table makes the accept thread wait: spare every connection
    // the lock otherwise.
    if (g_waiters.load() > 0) {
        std::lock_guard<std::mutex> guard(g_free_lock);
        g_slot_freed.notify_all();
    }
}

int kill_by_serial(int serial) {
    for (auto& s : g_slots) {
        if (!s.in_use.load() || s.serial.load() != serial) continue;
        {
            std::lock_guard<std::mutex> guard(s.lock);
            if (s.record) shutdown_sockets(*s.record);
        }
        platform::sleep_ms(kKillWaitMs);
        return 1;
    }
    return 0;
}

void shutdown_all_connections() {
    for (auto& s : g_slots) {
        if (!s.in_use.load()) continue;
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.record) shutdown_sockets(*s.record);
    }
    g_slot_freed.notify_all();
}

bool wait_slot_free(int index, unsigned ms) {
    std::unique_lock<std::mutex> lock(g_free_lock);
    g_waiters.fetch_add(1);
    const bool freed = g_slot_freed.wait_for(lock, std::chrono::milliseconds(ms),
                                             [&] { return g_slots[index].in_use.load() == 0; });
    g_waiters.fetch_sub(1);
    return freed;
}

}  // namespace kv::conn
