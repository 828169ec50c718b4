// Files in folders that other users may write to. Everything after the folder is reached works
// on the folder's descriptor, so a link planted in place of the folder later changes nothing.
#include "core/util.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int dir_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// The only file it writes or shows: one that nobody else may write to either, who could otherwise
// still hold it open and put lines of their own between its lines.
bool own_file(const struct stat &st)
{
    return util_file_of_ours(st) && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// Why st is not the own file, as errno tells it.
int not_own_cause(const struct stat &st)
{
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (S_ISLNK(st.st_mode))
        return ELOOP;
    if (S_ISREG(st.st_mode) && st.st_nlink != 1)
        return EMLINK;
    return EPERM;
}

// Every open is non-blocking, so that a fifo put in place between the look and the open cannot
// stall it; by now the file is known to be regular.
FILE *stream_of(int fd, const char *mode)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *f = fdopen(fd, mode);
    if (!f)
        close(fd);
    return f;
}

// name, a dot and six random letters or digits, cut to fit a folder entry.
bool fresh_name(char (&out)[NAME_MAX + 1], const char *name)
{
    static constexpr char letters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char r[6];
    if (getrandom(r, sizeof r, 0) != ssize_t(sizeof r))
        return false;
    size_t n = strnlen(name, NAME_MAX - 7);
    memcpy(out, name, n);
    out[n++] = '.';
    for (unsigned char c : r)
        out[n++] = letters[c % (sizeof letters - 1)];
    out[n] = '\0';
    return true;
}

// Moves the entry name of folder dir aside under a fresh name that no entry holds, for a
// filesystem that cannot swap; nothing is deleted, nothing entered. 0 or -1.
int move_aside(int dir, const char *name)
{
    char aside[NAME_MAX + 1];
    for (int tries = 0; tries < 16; tries++) {
        if (!fresh_name(aside, name))
            return -1;
        if (renameat2(dir, name, dir, aside, RENAME_NOREPLACE) == 0)
            return 0;
        if (errno == EINVAL) {
            // A filesystem without the flag: the fresh name is looked at first instead.
            struct stat st;
            if (fstatat(dir, aside, &st, AT_SYMLINK_NOFOLLOW) == 0)
                continue;
            return renameat(dir, name, dir, aside);
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// A new empty file under a fresh name in dir; its name is left in tmp.
int create_fresh(int dir, const char *name, mode_t mode, char (&tmp)[NAME_MAX + 1])
{
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int tries = 0; tries < 16; tries++) {
        if (!fresh_name(tmp, name))
            return -1;
        int fd = openat(dir, tmp, flags, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// How the fresh file fared at the path.
enum class took { path, held, failed, cannot }; // cannot: the filesystem has no such renames

// The fresh file tmp takes the entry name in one rename, whatever stands there: a directory is
// swapped aside.
took take_by_replacing(int dir, const char *tmp, const char *name)
{
    for (int round = 0; round < 8; round++) {
        if (renameat(dir, tmp, dir, name) == 0)
            return took::path;
        if (errno != EISDIR && errno != ENOTEMPTY && errno != EEXIST)
            break;
        // A directory stands there. Swapping the two puts the file at the path and the
        // directory under the fresh name in one step, so no racing mkdir can come between.
        if (renameat2(dir, tmp, dir, name, RENAME_EXCHANGE) == 0)
            return took::path;
        if (errno == ENOENT)
            continue; // gone meanwhile: the plain rename again
        if (errno != EINVAL)
            break;
        // A filesystem that cannot swap: the directory first, then the rename again.
        if (move_aside(dir, name) != 0 && errno != ENOENT)
            break;
    }
    return took::failed;
}

// What a swap left under the fresh name tmp.
enum class came_out { nothing, own, held, other };

came_out look_at(int dir, const char *tmp, const struct stat &ours, bool (*held)(int fd))
{
    struct stat st;
    if (fstatat(dir, tmp, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return came_out::nothing; // its owner took it away
    if (util_same_file(st, ours))
        return came_out::own;
    if (!util_file_of_ours(st))
        return came_out::other;
    int fd = openat(dir, tmp, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return came_out::other;
    struct stat opened;
    bool in_use = fstat(fd, &opened) == 0 && util_same_file(opened, st) && held(fd);
    close(fd);
    return in_use ? came_out::held : came_out::other;
}

// The fresh file tmp (ours) takes the entry name unless what stands there is held; then that
// is back at the path.
took take_unless_held(int dir, const char *tmp, const char *name, const struct stat &ours,
                      bool (*held)(int fd))
{
    for (int round = 0; round < 64; round++) {
        // Nothing there: the exclusive create's guarantee, with the content already in.
        if (renameat2(dir, tmp, dir, name, RENAME_NOREPLACE) == 0)
            return took::path;
        if (errno != EEXIST)
            return errno == EINVAL ? took::cannot : took::failed;
        // The file takes the path; what stood there comes out under the fresh name, where no
        // other user can change it unless it is theirs. Never empty, so no racer gets it.
        if (renameat2(dir, tmp, dir, name, RENAME_EXCHANGE) != 0) {
            if (errno == ENOENT)
                continue; // gone meanwhile
            return errno == EINVAL ? took::cannot : took::failed;
        }
        bool gave_back = false;
        // Another copy's lock goes back at once. Its swap back takes whatever is at the path by
        // then, which, while more copies start, may be a third copy's file, just as held; that
        // goes back too, until this file is home again.
        for (int swaps = 0; swaps < 4096; swaps++) {
            came_out what = look_at(dir, tmp, ours, held);
            if (what == came_out::held) {
                // Spaces the swaps out; on one core it also lets the copy that holds this one's
                // file run to hand it back. On several, that copy runs anyway.
                if (gave_back)
                    sched_yield();
                if (renameat2(dir, tmp, dir, name, RENAME_EXCHANGE) != 0)
                    return took::failed;
                gave_back = true;
                continue;
            }
            if (what == came_out::other)
                unlinkat(dir, tmp, 0); // a directory stays whole under the fresh name
            // The path held a second name of this very file, which the swap only traded for
            // this one: again from the top.
            if (what == came_out::own && !gave_back)
                break;
            return gave_back ? took::held : took::path;
        }
        if (gave_back) {
            errno = EBUSY; // never settled: copies kept handing files back
            return took::failed;
        }
    }
    errno = EEXIST;
    return took::failed;
}

int open_own_for_writing(int dir, const char *name)
{
    constexpr int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const bool shared = util_dir_shared(dir);
    // A second round when the entry changed between the look and the open.
    for (int round = 0; round < 2; round++) {
        struct stat seen;
        bool there = fstatat(dir, name, &seen, AT_SYMLINK_NOFOLLOW) == 0;
        if (!there && errno != ENOENT)
            return -1;
        if (there && own_file(seen)) {
            int fd = openat(dir, name, flags);
            if (fd < 0)
                continue;
            // Checked before it is emptied: truncation is the one step that cannot be undone.
            struct stat st;
            if (fstat(fd, &st) == 0 && own_file(st) && util_same_file(st, seen) &&
                ftruncate(fd, 0) == 0)
                return fd;
            close(fd);
            continue;
        }
        // 0644 less the umask: never writable by group or others, whatever the umask.
        if (shared)
            return util_replace_with_fresh(dir, name, 0644, nullptr, nullptr);
        // Only the operator makes entries here: what stands at the path stays as it is.
        if (there) {
            errno = not_own_cause(seen);
            return -1;
        }
        int fd = openat(dir, name, flags | O_CREAT | O_EXCL, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

bool util_file_of_ours(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

bool util_same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int util_dir_open(const char *path, const char **name)
{
    const char *slash = strrchr(path, '/');
    const char *last = slash ? slash + 1 : path;
    if (!*last || !strcmp(last, ".") || !strcmp(last, "..")) {
        errno = EISDIR;
        return -1;
    }
    int dir = open(path[0] == '/' ? "/" : ".", dir_flags);
    for (const char *p = path; dir >= 0 && p < last;) {
        const char *end = strchr(p, '/');
        size_t n = size_t(end - p);
        char part[NAME_MAX + 1];
        if (n > NAME_MAX) {
            close(dir);
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(part, p, n);
        part[n] = '\0';
        p = end + 1;
        if (n == 0)
            continue;
        int next = openat(dir, part, dir_flags | O_NOFOLLOW);
        // A link is followed only where nobody but the operator can have put it.
        struct stat st;
        if (next < 0 && (errno == ENOTDIR || errno == ELOOP) &&
            fstatat(dir, part, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            if (util_dir_shared(dir))
                errno = ELOOP;
            else
                next = openat(dir, part, dir_flags);
        }
        int err = errno;
        close(dir);
        errno = err;
        dir = next;
    }
    *name = last;
    return dir;
}

bool util_dir_shared(int dir)
{
    struct stat st;
    if (fstat(dir, &st) != 0)
        return true; // unknown: the careful way
    return (st.st_mode & (S_IWGRP | S_IWOTH)) || (st.st_uid != geteuid() && st.st_uid != 0);
}

int util_replace_with_fresh(int dir, const char *name, mode_t mode, const char *content,
                            bool (*held)(int fd))
{
    char tmp[NAME_MAX + 1];
    int fd = create_fresh(dir, name, mode, tmp);
    if (fd < 0)
        return -1;
    struct stat ours;
    // Whole and on disk before it takes the path: a reader never finds it empty or part-written.
    size_t n = content ? strlen(content) : 0;
    bool ready = fstat(fd, &ours) == 0 &&
                 (n == 0 || (write(fd, content, n) == ssize_t(n) && fsync(fd) == 0));
    took got = took::failed;
    if (ready && held)
        got = take_unless_held(dir, tmp, name, ours, held);
    if (ready && (!held || got == took::cannot))
        got = take_by_replacing(dir, tmp, name);
    if (got == took::path)
        return fd;
    int err = got == took::held ? EALREADY : errno;
    // Only this file goes: after a swap, what is under the fresh name may be another's.
    struct stat st;
    if (fstatat(dir, tmp, &st, AT_SYMLINK_NOFOLLOW) == 0 && util_same_file(st, ours))
        unlinkat(dir, tmp, 0);
    close(fd);
    errno = err;
    return -1;
}

FILE *util_fopen_own(const char *path, bool write)
{
    const char *name;
    int dir = util_dir_open(path, &name);
    if (dir < 0)
        return nullptr;
    int fd = write ? open_own_for_writing(dir, name)
                   : openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int err = errno;
    close(dir);
    if (fd >= 0 && !write) {
        struct stat st;
        err = fstat(fd, &st) != 0 ? errno : own_file(st) ? 0 : not_own_cause(st);
        if (err) {
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        errno = err;
        return nullptr;
    }
    return stream_of(fd, write ? "w" : "r");
}
