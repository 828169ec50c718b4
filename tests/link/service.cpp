#include "tests/link/service.h"

#include "tests/proto/proto_fixture.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace svc
{
namespace
{

constexpr size_t HEADER = 16;
constexpr uint32_t MAX_LEN = 65535 - HEADER;

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

int loopback_listener(int rcvbuf)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::vector<token> frame::tokens() const
{
    std::vector<token> out;
    size_t at = HEADER, end = raw.size() - 2;
    while (at < end) {
        if (end - at < 4)
            return {};
        size_t len = size_t(raw[at + 2] << 8 | raw[at + 3]);
        if (end - at - 4 < len)
            return {};
        out.push_back({raw[at], raw[at + 1],
                       bytes(raw.begin() + long(at + 4), raw.begin() + long(at + 4 + len))});
        at += 4 + len;
    }
    return out;
}

bytes cat(std::initializer_list<bytes> parts)
{
    return proto_test::cat(parts);
}

bytes make_frame(const bytes &id, uint8_t cmd, uint16_t mid, const bytes &tokens)
{
    return proto_test::frame(id, cmd, mid, tokens);
}

bytes make_token(uint8_t id, uint8_t op, const std::string &payload)
{
    return proto_test::token(id, op, proto_test::text(payload));
}

bytes reply_to(const frame &f, uint8_t cmd, const bytes &tokens)
{
    return make_frame(f.id(), cmd, f.mid(), tokens);
}

bytes header_with_len(uint32_t len)
{
    bytes b = {0x7E, 0, 0xFF, 0, 0, 0, 0, 0, 0, 1};
    bytes l = proto_test::be(len, 4);
    b.insert(b.end(), l.begin(), l.end());
    return b;
}

service::service(int rcvbuf) : listen_fd_(loopback_listener(rcvbuf))
{
    start();
}

service::service(int listen_fd, bool) : listen_fd_(listen_fd)
{
    start();
}

service *service::adopt(int listen_fd)
{
    return new service(listen_fd, true);
}

void service::start()
{
    if (listen_fd_ < 0 || pipe2(wake_, O_CLOEXEC) != 0)
        return;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

service::~service()
{
    stop_ = true;
    if (wake_[1] >= 0 && write(wake_[1], "x", 1) < 0) {
        // The thread still ends at its next poll time-out.
    }
    if (thread_.joinable())
        thread_.join();
    for (conn &c : conns_)
        if (c.open)
            ::close(c.fd);
    for (int fd : {listen_fd_, wake_[0], wake_[1]})
        if (fd >= 0)
            ::close(fd);
}

void service::set_script(script_fn fn)
{
    std::lock_guard<std::mutex> g(m_);
    script_ = std::move(fn);
}

void service::set_reading(bool on)
{
    reading_ = on;
    if (write(wake_[1], "x", 1) < 0) {
        // Picked up at the next poll time-out.
    }
}

int service::pick(int c) const
{
    if (c < 0)
        c = int(conns_.size()) - 1;
    if (c < 0 || size_t(c) >= conns_.size() || !conns_[size_t(c)].open)
        return -1;
    return c;
}

bool service::send(const bytes &b, int c)
{
    std::lock_guard<std::mutex> g(m_);
    c = pick(c);
    return c >= 0 && write_all(conns_[size_t(c)].fd, b.data(), b.size());
}

bool service::send_pieces(const bytes &b, const std::vector<size_t> &sizes, int c)
{
    size_t at = 0;
    for (size_t n : sizes) {
        if (at > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        n = std::min(n, b.size() - at);
        if (!send(bytes(b.begin() + long(at), b.begin() + long(at + n)), c))
            return false;
        at += n;
    }
    return true;
}

void service::close(int c)
{
    std::lock_guard<std::mutex> g(m_);
    c = pick(c);
    if (c < 0)
        return;
    conn &k = conns_[size_t(c)];
    ::close(k.fd);
    k.open = false;
}

std::vector<frame> service::frames() const
{
    std::lock_guard<std::mutex> g(m_);
    return frames_;
}

int service::partial_ends() const
{
    std::lock_guard<std::mutex> g(m_);
    int n = 0;
    for (const conn &c : conns_)
        n += c.ended_inside_frame;
    return n;
}

bool service::bad_frames() const
{
    std::lock_guard<std::mutex> g(m_);
    for (const frame &f : frames_)
        if (!f.good)
            return true;
    return false;
}

bool service::wait_frames(size_t n, int ms) const
{
    return wait_until([&] { return frames().size() >= n; }, std::chrono::milliseconds(ms));
}

void service::run()
{
    while (!stop_) {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        std::vector<size_t> which;
        {
            std::lock_guard<std::mutex> g(m_);
            for (size_t i = 0; i < conns_.size(); i++) {
                if (conns_[i].open && reading_) {
                    fds.push_back({conns_[i].fd, POLLIN, 0});
                    which.push_back(i);
                }
            }
        }
        if (poll(fds.data(), fds.size(), 50) <= 0)
            continue;
        if (fds[0].revents) {
            char buf[16];
            if (read(wake_[0], buf, sizeof buf) < 0)
                continue;
        }
        if (fds[1].revents) {
            int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard<std::mutex> g(m_);
                conns_.push_back({fd, {}, true, false});
                accepted_++;
            }
        }
        for (size_t k = 0; k < which.size(); k++)
            if (fds[k + 2].revents)
                receive(which[k]);
    }
}

void service::receive(size_t i)
{
    uint8_t buf[65536];
    std::vector<frame> got;
    script_fn script;
    {
        std::lock_guard<std::mutex> g(m_);
        conn &c = conns_[i];
        if (!c.open)
            return;
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n <= 0) {
            c.ended_inside_frame = !c.in.empty();
            ::close(c.fd);
            c.open = false;
            ended_++;
            return;
        }
        c.in.insert(c.in.end(), buf, buf + n);
        while (c.in.size() >= HEADER) {
            uint32_t len = be32(c.in.data() + 10);
            if (len > MAX_LEN) { // no frame of ours: keep it whole, as one bad frame
                got.push_back({int(i), c.in, false});
                c.in.clear();
                break;
            }
            size_t total = HEADER + len;
            if (c.in.size() < total)
                break;
            frame f{int(i), bytes(c.in.begin(), c.in.begin() + long(total)), false};
            uint16_t crc = uint16_t(f.raw[total - 2] << 8 | f.raw[total - 1]);
            f.good =
                f.raw[0] == 0x7E && len >= 2 && proto_test::ref_crc(f.raw.data(), total - 2) == crc;
            got.push_back(std::move(f));
            c.in.erase(c.in.begin(), c.in.begin() + long(total));
        }
        script = script_;
    }
    // A frame shows only once its script has answered it, so that whatever a test sends after
    // seeing the frame reaches the link behind that answer.
    for (const frame &f : got) {
        if (script)
            script(*this, f);
        std::lock_guard<std::mutex> g(m_);
        frames_.push_back(f);
    }
}

service::script_fn silent()
{
    return nullptr;
}

service::script_fn reply_with(uint8_t cmd, const bytes &tokens)
{
    return [cmd, tokens](service &s, const frame &f) { s.send(reply_to(f, cmd, tokens), f.conn); };
}

int listen_in_netns(const std::string &netns)
{
    int fd = -1;
    // Network namespaces belong to threads: a thread of its own enters it and makes the
    // socket, which stays in that namespace.
    std::thread t([&] {
        int ns = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0)
            return;
        if (setns(ns, CLONE_NEWNET) == 0)
            fd = loopback_listener(0);
        ::close(ns);
    });
    t.join();
    return fd;
}

} // namespace svc
