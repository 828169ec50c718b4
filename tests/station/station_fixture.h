// A station on a simulated radio with a virtual clock: a context with its inquiry buffer, a log
// file of its own, and helpers to run passes and read the log back.
#pragma once

#include "sim_radio.h"
#include "station/station.h"
#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

struct station_fixture : ::testing::Test {
    temp_dir tmp{"vesk-station-test"};
    std::string dir;
    std::string log_path;
    std::unique_ptr<sim_radio> radio;
    app_ctx *ctx = nullptr;

    void SetUp() override;
    void TearDown() override;

    // Installs the radio; the scenario runs on a virtual clock with zero-latency inquiries
    // unless its text says otherwise.
    void start(const std::string &scenario);
    // Stamps a scan-page load now.
    void open_window();
    // One pass of the scan loop on the simulated adapter.
    void pass();
    // Waits until no device of the list has a test in flight.
    void wait_idle();

    bt_device *device(const char *addr_text);
    // Log lines without their time stamps.
    std::vector<std::string> log() const;
    int count(const std::string &line) const;
    bool logged(const std::string &line) const { return count(line) > 0; }
};

// A device record made by hand, outside any list.
bt_device *make_device(const char *addr_text, const char *name, uint32_t flags = 0);
// An RFCOMM service record on one channel, without a text.
bt_service *make_service(uint8_t channel);
