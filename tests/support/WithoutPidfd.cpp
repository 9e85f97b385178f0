// A host program: runs a command (the emulator and a test) with waitid(P_PIDFD) refused.
//
// QProcess forks with clone(CLONE_PIDFD) whenever the kernel answers waitid(P_PIDFD), and
// qemu-user before 8.0 (Debian 12 ships 7.2) refuses that clone, so an emulated test could
// start no process. Refused as an older kernel would, the wait sends Qt to its plain fork,
// which the emulator runs. The filter passes to every process the command starts.
//
// Usage: without-pidfd COMMAND [ARGUMENT...]

#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#else
#error "the audit architecture of this host is missing"
#endif
constexpr unsigned kPidfd = 3; // P_PIDFD, absent from older headers

constexpr sock_filter Load(std::size_t offset) {
    return {BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<unsigned>(offset)};
}
// Goes on when equal, else skips `otherwise` instructions.
constexpr sock_filter IfEqual(unsigned value, unsigned char otherwise) {
    return {BPF_JMP | BPF_JEQ | BPF_K, 0, otherwise, value};
}
constexpr sock_filter Return(unsigned action) {
    return {BPF_RET | BPF_K, 0, 0, action};
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: without-pidfd COMMAND [ARGUMENT...]\n");
        return 2;
    }
    sock_filter filter[] = {
        Load(offsetof(seccomp_data, arch)),
        IfEqual(kAuditArch, 5),
        Load(offsetof(seccomp_data, nr)),
        IfEqual(__NR_waitid, 3),
        Load(offsetof(seccomp_data, args[0])), // the low half of idtype, little-endian
        IfEqual(kPidfd, 1),
        Return(SECCOMP_RET_ERRNO | EINVAL),
        Return(SECCOMP_RET_ALLOW),
    };
    sock_fprog program{sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("without-pidfd: seccomp");
        return 127;
    }
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
