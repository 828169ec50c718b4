// The simulator program and the outside tools (a browser, a terminal multiplexer) as the tests
// run them: each in a process group of its own, ended by the test that started it, and with no
// resolver but one on loopback (resolver_on_loopback; a test that cannot have that skips).
#pragma once

#include "tests/common/test_util.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int free_port();
// True when something accepts connections on 127.0.0.1:port within the limit.
bool wait_listening(int port, std::chrono::seconds limit = std::chrono::seconds(20));

// Starts argv[0] (searched in PATH) in cwd with standard output and error going to out_path;
// the process leads a new group.
pid_t spawn(const std::vector<std::string> &argv, const std::string &cwd,
            const std::string &out_path);
// Runs argv to its end or, past the limit, kills its group; returns its exit status (-1 when
// killed) and what it printed on standard output.
int run(const std::vector<std::string> &argv, std::string *out = nullptr,
        std::chrono::seconds limit = std::chrono::seconds(60));
// Kills the group that pid leads and reaps pid.
void stop(pid_t pid);
// True when the program is found in PATH.
bool have_program(const char *name);

// The simulator program, and the scenarios that come with the station's tests.
extern const char *const sim_program;
extern const char *const scenario_dir;
extern const char *const web_dir;
