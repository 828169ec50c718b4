// Daemon mode. Each program names the lock file it uses, so that a test build never touches the
// machine's own. Until the standard descriptors are given up, failures are printed to standard
// output: no log is open yet.
#include "station/app.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// A pid as this program writes it: 1 to 7 digits. Anything else is a stale lock.
bool pid_text(const char *s)
{
    size_t n = strlen(s);
    if (n < 1 || n > 7)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

// Ends this copy when the lock file names a process that runs; removes a stale lock file.
void check_lock(const char *lock_path)
{
    struct stat st;
    if (lstat(lock_path, &st) != 0)
        return;
    // The lock's folder is open to every user: a link there is no lock but a trap that would
    // have this process, as root, create or overwrite the file it names. Only the link goes.
    if (S_ISLNK(st.st_mode)) {
        unlink(lock_path);
        return;
    }
    // Not blocking, so that a fifo in its place cannot stall the start.
    int fd = open(lock_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        printf("Could not create pid file %s\n", lock_path);
        exit(1);
    }
    char text[9] = {};
    ssize_t n = read(fd, text, 8);
    if (n > 0) {
        if (text[n - 1] == '\n')
            text[n - 1] = '\0';
        char proc[14];
        if (pid_text(text) && snprintf(proc, sizeof proc, "/proc/%s", text) > 0 &&
            stat(proc, &st) == 0) {
            printf("Application already running %s\n", lock_path);
            exit(1);
        }
    }
    close(fd);
    unlink(lock_path);
}

// Later files and sockets must not take descriptors 0, 1 and 2, nor may a diagnostic meant
// for the terminal land in them.
void detach_std_descriptors()
{
    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd <= 2; fd++) {
        close(fd);
        if (open("/dev/null", O_RDWR) != fd)
            break;
    }
}

} // namespace

void app_daemonize(int port, const char *log_path, const char *web_root, const char *lock_path)
{
    fflush(stdout);
    pid_t pid = fork();
    if (pid > 0)
        exit(0);
    if (pid < 0) {
        puts("Process failed");
        exit(1);
    }
    if (chdir(web_root) != 0)
        puts("change dir failed");
    if (setsid() < 0) {
        puts("Process failed");
        exit(1);
    }
    check_lock(lock_path);
    if (!app_write_pid_file(lock_path))
        exit(1);
    detach_std_descriptors();
    exit(app_run(0, port, log_path));
}
