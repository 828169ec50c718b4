// Interface helpers that need no privileges: the word checksum, and the requests that must
// never reach the kernel. A child with a seccomp filter that kills it on any socket ioctl
// tells whether a request was made.
#include "netenv/netif.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <functional>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

#if defined(__x86_64__)
constexpr uint32_t NATIVE_ARCH = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t NATIVE_ARCH = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t NATIVE_ARCH = 0;
#endif

constexpr int NO_SECCOMP = 77;

// The low 32 bits of the ioctl's request argument.
constexpr uint32_t request_offset()
{
    return offsetof(seccomp_data, args) + sizeof(uint64_t) +
           (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0 : 4);
}

// Runs fn in a child that dies of SIGSYS on any socket ioctl (0x89xx). Returns "clean",
// "ioctl", or what else became of the child.
std::string socket_ioctls_of(const std::function<void()> &fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        sock_filter f[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_ARCH, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, request_offset()),
            BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xff00),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x8900, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog prog{static_cast<unsigned short>(sizeof f / sizeof f[0]), f};
        if (NATIVE_ARCH == 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
            _exit(NO_SECCOMP);
        fn();
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st) && WEXITSTATUS(st) == NO_SECCOMP)
        return "no seccomp";
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0)
        return "clean";
    if (WIFSIGNALED(st) && WTERMSIG(st) == SIGSYS)
        return "ioctl";
    return WIFSIGNALED(st) ? "signal " + std::to_string(WTERMSIG(st))
                           : "exit " + std::to_string(WEXITSTATUS(st));
}

TEST(NetifChecksum, WordsAsTheyLieInMemory)
{
    struct row {
        const char *what;
        std::vector<uint16_t> words;
        uint16_t sum;
    } rows[] = {
        {"a sum that carries", {0xFFFF, 0x0001}, 0xFFFE},
        {"no words", {}, 0xFFFF},
        {"65537 words: the most that 32 bits hold", std::vector<uint16_t>(65537, 0xFFFF), 0},
        {"beyond that the sum still folds right", std::vector<uint16_t>(70000, 0xFFFF), 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(net_inet_checksum(r.words.data(), int(r.words.size())), r.sum);
    }
    EXPECT_EQ(net_inet_checksum(nullptr, -3), 0xFFFF);

    // The RFC 1071 example: stored as it came out, the bytes read 22 0D on either byte order.
    const uint8_t data[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    uint16_t words[4];
    memcpy(words, data, sizeof data);
    uint16_t sum = net_inet_checksum(words, 4);
    uint8_t stored[2];
    memcpy(stored, &sum, 2);
    EXPECT_EQ(stored[0], 0x22);
    EXPECT_EQ(stored[1], 0x0D);
}

TEST(NetifEeprom, BlockWithoutRoomForTheAddressIsRefused)
{
    const uint8_t hw[6] = {2, 0, 0x5e, 0, 0x53, 1};
    std::vector<uint8_t> data(300, 0xAB);
    struct row {
        int len;
        const char *outcome;
    } rows[] = {
        {0, "clean"}, {3, "clean"},       {6, "clean"},   {256 + 6, "clean"}, // low byte below 7
        {7, "ioctl"}, {256 + 7, "ioctl"}, {255, "ioctl"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.len);
        std::string got =
            socket_ioctls_of([&] { net_if_write_eeprom("lo", 0x1234, hw, data.data(), r.len); });
        if (got == "no seccomp")
            GTEST_SKIP() << "seccomp filters are not available";
        EXPECT_EQ(got, r.outcome);
    }
}

TEST(NetifNames, TooLongForTheKernelIsRefusedWithoutARequest)
{
    const char *sixteen = "abcdefghijklmnop";
    std::string got = socket_ioctls_of([&] {
        char buf[32];
        bool refused = net_if_get_index(sixteen) == -1 &&
                       net_if_get_addr_text(sixteen, buf, sizeof buf) == 0 &&
                       net_if_get_broadcast_text(sixteen, buf, sizeof buf) == 0 &&
                       net_if_get_network_text(sixteen, buf, sizeof buf) == -1;
        if (!refused)
            _exit(3);
    });
    if (got == "no seccomp")
        GTEST_SKIP() << "seccomp filters are not available";
    EXPECT_EQ(got, "clean");
}

} // namespace
