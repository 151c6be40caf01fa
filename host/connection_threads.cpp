#include "host/connection_threads.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "log/logs.h"
#include "platform/thread.h"

namespace kv::host {
namespace {

// Enough for a burst of browsers; more idle threads would only hold memory.
constexpr std::size_t kMaxParked = 32;
constexpr auto kParkTime = std::chrono::seconds(30);

struct Parked {
    std::condition_variable wake;
    int slot_index = -1;
    bool quit = false;
};

struct Start {
    ServeFn serve;
    int slot_index;
};

// Never destroyed: parked threads may still wait on them when the process exits.
std::mutex& g_pool_lock = *new std::mutex;
std::vector<Parked*>& g_parked = *new std::vector<Parked*>;

void* connection_thread(void* arg) {
    Start start = *static_cast<Start*>(arg);
    delete static_cast<Start*>(arg);
    Parked me;
    int index = start.slot_index;
    for (;;) {
        start.serve(index);
        std::unique_lock<std::mutex> lock(g_pool_lock);
        if (log::stopping() || g_parked.size() >= kMaxParked) return nullptr;
        me.slot_index = -1;
        g_parked.push_back(&me);
        const bool handed = me.wake.wait_for(lock, kParkTime, [&] { return me.slot_index >= 0 || me.quit; });
        if (!handed || me.quit) {
            g_parked.erase(std::remove(g_parked.begin(), g_parked.end(), &me), g_parked.end());
            return nullptr;
        }
        index = me.slot_index;
    }
}

}  // namespace

int run_on_connection_thread(ServeFn serve, int slot_index) {
    {
        std::lock_guard<std::mutex> lock(g_pool_lock);
        if (!g_parked.empty()) {
            Parked* p = g_parked.back();
            g_parked.pop_back();
            p->slot_index = slot_index;
            p->wake.notify_one();
            return 1;
        }
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
    std::lock_guard<std::mutex> lock(g_pool_lock);
    for (Parked* p : g_parked) {
        p->quit = true;
        p->wake.notify_one();
    }
    g_parked.clear();
}

}  // namespace kv::host
