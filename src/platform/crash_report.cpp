#include "platform/crash_report.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <execinfo.h>
#include <climits>
#include <fcntl.h>
#include <ucontext.h>
#include <unistd.h>

namespace kro::platform {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr char kCaption[] = "KRO diagnostic message: ";
constexpr char kFailedMessage[] = "Failed to save KRO dump file!";
constexpr int kMaxFrames = 64;

// Everything the handler needs is set up beforehand; it only reads these.
std::atomic<int> report_fd{-1};
char report_path[PATH_MAX];  // a longer path cannot be opened
char saved_message[2560];
char version[128];
std::atomic<int> closing_fd{-1};
char closing_text[64];
std::atomic_flag reporting = ATOMIC_FLAG_INIT;
alignas(16) char alternate_stack[64 * 1024];

// Copies text into a fixed buffer, cut to fit, always terminated.
template <std::size_t N>
void copy_text(char (&target)[N], const char* text) {
    std::size_t n = std::strlen(text);
    if (n >= N) n = N - 1;
    std::memcpy(target, text, n);
    target[n] = '\0';
}

// Writes to one descriptor with write(2) alone and remembers whether every byte got there.
class SignalSafeWriter {
public:
    explicit SignalSafeWriter(int fd) : fd_(fd) {}

    void bytes(const char* data, std::size_t length) {
        while (length > 0) {
            ssize_t n = ::write(fd_, data, length);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok_ = false;
                return;
            }
            data += n;
            length -= static_cast<std::size_t>(n);
        }
    }
    void text(const char* s) { bytes(s, std::strlen(s)); }
    void decimal(long value) {
        char digits[24];
        int at = sizeof digits;
        unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value) : value;
        do {
            digits[--at] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) digits[--at] = '-';
        bytes(digits + at, sizeof digits - at);
    }
    // "0x" and sixteen hex digits, so that columns of addresses line up.
    void hex(unsigned long value) {
        char digits[18] = {'0', 'x'};
        for (int i = 17; i >= 2; --i, value >>= 4) digits[i] = "0123456789abcdef"[value & 0xf];
        bytes(digits, sizeof digits);
    }
    // Copies a file of /proc. NUL bytes end the words of /proc/self/cmdline: they become
    // one blank between words.
    void file_contents(const char* path) {
        int in = ::open(path, O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            text("(cannot be read)\n");
            return;
        }
        char buffer[4096];
        bool blank_due = false;
        ssize_t n;
        while ((n = ::read(in, buffer, sizeof buffer)) != 0) {
            if (n < 0) {
                if (errno == EINTR) continue;
                break;
            }
            ssize_t start = 0;
            for (ssize_t i = 0; i <= n; ++i) {
                if (i < n && buffer[i] != '\0') continue;
                if (i > start) {
                    if (blank_due) bytes(" ", 1);
                    bytes(buffer + start, static_cast<std::size_t>(i - start));
                    blank_due = false;
                }
                if (i < n) blank_due = true;
                start = i + 1;
            }
        }
        ::close(in);
    }
    int fd() const { return fd_; }
    bool ok() const { return ok_; }

private:
    int fd_;
    bool ok_ = true;
};

const char* signal_name(int signal) {
    switch (signal) {
        case SIGSEGV: return "SIGSEGV (invalid memory reference)";
        case SIGBUS: return "SIGBUS (bus error)";
        case SIGFPE: return "SIGFPE (arithmetic error)";
        case SIGILL: return "SIGILL (illegal instruction)";
        case SIGABRT: return "SIGABRT (abort)";
        default: return "unexpected signal";
    }
}

// The name and meaning of si_code: who sent the signal, or which fault raised it.
const char* code_text(int signal, int code) {
    switch (code) {
        case SI_USER: return "SI_USER: sent by kill";
        case SI_TKILL: return "SI_TKILL: sent by tkill or raise";
        case SI_QUEUE: return "SI_QUEUE: sent by sigqueue";
        case SI_KERNEL: return "SI_KERNEL: sent by the kernel";
        default: break;
    }
    if (signal == SIGSEGV) {
        switch (code) {
            case SEGV_MAPERR: return "SEGV_MAPERR: address not mapped to object";
            case SEGV_ACCERR: return "SEGV_ACCERR: invalid permissions for mapped object";
        }
    } else if (signal == SIGBUS) {
        switch (code) {
            case BUS_ADRALN: return "BUS_ADRALN: invalid address alignment";
            case BUS_ADRERR: return "BUS_ADRERR: nonexistent physical address";
            case BUS_OBJERR: return "BUS_OBJERR: object-specific hardware error";
        }
    } else if (signal == SIGFPE) {
        switch (code) {
            case FPE_INTDIV: return "FPE_INTDIV: integer divide by zero";
            case FPE_INTOVF: return "FPE_INTOVF: integer overflow";
            case FPE_FLTDIV: return "FPE_FLTDIV: floating-point divide by zero";
            case FPE_FLTOVF: return "FPE_FLTOVF: floating-point overflow";
            case FPE_FLTUND: return "FPE_FLTUND: floating-point underflow";
            case FPE_FLTRES: return "FPE_FLTRES: floating-point inexact result";
            case FPE_FLTINV: return "FPE_FLTINV: floating-point invalid operation";
        }
    } else if (signal == SIGILL) {
        switch (code) {
            case ILL_ILLOPC: return "ILL_ILLOPC: illegal opcode";
            case ILL_ILLOPN: return "ILL_ILLOPN: illegal operand";
            case ILL_ILLADR: return "ILL_ILLADR: illegal addressing mode";
            case ILL_ILLTRP: return "ILL_ILLTRP: illegal trap";
            case ILL_PRVOPC: return "ILL_PRVOPC: privileged opcode";
            case ILL_PRVREG: return "ILL_PRVREG: privileged register";
            case ILL_COPROC: return "ILL_COPROC: coprocessor error";
            case ILL_BADSTK: return "ILL_BADSTK: internal stack error";
        }
    }
    return "other";
}

void write_registers(SignalSafeWriter& out, const void* context) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    static const char* const kNames[NGREG] = {
        "R8", "R9", "R10", "R11", "R12", "R13", "R14", "R15", "RDI", "RSI", "RBP", "RBX",
        "RDX", "RAX", "RCX", "RSP", "RIP", "EFL", "CSGSFS", "ERR", "TRAPNO", "OLDMASK", "CR2"};
    for (int i = 0; i < NGREG; ++i) {
        out.text("  ");
        out.text(kNames[i]);
        out.text(" ");
        out.hex(static_cast<unsigned long>(uc->uc_mcontext.gregs[i]));
        if (i % 4 == 3 || i == NGREG - 1) out.text("\n");
    }
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i) {
        out.text("  X");
        out.decimal(i);
        out.text(i < 10 ? "  " : " ");
        out.hex(uc->uc_mcontext.regs[i]);
        if (i % 4 == 3) out.text("\n");
    }
    out.text("  SP  ");
    out.hex(uc->uc_mcontext.sp);
    out.text("\n  PC  ");
    out.hex(uc->uc_mcontext.pc);
    out.text("  PSTATE ");
    out.hex(uc->uc_mcontext.pstate);
    out.text("  FAULT_ADDRESS ");
    out.hex(uc->uc_mcontext.fault_address);
    out.text("\n");
#else
    (void)uc;
    out.text("  (not recorded on this processor)\n");
#endif
}

void write_report(SignalSafeWriter& out, int signal, const siginfo_t* info, const void* context) {
    out.text("kro crash report\nProgram: ");
    out.text(version);
    out.text("\nCommand line: ");
    out.file_contents("/proc/self/cmdline");
    out.text("\nProcess: ");
    out.decimal(getpid());
    out.text("\nThread: ");
    out.decimal(gettid());
    out.text(gettid() == getpid() ? " (main thread)\n" : " (not the main thread)\n");

    out.text("Signal: ");
    out.decimal(signal);
    out.text(" ");
    out.text(signal_name(signal));
    out.text("\nCode: ");
    out.decimal(info->si_code);
    out.text(" ");
    out.text(code_text(signal, info->si_code));
    out.text("\n");
    if (info->si_code > 0 && info->si_code != SI_KERNEL) {
        // Raised by a fault: si_addr is the address that faulted (or the instruction).
        out.text("Fault address: ");
        out.hex(reinterpret_cast<unsigned long>(info->si_addr));
        out.text("\n");
    } else if (info->si_code == SI_USER || info->si_code == SI_TKILL || info->si_code == SI_QUEUE) {
        out.text("Sent by process: ");
        out.decimal(info->si_pid);
        out.text(", user ");
        out.decimal(info->si_uid);
        out.text("\n");
    }

    out.text("\nRegisters:\n");
    write_registers(out, context);

    out.text("\nBacktrace (innermost first; the first frames are the crash handler's own):\n");
    void* frames[kMaxFrames];
    int count = backtrace(frames, kMaxFrames);
    backtrace_symbols_fd(frames, count, out.fd());

    out.text("\nMemory map (/proc/self/maps):\n");
    out.file_contents("/proc/self/maps");
    out.text("\nEnd of report\n");
}

void on_fatal_signal(int signal, siginfo_t* info, void* context) {
    int saved_errno = errno;
    // A second thread that faults meanwhile waits for the first report to end the process.
    if (reporting.test_and_set()) {
        for (;;) pause();
    }
    bool saved = false;
    int fd = report_fd.exchange(-1);
    if (fd >= 0) {
        SignalSafeWriter file(fd);
        write_report(file, signal, info, context);
        saved = file.ok();
    }
    SignalSafeWriter console(STDERR_FILENO);
    if (!saved) write_report(console, signal, info, context);
    console.text(kCaption);
    console.text(saved ? saved_message : kFailedMessage);
    console.text("\n");
    int closing = closing_fd.exchange(-1);
    if (closing >= 0) SignalSafeWriter(closing).text(closing_text);
    errno = saved_errno;
    // The handler was reset to the default action on entry and the signal is blocked
    // until we return: then it ends the process, with a core dump where the system
    // makes one, and the exit status names the signal.
    raise(signal);
}

}  // namespace

void arm_crash_report(int fd, const char* path, const char* message, const char* program_version) {
    copy_text(report_path, path);
    copy_text(saved_message, message);
    copy_text(version, program_version);
    report_fd.store(fd);

    // backtrace() loads the unwinder on its first call, which allocates: do it now.
    void* frame;
    backtrace(&frame, 1);

    stack_t stack{};
    stack.ss_sp = alternate_stack;
    stack.ss_size = sizeof alternate_stack;
    sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int s : kFatalSignals) sigaddset(&action.sa_mask, s);
    for (int s : kFatalSignals) sigaction(s, &action, nullptr);
}

void close_file_on_crash(int fd, const char* text) {
    closing_fd.store(-1);
    if (fd < 0) return;
    copy_text(closing_text, text);
    closing_fd.store(fd);
}

void discard_crash_report_file() {
    if (report_fd.exchange(-1) >= 0) unlink(report_path);
}

}  // namespace kro::platform
