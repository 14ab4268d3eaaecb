// Heap-counting build of the daemon (orv_mdm_heapcount): linked next to the daemon's own main, it
// replaces the C allocator's entry points by symbol interposition and counts their calls. The
// C++ library's operator new allocates through them, so it is counted too. SQLite's own
// allocator is wrapped (SQLITE_CONFIG_MALLOC): its calls are left out of the count, and its bytes
// in use are followed instead.
//
// The counters live in the file named by ORV_HEAP_REPORT, mapped shared: the test reads them
// whenever the daemon is idle, and the daemon does nothing for it.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

// The report's layout, as tests/e2e/test_heap.cpp reads it.
struct Counters {
    long calls;         // every allocation outside SQLite
    long sqlite_bytes;  // SQLite's bytes in use
};
Counters* g_counters = nullptr;  // nothing is counted before the report is mapped
bool g_in_sqlite = false;        // the daemon runs one thread
sqlite3_mem_methods g_sqlite;    // SQLite's own allocator, which calls malloc and realloc

void* counted(void* p) {
    if (g_counters != nullptr && !g_in_sqlite) {
        ++g_counters->calls;
    }
    return p;
}

// After a call of SQLite's allocator: `p` is the block it gave (or null), `freed` the bytes it
// released.
void* sqlite_block(void* p, long freed) {
    g_in_sqlite = false;
    if (g_counters != nullptr) {
        g_counters->sqlite_bytes += (p == nullptr ? 0 : g_sqlite.xSize(p)) - freed;
    }
    return p;
}

void* sqlite_malloc(int n) {
    g_in_sqlite = true;
    return sqlite_block(g_sqlite.xMalloc(n), 0);
}

void* sqlite_realloc(void* p, int n) {
    const int old = g_sqlite.xSize(p);
    g_in_sqlite = true;
    void* moved = g_sqlite.xRealloc(p, n);
    return sqlite_block(moved, moved == nullptr ? 0 : old);  // a failed one keeps the old block
}

void sqlite_free(void* p) {
    if (g_counters != nullptr) {
        g_counters->sqlite_bytes -= g_sqlite.xSize(p);
    }
    g_sqlite.xFree(p);
}

__attribute__((constructor)) void install_counters() {
    sqlite3_config(SQLITE_CONFIG_GETMALLOC, &g_sqlite);
    sqlite3_mem_methods wrapped = g_sqlite;
    wrapped.xMalloc = sqlite_malloc;
    wrapped.xRealloc = sqlite_realloc;
    wrapped.xFree = sqlite_free;
    sqlite3_config(SQLITE_CONFIG_MALLOC, &wrapped);
    const char* path = std::getenv("ORV_HEAP_REPORT");
    const int fd = path == nullptr ? -1 : open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0 && ftruncate(fd, sizeof(Counters)) == 0) {
        void* m = mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        g_counters = m == MAP_FAILED ? nullptr : static_cast<Counters*>(m);
    }
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace

// free is glibc's own: every block comes from glibc's allocator. The entry points are those the
// daemon, SQLite and the C++ library call (`nm -D --undefined-only`): of the aligned ones, only
// aligned_alloc, from aligned operator new.
extern "C" {
void* malloc(std::size_t size) {
    return counted(__libc_malloc(size));
}
void* calloc(std::size_t count, std::size_t size) {
    return counted(__libc_calloc(count, size));
}
void* realloc(void* ptr, std::size_t size) {
    return counted(__libc_realloc(ptr, size));
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return counted(__libc_memalign(alignment, size));
}
}  // extern "C"
