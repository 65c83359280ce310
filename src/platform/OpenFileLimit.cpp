#include "platform/OpenFileLimit.h"

#include <sys/resource.h>

namespace platform {

qint64 RaiseOpenFileLimit()
{
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return -1;
    if (files.rlim_cur < files.rlim_max) {
        rlimit raised = files;
        raised.rlim_cur = files.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            files = raised;
    }
    return files.rlim_cur == RLIM_INFINITY ? qint64(-1) >> 1 : qint64(files.rlim_cur);
}

} // namespace platform
