// SDP search and record walk. Every list that the search makes or returns, and every record,
// is freed on every path: a device out of reach is searched again at each sighting.
#include "station/bt_service.h"

#include "core/log.h"
#include "core/obj.h"
#include "core/text.h"
#include "station/bt_addr.h"
#include "station/bt_seam.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// The protocol number of the last protocol that the record's descriptor lists name, and the
// 8-bit parameter that follows RFCOMM.
void read_protocols(const sdp_record_t *rec, bt_service *svc)
{
    sdp_list_t *alternatives = nullptr;
    if (sdp_get_access_protos(rec, &alternatives) != 0)
        return;
    for (sdp_list_t *a = alternatives; a; a = a->next) {
        auto *descriptors = static_cast<sdp_list_t *>(a->data);
        for (sdp_list_t *d = descriptors; d; d = d->next) {
            for (auto *e = static_cast<sdp_data_t *>(d->data); e; e = e->next) {
                switch (e->dtd) {
                case SDP_UUID16:
                case SDP_UUID32:
                case SDP_UUID128:
                    svc->protocol = uint32_t(sdp_uuid_to_proto(&e->val.uuid));
                    break;
                case SDP_UINT8:
                    if (svc->protocol == BT_PROTO_RFCOMM)
                        svc->channel = e->val.uint8;
                    break;
                default:
                    break;
                }
            }
        }
        sdp_list_free(descriptors, nullptr);
    }
    sdp_list_free(alternatives, nullptr);
}

// The primary service name, or an empty text when the record has none as a string.
const char *service_name(const sdp_record_t *rec)
{
    const sdp_data_t *d = sdp_data_get(rec, SDP_ATTR_SVCNAME_PRIMARY);
    if (!d || !d->val.str)
        return "";
    switch (d->dtd) {
    case SDP_TEXT_STR8:
    case SDP_TEXT_STR16:
    case SDP_TEXT_STR32:
        return d->val.str;
    default:
        return "";
    }
}

bt_service *service_from_record(const sdp_record_t *rec, const char *addr_text)
{
    auto *svc = static_cast<bt_service *>(obj_alloc(sizeof(bt_service), bt_service_destroy));
    if (!svc)
        return nullptr;
    svc->handle = rec->handle;
    read_protocols(rec, svc);
    // The log, the pages and the terminal show the name as the text holds it, so it goes in
    // with its controls made visible; the log line takes it from there.
    const char *name = service_name(rec);
    size_t named = util_safe_text_length(name, false);
    char tail[26];
    snprintf(tail, sizeof tail, " [0x%x] RFCOMM %u\n", svc->handle, unsigned(svc->channel));
    size_t n = named + strlen(tail) + 2;
    svc->text = static_cast<char *>(malloc(n));
    if (svc->text) {
        svc->text[0] = '\t';
        memcpy(util_safe_text(svc->text + 1, name, false), tail, strlen(tail) + 1);
    }
    // Without a text the line goes without the name.
    log_message("Discovered RFCOMM service %s %.*s 0x%08X channel %u\n", addr_text,
                svc->text ? int(named) : 0, svc->text ? svc->text + 1 : "", svc->handle,
                unsigned(svc->channel));
    return svc;
}

} // namespace

bt_service *bt_find_rfcomm_services(bt_device *dev)
{
    const bt_seam *bt = bt_seam_get();
    bdaddr_t any = {};
    bdaddr_t addr;
    memcpy(addr.b, dev->addr, sizeof addr.b);
    char addr_text[18];
    bt_addr_text(dev->addr, addr_text);

    sdp_session_t *session = bt->sdp_connect(&any, &addr, SDP_RETRY_IF_BUSY);
    if (!session) {
        log_message("SDP Failed for %s\n", addr_text);
        return nullptr;
    }
    uuid_t rfcomm;
    sdp_uuid16_create(&rfcomm, RFCOMM_UUID);
    uint32_t range = 0x0000ffff;
    sdp_list_t *search = sdp_list_append(nullptr, &rfcomm);
    sdp_list_t *attrs = sdp_list_append(nullptr, &range);
    sdp_list_t *records = nullptr;
    if (search && attrs)
        (void)bt->sdp_service_search_attr_req(session, search, SDP_ATTR_REQ_RANGE, attrs, &records);
    sdp_list_free(search, nullptr);
    sdp_list_free(attrs, nullptr);

    bt_service *first = nullptr;
    bt_service **tail = &first;
    for (sdp_list_t *r = records; r; r = r->next) {
        auto *rec = static_cast<sdp_record_t *>(r->data);
        if (bt_service *svc = service_from_record(rec, addr_text)) {
            *tail = svc;
            tail = &svc->next;
        }
        sdp_record_free(rec);
    }
    sdp_list_free(records, nullptr);
    bt->sdp_close(session);
    return first;
}

void bt_service_destroy(void *p)
{
    auto *svc = static_cast<bt_service *>(p);
    if (svc->text) {
        log_message("Releasing RFCOMM service %s", svc->text + 1);
        free(svc->text);
    }
    svc->text = nullptr;
}

void bt_service_release_chain(bt_service *first)
{
    while (first) {
        bt_service *next = first->next;
        obj_release(first);
        first = next;
    }
}
