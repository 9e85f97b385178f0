#include "DescriptorLimit.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

void RaiseDescriptorLimit() {
#ifndef _WIN32
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}
