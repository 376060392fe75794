#include "core/FileLimit.h"

#include "transport/FlowLimits.h"

#include <sys/resource.h>

#include <algorithm>

std::size_t raiseFileLimitForConnections()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const rlim_t usable = std::min<rlim_t>(limit.rlim_cur, flowlimits::descriptorCeiling);
    return usable > flowlimits::descriptorReserve ? static_cast<std::size_t>(usable) - flowlimits::descriptorReserve : 1;
}
