#include "core/obj.h"
#include "station/bt_service.h"
#include "station_fixture.h"

namespace
{

constexpr const char *addr = "11:22:33:44:55:66";

using Sdp = station_fixture;

// Runs one search for the device of the scenario.
bt_service *search(station_fixture &f)
{
    bt_device *dev = make_device(addr, "probe");
    bt_service *chain = bt_find_rfcomm_services(dev);
    dev->description = nullptr; // keep the log free of the probe's release line
    obj_release(dev);
    EXPECT_EQ(f.radio->open_sdp_sessions(), 0) << "the SDP connection is closed";
    return chain;
}

TEST_F(Sdp, EveryRecordBecomesAServiceInResponseOrder)
{
    start(R"(
device 11:22:33:44:55:66 000100
service 0x10005 Serial Port
proto L2CAP RFCOMM:1
service 0x10006 Dial-up Networking
proto L2CAP RFCOMM:2
service 0x4000a OBEX Object Push
proto L2CAP RFCOMM:9 OBEX
)");
    bt_service *chain = search(*this);
    std::vector<std::string> texts;
    for (bt_service *s = chain; s; s = s->next)
        texts.push_back(s->text);
    EXPECT_EQ(texts, (std::vector<std::string>{"\tSerial Port [0x10005] RFCOMM 1\n",
                                               "\tDial-up Networking [0x10006] RFCOMM 2\n",
                                               "\tOBEX Object Push [0x4000a] RFCOMM 9\n"}));
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->handle, 0x10005u);
    EXPECT_TRUE(logged("Discovered RFCOMM service 11:22:33:44:55:66 Serial Port 0x00010005 "
                       "channel 1"));
    EXPECT_TRUE(logged("Discovered RFCOMM service 11:22:33:44:55:66 OBEX Object Push "
                       "0x0004000A channel 9"));
    bt_service_release_chain(chain);
    EXPECT_TRUE(logged("Releasing RFCOMM service Serial Port [0x10005] RFCOMM 1"));
    EXPECT_EQ(count("Releasing RFCOMM service OBEX Object Push [0x4000a] RFCOMM 9"), 1);
}

struct proto_case {
    const char *protos; // proto lines of the record
    uint32_t protocol;
    uint8_t channel;
};

// Names the case in test listings.
void PrintTo(const proto_case &c, std::ostream *os)
{
    *os << c.protos;
}

class SdpProtocols : public station_fixture, public ::testing::WithParamInterface<proto_case>
{
};

TEST_P(SdpProtocols, LastProtocolAndTheChannelAfterRfcomm)
{
    const proto_case &c = GetParam();
    start(std::string("device 11:22:33:44:55:66 000100\nservice 0x10005 Port\n") + c.protos);
    bt_service *chain = search(*this);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->protocol, c.protocol) << c.protos;
    EXPECT_EQ(chain->channel, c.channel) << c.protos;
    EXPECT_EQ(chain->next, nullptr);
    bt_service_release_chain(chain);
}

INSTANTIATE_TEST_SUITE_P(Records, SdpProtocols,
                         ::testing::Values(proto_case{"proto L2CAP RFCOMM:1\n", 3, 1},
                                           proto_case{"proto L2CAP RFCOMM:9 OBEX\n", 8, 9},
                                           proto_case{"proto L2CAP 1:RFCOMM\n", 3, 0},
                                           proto_case{"proto 4 L2CAP RFCOMM\n", 3, 0},
                                           proto_case{"proto L2CAP:5 RFCOMM:2\n", 3, 2},
                                           proto_case{"proto 0x1101\n", 0x1101, 0},
                                           proto_case{"", 0, 0}));

// A record without a service name, or with one that is no text, is named by an empty text.
TEST_F(Sdp, RecordWithoutATextNameHasAnEmptyName)
{
    start(R"(
device 11:22:33:44:55:66 000100
service 0x10005
proto L2CAP RFCOMM:1
service 0x10006 ignored
name-number 7
proto L2CAP RFCOMM:2
)");
    bt_service *chain = search(*this);
    ASSERT_NE(chain, nullptr);
    ASSERT_NE(chain->next, nullptr);
    EXPECT_STREQ(chain->text, "\t [0x10005] RFCOMM 1\n");
    EXPECT_STREQ(chain->next->text, "\t [0x10006] RFCOMM 2\n");
    EXPECT_TRUE(logged("Discovered RFCOMM service 11:22:33:44:55:66  0x00010005 channel 1"));
    EXPECT_TRUE(logged("Discovered RFCOMM service 11:22:33:44:55:66  0x00010006 channel 2"));
    bt_service_release_chain(chain);
}

TEST_F(Sdp, NoConnectionOrNoRecordGivesNoChain)
{
    start("device 11:22:33:44:55:66 000100\nsdp-fail 1\n");
    EXPECT_EQ(search(*this), nullptr);
    EXPECT_EQ(count("SDP Failed for 11:22:33:44:55:66"), 1);
    EXPECT_EQ(search(*this), nullptr) << "a device without records";
    EXPECT_EQ(count("SDP Failed for 11:22:33:44:55:66"), 1);
}

} // namespace
