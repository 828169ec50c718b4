// The event and status messages: the result tables of their callbacks, what each sender puts on
// the wire at the test service and when it goes, and the builders, which hand their message over
// without sending it.
#include "tests/common/test_clock.h"
#include "tests/link/link_fixture.h"

#include "link/msg.h"
#include "link/msg_event.h"
#include "link/msg_event_private.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace
{

using link_test::clear_pending;
using proto_test::be;
using proto_test::fields;
using proto_test::text;
using proto_test::token;
using svc::bytes;
using svc::cat;
using svc::frame;

bytes code_text(uint8_t code, const std::string &s)
{
    return fields({{code}, text(s)});
}

bytes code_text_num(uint8_t code, const std::string &s, uint32_t n)
{
    return fields({{code}, text(s), be(n, 4)});
}

bytes device_id()
{
    bytes id(8, 0);
    msg_get_device_id(id.data(), 8);
    return id;
}

// ---- result codes ----

enum class table { status, event, result };

struct result_case {
    table t;
    int8_t sent;
    int8_t reply;
    int want;
};

constexpr result_case result_cases[] = {
    {table::status, -1, 0, 0},    {table::status, -1, 2, 0},    {table::status, -1, -2, 2},
    {table::status, -1, 1, 1},    {table::status, -1, 3, 1},    {table::status, -1, -1, 1},
    {table::status, -3, 0, 1},    {table::status, -2, -2, 1},   {table::status, -4, 0, 0},
    {table::status, -128, 2, 0},  {table::status, 0, 0, 1},     {table::status, 10, -2, 1},
    {table::status, 11, 0, 0},    {table::status, 127, 2, 0},

    {table::event, 5, -128, 1},   {table::event, 5, 0, 1},      {table::event, 5, 1, 1},
    {table::event, 5, 2, 0},      {table::event, 5, 3, 0},      {table::event, 5, 4, 2},
    {table::event, 5, 5, 1},      {table::event, 5, 127, 1},    {table::event, 6, 4, 1},
    {table::event, 10, 2, 1},     {table::event, 4, 2, 1},      {table::event, -3, 4, 1},
    {table::event, -4, 2, 0},     {table::event, 11, 4, 0},     {table::event, -128, 1, 0},

    {table::result, -3, -2, 0},   {table::result, -3, 0, 2},    {table::result, -3, 1, 1},
    {table::result, -3, -1, 1},   {table::result, -3, -128, 1}, {table::result, -4, 0, 0},
    {table::result, -128, -2, 0}, {table::result, -2, 0, 1},    {table::result, -2, -2, 1},
    {table::result, -1, 0, 1},    {table::result, 10, 0, 1},    {table::result, 11, 0, 0},
    {table::result, 127, -2, 0},
};

TEST(ResultCodes, EachTableMapsTheSentAndTheReplyCommand)
{
    const char *names[] = {"status", "event", "result"};
    ::testing::internal::CaptureStderr();
    for (const result_case &c : result_cases) {
        int got = -1;
        switch (c.t) {
        case table::status:
            got = msg_status_reply_cb(nullptr, c.sent, c.reply, nullptr, 0x1234, nullptr);
            break;
        case table::event:
            got = msg_event_reply_cb(nullptr, c.sent, c.reply, nullptr, 0x1234, nullptr);
            break;
        case table::result:
            got = msg_result_code(nullptr, c.sent, c.reply);
            break;
        }
        EXPECT_EQ(got, c.want) << names[int(c.t)] << ": sent " << int(c.sent) << ", reply "
                               << int(c.reply);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "no tokens, no line";
}

TEST(ResultCodes, TheEventCallbackPrintsAReplyWithTokens)
{
    obj_ref<pkt_packet> reply = obj_ref<pkt_packet>::adopt(pkt_create());
    ASSERT_TRUE(reply);
    char want[64];
    snprintf(want, sizeof want, "Result 5 4 48879 %p", static_cast<void *>(reply->tokens));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(msg_event_reply_cb(nullptr, 5, 4, reply->tokens, 0xBEEF, nullptr), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), want);
}

// ---- senders, at the test service ----

struct Events : link_test::link_fixture {
    static int caller_reply(sock_socket *, int8_t, int8_t, tbl_table *, uint16_t, void *)
    {
        return 0;
    }

    // The one pending entry, retained; null unless there is exactly one.
    static obj_ref<pendq_entry> lone_entry()
    {
        std::vector<pendq_entry *> all;
        tbl_foreach(
            pendq_table(),
            [](void *e, void *v) {
                static_cast<std::vector<pendq_entry *> *>(v)->push_back(
                    static_cast<pendq_entry *>(e));
            },
            &all);
        return all.size() == 1 ? obj_ref<pendq_entry>::retain(all[0]) : obj_ref<pendq_entry>();
    }

    // The frame that the service got after the first `before`.
    frame next_frame(size_t before)
    {
        // Fatal, though the test goes on: its later waits then give up at once.
        [&] { ASSERT_TRUE(service->wait_frames(before + 1)); }();
        std::vector<frame> f = service->frames();
        EXPECT_EQ(f.size(), before + 1);
        return f.size() > before ? f[before] : frame{-1, bytes(16), false};
    }
};

struct sent_case {
    const char *what;
    std::function<int()> send;
    uint8_t cmd;
    bytes tokens;
    uint32_t kind;
    pendq_reply_fn reply;
};

TEST_F(Events, SentAtOnceAndKeptForTheirReply)
{
    const sent_case cases[] = {
        {"fault 0", [] { return msg_send_fault(0); }, 5,
         token(8, 2, code_text_num(8, "Alignment", 1)), PENDQ_SEND_RETRY, msg_event_reply_cb},
        {"fault -1", [] { return msg_send_fault(-1); }, 5,
         token(8, 2, code_text_num(8, "Crash", 1)), PENDQ_SEND_RETRY, msg_event_reply_cb},
        {"byte 300", [] { return msg_send_event_byte(300); }, 5,
         token(8, 2, code_text_num(7, "44", 1)), PENDQ_SEND_RETRY, msg_event_reply_cb},
        {"byte -1", [] { return msg_send_event_byte(-1); }, 5,
         token(8, 2, code_text_num(7, "255", 1)), PENDQ_SEND_RETRY, msg_event_reply_cb},
        {"text, flag 256", [] { return msg_send_event_text("door open", 256); }, 5,
         token(8, 2, code_text_num(27, "door open", 0)), PENDQ_SEND_RETRY, msg_event_reply_cb},
        {"text, flag 2", [] { return msg_send_event_text("door open", 2); }, 5,
         token(8, 2, code_text_num(27, "door open", 1)), PENDQ_SEND_RETRY, msg_event_reply_cb},
        {"number", [] { return msg_send_event_number(-2147483647 - 1); }, 5,
         token(8, 2, code_text_num(26, "-2147483648", 1)), PENDQ_SEND_RETRY, msg_event_reply_cb},
        {"status",
         [] { return msg_send_status(); },
         0xFF,
         {},
         PENDQ_SEND_ONCE,
         msg_status_reply_cb},
    };
    const bytes id = device_id();
    for (const sent_case &c : cases) {
        SCOPED_TRACE(c.what);
        clear_pending();
        size_t before = service->frames().size();
        ASSERT_EQ(c.send(), 1);
        frame f = next_frame(before);
        EXPECT_TRUE(f.good);
        EXPECT_EQ(f.raw, svc::make_frame(id, c.cmd, f.mid(), c.tokens));

        obj_ref<pendq_entry> e = lone_entry();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->packet->mid, f.mid());
        EXPECT_EQ(e->kind, c.kind);
        EXPECT_EQ(e->reply, c.reply);
        EXPECT_EQ(e->user, nullptr);
    }
}

struct queued_case {
    const char *what;
    std::function<int(void *user)> send;
    bytes tokens;
    pendq_reply_fn reply = msg_event_reply_cb;
    bool with_user = false;
};

// Distinct objects, so distinct addresses: the same text as "old" is not "old" itself.
const char old_name[] = "old";
const char new_name[] = "new";
const char old_copy[] = "old";

TEST_F(Events, QueuedUntilThePumpSendsThem)
{
    const pendq_reply_fn mine = caller_reply;
    const queued_case cases[] = {
        {"remainder", [](void *) { return msg_send_remainder(1, 0x12345678); },
         token(65, 1,
               {0, 0, 0, 0, 0, 0, 0, 1, ',', 0x10, 0x34, 0x56, 0x78, ',', 0x12, 0x34, 0x56, 0x78})},
        {"pin lockout", [](void *) { return msg_send_pin_lockout(); },
         token(8, 2, code_text_num(14, "Maint PIN Lockout", 1))},
        {"info", [](void *) { return msg_send_info_text("battery low"); },
         token(9, 1, code_text(19, "battery low"))},
        {"info without text", [](void *) { return msg_send_info_text(nullptr); }, {}},
        {"query", [](void *u) { return msg_send_query_text("which", caller_reply, u); },
         token(9, 1, code_text(18, "which")), mine, true},
        {"query without text",
         [](void *u) { return msg_send_query_text(nullptr, caller_reply, u); },
         {},
         mine,
         true},
        {"request", [](void *u) { return msg_send_request_text("fw", caller_reply, u); },
         token(8, 1, code_text(11, "fw")), mine, true},
        {"pair, second only", [](void *) { return msg_send_changed_pair("", new_name, new_name); },
         token(8, 2, code_text_num(23, "new", 1))},
        {"pair, first only",
         [](void *) { return msg_send_changed_pair(old_name, nullptr, nullptr); },
         token(8, 2, code_text_num(24, "old", 0))},
        {"pair, first current",
         [](void *) { return msg_send_changed_pair(old_name, new_name, old_name); },
         cat({token(8, 2, code_text_num(23, "new", 0)), token(8, 2, code_text_num(24, "old", 1))})},
        {"pair, second current",
         [](void *) { return msg_send_changed_pair(old_name, new_name, new_name); },
         cat({token(8, 2, code_text_num(23, "new", 1)), token(8, 2, code_text_num(24, "old", 0))})},
        {"pair, current an equal text elsewhere",
         [](void *) { return msg_send_changed_pair(old_name, new_name, old_copy); },
         cat({token(8, 2, code_text_num(23, "new", 0)), token(8, 2, code_text_num(24, "old", 0))})},
    };
    obj_ref<void> user = obj_ref<void>::adopt(obj_alloc(8, nullptr));
    ASSERT_TRUE(user);
    const bytes id = device_id();
    for (const queued_case &c : cases) {
        SCOPED_TRACE(c.what);
        clear_pending();
        size_t before = service->frames().size();
        ASSERT_EQ(c.send(user.get()), 1);

        obj_ref<pendq_entry> e = lone_entry();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->kind, PENDQ_QUEUE_ONLY);
        EXPECT_EQ(e->reply, c.reply);
        EXPECT_EQ(e->user, c.with_user ? user.get() : nullptr);
        EXPECT_EQ(e->last_send, 0) << "not sent by the sender";
        EXPECT_EQ(service->frames().size(), before);
        const uint16_t mid = e->packet->mid;
        e.reset(); // the pump leaves alone an entry that somebody else holds

        EXPECT_EQ(pendq_pump(link), 0);
        frame f = next_frame(before);
        EXPECT_TRUE(f.good);
        EXPECT_EQ(f.raw, svc::make_frame(id, 5, mid, c.tokens));
        EXPECT_TRUE(pendq_contains(mid)) << "kept for its reply";
    }
    clear_pending();
    EXPECT_EQ(obj_refcount(user.get()), 1) << "the entries let go of the caller's object";
}

// Nothing to tell, or what was asked cannot be carried: no packet, and the sender says so.
TEST_F(Events, NothingGoesOutForAMessageThatCannotBeMade)
{
    const std::string longest(121, 'x'); // code, comma, text, comma, n: 128 bytes
    const std::string too_long = longest + "x";
    const std::string info_too_long(511, 'y');
    const std::function<int()> cases[] = {
        [] { return msg_send_changed_pair(nullptr, nullptr, nullptr); },
        [] { return msg_send_changed_pair("", "", ""); },
        [] { return msg_send_changed_pair(nullptr, "", nullptr); },
        [] { return msg_send_event_text(nullptr, 1); },
        [&] { return msg_send_event_text(too_long.c_str(), 1); },
        [&] { return msg_send_changed_pair("old", too_long.c_str(), nullptr); },
        [&] { return msg_send_changed_pair(too_long.c_str(), "new", nullptr); },
        [&] { return msg_send_info_text(info_too_long.c_str()); },
        [&] { return msg_send_request_text(info_too_long.c_str(), caller_reply, nullptr); },
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        EXPECT_EQ(cases[i](), 0) << "case " << i;
        EXPECT_EQ(pendq_count(), 0) << "case " << i;
    }
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_EQ(service->accepted(), 0);

    // The longest text that fits goes out whole.
    ASSERT_EQ(msg_send_event_text(longest.c_str(), 1), 1);
    frame f = next_frame(0);
    std::vector<svc::token> t = f.tokens();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].payload, code_text_num(27, longest, 1));
}

// ---- builders ----

struct built {
    pkt_packet *packet; // retained by the observer
    uint8_t token_id;
    time_t when;
    int refs; // when the hook got it
};

std::vector<built> seen;

void observe(pkt_packet *p, uint8_t token_id, time_t when)
{
    seen.push_back({p, token_id, when, obj_refcount(p)});
    (void)obj_retain(p);
}

std::string date_of(time_t when)
{
    struct tm tm;
    char s[16];
    localtime_r(&when, &tm);
    strftime(s, sizeof s, "%y%m%d%H%M%S", &tm);
    return s;
}

struct build_case {
    const char *what;
    std::function<int()> build;
    uint8_t token_id;
    bool has_token;
    // The payload, given the date that it carries (builders without a date ignore it).
    std::function<bytes(const bytes &date)> payload;
};

TEST_F(Events, BuildersHandTheirMessageOverAndSendNothing)
{
    static const pkt_process_info info = {1, 2, 3, 0x0405, "init"};
    const build_case cases[] = {
        {"dated pair", [] { return msg_build_dated_pair(0x0102, 0xA0B0); }, 67, true,
         [](const bytes &d) {
             return fields({d, {0x01, 0x02}, {0xA0, 0xB0}});
         }},
        {"process record", [] { return msg_build_process_record(&info); }, 6, true,
         [](const bytes &d) {
             return fields({d, be(3, 8), be(1, 8), be(2, 8), be(0x0405, 2), text("init")});
         }},
        {"process record without info", [] { return msg_build_process_record(nullptr); }, 6, false,
         nullptr},
        {"counters", [] { return msg_build_counters(1, 2, 3, 4, 5); }, 104, true,
         [](const bytes &d) {
             return fields({d, be(1, 8), be(2, 8), be(3, 2), be(4, 2), be(5, 2)});
         }},
        {"secret", [] { return msg_build_secret(7, "s3cret"); }, 7, true,
         [](const bytes &d) {
             return fields({d, be(7, 2), text("s3cret")});
         }},
        {"secret without text", [] { return msg_build_secret(7, nullptr); }, 7, false, nullptr},
        {"call", [] { return msg_build_call(0x1122334455667788, "+4412345", 90); }, 13, true,
         [](const bytes &d) {
             return cat({be(0x1122334455667788, 8), fields({{}, text("+4412345"), be(90, 2), d})});
         }},
        {"number, text and uid", [] { return msg_build_number_text_uid("555", "hi", 9); }, 14, true,
         [](const bytes &d) {
             return fields({text("555"), text("hi"), be(9, 8), d});
         }},
        {"number and text", [] { return msg_build_number_text("555", "hi"); }, 39, true,
         [](const bytes &) {
             return fields({text("555"), text("hi")});
         }},
        {"call token", [] { return msg_build_call_token("tok", "txt", 12345); }, 54, true,
         [](const bytes &) {
             return fields({text("tok"), text("txt"), text("1234")});
         }},
        {"call token without texts", [] { return msg_build_call_token(nullptr, nullptr, 1); }, 54,
         false, nullptr},
    };
    held_clock clock;
    msg_set_submit_observer(observe);
    ::testing::internal::CaptureStderr();
    for (const build_case &c : cases) {
        SCOPED_TRACE(c.what);
        seen.clear();
        ASSERT_EQ(c.build(), 0);
        ASSERT_EQ(seen.size(), 1u);
        obj_ref<pkt_packet> p = obj_ref<pkt_packet>::adopt(seen[0].packet);
        EXPECT_EQ(seen[0].refs, 1) << "the hook gets the maker's reference alone";
        EXPECT_EQ(obj_refcount(p.get()), 1) << "and lets go of it";
        EXPECT_EQ(seen[0].token_id, c.token_id);
        EXPECT_EQ(p->cmd, 5);
        EXPECT_EQ(bytes(p->id, p->id + 8), device_id());

        std::vector<pkt_token *> t = proto_test::tokens_of(p.get());
        ASSERT_EQ(t.size(), c.has_token ? 1u : 0u);
        if (!c.has_token)
            continue;
        EXPECT_EQ(t[0]->id, c.token_id);
        EXPECT_EQ(t[0]->op, 1);
        bytes got(t[0]->data, t[0]->data + t[0]->len);
        // The date and the hook's time come from the one clock, held here.
        EXPECT_EQ(seen[0].when, clock.now());
        EXPECT_TRUE(got == c.payload(text(date_of(clock.now()))))
            << "payload of " << got.size() << " bytes";
    }
    std::string err = ::testing::internal::GetCapturedStderr();
    msg_set_submit_observer(nullptr);
    EXPECT_EQ(err, "GCALL IN TOKEN tok txt 12345GCALL IN TOKEN (null) (null) 1");
    EXPECT_EQ(pendq_count(), 0);
    EXPECT_EQ(service->accepted(), 0);
}

} // namespace
