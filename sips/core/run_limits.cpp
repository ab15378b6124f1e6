#include "core/run_limits.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <glib.h>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "contract.h"
#include "core/output_file.h"

namespace sips {
namespace {

constexpr std::uint64_t kUnlimited = ~std::uint64_t(0);

char g_sourcePath[4096];
std::atomic<bool> g_memoryShort{false};
std::atomic<bool> g_ending{false};
std::uint64_t g_addressLimit = kUnlimited;
int g_statm = -1;
// Every thread's signal stack, so that a stack overflow still reaches the handler: GLib,
// when even its message about a failed allocation cannot be allocated, recurses until the
// stack of the thread it runs in is used up. The stacks are kept from the start, since a
// thread may begin when memory has already run out.
constexpr size_t kSignalStackBytes = 32 * 1024;
constexpr int kKeptSignalStacks = 64;
alignas(64) char g_signalStacks[kKeptSignalStacks][kSignalStackBytes];
std::atomic<bool> g_signalStackTaken[kKeptSignalStacks];
pthread_key_t g_signalStackKey;

void writeAll(const char* text, size_t size) {
    while (size > 0) {
        ssize_t written = write(STDERR_FILENO, text, size);
        if (written <= 0 && errno != EINTR)
            return;
        if (written > 0) {
            text += written;
            size -= size_t(written);
        }
    }
}

// "Error: WHAT: PATH", from a signal handler or a thread that cannot use stdio's locks.
void writeLine(const char* what) {
    char line[sizeof g_sourcePath + 256];
    size_t size = 0;
    auto add = [&](const char* text) {
        size_t length = std::min(std::strlen(text), sizeof line - 1 - size);
        std::memcpy(line + size, text, length);
        size += length;
    };
    add(contract::kErrorPrefix);
    add(what);
    if (g_sourcePath[0]) {
        add(contract::kPathSeparator);
        add(g_sourcePath);
    }
    add("\n");
    writeAll(line, size);
}

// Pages of address space and of resident memory of the process's own (not pages of mapped
// files, which the system can drop), read without allocating.
bool processPages(std::uint64_t& mapped, std::uint64_t& resident) {
    char text[128];
    ssize_t size = g_statm < 0 ? -1 : pread(g_statm, text, sizeof text - 1, 0);
    if (size <= 0)
        return false;
    text[size] = '\0';
    char* end = nullptr;
    mapped = std::strtoull(text, &end, 10);
    resident = std::strtoull(end, &end, 10);
    const std::uint64_t fileBacked = std::strtoull(end, nullptr, 10);
    resident -= std::min(resident, fileBacked);
    return true;
}

// Whether the address space now in use is within a quarter of its limit (64 MB at least).
bool addressSpaceNearlyUsed() {
    std::uint64_t mapped = 0, resident = 0;
    if (g_addressLimit == kUnlimited || !processPages(mapped, resident))
        return false;
    const std::uint64_t used = mapped * std::uint64_t(sysconf(_SC_PAGESIZE));
    const std::uint64_t margin = std::max<std::uint64_t>(64 << 20, g_addressLimit / 4);
    return used + margin >= g_addressLimit;
}

[[noreturn]] void endForLackOfMemory() {
    removeTempFileNow();
    writeLine(kNotEnoughMemory);
    _exit(contract::Failed);
}

void onFatalSignal(int signal) {
    // One thread ends the run; any other that faults meanwhile waits for that.
    if (g_ending.exchange(true)) {
        for (;;)
            pause();
    }
    // Under an address-space limit that is nearly used up, a fault or an abort is taken for
    // what it almost always is there: a failed allocation that a library did not check.
    if (g_memoryShort.load() || addressSpaceNearlyUsed())
        endForLackOfMemory();
    removeTempFileNow();
    // A crash with memory to spare is a fault in the tool or a library, not a verdict on the
    // picture: it is said in the one line and then still ends the process by its signal, so
    // that the caller sees a crash and a core dump can show where.
    writeLine("the conversion crashed (an internal fault); nothing was kept");
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Prints nothing: the run's failure, if any, is its one line. GLib aborts after an error,
// for a failed allocation or thread among others; the abort then ends the run.
void onGlibMessage(const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
    if (message && (std::strstr(message, "allocate") || std::strstr(message, "thread")))
        g_memoryShort.store(true);
}

void onTerminate() {
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::bad_alloc&) {
            g_memoryShort.store(true);
        } catch (const std::system_error& error) {
            if (error.code() == std::errc::resource_unavailable_try_again ||
                error.code() == std::errc::not_enough_memory)
                g_memoryShort.store(true);
        } catch (...) {
        }
    }
    std::abort();
}

std::uint64_t readNumber(const std::string& path) {
    std::ifstream file(path);
    std::uint64_t value = 0;
    if (file >> value)
        return value;
    return kUnlimited; // "max", or no such file
}

// The memory limit of the control group the process runs in, and of its ancestors.
std::uint64_t controlGroupLimit() {
    std::uint64_t least = kUnlimited;
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string group = line.substr(second + 1);
        std::string root, file;
        if (controllers.empty()) {
            root = "/sys/fs/cgroup";
            file = "/memory.max";
        } else if (controllers == "memory") {
            root = "/sys/fs/cgroup/memory";
            file = "/memory.limit_in_bytes";
        } else {
            continue;
        }
        // Inside a container, the group's own folder may be the root of what is visible.
        for (;;) {
            least = std::min(least, readNumber(root + group + file));
            if (group.empty() || group == "/")
                break;
            group.erase(group.rfind('/'));
        }
        least = std::min(least, readNumber(root + file));
    }
    return least;
}

void watchResidentSize(std::uint64_t budgetPages) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::uint64_t mapped = 0, resident = 0;
        if (!processPages(mapped, resident))
            return;
        if (resident > budgetPages && !outputSettled() && !g_ending.exchange(true))
            endForLackOfMemory();
    }
}

// Whether the address space came within a small margin of its limit at any time so far.
bool addressSpaceWasNearlyUsed() {
    if (g_addressLimit == kUnlimited)
        return false;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmPeak:", 0) == 0) {
            const std::uint64_t peak = std::strtoull(line.c_str() + 7, nullptr, 10) * 1024;
            return peak + std::max<std::uint64_t>(32 << 20, g_addressLimit / 16) >= g_addressLimit;
        }
    }
    return false;
}

// One of the kept signal stacks, or a new one past those; null when there is none.
void* takeSignalStack() {
    for (int i = 0; i < kKeptSignalStacks; ++i)
        if (!g_signalStackTaken[i].exchange(true))
            return g_signalStacks[i];
    void* memory = mmap(nullptr, kSignalStackBytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void dropSignalStack(void* memory) {
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    char* const stack = static_cast<char*>(memory);
    if (stack >= g_signalStacks[0] && stack <= g_signalStacks[kKeptSignalStacks - 1])
        g_signalStackTaken[(stack - g_signalStacks[0]) / kSignalStackBytes].store(false);
    else
        munmap(memory, kSignalStackBytes);
}

// The calling thread's signal stack, given back by the key's destructor when it ends.
void giveSignalStack() {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { pthread_key_create(&g_signalStackKey, dropSignalStack); });
    void* memory = takeSignalStack();
    if (!memory)
        return;
    stack_t stack = {};
    stack.ss_sp = memory;
    stack.ss_size = kSignalStackBytes;
    if (sigaltstack(&stack, nullptr) != 0 || pthread_setspecific(g_signalStackKey, memory) != 0)
        dropSignalStack(memory);
}

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

void* startWithSignalStack(void* given) {
    const ThreadStart start = *static_cast<ThreadStart*>(given);
    delete static_cast<ThreadStart*>(given);
    giveSignalStack();
    return start.routine(start.argument);
}

} // namespace

std::uint64_t memoryBudget() {
    std::uint64_t least =
        std::uint64_t(sysconf(_SC_PHYS_PAGES)) * std::uint64_t(sysconf(_SC_PAGESIZE));
    least = std::min(least, controlGroupLimit());
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        least = std::min<std::uint64_t>(least, limit.rlim_cur);
    return least / 2;
}

void convertingSource(const std::string& path) {
    const size_t size = std::min(path.size(), sizeof g_sourcePath - 1);
    g_sourcePath[0] = '\0';
    std::memcpy(g_sourcePath, path.data(), size);
    g_sourcePath[size] = '\0';
}

bool memoryRanOut(const std::string& message) {
    // libvips, GLib, librsvg, OpenJPEG (whose tile encoder fails only when an allocation
    // does) and the C library, in their own words.
    for (const char* sign : {"out of memory", "Out of memory", "Not enough memory", "NoMemory",
                             "failed to allocate", "Error allocating", "Cannot allocate memory",
                             "creating thread", "create thread", "Cannot encode tile"})
        if (message.find(sign) != std::string::npos)
            return true;
    // libvips now and then fails without a word where an allocation under it failed.
    if (message.find_first_not_of(" \n") == std::string::npos && addressSpaceWasNearlyUsed())
        return true;
    return g_memoryShort.load();
}

void watchLimits() {
    // Past the file size limit a write then fails with EFBIG, which the writer reports.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        g_addressLimit = limit.rlim_cur;
    g_statm = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);

    giveSignalStack();
    struct sigaction fatal = {};
    fatal.sa_handler = onFatalSignal;
    fatal.sa_flags = SA_ONSTACK;
    sigemptyset(&fatal.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP})
        sigaction(signal, &fatal, nullptr);
    g_log_set_default_handler(onGlibMessage, nullptr);
    std::set_terminate(onTerminate);

    const std::uint64_t budgetPages = memoryBudget() / std::uint64_t(sysconf(_SC_PAGESIZE));
    try {
        std::thread(watchResidentSize, budgetPages).detach();
    } catch (const std::system_error&) {
        // Without a thread to spare, the address-space limit is what holds the run in.
    }
}

} // namespace sips

// Every thread, the libraries' own included, starts with a signal stack of its own.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    auto* start = new (std::nothrow) sips::ThreadStart{routine, argument};
    if (!start)
        return EAGAIN;
    const int error = create(thread, attributes, sips::startWithSignalStack, start);
    if (error != 0) {
        delete start;
        // libgomp (under libimagequant) ends the process with a message of its own when a
        // thread cannot start; the run ends as any other that runs out of memory.
        Dl_info caller;
        if (dladdr(__builtin_return_address(0), &caller) != 0 && caller.dli_fname &&
            std::strstr(caller.dli_fname, "libgomp") && !sips::g_ending.exchange(true))
            sips::endForLackOfMemory();
    }
    return error;
}
