// Feeds arbitrary bytes to the demand-dial window parser and the excepted-name
// rule (first byte even: the rest is a weekday's window list, the first two
// bytes after it a minute of the day) or to the pid-file reader (first byte
// odd: the rest is a pid file's bytes). Besides the sanitizers' checks, a pid
// file that names a link must name a usable interface.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dial/demand_rules.h"
#include "platform/ppp_link.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void check_interface(const char (&interface)[kv::platform::kInterfaceNameSize], bool must_be_set) {
    check(std::memchr(interface, '\0', sizeof interface) != nullptr);
    check(!must_be_set || interface[0] != '\0');
    check(std::strchr(interface, '/') == nullptr);
}

void fuzz_window(const std::uint8_t* data, std::size_t size) {
    int minute = 0;
    if (size >= 2) {
        minute = (data[0] << 8 | data[1]) % 1500 - 30;  // also a little outside the day
        data += 2;
        size -= 2;
    }
    const std::string list(reinterpret_cast<const char*>(data), size);
    (void)kv::dial::window_contains(list.c_str(), minute);
    (void)kv::dial::excepted_name(list.c_str(), true, "corp local");
    (void)kv::dial::excepted_name("host.example", false, list.c_str());
}

void fuzz_pid_file(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    pid_t pid = 0;
    char interface[kv::platform::kInterfaceNameSize] = "x";
    if (kv::platform::parse_pid_file(text, size, &pid, interface)) {
        check(pid > 0 && size <= kv::platform::kPidFileMax);
        check_interface(interface, false);
    } else {
        check_interface(interface, false);
    }
    for (const char* name : {"ppp0.pid", "ppp-work.pid", ".pid", "x"}) {
        const int found = kv::platform::pid_file_interface(text, size, 4242, name, interface);
        check_interface(interface, found == 1);
        if (found) check(kv::platform::parse_pid_file(text, size, &pid, interface) && pid == 4242);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] % 2 == 0)
        fuzz_window(data + 1, size - 1);
    else
        fuzz_pid_file(data + 1, size - 1);
    return 0;
}
