#include "platform/listening_port.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/unique_dir.h"

namespace kro::platform {

namespace {

constexpr unsigned long kListenState = 0x0A;

// A local address of /proc/net/tcp or tcp6: 32-bit words printed as hex in this machine's
// byte order, so storing each word back gives the address's bytes.
std::vector<unsigned char> address_bytes(const std::string& hex) {
    std::vector<unsigned char> bytes;
    if (hex.empty() || hex.size() % 8 != 0) return bytes;
    for (std::size_t i = 0; i < hex.size(); i += 8) {
        std::uint32_t word = static_cast<std::uint32_t>(std::strtoul(hex.substr(i, 8).c_str(), nullptr, 16));
        unsigned char raw[4];
        std::memcpy(raw, &word, sizeof raw);
        bytes.insert(bytes.end(), raw, raw + 4);
    }
    return bytes;
}

bool takes_loopback_connections(const std::vector<unsigned char>& address) {
    static const std::vector<unsigned char> loopback{127, 0, 0, 1}, any{0, 0, 0, 0},
        mapped_loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    return address == loopback || address == any || address == mapped_loopback;
}

// Adds the inodes of the sockets in the kernel's table (/proc/net/tcp or tcp6) that listen
// where connections to 127.0.0.1:port arrive.
void add_listener_inodes(const char* table, int port, std::set<unsigned long>& inodes) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column titles
    while (std::getline(in, line)) {
        // slot, local address:port, remote address:port, state, queues, timer, retransmits,
        // uid, timeout, inode
        std::istringstream fields(line);
        std::string slot, local, remote, state, skip;
        unsigned long inode = 0;
        if (!(fields >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> inode))
            continue;
        std::size_t colon = local.find(':');
        if (colon == std::string::npos || std::strtoul(state.c_str(), nullptr, 16) != kListenState ||
            std::strtol(local.c_str() + colon + 1, nullptr, 16) != port)
            continue;
        if (takes_loopback_connections(address_bytes(local.substr(0, colon)))) inodes.insert(inode);
    }
}

}  // namespace

bool process_listens_on_loopback(ProcessHandle process, int port) {
    if (process == kNoProcess) return false;
    std::set<unsigned long> inodes;
    add_listener_inodes("/proc/net/tcp", port, inodes);
    add_listener_inodes("/proc/net/tcp6", port, inodes);
    if (inodes.empty()) return false;
    // The process's descriptors name their sockets "socket:[inode]".
    const std::string fd_dir = "/proc/" + std::to_string(process) + "/fd/";
    UniqueDir dir(opendir(fd_dir.c_str()));
    if (!dir) return false;
    while (dirent* entry = readdir(dir.get())) {
        char target[64];
        ssize_t n = readlink((fd_dir + entry->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        unsigned long inode = 0;
        if (std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode)) return true;
    }
    return false;
}

}  // namespace kro::platform
