#include "platform/descriptor_limit.h"

#include <sys/resource.h>

#include <climits>

namespace kv::platform {

long raise_descriptor_limit(long cap) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    const rlim_t wanted = lim.rlim_max == RLIM_INFINITY || lim.rlim_max > static_cast<rlim_t>(cap)
                              ? static_cast<rlim_t>(cap)
                              : lim.rlim_max;
    if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < wanted) {
        rlimit raised = lim;
        raised.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    return lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur > static_cast<rlim_t>(LONG_MAX) ? LONG_MAX
                                                                                         : static_cast<long>(lim.rlim_cur);
}

}  // namespace kv::platform
