#include "connection/ssh_tunnel.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "connection/ssh_helper_protocol.h"
#include "platform/command_line.h"
#include "platform/named_lock.h"
#include "platform/named_semaphore.h"
#include "platform/shared_memory.h"
#include "platform/system_error.h"
#include "report/process_state.h"
#include "report/reporting.h"

namespace {

const char kTimedOut[] = "FATAL ERROR: Network error: Connection timed out";

// One start attempt at a time, across every agent on this machine: the lock is taken
// before the error block is reset and the ready signal drained, and given back only
// once this agent has its helper's answer (ready, or the error text read and the helper
// ended). So a post on the signal during the wait can only come from our own helper:
// every other helper either posted under its own agent's lock, was ended before that
// lock was released, or checks that its agent still listens before posting.
std::unique_ptr<NamedLock> ssh_start_lock;
std::unique_ptr<SharedMemory> ssh_error_mapping;
int ssh_start_error = 0;  // the system error of a start that could not be made

void end_ssh_start() {
    ssh_error_mapping.reset();
    ssh_start_lock.reset();
}

std::unique_ptr<SharedMemory> create_ssh_error_block() {
    int error = 0;
    auto block = SharedMemory::create(kSshErrorBlockName, kSshErrorBlockSize, error);
    if (!block) {
        ssh_start_error = error;
        report_system_error(error, "Error while creating MMF");
        return nullptr;
    }
    std::memcpy(block->data(), kSshErrorPrefix, kSshErrorPrefixLength + 1);
    return block;
}

// Waits for the ready signal; gives up early when the helper ended without it.
bool wait_until_ready(NamedSemaphore& ready, ProcessHandle helper) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kSshReadyTimeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        if (ready.wait(static_cast<int>(std::min<long long>(left, 50)))) return true;
        if (process_has_exited(helper)) return ready.wait(0);
    }
}

// The process-wide record that holds this helper, so that its replacement is recorded
// (and ended at exit) in its place.
ProcessHandle* recorded_slot(ProcessHandle process) {
    if (process == kNoProcess) return nullptr;
    if (source_tunnel_process == process) return &source_tunnel_process;
    if (target_tunnel_process == process) return &target_tunnel_process;
    return nullptr;
}

}  // namespace

std::string ssh_helper_path() {
    std::string directory = own_executable_directory();
    std::string beside = directory + kSshHelperName;
    if (!directory.empty() && is_executable_file(beside)) return beside;
    return kSshHelperName;
}

StrBuf build_ssh_command_line(const std::string& program, const ConnectionInfo& info) {
    // Quoted words are escaped so that a quote or backslash in a password survives.
    std::string path = quote_word_content(program);
    std::string user = quote_word_content(info.ssh_user.view());
    std::string password = quote_word_content(info.ssh_password.view());
    std::string ssh_host = quote_word_content(info.ssh_host.view());
    StrBuf line;
    if (info.ssh_password_auth) {
        line.format("\"%s\" -ssh -l \"%s\" -pw \"%s\" -L %d:%s:%d -P %d \"%s\"", path.c_str(),
                    user.c_str(), password.c_str(), info.local_port, info.host.c_str(), info.port,
                    info.ssh_port, ssh_host.c_str());
    } else {
        std::string key = quote_word_content(info.ssh_key_file.view());
        line.format("\"%s\" -ssh -l \"%s\" -pw \"%s\" -L %d:%s:%d -P %d %s -i \"%s\"", path.c_str(),
                    user.c_str(), password.c_str(), info.local_port, info.host.c_str(), info.port,
                    info.ssh_port, info.ssh_host.c_str(), key.c_str());
    }
    return line;
}

int start_ssh_tunnel(ConnectionInfo& info, ProcessHandle& process) {
    process = kNoProcess;
    std::string program = ssh_helper_path();
    end_ssh_start();  // a start that was never finished must not block this one
    int error = 0;
    ssh_start_lock = NamedLock::acquire(kSshStartLockName, error);
    auto ready = ssh_start_lock ? NamedSemaphore::open_or_create(kSshReadySignalName, error) : nullptr;
    if (!ready) {
        ssh_start_error = error;
        return 1;
    }
    ssh_error_mapping = create_ssh_error_block();
    if (!ssh_error_mapping) return 1;

    StrBuf command_line = build_ssh_command_line(program, info);
    ready->drain();  // posts left by helpers of earlier runs are not our helper's
    SpawnedProcess child;
    if (!spawn_with_pipes(split_command_line(command_line.view()), child, error)) {
        ssh_start_error = error;
        return 1;
    }
    info.ssh_stdin = child.input;
    info.ssh_output = child.output;

    if (wait_until_ready(*ready, child.process)) {
        process = child.process;
        info.ssh_process = child.process;
        return 0;
    }
    stop_ssh_client(info);
    terminate_process(child.process);
    return 2;
}

int start_job_tunnels(ConnectionInfo* source, ConnectionInfo* target) {
    int result = 0;
    if (source) result = start_ssh_tunnel(*source, source_tunnel_process);
    if (result == 0 && target) result = start_ssh_tunnel(*target, target_tunnel_process);
    if (result == 0) {
        end_ssh_start();
        return 1;
    }
    if (result == 1)
        report_system_error(ssh_start_error, kTimedOut);
    else
        report_ssh_error(kTimedOut);
    return 0;
}

bool restart_ssh_tunnel(ConnectionInfo& info) {
    // The old helper still holds local_port when it is alive: it is ended first, so the
    // new one can listen there.
    ProcessHandle* slot = recorded_slot(info.ssh_process);
    stop_ssh_client(info);
    terminate_process(info.ssh_process);
    if (slot) *slot = kNoProcess;

    ProcessHandle fresh = kNoProcess;
    int result = start_ssh_tunnel(info, fresh);
    end_ssh_start();
    if (result != 0) {
        info.ssh_process = kNoProcess;
        return false;
    }
    info.ssh_process = fresh;
    if (slot) *slot = fresh;
    return true;
}

void stop_ssh_client(ConnectionInfo& info) {
    static const char kExit[] = "exit\n";
    if (info.ssh_stdin >= 0) write_to_pipe(info.ssh_stdin, kExit, sizeof kExit - 1);
    // Up to 200 ms for the helper to end; its output closing tells that it did.
    wait_for_pipe_close(info.ssh_output, 200);
    close_descriptor(info.ssh_output);
    close_descriptor(info.ssh_stdin);
}

void report_ssh_error(const char* text) {
    if (!text) text = kTimedOut;
    if (ssh_error_mapping) {
        char* block = ssh_error_mapping->data();
        std::size_t size = ssh_error_mapping->size();
        block[size - 1] = '\0';
        if (std::strlen(block) <= kSshErrorPrefixLength) {
            std::size_t n = std::min(std::strlen(text), size - 1);
            std::memcpy(block, text, n);
            block[n] = '\0';
        }
        report_failure_no_entry(block);
    } else {
        // No block to read (it could not be made): the text must still reach the user.
        report_failure_no_entry(text);
    }
    end_ssh_start();
}

void report_system_error(int code, const char* text) {
    StrBuf message;
    message.format("%s\n%d:%s", text, code, system_error_text(code).c_str());
    report_ssh_error(message.c_str());
}
