#include "ui_programs.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

const char *const sim_program = VESK_BT_SIM;
const char *const scenario_dir = SCENARIO_DIR;
const char *const web_dir = WEB_DIR;

namespace
{

[[noreturn]] void exec(const std::vector<std::string> &argv)
{
    std::vector<char *> v;
    for (const auto &a : argv)
        v.push_back(const_cast<char *>(a.c_str()));
    v.push_back(nullptr);
    execvp(v[0], v.data());
    _exit(127);
}

} // namespace

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

bool wait_listening(int port, std::chrono::seconds limit)
{
    return wait_until(
        [port] {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a = loopback(port);
            bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            if (fd >= 0)
                close(fd);
            return ok;
        },
        limit);
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &cwd,
            const std::string &out_path)
{
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || chdir(cwd.c_str()) != 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (!resolver_on_loopback())
            _exit(125);
        std::vector<std::string> words = emulator();
        words.insert(words.end(), argv.begin(), argv.end());
        exec(words);
    }
    if (pid > 0)
        setpgid(pid, pid);
    return pid;
}

int run(const std::vector<std::string> &argv, std::string *out, std::chrono::seconds limit)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(p[1], 1);
        dup2(null, 2);
        if (!resolver_on_loopback())
            _exit(125);
        exec(argv);
    }
    close(p[1]);
    if (pid < 0) {
        close(p[0]);
        return -1;
    }
    setpgid(pid, pid);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    std::string text;
    int status = -1;
    bool done = settle_until(
        [&] {
            char buf[4096];
            for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
                text.append(buf, size_t(n));
            int st;
            if (waitpid(pid, &st, WNOHANG) != pid)
                return false;
            status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return true;
        },
        limit);
    if (!done)
        stop(pid);
    // What the program wrote just before it ended.
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    close(p[0]);
    if (out)
        *out = text;
    return status;
}

void stop(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool have_program(const char *name)
{
    std::string out;
    return run({"sh", "-c", std::string("command -v ") + name}, &out) == 0 && !out.empty();
}
