// The RFCOMM test of one of the maker's devices: a detached thread connects to channel 1,
// waits for the device to send up to 8 bytes, and its exit step logs the device report.
//
// The job holds a reference to its device and marks it BT_DEV_IN_FLIGHT from the start until
// the job is gone, so one test at most runs per device. The thread touches the device only
// through its flags (under the device's lock) and reads last_seen in the exit step.
#pragma once

#include "station/station.h"

struct bttest_job {
    uint8_t addr[6];
    uint8_t channel;
    bt_device *device; // with a reference
    // The test's own outcome, which the exit step reports: the list pass may clear the
    // device's BT_DEV_PAIRED before the exit step runs.
    uint8_t paired;
    uint8_t obr;
    // The station could not make its socket: no connect was tried, so no verdict either.
    uint8_t no_socket;
};

// Starts the test of a device (main thread, context lock held, the device's lock not held).
void bttest_start(bt_device *dev);
long bttest_thread_main(void *job);
void bttest_finish_cb(void *job);
void bttest_job_destroy(void *job);
