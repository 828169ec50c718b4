// A device list made by hand for the pages: a context, its devices and their service records,
// built as the station builds them but without the station; a temporary working directory
// with its own log; and a reader driven as the library drives it.
#pragma once

#include "station/station.h"
#include "tests/common/test_util.h"
#include "ui/web_page.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct test_service {
    const char *text; // null: a record without text
    uint32_t protocol;
};

// A context whose destructor releases its devices.
app_ctx *make_ctx();
// Appends a device at the tail of the list.
bt_device *add_device(app_ctx *ctx, const char *description, uint32_t flags,
                      const std::vector<test_service> &services = {});

using reader_fn = ssize_t (*)(void *page, uint64_t pos, char *buf, size_t max);

// Calls reader with buffers of size bytes until it ends the body, checking the reader
// contract on the way; returns the body from pos on.
std::string read_body(reader_fn reader, web_page *page, size_t size, uint64_t pos = 0);

// A fresh working directory (made the current one) with a log file opened in it.
struct ui_fixture : ::testing::Test {
    temp_dir tmp{"vesk-ui-test"};
    std::string dir;
    std::string log_path; // the log that the clear-log page empties
    std::string old_cwd;
    app_ctx *ctx = nullptr;

    void SetUp() override;
    void TearDown() override;
};
