#pragma once
// What the benchmarks share: starting peer programs, finding a free port,
// waiting for a listener, and the median of the runs.

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/stat.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace qordex::bench {

// Starts a program found on PATH; with `quiet` its output goes to
// /dev/null, except standard output when `outFd` is given.  -1 on failure.
inline pid_t Spawn(const std::vector<std::string>& argv, bool quiet, int outFd = -1) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&fa, outFd, 1);
    else if (quiet)
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (quiet)
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

inline int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

inline bool PortOpen(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

// Writes `size` bytes that neither compress nor repeat in a page-sized
// pattern (a whole number of 1 MiB blocks); false when the file failed.
inline bool WriteNoiseFile(const std::string& path, long long size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::vector<unsigned> block(1 << 18);
    unsigned x = 2463534242u;
    bool ok = true;
    for (long long done = 0; done < size && ok; done += static_cast<long long>(block.size() * 4)) {
        for (unsigned& w : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            w = x;
        }
        ok = std::fwrite(block.data(), 4, block.size(), f) == block.size();
    }
    return std::fclose(f) == 0 && ok;
}

// Makes a fresh folder on tmpfs that a daemon dropping its privileges can
// still read; "" when there is no tmpfs.
inline std::string MakeShmDir(const std::string& tag) {
    std::string path = "/dev/shm/qordex-bench-" + tag + "-XXXXXX";
    if (!mkdtemp(path.data()))
        return {};
    chmod(path.c_str(), 0755);
    return path;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty())
        return 0;
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

} // namespace qordex::bench
