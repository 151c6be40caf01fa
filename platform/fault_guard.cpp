#include "platform/fault_guard.h"

#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kv::platform {
namespace {

constexpr std::size_t kAltStackSize = 64 * 1024;
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

thread_local sigjmp_buf* t_jump = nullptr;
thread_local char* t_alt_stack = nullptr;

std::uint32_t code_for(int sig) {
    switch (sig) {
        case SIGFPE: return kExceptionIntDivideByZero;
        case SIGILL: return kExceptionIllegalInstruction;
        default: return kExceptionAccessViolation;
    }
}

void on_fault(int sig, siginfo_t*, void*) {
    if (t_jump) siglongjmp(*t_jump, sig);
    // A fault outside any guarded call: let the default action end the process.
    signal(sig, SIG_DFL);
    raise(sig);
}

void ensure_alt_stack() {
    if (t_alt_stack) return;
    // Freed with the thread: threads that run guarded calls keep the stack for life.
    static thread_local struct Holder {
        char* mem = nullptr;
        ~Holder() {
            if (!mem) return;
            stack_t none{};
            none.ss_flags = SS_DISABLE;
            sigaltstack(&none, nullptr);
            std::free(mem);
        }
    } holder;
    holder.mem = static_cast<char*>(std::malloc(kAltStackSize));
    if (!holder.mem) return;
    stack_t st{};
    st.ss_sp = holder.mem;
    st.ss_size = kAltStackSize;
    if (sigaltstack(&st, nullptr) == 0) t_alt_stack = holder.mem;
}

}  // namespace

void install_fault_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = on_fault;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        for (int sig : kSignals) sigaction(sig, &sa, nullptr);
    });
}

std::uint32_t run_guarded(void (*fn)(void*), void* arg) {
    install_fault_handlers();
    ensure_alt_stack();
    sigjmp_buf jump;
    sigjmp_buf* outer = t_jump;
    // The mask need not be saved: the handlers block nothing extra
    // (SA_NODEFER, empty sa_mask), and saving it costs a system call per call.
    int sig = sigsetjmp(jump, 0);
    if (sig != 0) {
        t_jump = outer;
        return code_for(sig);
    }
    t_jump = &jump;
    fn(arg);
    t_jump = outer;
    return 0;
}

#ifdef KV_TEST_BUILD
__attribute__((no_sanitize("address", "undefined"))) void fault_point(const char* name) {
    static const char* const wanted = std::getenv("KORVANET_TEST_FAULT_POINT");
    if (!wanted || std::strcmp(wanted, name) != 0) return;
    volatile std::uintptr_t address = 16;  // unmapped, and hidden from the optimiser
    *reinterpret_cast<volatile int*>(address) = 1;
}
#else
void fault_point(const char*) {}
#endif

}  // namespace kv::platform
