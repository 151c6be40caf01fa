// Feeds arbitrary bytes to the administration server as a browser's request
// head. The first byte picks the depth: bit 0 clear reads the head and the
// form fields of its path only; bit 0 set also routes it to its page, which
// answers over a socket pair (the registry and every data directory are
// scratch places under /dev/shm; the deleting routes are not run). Besides the sanitizers' checks, every value
// read must end inside its buffer and every field found must lie inside the
// path.
#include <strings.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "admin/admin_request.h"
#include "admin/admin_router.h"
#include "admin/form_fields.h"
#include "config/settings.h"
#include "platform/socket.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Names the configuration forms and pages read, short and long.
constexpr const char* kNames[] = {"Item", "Password", "ProxyPort", "Access", "User", "Group", "Delete", "Port",
                                  "Days", "AddItem", "a", "Name", "Host", "Rule", "Server", "Mode"};

void read_fields(const char* path) {
    const std::size_t length = std::strlen(path);
    for (const char* name : kNames) {
        for (const auto rule : {kv::admin::kApplyFields, kv::admin::kPageFields}) {
            std::size_t value_length = 0;
            if (const char* v = kv::admin::field_value(path, name, rule.match, &value_length))
                check(v >= path && v + value_length <= path + length);
            char out[64];
            if (kv::admin::form_text(path, name, rule, 40, out, sizeof out)) check(std::strlen(out) < sizeof out);
            kv::admin::form_item(path, name, rule, 40, out, sizeof out);
            check(std::strlen(out) < sizeof out);
            int number = 0;
            (void)kv::admin::form_number(path, name, rule, &number);
            (void)kv::admin::form_checkbox(path, name, rule);
        }
        char out[16];
        if (kv::admin::field_text(path, name, 10, out, sizeof out)) check(std::strlen(out) < sizeof out);
        int number = 0;
        (void)kv::admin::field_number(path, name, &number);
        if (const char* f = kv::admin::find_field(path, name)) check(f >= path && f < path + length);
    }
}

void settle_once() {
    static const bool settled = [] {
        const std::filesystem::path dir = "/dev/shm/kv-admin-fuzz";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        ::setenv("KORVANET_REGISTRY", (dir / "registry.reg").c_str(), 1);
        ::setenv("KORVANET_HOME", (dir.string() + "/").c_str(), 1);
        (void)kv::config::load_settings(kv::config::live());
        (void)kv::config::load_settings(kv::config::admin_copy());
        return true;
    }();
    (void)settled;
}

void drain(int fd) {
    char block[4096];
    while (::recv(fd, block, sizeof block, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    settle_once();
    const bool route = data[0] & 1;
    static auto request = std::make_unique<kv::admin::AdminRequest>();
    kv::admin::AdminRequest& r = *request;
    r.~AdminRequest();
    new (&r) kv::admin::AdminRequest();
    const std::size_t n = size - 1 < kv::admin::kAdminRequestSize ? size - 1 : kv::admin::kAdminRequestSize;
    std::memcpy(r.request, data + 1, n);
    r.request[n] = '\0';
    if (!kv::admin::parse_request(r)) return 0;
    check(r.path >= r.request && r.path < r.request + kv::admin::kAdminRequestSize + 1);
    if (r.auth_value) check(r.auth_value > r.request && r.auth_value < r.request + n + 1);
    kv::admin::fold_path(r.path);
    read_fields(r.path);
    (void)kv::admin::find_route(r.path);
    if (!route) return 0;
    // The cache pages' deletions are left to their own tests: a path fault
    // found here would delete files of the machine the fuzzer runs on.
    if (strncasecmp(r.path, "/admin/delete", 13) == 0) return 0;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
    kv::platform::Socket browser(pair[1]);
    r.conn.client.reset(pair[0]);
    r.conn.client_addr.sin_family = AF_INET;
    r.conn.client_addr.sin_addr.s_addr = htonl(0x7f000001);
    std::strcpy(r.conn.client_text, "127.0.0.1");
    std::strcpy(r.conn.interface_text, "127.0.0.1");
    (void)::shutdown(browser.get(), SHUT_WR);  // nothing more comes from the browser
    if (!kv::admin::route_request(r)) (void)r.conn.client.release();
    drain(browser.get());
    return 0;
}
