#include "base/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int reserve = -1;

}

void raise_descriptor_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

long descriptor_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    return long(limit.rlim_cur);
}

long open_descriptor_count()
{
    DIR *fds = ::opendir("/proc/self/fd");
    if (!fds)
        return -1;
    long count = 0;
    while (const dirent *entry = ::readdir(fds))
        count += entry->d_name[0] != '.';
    ::closedir(fds);
    // Not the one that read the folder.
    return count - 1;
}

void keep_descriptor_reserve()
{
    if (reserve < 0)
        reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void release_descriptor_reserve()
{
    if (reserve >= 0)
        ::close(reserve);
    reserve = -1;
}
