#include "sim_radio.h"

#include "core/clk_private.h"
#include "core/obj.h"
#include "station/bt_seam_private.h"

#include <algorithm>
#include <bluetooth/rfcomm.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

sim_radio *active;

int64_t mono_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int seam_get_route(bdaddr_t *)
{
    return active->get_route();
}
int seam_open_dev(int)
{
    return active->open_dev();
}
int seam_inquiry(int, int, int num_rsp, const uint8_t *, inquiry_info **ii, long)
{
    return active->inquiry(num_rsp, ii);
}
int seam_read_name(int, const bdaddr_t *ba, int len, char *name, int)
{
    return active->read_name(ba, len, name);
}
sdp_session_t *seam_sdp_connect(const bdaddr_t *, const bdaddr_t *dst, uint32_t)
{
    return active->sdp_connect(dst);
}
int seam_sdp_search(sdp_session_t *session, const sdp_list_t *, sdp_attrreq_type_t,
                    const sdp_list_t *, sdp_list_t **rsp)
{
    return active->sdp_search(session, rsp);
}
int seam_sdp_close(sdp_session_t *session)
{
    return active->sdp_close(session);
}
int seam_socket(int, int, int)
{
    return active->socket();
}
int seam_connect(int fd, const sockaddr *addr, socklen_t len)
{
    return active->connect(fd, addr, len);
}
time_t clock_now()
{
    return time_t(active->now());
}
unsigned clock_sleep(unsigned s)
{
    return active->sleep(s);
}
int clock_usleep(useconds_t us)
{
    return active->usleep(us);
}

constexpr bt_seam sim_seam = {
    .hci_get_route = seam_get_route,
    .hci_open_dev = seam_open_dev,
    .hci_inquiry = seam_inquiry,
    .hci_read_remote_name = seam_read_name,
    .sdp_connect = seam_sdp_connect,
    .sdp_service_search_attr_req = seam_sdp_search,
    .sdp_close = seam_sdp_close,
    .socket = seam_socket,
    .connect = seam_connect,
};

constexpr clk_ops sim_clock = {
    .now = clock_now,
    .sleep = clock_sleep,
    .usleep = clock_usleep,
};

// Takes one failure off a counter: true when this call fails.
bool take_failure(int &left)
{
    if (left < 0)
        return true;
    if (left == 0)
        return false;
    left--;
    return true;
}

// The record's protocol descriptor list, as libbluetooth's sdp_set_access_protos takes it: a
// list of descriptors, each a list of a protocol's UUID and its parameters. That call copies
// the elements; what is made here is freed after it.
void set_protos(sdp_record_t *rec, const sim_proto_list &protos)
{
    size_t n = 0;
    for (const auto &d : protos)
        n += d.size();
    std::vector<uuid_t> uuids;
    uuids.reserve(n); // the lists point into it
    std::vector<sdp_data_t *> values;
    std::vector<sdp_list_t *> descriptors;
    sdp_list_t *list = nullptr;
    for (const auto &d : protos) {
        sdp_list_t *desc = nullptr;
        for (const auto &e : d) {
            if (e.is_uuid) {
                uuids.emplace_back();
                sdp_uuid16_create(&uuids.back(), e.uuid);
                desc = sdp_list_append(desc, &uuids.back());
            } else {
                uint8_t v = e.value;
                values.push_back(sdp_data_alloc(SDP_UINT8, &v));
                desc = sdp_list_append(desc, values.back());
            }
        }
        descriptors.push_back(desc);
        list = sdp_list_append(list, desc);
    }
    sdp_list_t *access = sdp_list_append(nullptr, list);
    sdp_set_access_protos(rec, access);
    sdp_list_free(access, nullptr);
    sdp_list_free(list, nullptr);
    for (sdp_list_t *d : descriptors)
        sdp_list_free(d, nullptr);
    for (sdp_data_t *v : values)
        sdp_data_free(v);
}

sdp_record_t *build_record(const sim_service &svc)
{
    sdp_record_t *rec = sdp_record_alloc();
    rec->handle = svc.handle;
    uint32_t handle = svc.handle;
    sdp_attr_add_new(rec, SDP_ATTR_RECORD_HANDLE, SDP_UINT32, &handle);
    if (!svc.protos.empty())
        set_protos(rec, svc.protos);
    if (svc.name_is_number) {
        uint32_t n = svc.name_number;
        sdp_attr_add_new(rec, SDP_ATTR_SVCNAME_PRIMARY, SDP_UINT32, &n);
    } else if (svc.has_name) {
        sdp_set_info_attr(rec, svc.name.c_str(), nullptr, nullptr);
    }
    return rec;
}

// A record as a client receives it: encoded as a server sends it, and parsed back.
sdp_record_t *make_record(const sim_service &svc)
{
    sdp_record_t *built = build_record(svc);
    sdp_buf_t pdu = {};
    sdp_record_t *rec = nullptr;
    if (sdp_gen_record_pdu(built, &pdu) == 0) {
        int scanned = 0;
        rec = sdp_extract_pdu(pdu.data, int(pdu.data_size), &scanned);
    }
    free(pdu.data);
    sdp_record_free(built);
    return rec;
}

} // namespace

sim_radio::sim_radio(sim_scenario scenario) : s_(std::move(scenario))
{
    for (const auto &d : s_.devices) {
        stats_.push_back(std::make_unique<sim_device_stats>());
        name_fails_.push_back(d.name_fail);
        sdp_fails_.push_back(d.sdp_fail);
    }
    inquiry_failed_.assign(s_.inquiry_fail.size(), false);
    epoch_ = s_.virtual_clock ? virtual_epoch : int64_t(::time(nullptr));
    mono_start_ms_ = mono_ms();
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        wake_[0] = wake_[1] = -1;
    active = this;
    bt_seam_set(&sim_seam);
    clock_before_ = clk_set(&sim_clock);
}

sim_radio::~sim_radio()
{
    clk_set(clock_before_);
    bt_seam_set(nullptr);
    {
        std::lock_guard g(lock_);
        stopping_ = true;
        hangs_released_ = true;
    }
    hang_cv_.notify_all();
    if (wake_[1] >= 0)
        (void)!write(wake_[1], "x", 1);
    if (peer_thread_.joinable())
        peer_thread_.join();
    for (auto &p : peers_)
        close(p.fd);
    for (auto &u : unconnected_)
        close(u.second);
    for (int fd : wake_)
        if (fd >= 0)
            close(fd);
    if (adapter_fd_ >= 0)
        close(adapter_fd_);
    active = nullptr;
}

double sim_radio::elapsed() const
{
    if (s_.virtual_clock)
        return double(virtual_ms_.load()) / 1000;
    return double(mono_ms() - mono_start_ms_) / 1000;
}

int64_t sim_radio::now() const
{
    return epoch_ + int64_t(std::floor(elapsed()));
}

void sim_radio::advance(double seconds)
{
    virtual_ms_ += int64_t(std::llround(seconds * 1000));
}

void sim_radio::attach(app_ctx *ctx)
{
    {
        std::lock_guard g(lock_);
        ctx_ = ctx;
    }
    apply_pages();
}

void sim_radio::release_hangs()
{
    {
        std::lock_guard g(lock_);
        hangs_released_ = true;
    }
    hang_cv_.notify_all();
}

// Stamps the latest page load that is due, as the scan page does, when the radio next gives
// way after it. Called only where the station holds no lock.
void sim_radio::apply_pages()
{
    double t = elapsed();
    double latest = -1;
    for (const auto &p : s_.pages) {
        if (p.at > t)
            continue;
        double at = p.every > 0 ? p.at + std::floor((t - p.at) / p.every) * p.every : p.at;
        latest = std::max(latest, at);
    }
    app_ctx *ctx;
    {
        std::lock_guard g(lock_);
        if (!ctx_ || latest <= page_applied_)
            return;
        page_applied_ = latest;
        ctx = ctx_;
    }
    obj_guard g(ctx);
    app_ctx_mark_web(ctx);
}

int sim_radio::find(const uint8_t addr[6]) const
{
    double t = elapsed();
    for (size_t i = 0; i < s_.devices.size(); i++) {
        const sim_device &d = s_.devices[i];
        if (memcmp(d.addr, addr, 6) == 0 && d.appear <= t && t < d.leave)
            return int(i);
    }
    return -1;
}

int sim_radio::get_route()
{
    return 0;
}

int sim_radio::open_dev()
{
    if (s_.adapter_open_fail) {
        errno = ENODEV;
        return -1;
    }
    if (adapter_fd_ < 0)
        adapter_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return adapter_fd_;
}

int sim_radio::inquiry(int num_rsp, inquiry_info **ii)
{
    inquiries_++;
    double start = elapsed();
    if (s_.virtual_clock)
        advance(s_.inquiry_time);
    else if (s_.inquiry_time > 0)
        ::usleep(useconds_t(s_.inquiry_time * 1e6));
    apply_pages();
    {
        std::lock_guard g(lock_);
        for (size_t i = 0; i < s_.inquiry_fail.size(); i++) {
            if (!inquiry_failed_[i] && s_.inquiry_fail[i] <= start) {
                inquiry_failed_[i] = true;
                errno = EIO;
                return -1;
            }
        }
    }
    std::vector<const sim_device *> found;
    for (const auto &d : s_.devices)
        if (d.appear <= start && start < d.leave && int(found.size()) < num_rsp)
            found.push_back(&d);
    if (!*ii)
        *ii = static_cast<inquiry_info *>(
            calloc(std::max<size_t>(found.size(), 1), sizeof(inquiry_info)));
    for (size_t i = 0; i < found.size(); i++) {
        inquiry_info info = {};
        memcpy(info.bdaddr.b, found[i]->addr, 6);
        info.pscan_rep_mode = 1;
        memcpy(info.dev_class, found[i]->cls, 3);
        (*ii)[i] = info;
    }
    return int(found.size());
}

int sim_radio::read_name(const bdaddr_t *ba, int len, char *name)
{
    int i = find(ba->b);
    if (i < 0) {
        errno = EIO;
        return -1;
    }
    stats_[size_t(i)]->name_reads++;
    {
        std::lock_guard g(lock_);
        if (take_failure(name_fails_[size_t(i)])) {
            errno = EIO;
            return -1;
        }
    }
    // As an adapter does: a name that fills the buffer comes without a terminator.
    const std::string &n = s_.devices[size_t(i)].name;
    size_t k = std::min(n.size(), size_t(len));
    memcpy(name, n.data(), k);
    if (k < size_t(len))
        name[k] = '\0';
    return 0;
}

sdp_session_t *sim_radio::sdp_connect(const bdaddr_t *dst)
{
    int i = find(dst->b);
    if (i >= 0) {
        stats_[size_t(i)]->sdp_connects++;
        std::lock_guard g(lock_);
        if (take_failure(sdp_fails_[size_t(i)]))
            i = -1;
    }
    if (i < 0) {
        errno = EHOSTDOWN;
        return nullptr;
    }
    auto *session = static_cast<sdp_session_t *>(calloc(1, sizeof(sdp_session_t)));
    session->sock = -1;
    session->priv = const_cast<sim_device *>(&s_.devices[size_t(i)]);
    sdp_sessions_++;
    return session;
}

int sim_radio::sdp_search(sdp_session_t *session, sdp_list_t **rsp)
{
    const auto *d = static_cast<const sim_device *>(session->priv);
    sdp_list_t *records = nullptr;
    for (const auto &svc : d->services)
        if (sdp_record_t *rec = make_record(svc))
            records = sdp_list_append(records, rec);
    *rsp = records;
    return 0;
}

int sim_radio::sdp_close(sdp_session_t *session)
{
    free(session);
    sdp_sessions_--;
    return 0;
}

int sim_radio::socket()
{
    if (int err = socket_errno_.load()) {
        errno = err;
        return -1;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    std::lock_guard g(lock_);
    unconnected_.emplace_back(sv[0], sv[1]);
    return sv[0];
}

int sim_radio::connect(int fd, const sockaddr *addr, socklen_t len)
{
    int peer_fd = -1;
    {
        std::lock_guard g(lock_);
        auto it = std::find_if(unconnected_.begin(), unconnected_.end(),
                               [fd](const auto &u) { return u.first == fd; });
        if (it != unconnected_.end()) {
            peer_fd = it->second;
            unconnected_.erase(it);
        }
    }
    if (peer_fd < 0)
        stray_connects_++;
    if (peer_fd < 0 || len < socklen_t(sizeof(sockaddr_rc))) {
        if (peer_fd >= 0)
            close(peer_fd);
        errno = EBADF;
        return -1;
    }
    const auto *rc = reinterpret_cast<const sockaddr_rc *>(addr);
    int i = find(rc->rc_bdaddr.b);
    if (i < 0) {
        close(peer_fd);
        errno = EHOSTDOWN;
        return -1;
    }
    const sim_device &d = s_.devices[size_t(i)];
    sim_device_stats &st = *stats_[size_t(i)];
    st.connects++;
    int now_in = ++st.in_connect;
    for (int m = st.max_in_connect.load(); now_in > m;)
        if (st.max_in_connect.compare_exchange_weak(m, now_in))
            break;

    int result = 0;
    switch (d.rfcomm) {
    case sim_rfcomm::refuse:
        close(peer_fd);
        errno = ECONNREFUSED;
        result = -1;
        break;
    case sim_rfcomm::hang: {
        std::unique_lock g(lock_);
        hang_cv_.wait_for(g, std::chrono::duration<double>(d.hang_s),
                          [this] { return hangs_released_; });
        g.unlock();
        close(peer_fd);
        errno = ETIMEDOUT;
        result = -1;
        break;
    }
    case sim_rfcomm::close:
        close(peer_fd);
        break;
    case sim_rfcomm::silent:
        add_peer({peer_fd, -1, {}});
        break;
    case sim_rfcomm::send:
        add_peer({peer_fd, mono_ms() + d.delay_ms, d.bytes});
        break;
    }
    st.in_connect--;
    return result;
}

unsigned sim_radio::sleep(unsigned seconds)
{
    if (s_.virtual_clock) {
        advance(seconds);
        // Time flies, but the program still gives way.
        ::usleep(1000);
    } else {
        ::sleep(seconds);
    }
    apply_pages();
    return 0;
}

int sim_radio::usleep(useconds_t usec)
{
    if (!s_.virtual_clock)
        return ::usleep(usec);
    return 0;
}

void sim_radio::add_peer(peer p)
{
    {
        std::lock_guard g(lock_);
        peers_.push_back(std::move(p));
        if (!peer_thread_.joinable())
            peer_thread_ = std::thread([this] { peer_loop(); });
    }
    (void)!write(wake_[1], "x", 1);
}

// Plays the devices' side of the open connections: sends their bytes when due, and closes a
// connection once the station has closed its end.
void sim_radio::peer_loop()
{
    for (;;) {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}};
        int timeout = -1;
        {
            std::lock_guard g(lock_);
            if (stopping_)
                return;
            int64_t now = mono_ms();
            for (auto it = peers_.begin(); it != peers_.end(); ++it) {
                if (it->send_at_ms >= 0 && it->send_at_ms <= now) {
                    (void)!send(it->fd, it->bytes.data(), it->bytes.size(), MSG_NOSIGNAL);
                    it->send_at_ms = -1;
                }
                if (it->send_at_ms >= 0) {
                    int wait = int(it->send_at_ms - now);
                    timeout = timeout < 0 ? wait : std::min(timeout, wait);
                }
                fds.push_back({it->fd, 0, 0});
            }
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            return;
        char drain[64];
        while (read(wake_[0], drain, sizeof drain) > 0) {
        }
        std::lock_guard g(lock_);
        for (size_t k = 1; k < fds.size(); k++) {
            if (!(fds[k].revents & (POLLHUP | POLLERR)))
                continue;
            auto it = std::find_if(peers_.begin(), peers_.end(),
                                   [&](const peer &p) { return p.fd == fds[k].fd; });
            if (it != peers_.end()) {
                close(it->fd);
                peers_.erase(it);
            }
        }
    }
}
