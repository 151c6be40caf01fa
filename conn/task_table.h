#pragma once
// The 120 task slots of the running connections. A slot is taken by the accept
// thread and freed by its own connection thread; readers (status page, kill,
// dial-up manager) tolerate slots that change under them.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "conn/connection_record.h"

namespace kv::conn {

inline constexpr std::size_t kServiceNameSize = 20;  // 19 characters + NUL

inline constexpr int kTaskSlots = 120;

struct TaskSlot {
    std::atomic<int> serial{0};
    std::atomic<long> thread_id{0};
    std::atomic<int> in_use{0};
    std::atomic<int> dial_use{0};
    Handler handler = nullptr;
    char service_name[kServiceNameSize]{};
    std::uint32_t start_tick = 0;
    // Guards `record` against a kill that reads it while the owner frees it.
    std::mutex lock;
    ConnectionRecord* record = nullptr;
};

// Clears every slot (start of services).
void clear_task_table();
// Index of the first free slot, waiting (2 s between looks, or until a slot
// frees) while all are in use. -1 when stopping() turns true meanwhile.
int free_slot_index(bool (*stopping)());
int active_connections();
bool any_active_connection();
// 1 when a slot in use runs over the dial-up link (MAIL TRANSFER aside).
int dial_line_in_use();
TaskSlot& slot(int index);
// The next connection serial (0, 1, 2 ...).
int next_serial();
// Called by a connection thread as its last act.
void release_slot(int index);

// Wakes the connection with that serial by shutting its sockets down, then
// waits 500 ms. 0 when no slot in use has the serial.
int kill_by_serial(int serial);
// Wakes every connection (shutdown), and every wait for a free slot.
void shutdown_all_connections();
// Waits up to ms for a slot's thread to end; true when it ended.
bool wait_slot_free(int index, unsigned ms);

}  // namespace kv::conn
