#include "host/server.h"

#include <csignal>
#include <cstring>
#include <mutex>

#include "admin/admin_server.h"
#include "cache/disk_cache.h"
#include "conn/task_table.h"
#include "config/settings.h"
#include "dial/dial_manager.h"
#include "dns/resolver.h"
#include "gateways/mapped_links.h"
#include "host/restart.h"
#include "host/service_table.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "mail/mail_schedule.h"
#include "net/net_links.h"
#include "platform/descriptor_limit.h"
#include "platform/fault_guard.h"
#include "platform/install_dir.h"
#include "platform/registry.h"

namespace kv::host {
namespace {

bool g_cache_started = false;
// Start and stop run one after the other, whichever thread asks.
std::mutex g_start_stop;

// Enough for every task slot busy with a tunnel (two sockets and the four ends
// of two splice pipes), and for the listeners, logs and administration.
constexpr long kDescriptorsNeeded = conn::kTaskSlots * 6 + 128;
constexpr long kDescriptorCap = 65536;

// The resolver, the dial-up manager and the settings net/ works with.
void register_net_links(const config::Settings& s) {
    net::NetLinks links;
    links.lookup = dns::lookup;
    links.lookup_with_dial = dial::lookup_with_dial;
    links.dial_running = dial::running;
    links.dial_connected = dial::connected;
    links.dial_window_open = dial::window_open;
    links.dial_and_wait = dial::dial_and_wait;
    links.link_address = dial::link_address;
    links.dial_status_text = dial::status_text;
    links.note_traffic = dial::note_traffic;
    links.connect_retry = s.ConnectRetry;
    links.connection_named = std::strcmp(s.ConnName, "(none)") != 0;
    links.timeout_minutes = s.Timeout;
    net::set_net_links(links);
}

}  // namespace

int start_server(bool as_service) {
    const std::lock_guard<std::mutex> whole_start(g_start_stop);
    config::Settings& s = config::live();
    // This process holds the instance lock: a temporary file beside the
    // registry is a killed writer's, never a save in progress.
    (void)platform::registry_remove_stale_temps(platform::registry_path());
    config::load_settings(s);
    (void)config::save_settings(s);
    register_net_links(s);
    config::open_statistics();
    if (!log::open_logs(s.LogsDir, s.LogAccess != 0, s.LogSecurity != 0, s.LogDial != 0)) return 0;
    if (platform::raise_descriptor_limit(kDescriptorCap) < kDescriptorsNeeded)
        log::error(log::kErrDescriptorLimit, 3, 0, "open file limit too low for 120 connections");
    // Sockets need no start-up on this system; a peer that went away must not
    // kill the process on a send.
    std::signal(SIGPIPE, SIG_IGN);
    platform::install_fault_handlers();
    admin::set_restart_hook(start_restart);
    if (!admin::start_admin_server()) {
        log::close_logs();
        return 0;
    }
    (void)mail::start_mail_schedule();
    if (s.EnableCache) g_cache_started = cache::start_cache(s.CacheDir) != 0;
    if (!dns::init_resolver()) {
        admin::stop_admin_server();
        log::close_logs();
        return 0;
    }
    dial::set_dial_hooks({conn::dial_line_in_use, mail::transfer_in_progress});
    (void)dial::start_dial_manager(as_service);
    build_service_table(s);
    (void)start_services();
    (void)gateways::start_udp_links();
    if (s.Socks4 && s.DnsServer[0]) (void)dns::start_forwarder();
    // Registration with a background-service list has no meaning here.
    return 1;
}

void stop_server() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A restart's thread may stop what the main thread started: after it.
        const std::lock_guard<std::mutex> whole_stop(g_start_stop);
        config::Settings& s = config::live();
        log::set_stopping(true);
        gateways::stop_udp_links();
        dns::stop_forwarder();
        (void)stop_services();
        admin::stop_admin_server();
        dns::release_resolver();
        dial::stop_dial_manager();
        mail::stop_mail_schedule();
        if (s.EnableCache && g_cache_started) cache::stop_cache();
        log::close_logs();
        config::reset_lists(s.lists);
        config::close_statistics();
    });
}

}  // namespace kv::host
