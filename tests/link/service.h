// A stand-in for the maker's service: a TCP listener on 127.0.0.1 that cuts what each
// connection sends into frames with a decoder of its own (never the product's parser), checks
// every CRC, and does what the test scripts: reply with any CMD, stay silent, send polls, send
// bytes in pieces, garbage or an oversized Len, close a connection, stop reading.
//
// One thread serves the listener and every connection. The script runs on that thread; the
// senders may be called from it or from the test.
#pragma once

#include "tests/common/test_util.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace svc
{

using bytes = std::vector<uint8_t>;

struct token {
    uint8_t id;
    uint8_t op;
    bytes payload;
};

struct frame {
    int conn; // the connection it came on, in the order of accepting
    bytes raw;
    bool good; // marker 0x7E and a CRC that matches

    uint8_t cmd() const { return raw[9]; }
    uint16_t mid() const { return uint16_t(raw[14] << 8 | raw[15]); }
    bytes id() const { return bytes(raw.begin() + 1, raw.begin() + 9); }
    // The tokens, read within the frame's bounds; empty when they don't fit it exactly.
    std::vector<token> tokens() const;
};

bytes cat(std::initializer_list<bytes> parts);

// A whole frame: header, tokens and the CRC-16/MODBUS trailer.
bytes make_frame(const bytes &id, uint8_t cmd, uint16_t mid, const bytes &tokens = {});
bytes make_token(uint8_t id, uint8_t op, const std::string &payload);
// A frame answering f: its id and MID.
bytes reply_to(const frame &f, uint8_t cmd, const bytes &tokens = {});
// Just the 14 bytes up to and including Len.
bytes header_with_len(uint32_t len);

class service
{
public:
    using script_fn = std::function<void(service &, const frame &)>;

    // Listens on 127.0.0.1, ephemeral port; rcvbuf, when given, bounds each connection's
    // receive buffer (set before listening, so connections inherit it).
    explicit service(int rcvbuf = 0);
    // Serves a listening socket made elsewhere (for instance in another network namespace).
    static service *adopt(int listen_fd);
    ~service();
    service(const service &) = delete;
    service &operator=(const service &) = delete;

    uint16_t port() const { return port_; }
    void set_script(script_fn fn);
    void set_reading(bool on);

    // conn -1: the newest connection. False when it is not open.
    bool send(const bytes &b, int conn = -1);
    // The pieces go out with a pause between them, so that they arrive apart.
    bool send_pieces(const bytes &b, const std::vector<size_t> &sizes, int conn = -1);
    void close(int conn = -1);

    std::vector<frame> frames() const;
    int accepted() const { return accepted_; }
    int ended() const { return ended_; } // connections whose peer closed
    int partial_ends() const;            // connections that ended inside a frame
    bool bad_frames() const;             // any frame with a bad marker or CRC
    bool wait_frames(size_t n, int ms = 20000) const;

private:
    struct conn {
        int fd;
        bytes in;
        bool open;
        bool ended_inside_frame;
    };
    explicit service(int listen_fd, bool);
    void start();
    void run();
    void receive(size_t index);
    int pick(int conn) const; // under m_

    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> reading_{true};
    std::atomic<int> accepted_{0};
    std::atomic<int> ended_{0};
    mutable std::mutex m_;
    std::vector<conn> conns_;
    std::vector<frame> frames_;
    script_fn script_;
};

using ::settle_until;
using ::wait_until;

// Scripts.
service::script_fn silent();
service::script_fn reply_with(uint8_t cmd, const bytes &tokens = {});

// A listening TCP socket on 127.0.0.1, ephemeral port, inside the named network namespace;
// -1 on failure. The calling thread stays where it is.
int listen_in_netns(const std::string &netns);

} // namespace svc
