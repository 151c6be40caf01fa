#pragma once
// The removal, in order: refuse while a server runs; the unit with its link
// and the log rotation rules; the chosen data directories; the configuration
// when asked; the uninstall record; the menu entries; the program files.
#include "setup/install_places.h"
#include "uninstall/uninstall_options.h"

namespace kv::uninstall {

// Runs the removal; returns the exit status (0 done, 1 refused or stopped,
// after its message).
int run_uninstall(const UninstallOptions& options, const setup::ImageRoot& root);

}  // namespace kv::uninstall
