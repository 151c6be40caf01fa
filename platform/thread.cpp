#include "platform/thread.h"

#include <cerrno>

namespace kv::platform {

int Thread::start(void* (*fn)(void*), void* arg, std::size_t stack_size) {
    if (started_) return 0;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return 0;
    pthread_attr_setstacksize(&attr, stack_size);
    int rc = pthread_create(&id_, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    started_ = rc == 0;
    // pthread_create reports by its result; callers that log read errno.
    if (rc != 0) errno = rc;
    return started_ ? 1 : 0;
}

void Thread::join() {
    if (started_) pthread_join(id_, nullptr);
    started_ = false;
}

void Thread::detach() {
    if (started_) pthread_detach(id_);
    started_ = false;
}

}  // namespace kv::platform
