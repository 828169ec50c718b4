#include "station/bttest.h"

#include "core/clk.h"
#include "core/log.h"
#include "core/obj.h"
#include "core/thr.h"
#include "link/link.h"
#include "proto/pkt.h"
#include "station/bt_addr.h"
#include "station/bt_device.h"
#include "station/bt_seam.h"

#include <bluetooth/rfcomm.h>
#include <cerrno>
#include <cstring>
#include <poll.h>

namespace
{

// A report waits for a connection until the device was last seen this long ago.
constexpr int64_t report_age = 30;

const bt_service *test_service(const bt_device *dev)
{
    for (const bt_service *s = dev->services; s; s = s->next)
        if (s->protocol == BT_PROTO_RFCOMM && s->channel == BT_TEST_CHANNEL)
            return s;
    return nullptr;
}

uint32_t le32(const uint8_t *b)
{
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// Waits for the device's data until it comes, the connection ends or the pass says stop.
void read_device(bttest_job *job, int sock, const char *addr_text)
{
    while (!(bt_device_flags(job->device) & BT_DEV_STOP)) {
        pollfd p = {sock, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r < 0)
            return;
        if (r == 0 || p.revents == 0)
            continue;
        // Let the rest of a short burst arrive.
        clk_usleep(100000);
        uint8_t buf[8] = {};
        ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
            log_message("Read failed %s RFCOMM %u\n", addr_text, unsigned(job->channel));
            bt_device_set_flags(job->device, BT_DEV_ERROR, 0);
        } else {
            log_message("Read from %s RFCOMM %u 0x%08X%08X\n", addr_text, unsigned(job->channel),
                        le32(buf), le32(buf + 4));
            bt_device_set_flags(job->device, BT_DEV_OBR_OK, 0);
            job->obr = 1;
        }
        return;
    }
}

void log_connect_failed(const char *addr_text, uint8_t channel, int err)
{
    char buf[256];
    log_message("Connect failed for %s RFCOMM %u [%s]\n", addr_text, unsigned(channel),
                strerror_r(err, buf, sizeof buf));
}

// After a report: a device that sent data is done; any other starts afresh, its name read
// again at the next sighting.
void settle_reported(bt_device *dev, uint8_t obr)
{
    obj_guard g(dev);
    if (obr)
        dev->flags &= ~BT_DEV_TESTING;
    else
        dev->flags = BT_DEV_NAME_UNKNOWN | (dev->flags & BT_DEV_IN_FLIGHT);
}

} // namespace

void bttest_job_destroy(void *p)
{
    auto *job = static_cast<bttest_job *>(p);
    if (job->device) {
        bt_device_set_flags(job->device, 0, BT_DEV_IN_FLIGHT);
        obj_release(job->device);
    }
    job->device = nullptr;
}

void bttest_start(bt_device *dev)
{
    if (!dev) {
        log_message("Connect failed for unknown device\n");
        return;
    }
    char addr_text[18];
    bt_addr_text(dev->addr, addr_text);
    const bt_service *svc = test_service(dev);
    if (!svc) {
        if (bt_device_flags(dev) & BT_DEV_MAKER) {
            log_message("Connect failed for %s [No service found]\n", addr_text);
            bt_device_set_flags(dev, BT_DEV_ERROR, 0);
        }
        return;
    }
    auto *job = static_cast<bttest_job *>(obj_alloc(sizeof(bttest_job), bttest_job_destroy));
    if (!job) {
        log_message("Connect failed for %s [Memory error]\n", addr_text);
        return;
    }
    if (obj_retain(dev) == 0) {
        log_message("Could not get ref for device\n");
        obj_release(job);
        return;
    }
    job->device = dev;
    job->channel = svc->channel;
    memcpy(job->addr, dev->addr, sizeof job->addr);
    bt_device_set_flags(dev, BT_DEV_IN_FLIGHT, 0);
    // The creation reference passes to the thread, whose exit step releases it. Without a
    // thread, nothing else would.
    thr_record *rec =
        thr_start(bttest_thread_main, bttest_finish_cb, nullptr, job, THR_RETURN_RECORD);
    if (!rec) {
        log_message("Connect failed for %s [Thread error]\n", addr_text);
        obj_release(job);
        return;
    }
    obj_release(rec);
}

long bttest_thread_main(void *p)
{
    auto *job = static_cast<bttest_job *>(p);
    const bt_seam *bt = bt_seam_get();
    char addr_text[18];
    bt_addr_text(job->addr, addr_text);

    // A socket that cannot be made is the station's own want (of descriptors, memory, kernel
    // support): the device was never asked, so the attempt leaves its flags as they were and
    // gives no verdict. The next pass tries again.
    int sock = bt->socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
    if (sock < 0) {
        job->no_socket = 1;
        log_connect_failed(addr_text, job->channel, errno);
        return 0;
    }
    bt_device_set_flags(job->device, BT_DEV_TESTING, 0);
    sockaddr_rc sa = {};
    sa.rc_family = AF_BLUETOOTH;
    memcpy(sa.rc_bdaddr.b, job->addr, sizeof sa.rc_bdaddr.b);
    sa.rc_channel = job->channel;

    if (bt->connect(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        int err = errno;
        close(sock);
        bt_device_set_flags(job->device, BT_DEV_ERROR, 0);
        log_connect_failed(addr_text, job->channel, err);
        return 0;
    }
    job->paired = 1;
    bt_device_set_flags(job->device, BT_DEV_PAIRED | BT_DEV_CHANGED, BT_DEV_ERROR);
    log_message("Paired %s RFCOMM %u\n", addr_text, unsigned(job->channel));

    read_device(job, sock, addr_text);
    close(sock);
    log_message("Disconected %s RFCOMM %u\n", addr_text, unsigned(job->channel));
    return 0;
}

void bttest_finish_cb(void *p)
{
    auto *job = static_cast<bttest_job *>(p);
    bt_device *dev = job->device;
    int64_t now = clk_now();
    bool report;
    {
        obj_guard g(dev);
        report = job->paired || (!job->no_socket && dev->last_seen <= now - report_age);
    }
    if (report) {
        log_message("Device report ID: %016lx PAIRED: %s OBR: %s\n",
                    (unsigned long)pkt_device_id_bt(job->addr), job->paired ? "OK" : "ERROR",
                    job->obr ? "OK" : "ERROR");
        settle_reported(dev, job->obr);
        link_send_device_report(dev, job->paired, job->obr);
    }
    obj_release(job);
}
