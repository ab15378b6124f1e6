#include "run_limits.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <glib.h>
#include <new>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "output_file.h"

namespace sips {
namespace {

constexpr std::uint64_t kUnlimited = ~std::uint64_t(0);

char g_sourcePath[4096];
std::atomic<bool> g_memoryShort{false};
std::atomic<bool> g_ending{false};
std::uint64_t g_addressLimit = kUnlimited;
int g_statm = -1;
// The main thread's signal stack, so that a stack overflow still reaches the handler.
alignas(16) char g_signalStack[64 * 1024];

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
    add("Error: ");
    add(what);
    if (g_sourcePath[0]) {
        add(": ");
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

// A fault or an abort under an address-space limit that is nearly used up: a library met a
// failed allocation it did not check, or could not report.
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
    _exit(1);
}

void onFatalSignal(int signal) {
    // One thread ends the run; any other that faults meanwhile waits for that.
    if (g_ending.exchange(true)) {
        for (;;)
            pause();
    }
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

void onGlibError(const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
    // GLib aborts after this for a failed allocation or thread; the abort ends the run.
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
    // libvips, GLib, librsvg, OpenJPEG (whose tile encoder fails only when an allocation does) and
    // the C library, in their own words.
    for (const char* sign : {"out of memory", "Out of memory", "Not enough memory", "NoMemory",
                             "failed to allocate", "Error allocating", "Cannot allocate memory",
                             "creating thread", "create thread", "Cannot encode tile"})
        if (message.find(sign) != std::string::npos)
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

    stack_t stack = {};
    stack.ss_sp = g_signalStack;
    stack.ss_size = sizeof g_signalStack;
    sigaltstack(&stack, nullptr);
    struct sigaction fatal = {};
    fatal.sa_handler = onFatalSignal;
    fatal.sa_flags = SA_ONSTACK;
    sigemptyset(&fatal.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP})
        sigaction(signal, &fatal, nullptr);
    g_log_set_handler("GLib", GLogLevelFlags(G_LOG_LEVEL_ERROR | G_LOG_FLAG_FATAL), onGlibError,
                      nullptr);
    std::set_terminate(onTerminate);

    const std::uint64_t budgetPages = memoryBudget() / std::uint64_t(sysconf(_SC_PAGESIZE));
    try {
        std::thread(watchResidentSize, budgetPages).detach();
    } catch (const std::system_error&) {
        // Without a thread to spare, the address-space limit is what holds the run in.
    }
}

} // namespace sips
