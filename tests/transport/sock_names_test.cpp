// Opening by a host name with several addresses. The names live in a private /etc/hosts seen
// only by a child process with its own network and mount namespaces, so that no other process
// can hold the ports involved.
#include "transport/sock.h"

#include "net_util.h"
#include "transport/tls.h"

#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netdb.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>

namespace
{

constexpr int NO_NAMESPACE = 77;
constexpr int RESOLVER_REORDERS = 78;

// Both addresses share as many leading bits with the source 127.0.0.1, so the resolver's
// sorting keeps the file's order.
const char *const HOSTS = "127.0.0.3 two.vesk.test\n"
                          "127.0.0.2 two.vesk.test\n";

bool private_network_and_hosts()
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP) &&
              ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    char path[] = "/tmp/vesk-hosts-XXXXXX";
    int h = mkstemp(path);
    if (h < 0)
        return false;
    bool written = write(h, HOSTS, strlen(HOSTS)) == ssize_t(strlen(HOSTS));
    close(h);
    bool mounted = written && mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    unlink(path);
    return up && mounted;
}

// The addresses that the resolver gives for a name, in its order.
std::vector<std::string> addresses_of(const char *name)
{
    addrinfo hints{}, *list = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    std::vector<std::string> out;
    if (getaddrinfo(name, "1", &hints, &list) != 0)
        return out;
    for (addrinfo *ai = list; ai; ai = ai->ai_next) {
        char text[64] = "";
        out.push_back(sock_addr_to_text(ai->ai_addr, text, sizeof(text)));
    }
    freeaddrinfo(list);
    return out;
}

void run_in_namespace(const std::function<void()> &body)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network and mount namespaces";
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!private_network_and_hosts())
            _exit(NO_NAMESPACE);
        if (addresses_of("two.vesk.test") != std::vector<std::string>{"127.0.0.3", "127.0.0.2"})
            _exit(RESOLVER_REORDERS);
        body();
        fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == NO_NAMESPACE)
        GTEST_SKIP() << "cannot make network and mount namespaces";
    if (WEXITSTATUS(status) == RESOLVER_REORDERS)
        GTEST_SKIP() << "the resolver does not keep the hosts file's order";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failures in the namespace, see above";
}

TEST(SockOpenByName, EachAddressIsTriedUntilOneConnects)
{
    run_in_namespace([] {
        // Listening on 127.0.0.2 only: 127.0.0.3 refuses the same port.
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at = net::loopback(0);
        at.sin_addr.s_addr = htonl(0x7f000002);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof(at)), 0);
        ASSERT_EQ(listen(listener, 4), 0);
        std::string port = std::to_string(net::port_of(listener));
        auto *ctx = static_cast<tls_ctx *>(obj_alloc(sizeof(tls_ctx), tls_ctx_destroy));
        sock_socket *s = sock_open_tcp_client("two.vesk.test", port.c_str(), ctx, 0);
        ASSERT_NE(s, nullptr);
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        getpeername(s->descriptor, reinterpret_cast<sockaddr *>(&peer), &len);
        EXPECT_EQ(peer.sin_addr.s_addr, at.sin_addr.s_addr);
        EXPECT_EQ(s->tls, ctx); // the refused attempt left the context alone
        EXPECT_EQ(obj_refcount(ctx), 1);
        obj_release(s);

        close(listener); // now both refuse
        ctx = static_cast<tls_ctx *>(obj_alloc(sizeof(tls_ctx), tls_ctx_destroy));
        EXPECT_EQ(sock_open_tcp_client("two.vesk.test", port.c_str(), ctx, 0), nullptr);
        EXPECT_EQ(obj_refcount(ctx), 1);
        obj_release(ctx);
    });
}

} // namespace
