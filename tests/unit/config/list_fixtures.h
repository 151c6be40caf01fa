#pragma once
// Configuration lists the access tests of several rooms start from.
#include <gtest/gtest.h>

#include "config/config_lists.h"

namespace kv::config {

// Users alice (secret, plain), admin (pw, Admins), a rule "*" for Admins only.
inline void admins_only(ConfigLists& l) {
    reset_lists(l);
    ASSERT_GE(add_user(l, "alice", "secret"), 0);
    ASSERT_GE(add_user(l, "admin", "pw"), 0);
    ASSERT_EQ(add_to_group(l, "admin", "Admins"), 1);
    ASSERT_GE(add_access_rule(l, "*", nullptr), 0);
    ASSERT_EQ(add_access_member(l, "*", kAdminsGroupId), 1);
}

}  // namespace kv::config
