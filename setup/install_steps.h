#pragma once
// The installation, step by step, each announced by its status line: stop a
// running server, forget or keep the configuration, move an old cache aside,
// copy the files, write the unit and the menu entries, record the
// installation in the registry. Nothing done before a failure is undone.
#include <string>

#include "setup/install_places.h"
#include "setup/setup_options.h"

namespace kv::setup {

// Runs every step; source_dir holds the six files. Returns the exit status:
// 0 installed, 1 failed or aborted (after the message).
int run_installation(const SetupOptions& options, const ImageRoot& root, const std::string& source_dir);

// Asks a running installation to stop after its current step (from a signal
// handler).
void request_abort();

}  // namespace kv::setup
