#include "host/connection_threads.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <semaphore>
#include <vector>

#include "conn/task_table.h"
#include "log/logs.h"
#include "platform/thread.h"

namespace kv::host {
namespace {

// One per task slot: under a burst of many connections a thread that ends
// its connection parks rather than exits while the next one creates another
// (with 32, a tenth of the requests at 50 at once paid for a new thread).
// Idle threads still end after the park time.
constexpr std::size_t kMaxParked = conn::kTaskSlots;
constexpr auto kParkTime = std::chrono::seconds(30);

// A parked thread waits on its own semaphore, released once the thread has
// been taken off the parked list: the hand-off is one wake-up, and the woken
// thread needs no lock to learn its slot.
struct Parked {
    std::binary_semaphore handed{0};
    int slot_index = -1;  // >= 0: the connection to serve; -1 with handed: quit
};

struct Start {
    ServeFn serve;
    int slot_index;
};

// Never destroyed: parked threads may still wait on them when the process exits.
std::mutex& g_pool_lock = *new std::mutex;
std::vector<Parked*>& g_parked = *new std::vector<Parked*>;

// Parks the calling thread: the slot handed to it, or -1 to end (parked too
// long, too many parked, or shutdown).
int park(Parked& me) {
    {
        std::lock_guard<std::mutex> lock(g_pool_lock);
        if (log::stopping() || g_parked.size() >= kMaxParked) return -1;
        me.slot_index = -1;
        g_parked.push_back(&me);
    }
    if (me.handed.try_acquire_for(kParkTime)) return me.slot_index;
    {
        std::lock_guard<std::mutex> lock(g_pool_lock);
        const auto it = std::find(g_parked.begin(), g_parked.end(), &me);
        if (it != g_parked.end()) {
            g_parked.erase(it);
            return -1;
        }
    }
    // Taken off the list while the wait ran out: the release is on its way,
    // and `me` must outlive it.
    me.handed.acquire();
    return me.slot_index;
}

void* connection_thread(void* arg) {
    Start start = *static_cast<Start*>(arg);
    delete static_cast<Start*>(arg);
    Parked me;
    for (int index = start.slot_index; index >= 0; index = park(me)) start.serve(index);
    return nullptr;
}

// The most recently parked thread (its stack is the warmest), taken off the
// list; nullptr when none is parked.
Parked* take_parked() {
    std::lock_guard<std::mutex> lock(g_pool_lock);
    if (g_parked.empty()) return nullptr;
    Parked* p = g_parked.back();
    g_parked.pop_back();
    return p;
}

}  // namespace

int run_on_connection_thread(ServeFn serve, int slot_index) {
    if (Parked* p = take_parked()) {
        p->slot_index = slot_index;
        p->handed.release();
        return 1;
    }
    auto* start = new (std::nothrow) Start{serve, slot_index};
    if (!start) return 0;
    platform::Thread thread;
    if (!thread.start(connection_thread, start, platform::kConnectionStackSize)) {
        delete start;
        return 0;
    }
    thread.detach();
    return 1;
}

void end_parked_threads() {
    std::vector<Parked*> parked;
    {
        std::lock_guard<std::mutex> lock(g_pool_lock);
        parked.swap(g_parked);
    }
    for (Parked* p : parked) {
        p->slot_index = -1;
        p->handed.release();
    }
}

}  // namespace kv::host
