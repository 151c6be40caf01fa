#pragma once
// A joinable thread with an explicit stack size.
#include <pthread.h>

#include <cstddef>

namespace kv::platform {

inline constexpr std::size_t kConnectionStackSize = 256 * 1024;

class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread() { join(); }

    // Starts fn(arg) on a new thread; 1 on success, 0 when it could not start.
    [[nodiscard]] int start(void* (*fn)(void*), void* arg, std::size_t stack_size);
    void join();
    // Lets the thread run on without a joiner.
    void detach();
    bool running() const { return started_; }
    pthread_t handle() const { return id_; }

private:
    pthread_t id_{};
    bool started_ = false;
};

}  // namespace kv::platform
