// Daemon mode and its lock file. Each program names the lock file it uses, so that a test build
// never touches the machine's own. Until the standard descriptors are given up, failures are
// printed to standard output: no log is open yet.
#include "station/app.h"
#include "station/daemon_private.h"

#include "core/util.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

pid_t starter; // the process that forked this one in daemon mode, 0 before

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

// Ends this copy when the lock file names a running copy. Nothing goes by name here: by then the
// entry may be the fresh lock of a copy that started at the same moment. The pid file takes the
// path in one swap, which a stale lock, or whatever else stands there, gives way to.
void check_lock(const char *lock_path)
{
    const char *name;
    int dir = util_dir_open(lock_path, &name);
    struct stat st;
    if (dir < 0 || fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (dir >= 0)
            close(dir);
        return;
    }
    const bool shared = util_dir_shared(dir);
    // A link is no lock but a trap that would have this process, as root, read or write the file
    // it names. In a folder open to every user, anything but a file of this daemon's user names
    // no running copy of this program either.
    if (S_ISLNK(st.st_mode) || (shared && !util_file_of_ours(st))) {
        close(dir);
        return;
    }
    // Not blocking, so that a fifo in its place cannot stall the start.
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    close(dir);
    if (fd < 0) {
        printf("Could not create pid file %s\n", lock_path);
        exit(1);
    }
    // What was opened must still be the lock that was looked at.
    struct stat opened;
    bool ours = !shared || (fstat(fd, &opened) == 0 && util_file_of_ours(opened) &&
                            util_same_file(opened, st));
    if (ours && names_running_process(fd)) {
        printf("Application already running %s\n", lock_path);
        exit(1);
    }
    close(fd);
}

// Later files and sockets must not take descriptors 0, 1 and 2, nor may a diagnostic meant
// for the terminal land in them. Whatever else the starter left open is its own business, not
// the daemon's to hold for as long as it runs.
void detach_descriptors()
{
    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd <= 2; fd++) {
        close(fd);
        if (open("/dev/null", O_RDWR) != fd)
            break;
    }
    if (close_range(3, ~0U, 0) != 0) {
        long max = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < (max > 0 ? max : 1024); fd++)
            close(int(fd));
    }
}

} // namespace

// Neither this process's pid nor its starter's, which stays taken until the starter is reaped,
// can be a running copy's: a lock that names either is stale. Pids repeat where a restarted
// container's fresh pid namespace meets the lock that outlived the last one.
bool names_running_process(int fd)
{
    char text[9] = {};
    ssize_t n = read(fd, text, 8);
    if (n <= 0)
        return false;
    if (text[n - 1] == '\n')
        text[n - 1] = '\0';
    if (!pid_text(text))
        return false;
    const pid_t pid = pid_t(atoi(text));
    if (pid == getpid() || pid == starter)
        return false;
    char proc[14];
    struct stat st;
    return snprintf(proc, sizeof proc, "/proc/%s", text) > 0 && stat(proc, &st) == 0;
}

pid_t app_set_starter(pid_t pid)
{
    const pid_t old = starter;
    starter = pid;
    return old;
}

int app_write_pid_file(const char *path)
{
    char text[16];
    snprintf(text, sizeof text, "%i\n", int(getpid()));
    mode_t old = umask(0);
    const char *name;
    int dir = util_dir_open(path, &name);
    // The lock takes the path whole, pid and all, in one rename, and only where no running copy
    // holds it: neither a copy that starts at the same moment nor a user who races for the path
    // finds a moment in which it is missing or empty.
    int fd = dir < 0 ? -1 : util_replace_with_fresh(dir, name, 0664, text, names_running_process);
    const int err = errno;
    umask(old);
    if (dir >= 0)
        close(dir);
    if (fd < 0) {
        if (err == EALREADY)
            printf("Application already running %s\n", path);
        else
            printf("Could not create pid file %s\n", path);
        return 0;
    }
    close(fd);
    return 1;
}

void app_daemonize(int port, const char *log_path, const char *web_root, const char *lock_path)
{
    fflush(stdout);
    starter = getpid();
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
    detach_descriptors();
    exit(app_run(0, port, log_path));
}
