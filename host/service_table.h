#pragma once
// The service table: one row per TCP service, a listener per row, and the one
// accept thread that waits on all listeners and hands each connection to a
// connection thread with its task slot and connection record.
#include <cstdint>

#include "conn/connection_record.h"
#include "conn/task_table.h"
#include "net/listener.h"

namespace kv::config {
struct Settings;
}

namespace kv::host {

inline constexpr int kMaxRows = 512;
using conn::kServiceNameSize;

using conn::Handler;
using InitFn = int (*)();
using StopFn = void (*)();

struct ServiceRow {
    platform::Socket listener;  // invalid when the row failed to start or was stopped
    net::AcceptPause pause;     // while the system has no descriptor for its next connection
    std::uint16_t port;
    char name[kServiceNameSize];
    InitFn init;
    StopFn stop;
    Handler handler;
    bool loopback_only;  // listens on 127.0.0.1 alone
};

// Appends a row (name cut to 19 characters). 0 when 512 rows exist.
[[nodiscard]] int register_service(std::uint16_t port, const char* name, InitFn init, StopFn stop,
                                   Handler handler);
int row_count();
// Empties a table that is not started (tests, and a failed build).
void clear_service_table();
const ServiceRow& row(int index);

// Registers every row the settings ask for, in table order, with the entries
// 2905-2908 for an incomplete mail set-up.
void build_service_table(const config::Settings& s);


// Opens every row and starts the accept thread. 0 when already started or the
// thread could not start; 1 otherwise (also when no row could be opened).
[[nodiscard]] int start_services();
// Closes listeners and connections, waits for the connection threads, calls
// the rows' stop functions and empties the table. 0 when not started.
int stop_services();
bool services_started();


// The handler of rows whose service is not built yet: closes the connection.
int close_at_once(conn::ConnectionRecord& r);

}  // namespace kv::host
