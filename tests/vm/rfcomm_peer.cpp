// vm_rfcomm_peer ADDRESS CHANNEL BYTES: a device's serial port in the guest. Listens on one
// RFCOMM channel of one local adapter and answers every connection with BYTES, then waits for
// the other side to hang up. Each connection is told on standard output, so that a scenario can
// count the tests that reached the device.
#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

int fail(const char *what)
{
    fprintf(stderr, "vm_rfcomm_peer: %s: %s\n", what, strerror(errno));
    return 1;
}

// Keeps the connection until the station closes it, for at most a few seconds.
void hold_until_closed(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    char buf[64];
    for (int i = 0; i < 50 && poll(&p, 1, 100) >= 0; i++)
        if (p.revents && read(fd, buf, sizeof buf) <= 0)
            return;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s ADDRESS CHANNEL BYTES\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    sockaddr_rc local = {};
    local.rc_family = AF_BLUETOOTH;
    if (str2ba(argv[1], &local.rc_bdaddr) < 0) {
        fprintf(stderr, "vm_rfcomm_peer: not an address: %s\n", argv[1]);
        return 2;
    }
    local.rc_channel = uint8_t(atoi(argv[2]));
    const char *bytes = argv[3];

    int srv = socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
    if (srv < 0)
        return fail("socket");
    if (bind(srv, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
        return fail("bind");
    if (listen(srv, 4) < 0)
        return fail("listen");
    printf("listening %s channel %u\n", argv[1], unsigned(local.rc_channel));
    for (;;) {
        sockaddr_rc peer = {};
        socklen_t len = sizeof peer;
        int fd = accept(srv, reinterpret_cast<sockaddr *>(&peer), &len);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return fail("accept");
        }
        char text[18];
        ba2str(&peer.rc_bdaddr, text);
        printf("accepted %s\n", text);
        if (write(fd, bytes, strlen(bytes)) < 0)
            fail("write");
        hold_until_closed(fd);
        close(fd);
    }
}
