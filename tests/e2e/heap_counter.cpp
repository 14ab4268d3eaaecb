// Heap-counting build of the daemon: linked into a second executable (orv_mdm_heapcount) next to
// the daemon's own main, it replaces the C allocator entry points and the C++ operator new and
// delete by symbol interposition and counts every call. SQLite is given allocator methods of its
// own (SQLITE_CONFIG_MALLOC) that go straight to glibc, so its allocations are counted apart and
// its bytes in use are followed; everything else the process allocates (our code, libc on our
// behalf, the C++ library) lands in the plain counters.
//
// On SIGUSR1 the counters are written to the file named by ORV_HEAP_REPORT, one "name=value" per
// line, from the signal handler with nothing but open, write and close. The receive loop retries
// a receive cut by the signal, so the daemon goes on as before.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* ptr);
}

namespace {

std::atomic<unsigned long> g_c_calls{0};       // malloc, calloc, realloc, memalign family
std::atomic<unsigned long> g_new_calls{0};     // operator new, all forms
std::atomic<unsigned long> g_sqlite_calls{0};  // SQLite's own allocations and reallocations
std::atomic<long> g_sqlite_bytes{0};           // SQLite's bytes in use
std::atomic<long> g_sqlite_peak{0};

char g_report_path[1024];

// SQLite's allocator: an 8-byte head holds the size, as SQLite needs xSize.
constexpr std::size_t kHead = 8;

void note_sqlite(long delta) {
    const long now = g_sqlite_bytes.fetch_add(delta) + delta;
    long peak = g_sqlite_peak.load();
    while (now > peak && !g_sqlite_peak.compare_exchange_weak(peak, now)) {
    }
}

// Writes the size head in front of a block SQLite asked for; `delta`: its change of bytes in use.
void* tagged(void* block, int n, long delta) {
    if (block == nullptr) {
        return nullptr;
    }
    const std::size_t size = static_cast<std::size_t>(n);
    std::memcpy(block, &size, sizeof size);
    note_sqlite(delta);
    return static_cast<unsigned char*>(block) + kHead;
}

void* sq_malloc(int n) {
    if (n <= 0) {
        return nullptr;
    }
    ++g_sqlite_calls;
    return tagged(__libc_malloc(static_cast<std::size_t>(n) + kHead), n, n);
}

int sq_size(void* ptr) {
    std::size_t size = 0;
    if (ptr != nullptr) {
        std::memcpy(&size, static_cast<unsigned char*>(ptr) - kHead, sizeof size);
    }
    return static_cast<int>(size);
}

void sq_free(void* ptr) {
    if (ptr != nullptr) {
        note_sqlite(-sq_size(ptr));
        __libc_free(static_cast<unsigned char*>(ptr) - kHead);
    }
}

void* sq_realloc(void* ptr, int n) {
    if (ptr == nullptr) {
        return sq_malloc(n);
    }
    ++g_sqlite_calls;
    const int old = sq_size(ptr);
    return tagged(__libc_realloc(static_cast<unsigned char*>(ptr) - kHead,
                                 static_cast<std::size_t>(n) + kHead),
                  n, n - old);
}

int sq_roundup(int n) {
    return (n + 7) & ~7;
}

int sq_init(void*) {
    return SQLITE_OK;
}

void sq_shutdown(void*) {}

const sqlite3_mem_methods kSqliteMethods = {sq_malloc,  sq_free, sq_realloc,  sq_size,
                                            sq_roundup, sq_init, sq_shutdown, nullptr};

// Appends "name=value\n" to `out` (room for every row is reserved by the caller).
std::size_t put_row(char* out, std::size_t at, const char* name, long v) {
    while (*name != '\0') {
        out[at++] = *name++;
    }
    char digits[24];
    std::size_t n = 0;
    unsigned long u = v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0) {
        out[at++] = '-';
    }
    while (n > 0) {
        out[at++] = digits[--n];
    }
    out[at++] = '\n';
    return at;
}

void write_report(int) {
    const int saved_errno = errno;
    char buf[5 * 40];  // five rows of a short name and at most 20 digits and a sign
    std::size_t at = put_row(buf, 0, "c_calls=", static_cast<long>(g_c_calls.load()));
    at = put_row(buf, at, "new_calls=", static_cast<long>(g_new_calls.load()));
    at = put_row(buf, at, "sqlite_calls=", static_cast<long>(g_sqlite_calls.load()));
    at = put_row(buf, at, "sqlite_bytes=", g_sqlite_bytes.load());
    at = put_row(buf, at, "sqlite_peak=", g_sqlite_peak.load());
    const int fd = open(g_report_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const ssize_t n = write(fd, buf, at);
        (void)n;
        close(fd);
    }
    errno = saved_errno;
}

__attribute__((constructor)) void install_counters() {
    sqlite3_config(SQLITE_CONFIG_MALLOC, &kSqliteMethods);
    const char* path = std::getenv("ORV_HEAP_REPORT");
    if (path == nullptr || std::strlen(path) >= sizeof g_report_path) {
        return;
    }
    std::memcpy(g_report_path, path, std::strlen(path) + 1);
    struct sigaction sa {};
    sa.sa_handler = write_report;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);
}

void* counted_new(std::size_t size, std::size_t alignment) {
    ++g_new_calls;
    void* p = __libc_memalign(alignment, size == 0 ? 1 : size);
    if (p == nullptr) {
        std::abort();  // the daemon is built without exceptions
    }
    return p;
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
    ++g_c_calls;
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
    ++g_c_calls;
    return __libc_calloc(count, size);
}

void* realloc(void* ptr, std::size_t size) {
    ++g_c_calls;
    return __libc_realloc(ptr, size);
}

void free(void* ptr) {
    __libc_free(ptr);
}

void* memalign(std::size_t alignment, std::size_t size) {
    ++g_c_calls;
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    ++g_c_calls;
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    ++g_c_calls;
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

void* valloc(std::size_t size) {
    ++g_c_calls;
    return __libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}

}  // extern "C"

// The other forms of new (arrays, nothrow) and of delete (arrays, sized) end in these by their
// library definitions; plain delete ends in free above.
void* operator new(std::size_t size) {
    return counted_new(size, alignof(std::max_align_t));
}
void* operator new(std::size_t size, std::align_val_t a) {
    return counted_new(size, static_cast<std::size_t>(a));
}
void operator delete(void* p, std::align_val_t) noexcept {
    __libc_free(p);
}
