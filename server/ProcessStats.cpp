#include "ProcessStats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
struct StatFields {
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    unsigned long long startTicks = 0;
    unsigned long long vsize = 0;
    long long rssPages = 0;
    bool ok = false;
};

StatFields ReadStat() {
    StatFields f;
    char buffer[1024] = {};
    const int fd = ::open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return f;
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return f;
    buffer[n] = 0;
    // The command name may hold blanks and parentheses: the fields start after the last ')'.
    const char* p = std::strrchr(buffer, ')');
    if (p == nullptr)
        return f;
    f.ok = std::sscanf(p + 2,
                       "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %*d %*d %*d %*d "
                       "%*d %*d %llu %llu %lld",
                       &f.utime, &f.stime, &f.startTicks, &f.vsize, &f.rssPages) == 5;
    return f;
}

qint64 CountOpenFds() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return 0;
    qint64 count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count - 1; // the directory's own descriptor
}

double Seconds(clockid_t clock) {
    timespec t = {};
    ::clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The start in ticks since boot, on the calendar; without /proc/stat, which a sandbox that
// shows only the process's own entries hides.
double StartTime(unsigned long long startTicks) {
    const double sinceBoot =
        static_cast<double>(startTicks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return Seconds(CLOCK_REALTIME) - (Seconds(CLOCK_BOOTTIME) - sinceBoot);
}
} // namespace

ProcessStats ReadProcessStats() {
    ProcessStats stats;
    const StatFields f = ReadStat();
    if (f.ok) {
        const auto ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
        stats.cpuSeconds = static_cast<double>(f.utime + f.stime) / ticks;
        stats.virtualBytes = static_cast<qint64>(f.vsize);
        stats.residentBytes = f.rssPages * sysconf(_SC_PAGESIZE);
        // Set once: a later step of the calendar clock does not move the start.
        static const double start = StartTime(f.startTicks);
        stats.startTimeSeconds = start;
    }
    stats.openFds = CountOpenFds();
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        stats.maxFds = static_cast<qint64>(limit.rlim_cur);
    return stats;
}
