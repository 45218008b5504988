// A folder that answers like a file server across a network: a FUSE passthrough onto a local
// folder that waits a fixed time before every request the kernel hands it, as an NFS client
// waits one round trip for each call it cannot answer from its caches (a lookup, an attribute
// check on open, a create, a rename, a write sent, a commit). A commit to stable storage (fsync,
// fdatasync) waits a further time for the server's own disk, and only waits. It counts each kind
// of request, and prints the counts when it ends, so a benchmark can say which ones a program
// paid for.
//
// Built by bench/batchlatency.sh (libfuse 3):
//   slowfs LOCAL_FOLDER MOUNT_POINT [-o rtt_us=1000,sync_us=4000] [-f]
// Like NFS it keeps what it was told of a name and its attributes for a second (the kernel's
// caches), and does no O_TMPFILE (a writer then falls back to a named temporary file).

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static struct {
    char* local;
    int rtt_us;
    int sync_us;
} options = {NULL, 1000, 4000};

static const struct fuse_opt option_spec[] = {
    {"rtt_us=%d", offsetof(__typeof__(options), rtt_us), 0},
    {"sync_us=%d", offsetof(__typeof__(options), sync_us), 0},
    FUSE_OPT_END,
};

enum {
    kLookup,
    kRead,
    kWrite,
    kCreate,
    kOpen,
    kClose,
    kRename,
    kRemove,
    kMkdir,
    kSync,
    kList,
    kOther,
    kKinds
};
static const char* const kind_names[kKinds] = {
    "getattr", "read",   "write", "create", "open",    "close",
    "rename",  "remove", "mkdir", "fsync",  "readdir", "other",
};
static unsigned long counts[kKinds];

// One round trip (and the server's disk for a commit), counted under its kind.
static void wait_for_server(int kind) {
    __atomic_add_fetch(&counts[kind], 1, __ATOMIC_RELAXED);
    long us = options.rtt_us + (kind == kSync ? options.sync_us : 0);
    struct timespec pause = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// The local path under the served folder: every path FUSE hands over begins with '/'.
static char* local_path(const char* path) {
    char* full = malloc(strlen(options.local) + strlen(path) + 1);
    if (full) {
        strcpy(full, options.local);
        strcat(full, path);
    }
    return full;
}

#define WITH_LOCAL(path, kind, call)      \
    do {                                  \
        wait_for_server(kind);            \
        char* local = local_path(path);   \
        if (!local) {                     \
            return -ENOMEM;               \
        }                                 \
        int result = (call);              \
        int saved = errno;                \
        free(local);                      \
        return result == -1 ? -saved : 0; \
    } while (0)

static void* slow_init(struct fuse_conn_info* conn, struct fuse_config* config) {
    (void)conn;
    config->use_ino = 1;
    // An NFS client's attribute and name caches (acregmin, lookupcache) hold a second or more.
    config->entry_timeout = 1.0;
    config->attr_timeout = 1.0;
    config->negative_timeout = 0.0;
    return NULL;
}

static int slow_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    if (fi) {
        wait_for_server(kLookup);
        return fstat((int)fi->fh, st) == -1 ? -errno : 0;
    }
    WITH_LOCAL(path, kLookup, lstat(local, st));
}

static int slow_readlink(const char* path, char* buffer, size_t size) {
    wait_for_server(kLookup);
    char* local = local_path(path);
    if (!local) {
        return -ENOMEM;
    }
    ssize_t got = readlink(local, buffer, size - 1);
    int saved = errno;
    free(local);
    if (got == -1) {
        return -saved;
    }
    buffer[got] = '\0';
    return 0;
}

static int slow_mkdir(const char* path, mode_t mode) {
    WITH_LOCAL(path, kMkdir, mkdir(local, mode));
}

static int slow_unlink(const char* path) {
    WITH_LOCAL(path, kRemove, unlink(local));
}

static int slow_rmdir(const char* path) {
    WITH_LOCAL(path, kRemove, rmdir(local));
}

static int slow_symlink(const char* target, const char* path) {
    WITH_LOCAL(path, kCreate, symlink(target, local));
}

static int slow_link(const char* from, const char* to) {
    wait_for_server(kCreate);
    char* a = local_path(from);
    char* b = local_path(to);
    int result = a && b ? link(a, b) : (errno = ENOMEM, -1);
    int saved = errno;
    free(a);
    free(b);
    return result == -1 ? -saved : 0;
}

static int slow_rename(const char* from, const char* to, unsigned int flags) {
    wait_for_server(kRename);
    char* a = local_path(from);
    char* b = local_path(to);
    int result = a && b ? renameat2(AT_FDCWD, a, AT_FDCWD, b, flags) : (errno = ENOMEM, -1);
    int saved = errno;
    free(a);
    free(b);
    return result == -1 ? -saved : 0;
}

static int slow_chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
    if (fi) {
        wait_for_server(kOther);
        return fchmod((int)fi->fh, mode) == -1 ? -errno : 0;
    }
    WITH_LOCAL(path, kOther, chmod(local, mode));
}

static int slow_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
    if (fi) {
        wait_for_server(kOther);
        return fchown((int)fi->fh, uid, gid) == -1 ? -errno : 0;
    }
    WITH_LOCAL(path, kOther, lchown(local, uid, gid));
}

static int slow_truncate(const char* path, off_t size, struct fuse_file_info* fi) {
    if (fi) {
        wait_for_server(kOther);
        return ftruncate((int)fi->fh, size) == -1 ? -errno : 0;
    }
    WITH_LOCAL(path, kOther, truncate(local, size));
}

static int slow_utimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi) {
    if (fi) {
        wait_for_server(kOther);
        return futimens((int)fi->fh, tv) == -1 ? -errno : 0;
    }
    WITH_LOCAL(path, kOther, utimensat(AT_FDCWD, local, tv, AT_SYMLINK_NOFOLLOW));
}

static int open_local(const char* path, int flags, mode_t mode, int kind,
                      struct fuse_file_info* fi) {
    wait_for_server(kind);
    char* local = local_path(path);
    if (!local) {
        return -ENOMEM;
    }
    int fd = open(local, flags, mode);
    int saved = errno;
    free(local);
    if (fd == -1) {
        return -saved;
    }
    fi->fh = (uint64_t)fd;
    return 0;
}

static int slow_create(const char* path, mode_t mode, struct fuse_file_info* fi) {
    return open_local(path, fi->flags, mode, kCreate, fi);
}

static int slow_open(const char* path, struct fuse_file_info* fi) {
    return open_local(path, fi->flags, 0, kOpen, fi);
}

static int slow_read(const char* path, char* buffer, size_t size, off_t offset,
                     struct fuse_file_info* fi) {
    (void)path;
    wait_for_server(kRead);
    ssize_t got = pread((int)fi->fh, buffer, size, offset);
    return got == -1 ? -errno : (int)got;
}

static int slow_write(const char* path, const char* buffer, size_t size, off_t offset,
                      struct fuse_file_info* fi) {
    (void)path;
    wait_for_server(kWrite);
    ssize_t put = pwrite((int)fi->fh, buffer, size, offset);
    return put == -1 ? -errno : (int)put;
}

static int slow_statfs(const char* path, struct statvfs* st) {
    WITH_LOCAL(path, kOther, statvfs(local, st));
}

// Close-to-open: what was written goes to the server when the file is closed.
static int slow_flush(const char* path, struct fuse_file_info* fi) {
    (void)path;
    (void)fi;
    wait_for_server(kClose);
    return 0;
}

static int slow_release(const char* path, struct fuse_file_info* fi) {
    (void)path;
    close((int)fi->fh);
    return 0;
}

// The wait stands for the server's commit: the local disk is not synced as well, so that what
// the host's own disk does at that moment does not blur the figures.
static int slow_fsync(const char* path, int datasync, struct fuse_file_info* fi) {
    (void)path;
    (void)datasync;
    (void)fi;
    wait_for_server(kSync);
    return 0;
}

static int slow_opendir(const char* path, struct fuse_file_info* fi) {
    wait_for_server(kList);
    char* local = local_path(path);
    if (!local) {
        return -ENOMEM;
    }
    DIR* dir = opendir(local);
    int saved = errno;
    free(local);
    if (!dir) {
        return -saved;
    }
    fi->fh = (uint64_t)(uintptr_t)dir;
    return 0;
}

static int slow_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                        struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)path;
    (void)offset;
    (void)flags;
    wait_for_server(kList);
    DIR* dir = (DIR*)(uintptr_t)fi->fh;
    rewinddir(dir);
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        struct stat st = {0};
        st.st_ino = entry->d_ino;
        st.st_mode = (mode_t)DTTOIF(entry->d_type);
        if (fill(buffer, entry->d_name, &st, 0, 0)) {
            break;
        }
    }
    return 0;
}

static int slow_releasedir(const char* path, struct fuse_file_info* fi) {
    (void)path;
    closedir((DIR*)(uintptr_t)fi->fh);
    return 0;
}

static int slow_fsyncdir(const char* path, int datasync, struct fuse_file_info* fi) {
    (void)path;
    (void)datasync;
    (void)fi;
    wait_for_server(kSync);
    return 0;
}

// flock: the system's own lock on the local file, as an NFS server holds it.
static int slow_flock(const char* path, struct fuse_file_info* fi, int op) {
    (void)path;
    wait_for_server(kOther);
    return flock((int)fi->fh, op) == -1 ? -errno : 0;
}

static const struct fuse_operations slow_operations = {
    .init = slow_init,
    .getattr = slow_getattr,
    .readlink = slow_readlink,
    .mkdir = slow_mkdir,
    .unlink = slow_unlink,
    .rmdir = slow_rmdir,
    .symlink = slow_symlink,
    .rename = slow_rename,
    .link = slow_link,
    .chmod = slow_chmod,
    .chown = slow_chown,
    .truncate = slow_truncate,
    .utimens = slow_utimens,
    .create = slow_create,
    .open = slow_open,
    .read = slow_read,
    .write = slow_write,
    .statfs = slow_statfs,
    .flush = slow_flush,
    .release = slow_release,
    .fsync = slow_fsync,
    .opendir = slow_opendir,
    .readdir = slow_readdir,
    .releasedir = slow_releasedir,
    .fsyncdir = slow_fsyncdir,
    .flock = slow_flock,
};

static void print_counts(void) {
    fprintf(stderr, "slowfs requests:");
    for (int kind = 0; kind < kKinds; ++kind) {
        fprintf(stderr, " %s %lu", kind_names[kind], counts[kind]);
    }
    fprintf(stderr, "\n");
}

int main(int argc, char* argv[]) {
    if (argc < 3 || argv[1][0] != '/') {
        fprintf(stderr, "usage: slowfs /LOCAL_FOLDER MOUNT_POINT [-o rtt_us=N,sync_us=N] [-f]\n");
        return 2;
    }
    options.local = argv[1];
    // FUSE takes the rest: the mount point and its own options.
    argv[1] = argv[0];
    struct fuse_args args = FUSE_ARGS_INIT(argc - 1, argv + 1);
    if (fuse_opt_parse(&args, &options, option_spec, NULL) == -1) {
        return 2;
    }
    // The kernel checks permissions itself, as an NFS client does from the attributes it holds.
    fuse_opt_add_arg(&args, "-odefault_permissions");
    umask(0);
    int status = fuse_main(args.argc, args.argv, &slow_operations, NULL);
    print_counts();
    fuse_opt_free_args(&args);
    return status;
}
