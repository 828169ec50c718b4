// A simulated radio behind the station's Bluetooth seam, driven by a scenario.
//
// While a sim_radio lives it is the seam and the process clock: inquiries answer with the devices
// in range, name reads and SDP searches with their scenario data (SDP records are real
// sdp_record_t, made with libbluetooth's own record functions), and an RFCOMM connect hands back
// one end of a real socketpair whose other end a peer thread drives as the device would. One radio
// at a time; every thread that may still call the seam or read the clock must have ended before it
// is destroyed.
#pragma once

#include "core/clk_private.h"
#include "sim_scenario.h"
#include "station/bt_seam.h"
#include "station/station.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct sim_device_stats {
    std::atomic<int> name_reads{0};
    std::atomic<int> sdp_connects{0};
    std::atomic<int> connects{0};
    std::atomic<int> in_connect{0};
    std::atomic<int> max_in_connect{0}; // most connects in progress at once
};

class sim_radio
{
public:
    // Epoch of a virtual clock's start.
    static constexpr int64_t virtual_epoch = 1700000000;

    explicit sim_radio(sim_scenario scenario);
    ~sim_radio();
    sim_radio(const sim_radio &) = delete;
    sim_radio &operator=(const sim_radio &) = delete;

    // Seconds since the run started, and the process clock while the radio lives.
    double elapsed() const;
    int64_t now() const;
    // Moves a virtual clock on.
    void advance(double seconds);
    // The context whose scan window the scenario's page loads open.
    void attach(app_ctx *ctx);
    // Ends every connect that hangs.
    void release_hangs();
    // From now on every RFCOMM socket fails with err; 0: none does.
    void fail_sockets(int err) { socket_errno_ = err; }
    // Connects on a descriptor that no RFCOMM socket of the radio handed out.
    int stray_connects() const { return stray_connects_.load(); }
    sim_device_stats &stats(size_t device) { return *stats_[device]; }
    int open_sdp_sessions() const { return sdp_sessions_.load(); }
    int inquiries() const { return inquiries_.load(); }

    // The seam's entries.
    int get_route();
    int open_dev();
    int inquiry(int num_rsp, inquiry_info **ii);
    int read_name(const bdaddr_t *ba, int len, char *name);
    sdp_session_t *sdp_connect(const bdaddr_t *dst);
    int sdp_search(sdp_session_t *session, sdp_list_t **rsp);
    int sdp_close(sdp_session_t *session);
    int socket();
    int connect(int fd, const sockaddr *addr, socklen_t len);
    // The process clock's entries.
    unsigned sleep(unsigned seconds);
    int usleep(useconds_t usec);

private:
    struct peer {
        int fd;
        int64_t send_at_ms; // -1: nothing to send
        std::string bytes;
    };

    int find(const uint8_t addr[6]) const;
    void apply_pages();
    void add_peer(peer p);
    void peer_loop();

    sim_scenario s_;
    std::vector<std::unique_ptr<sim_device_stats>> stats_;
    std::vector<int> name_fails_, sdp_fails_;
    std::vector<bool> inquiry_failed_;
    int64_t epoch_;
    const clk_ops *clock_before_ = nullptr;
    int64_t mono_start_ms_;
    std::atomic<int64_t> virtual_ms_{0};
    std::atomic<int> sdp_sessions_{0};
    std::atomic<int> inquiries_{0};
    std::atomic<int> socket_errno_{0};
    std::atomic<int> stray_connects_{0};
    int adapter_fd_ = -1;

    std::mutex lock_; // the fields below, and the failure counters above
    app_ctx *ctx_ = nullptr;
    double page_applied_ = -1;
    std::vector<std::pair<int, int>> unconnected_; // station end, peer end
    std::vector<peer> peers_;
    bool hangs_released_ = false;
    std::condition_variable hang_cv_;
    bool stopping_ = false;
    int wake_[2] = {-1, -1};
    std::thread peer_thread_;
};
