/* Counts the disk syncs of the process it is preloaded into (LD_PRELOAD), or linked into
 * with its symbols exported: fsync, fdatasync, sync_file_range, syncfs, sync and msync with
 * MS_SYNC, each passed on to the C library. With SYNC_COUNTER_FILE set the count is a
 * 64-bit number at the start of that file, shared with whoever reads it, and the process's
 * children are not counted: the preload is taken out of its environment at start. Without
 * it the count stays in the process (sync_count). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

static uint64_t own;
static volatile uint64_t *counter = &own;

__attribute__((constructor)) static void start(void)
{
    const char *path = getenv("SYNC_COUNTER_FILE");
    if (!path)
        return;
    unsetenv("LD_PRELOAD");
    int fd = open(path, O_RDWR | O_CREAT, 0600);
    if (fd < 0)
        return;
    if (ftruncate(fd, sizeof(uint64_t)) == 0) {
        void *p = mmap(NULL, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED)
            counter = p;
    }
    close(fd);
}

static void count(void)
{
    __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED);
}

uint64_t sync_count(void)
{
    return __atomic_load_n(counter, __ATOMIC_RELAXED);
}

#define NEXT(name) static __typeof__(name) *next; if (!next) next = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

int fsync(int fd)
{
    NEXT(fsync);
    count();
    return next(fd);
}

int fdatasync(int fd)
{
    NEXT(fdatasync);
    count();
    return next(fd);
}

int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags)
{
    NEXT(sync_file_range);
    count();
    return next(fd, offset, nbytes, flags);
}

int syncfs(int fd)
{
    NEXT(syncfs);
    count();
    return next(fd);
}

void sync(void)
{
    NEXT(sync);
    count();
    next();
}

int msync(void *addr, size_t length, int flags)
{
    NEXT(msync);
    if (flags & MS_SYNC)
        count();
    return next(addr, length, flags);
}
