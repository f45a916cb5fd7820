#include "connection/ssh_tunnel.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "common/str_buf.h"
#include "connection/ssh_helper_protocol.h"
#include "platform/listening_port.h"
#include "platform/named_lock.h"
#include "platform/named_semaphore.h"
#include "platform/shared_memory.h"
#include "platform/system_error.h"
#include "report/process_state.h"
#include "report/reporting.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;

namespace kro::connection {

namespace {

const char kTimedOut[] = "FATAL ERROR: Network error: Connection timed out";

// One start attempt. Its lock, shared by this user's agents, is taken before the error
// block is reset and the ready signal drained, and given back only once this agent has
// its helper's answer (ready, or the error text read and the helper ended). So no other
// helper of this user posts the signal or writes the block during the wait: each one
// either posted under its own agent's lock, was ended before that lock was released, or
// checks that its agent still listens before posting. Any other process of the user can
// still post the signal, so a post counts only once our helper holds the local port.
struct SshStart {
    std::unique_ptr<NamedLock> lock;
    std::unique_ptr<SharedMemory> error_block;
    int system_error = 0;  // of a start that could not be made
};

// Shows the error block's text: the helper's own message after "SSH Error: " when it
// wrote one, else `text`. Ends the attempt.
void report_helper_error(SshStart& start, const char* text) {
    if (start.error_block) {
        char* block = start.error_block->data();
        std::size_t size = start.error_block->size();
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
    start.error_block.reset();
    start.lock.reset();
}

// report_helper_error with "<text>\n<code>:<system message>".
void report_start_error(SshStart& start, int code, const char* text) {
    StrBuf message;
    message.format("%s\n%d:%s", text, code, system_error_text(code).c_str());
    report_helper_error(start, message.c_str());
}

bool create_error_block(SshStart& start) {
    int error = 0;
    start.error_block = SharedMemory::create(ssh_shared_name(kSshErrorBlockName).c_str(), kSshErrorBlockSize, error);
    if (!start.error_block) {
        start.system_error = error;
        report_start_error(start, error, "Error while creating MMF");
        return false;
    }
    std::memcpy(start.error_block->data(), kSshErrorPrefix, kSshErrorPrefixLength + 1);
    return true;
}

// Waits for the ready signal, taken only once the helper itself listens on the local port:
// until then the MySQL login would go to whatever else listens there. Gives up early when
// the helper ended.
bool wait_until_ready(NamedSemaphore& ready, ProcessHandle helper, int local_port) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kSshReadyTimeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        bool posted = ready.wait(static_cast<int>(std::min<long long>(left, 50)));
        if (posted && process_listens_on_loopback(helper, local_port)) return true;
        if (process_has_exited(helper)) return false;
    }
}

void set_helper_process(SshHelper& helper, ProcessHandle process) {
    helper.process = process;
    if (helper.record) *helper.record = process;
}

// 0: started and ready (the helper is in info.ssh); 1: could not be started (the system
// error is in start.system_error); 2: started but not ready in time (it was stopped).
int start_helper(ConnectionInfo& info, SshStart& start) {
    std::string program = ssh_helper_path();
    int error = 0;
    start.lock = NamedLock::acquire(ssh_shared_name(kSshStartLockName).c_str(), error);
    auto ready = start.lock ? NamedSemaphore::open_or_create(ssh_shared_name(kSshReadySignalName).c_str(), error)
                            : nullptr;
    if (!ready) {
        start.system_error = error;
        return 1;
    }
    if (!create_error_block(start)) return 1;

    ready->drain();  // posts left by helpers of earlier runs are not our helper's
    SpawnedProcess child;
    if (!spawn_with_pipes(build_ssh_arguments(program, info), child, error)) {
        start.system_error = error;
        return 1;
    }
    // The helper's first input line is the password. A helper that is gone already cannot
    // read it; the wait below notices that it ended.
    std::string password_line = std::string(info.ssh_password.view()) + "\n";
    write_to_pipe(child.input.get(), password_line.data(), password_line.size());
    info.ssh.input = std::move(child.input);
    info.ssh.output = std::move(child.output);

    if (wait_until_ready(*ready, child.process, info.local_port)) {
        set_helper_process(info.ssh, child.process);
        return 0;
    }
    stop_ssh_client(info);
    terminate_process(child.process);
    return 2;
}

// Starts the server's helper, reporting why when it does not become ready.
bool start_reported(ConnectionInfo& info) {
    SshStart start;
    int result = start_helper(info, start);
    if (result == 1)
        report_start_error(start, start.system_error, kTimedOut);
    else if (result == 2)
        report_helper_error(start, kTimedOut);
    return result == 0;
}

}  // namespace

std::string ssh_helper_path() {
    std::string directory = own_executable_directory();
    std::string beside = directory + kSshHelperName;
    if (!directory.empty() && is_executable_file(beside)) return beside;
    return kSshHelperName;
}

std::vector<std::string> build_ssh_arguments(const std::string& program, const ConnectionInfo& info) {
    std::string forward = std::to_string(info.local_port) + ":" + info.host.c_str() + ":" + std::to_string(info.port);
    std::vector<std::string> words{program, "-ssh", "-l", std::string(info.ssh_user.view()), "-pwstdin",
                                   "-L", forward, "-P", std::to_string(info.ssh_port),
                                   std::string(info.ssh_host.view())};
    if (!info.ssh_password_auth) {
        words.push_back("-i");
        words.emplace_back(info.ssh_key_file.view());
    }
    return words;
}

int start_job_tunnels(ConnectionInfo* source, ConnectionInfo* target) {
    if (source) source->ssh.record = &source_tunnel_process;
    if (target) target->ssh.record = &target_tunnel_process;
    if (source && !start_reported(*source)) return 0;
    if (target && !start_reported(*target)) return 0;
    return 1;
}

bool restart_ssh_tunnel(ConnectionInfo& info) {
    // The old helper still holds local_port when it is alive: it is ended first, so the
    // new one can listen there.
    stop_ssh_client(info);
    ProcessHandle old = info.ssh.process;
    terminate_process(old);
    set_helper_process(info.ssh, kNoProcess);
    SshStart start;
    return start_helper(info, start) == 0;
}

void stop_ssh_client(ConnectionInfo& info) {
    static const char kExit[] = "exit\n";
    if (info.ssh.input.valid()) write_to_pipe(info.ssh.input.get(), kExit, sizeof kExit - 1);
    // Up to 200 ms for the helper to end; its output closing tells that it did.
    wait_for_pipe_close(info.ssh.output.get(), 200);
    info.ssh.output.reset();
    info.ssh.input.reset();
}

}  // namespace kro::connection
