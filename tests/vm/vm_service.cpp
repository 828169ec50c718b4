// vm_service PORT: the maker's service inside the guest. Listens on 127.0.0.1:PORT, answers
// every device report with CMD 2 and prints each frame it receives as
// "frame <connection> <good> <bytes in hex>".
#include "tests/link/service.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(atoi(argv[1])));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(fd, 16) != 0) {
        perror("vm_service");
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    svc::service *s = svc::service::adopt(fd);
    s->set_script([](svc::service &srv, const svc::frame &f) {
        std::string hex;
        char b[3];
        for (uint8_t c : f.raw) {
            snprintf(b, sizeof b, "%02X", c);
            hex += b;
        }
        printf("frame %d %d %s\n", f.conn, f.good ? 1 : 0, hex.c_str());
        if (f.good && f.cmd() == 0xFD)
            srv.send(svc::reply_to(f, 2), f.conn);
    });
    printf("listening %s\n", argv[1]);
    for (;;)
        pause();
}
