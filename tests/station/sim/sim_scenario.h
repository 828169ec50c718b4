// A simulated radio's scenario: the adapter, the operator's scan-page loads and the devices in
// range, read from a small text file (format: sim_scenario.cpp).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// One element of a protocol descriptor: a protocol identifier or an 8-bit parameter.
struct sim_element {
    bool is_uuid;
    uint16_t uuid;
    uint8_t value;
};
using sim_descriptor = std::vector<sim_element>;
using sim_proto_list = std::vector<sim_descriptor>;

struct sim_service {
    uint32_t handle = 0;
    bool has_name = false;
    std::string name;
    bool name_is_number = false; // attribute 0x0100 as a number, not a text
    uint32_t name_number = 0;
    sim_proto_list protos; // empty: the record has no protocol descriptor list
};

enum class sim_rfcomm { refuse, silent, close, send, hang };

struct sim_device {
    uint8_t addr[6] = {}; // least significant byte first
    uint8_t cls[3] = {};  // c0 first
    std::string name;
    int name_fail = 0; // reads that fail first; -1: every read
    double appear = 0;
    double leave = std::numeric_limits<double>::infinity();
    int sdp_fail = 0; // SDP connections that fail first; -1: every one
    std::vector<sim_service> services;
    sim_rfcomm rfcomm = sim_rfcomm::refuse;
    int delay_ms = 0;  // send: before the bytes go out
    std::string bytes; // send: what the device sends
    double hang_s = 0; // hang: how long the connect blocks before it fails
};

struct sim_page {
    double at;
    double every; // 0: once
};

struct sim_scenario {
    bool virtual_clock = false;
    double inquiry_time = 5.12;
    bool adapter_open_fail = false;
    std::vector<sim_page> pages;
    std::vector<double> inquiry_fail;
    std::vector<sim_device> devices;
};

// On a bad line: false, and error says "LINE: what is wrong".
bool sim_scenario_parse(const std::string &text, sim_scenario &out, std::string &error);
bool sim_scenario_load(const char *path, sim_scenario &out, std::string &error);
