#pragma once
// Catches a processor fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL) inside one call on
// the calling thread, so one faulting connection does not take the server down.
//
// The guarded call runs on the caller's stack; the signal handler runs on a
// per-thread alternate stack and jumps back with siglongjmp. Destructors of the
// frames between are skipped, so whatever must be released after a fault
// (sockets, files) has to be owned outside the guarded call.
#include <cstdint>

namespace kv::platform {

// Windows exception codes that match each signal, as the error log shows them.
inline constexpr std::uint32_t kExceptionAccessViolation = 0xC0000005u;
inline constexpr std::uint32_t kExceptionIntDivideByZero = 0xC0000094u;
inline constexpr std::uint32_t kExceptionIllegalInstruction = 0xC000001Du;

// Installs the process-wide handlers once; safe to call again.
void install_fault_handlers();

// Runs fn(arg). Returns 0 when it returned normally, else the exception code of
// the fault that ended it.
std::uint32_t run_guarded(void (*fn)(void*), void* arg);

// Test builds: "KORVANET_TEST_FAULT_POINT=name" makes the calling thread take
// an access violation when it passes the named point, so a test can see what a
// fault at that step of a real handler leaves behind. Elsewhere it does nothing.
void fault_point(const char* name);

}  // namespace kv::platform
