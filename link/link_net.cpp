// The network thread, which pumps the pending table for the life of the process, and the device
// report, the link's own message. A report is built on the test thread that calls for it and
// is private to it until it is submitted.
#include "link/link.h"

#include "core/log.h"
#include "core/obj.h"
#include "core/tbl.h"
#include "core/thr.h"
#include "core/util.h"
#include "link/msg.h"
#include "link/pendq.h"
#include "proto/pkt.h"
#include "proto/tok.h"
#include "station/station.h"

#include <bluetooth/bluetooth.h>
#include <cstring>
#include <unistd.h>

namespace
{

constexpr useconds_t BEAT_US = 500000;
constexpr uint8_t CODE_ID = 6;
constexpr uint8_t CODE_ADDRESS = 7;
constexpr uint8_t CODE_PAIRED = 40;
constexpr uint8_t CODE_OBR = 41;

} // namespace

void link_start(const char *label, const char *domain, uint16_t port)
{
    link_configure_server(label, domain, port);
    thr_record *rec = thr_start(link_net_thread_main, link_net_thread_exit_cb, nullptr, nullptr, 0);
    if (rec)
        obj_release(rec);
}

long link_net_thread_main(void *)
{
    log_message("Starting network thread\n");
    if (!pendq_create())
        return 0;
    obj_ref<link_state> link = obj_ref<link_state>::adopt(link_get());
    if (!link)
        return 0;
    while (thr_should_run()) {
        if (pendq_pump(link.get()) != 0)
            break;
        usleep(BEAT_US);
    }
    return 0;
}

void link_net_thread_exit_cb(void *)
{
    log_message("Ending network thread\n");
}

void link_send_device_report(bt_device *dev, uint8_t paired, uint8_t obr)
{
    if (!dev)
        return;
    obj_ref<pkt_packet> p = obj_ref<pkt_packet>::adopt(pkt_create());
    if (!p)
        return;
    p->cmd = MSG_CMD_DEVICE_REPORT;
    // Its MID is drawn as it enters the pending table.
    uint64_t id = util_hton64(pkt_device_id_bt(dev->addr));
    memcpy(p->id, &id, sizeof p->id);

    bdaddr_t addr;
    memcpy(addr.b, dev->addr, sizeof addr.b);
    char text[18];
    ba2str(&addr, text);
    pkt_add_id_text(p.get(), TOK_REPORT, TOK_REPORT_OP, CODE_ID);
    (void)pkt_add_code_text_opt(p.get(), TOK_REPORT, TOK_REPORT_OP, CODE_ADDRESS, text);
    pkt_add_status(p.get(), CODE_PAIRED, paired);
    pkt_add_status(p.get(), CODE_OBR, obr);
    pendq_submit_request(p.get(), link_device_report_reply_cb, PENDQ_SEND_RETRY, nullptr);
}

int link_device_report_reply_cb(sock_socket *, int8_t, int8_t, tbl_table *tokens, uint16_t, void *)
{
    if (tokens)
        tbl_foreach(tokens, tok_log_cb, nullptr);
    return 0;
}
