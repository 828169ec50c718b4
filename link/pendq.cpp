// Pending table and resend pump.
//
// The pump leaves alone an entry that anybody besides the table and its own walk holds (a
// submitter still sending it, a dispatcher handing it its reply), except for the final step.
// A request's MID is drawn in one step with its entering, under the bucket's lock, so that two
// submitters cannot take the same free MID; the draws (OpenSSL's generator) run under that lock.
// The table slot is written once, by the network thread at its start, and read from every
// thread that submits or receives.
#include "link/pendq.h"

#include "core/clk.h"
#include "core/log.h"
#include "core/obj.h"
#include "core/tbl.h"
#include "link/link.h"
#include "link/link_impl.h"
#include "link/msg_random.h"
#include "netenv/dns.h"
#include "proto/pkt.h"

#include <atomic>

namespace
{

constexpr time_t RESEND_AFTER = 60;
constexpr uint8_t RESENDS = 3;
constexpr int SENDS_PER_PASS = 6;
// Random draws of a MID before a nearly full table is searched for a free one.
constexpr int MID_DRAWS = 16;

std::atomic<tbl_table *> table{nullptr};

enum class outcome { keep, remove, send, send_once, final_step };

// Decides an entry's course in this pass; the caller holds the entry's lock.
outcome decide(pendq_entry *e, int refs, int sent, time_t now)
{
    if (!e->packet || e->packet->marker != PKT_MARKER)
        return outcome::remove;
    time_t age = now - e->last_send;
    if (sent < SENDS_PER_PASS && e->kind != PENDQ_SEND_ONCE && refs == 2) {
        if (e->last_send == 0)
            return outcome::send;
        if (e->attempts >= RESENDS)
            return age >= RESEND_AFTER ? outcome::final_step : outcome::keep;
        if (age < RESEND_AFTER)
            return outcome::keep;
        e->attempts++;
        log_message("RESEND Q ID %04hX CMD %hhi %li\n", e->packet->mid, e->packet->cmd, long(age));
        return outcome::send;
    }
    if (e->attempts >= RESENDS && age >= RESEND_AFTER)
        return outcome::final_step;
    if (e->kind == PENDQ_SEND_ONCE && refs == 2) {
        if (e->attempts == 0) {
            e->attempts = 1;
            return outcome::send_once;
        }
        return age >= RESEND_AFTER ? outcome::remove : outcome::keep;
    }
    return outcome::keep;
}

// A tbl_pick_fn: a random MID that no pending entry holds.
int pick_mid(void *element, tbl_probe *probe, void *, uint32_t *key)
{
    uint16_t mid = 0;
    bool taken = true;
    for (int i = 0; i < MID_DRAWS && taken; i++) {
        msg_random_bytes(&mid, sizeof mid);
        taken = tbl_probe_taken(probe, mid);
    }
    // Upwards from the last draw, wrapping once: the probe then walks the bucket twice at most.
    for (uint32_t step = 1; step <= UINT16_MAX && taken; step++)
        taken = tbl_probe_taken(probe, ++mid);
    if (taken)
        return 0;
    static_cast<pendq_entry *>(element)->packet->mid = mid;
    *key = mid;
    return 1;
}

// Enters the entry (when there is a table); a request first gets its MID. False when it must
// not go out: every MID is pending.
bool enter(tbl_table *t, pendq_entry *e, bool request)
{
    if (!request) {
        if (t)
            (void)tbl_add(t, e);
        return true;
    }
    if (!t) {
        msg_random_bytes(&e->packet->mid, sizeof e->packet->mid);
        return true;
    }
    // Every 16-bit MID falls in the first bucket.
    return tbl_add_picked(t, e, tbl_bucket_of(t, 0), pick_mid, nullptr) != -1;
}

} // namespace

int pendq_create()
{
    if (table.load(std::memory_order_acquire))
        return 1;
    tbl_table *t = tbl_create(4, pendq_key_cb);
    if (!t)
        return 0;
    tbl_table *none = nullptr;
    if (!table.compare_exchange_strong(none, t, std::memory_order_acq_rel))
        obj_release(t);
    return 1;
}

tbl_table *pendq_table()
{
    return table.load(std::memory_order_acquire);
}

uint32_t pendq_key_cb(const void *p, int is_key)
{
    if (!p)
        return 0;
    if (is_key)
        return *static_cast<const uint16_t *>(p);
    const pkt_packet *packet = static_cast<const pendq_entry *>(p)->packet;
    return packet ? packet->mid : 0;
}

void pendq_entry_destroy(void *p)
{
    auto *e = static_cast<pendq_entry *>(p);
    if (e->packet)
        obj_release(e->packet);
    e->packet = nullptr;
    if (e->user)
        obj_release(e->user);
    e->user = nullptr;
}

namespace
{

void submit(pkt_packet *packet, pendq_reply_fn reply, uint32_t kind, void *user, bool request)
{
    if (!packet || obj_retain(packet) == 0)
        return;
    obj_ref<pendq_entry> e = obj_ref<pendq_entry>::adopt(
        static_cast<pendq_entry *>(obj_alloc(sizeof(pendq_entry), pendq_entry_destroy)));
    if (!e) {
        obj_release(packet);
        return;
    }
    e->packet = packet;
    e->reply = reply;
    e->kind = kind;
    if (user && obj_retain(user) > 0)
        e->user = user;

    tbl_table *t = pendq_table();
    if (kind == PENDQ_QUEUE_ONLY) {
        (void)enter(t, e.get(), request);
        return;
    }
    obj_ref<dns_resolver> resolver = obj_ref<dns_resolver>::adopt(link_resolver_get());
    obj_ref<link_state> link = obj_ref<link_state>::adopt(link_get());
    if (!resolver || !link) {
        (void)enter(t, e.get(), request);
        return;
    }
    if (kind == PENDQ_SEND_ONCE)
        e->attempts = 1;
    e->last_send = clk_now();
    // Entered before it is sent, so that a reply arriving during the send finds it.
    if (!enter(t, e.get(), request))
        return;
    (void)link_send_entry(resolver.get(), link.get(), e.get());
}

} // namespace

void pendq_submit(pkt_packet *packet, pendq_reply_fn reply, uint32_t kind, void *user)
{
    submit(packet, reply, kind, user, false);
}

void pendq_submit_request(pkt_packet *packet, pendq_reply_fn reply, uint32_t kind, void *user)
{
    submit(packet, reply, kind, user, true);
}

int pendq_pump(link_state *link)
{
    tbl_table *t = pendq_table();
    int n = tbl_count(t);
    if (n == 0)
        return 0;
    if (n < 0)
        return 1;
    tbl_iter *it = tbl_iter_create(t);
    if (!it)
        return 0;
    int sent = 0;
    while (auto *e = static_cast<pendq_entry *>(tbl_iter_next(it))) {
        dns_resolver *resolver = link_resolver_peek();
        int refs = obj_refcount(e);
        time_t now = clk_now();
        outcome o;
        {
            obj_guard g(e);
            o = decide(e, refs, sent, now);
            if (o == outcome::final_step)
                e->attempts++;
        }
        switch (o) {
        case outcome::keep:
            break;
        case outcome::remove:
            tbl_iter_remove(it);
            break;
        case outcome::send: {
            int r = link_send_entry(resolver, link, e);
            if (r == 1)
                sent++;
            else if (r == 0)
                tbl_iter_remove(it);
            break;
        }
        case outcome::send_once:
            if (link_send_entry(resolver, link, e) == 1)
                sent++;
            else
                tbl_iter_remove(it);
            break;
        case outcome::final_step:
            // Over its limit, the entry is refused and counted as a failure there.
            (void)link_send_entry(resolver, link, e);
            tbl_iter_remove(it);
            break;
        }
        obj_release(e);
    }
    obj_release(it);
    return 0;
}

pendq_entry *pendq_find(uint16_t mid)
{
    tbl_table *t = pendq_table();
    return t ? static_cast<pendq_entry *>(tbl_find(t, &mid)) : nullptr;
}

int pendq_contains(uint16_t mid)
{
    pendq_entry *e = pendq_find(mid);
    if (!e)
        return 0;
    obj_release(e);
    return 1;
}

int pendq_count()
{
    return tbl_count(pendq_table());
}

void pendq_add(pendq_entry *entry)
{
    tbl_table *t = pendq_table();
    if (t && entry)
        (void)tbl_add(t, entry);
}

void pendq_remove(pendq_entry *entry)
{
    tbl_table *t = pendq_table();
    if (t && entry)
        tbl_remove(t, entry);
}
