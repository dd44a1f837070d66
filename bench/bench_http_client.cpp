// HTTP client download speed: nginx serves a 1 GiB file from /dev/shm on
// loopback; `qordex-cli http get --http1.1 -o /dev/null URL` and
// `curl -s -o /dev/null URL` take turns, each run timed as a whole process,
// and the medians are compared.
//
//   bench_http_client [--runs N]

#include "BenchSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace qordex::bench;
constexpr long long kFileSize = 1LL << 30;

// Runs a program to its end; seconds it took, or -1 when it failed.
double Timed(const std::vector<std::string>& argv) {
    const auto start = Clock::now();
    const pid_t pid = Spawn(argv, true);
    if (pid < 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

bool OnPath(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
    }
    for (const char* p : {"nginx", "curl"}) {
        if (!OnPath(p)) {
            std::printf("http client: %s is not installed, skipped\n", p);
            return 0;
        }
    }
    std::string self(argv[0]);
    const std::string cli = self.substr(0, self.rfind('/') + 1) + "qordex-cli";

    char dirTemplate[] = "/dev/shm/qordex-bench-http-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    const std::string file = dir + "/www/big.bin";
    mkdir((dir + "/www").c_str(), 0755);
    mkdir((dir + "/tmp").c_str(), 0755);
    WriteNoiseFile(file, kFileSize);
    const int port = FreePort();
    {
        std::ofstream c(dir + "/nginx.conf");
        c << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << dir
          << "/nginx.pid;\nerror_log " << dir << "/error.log;\n"
          << "events { worker_connections 16; }\nhttp {\n  access_log off;\n"
          << "  client_body_temp_path " << dir << "/tmp;\n  proxy_temp_path " << dir << "/tmp;\n"
          << "  fastcgi_temp_path " << dir << "/tmp;\n  uwsgi_temp_path " << dir << "/tmp;\n"
          << "  scgi_temp_path " << dir << "/tmp;\n  sendfile on;\n"
          << "  server { listen 127.0.0.1:" << port << "; root " << dir << "/www; }\n}\n";
    }
    const pid_t nginx = Spawn({"nginx", "-e", dir + "/error.log", "-c", dir + "/nginx.conf"}, true);
    for (int i = 0; i < 500 && !PortOpen(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big.bin";
    std::vector<double> ours, theirs;
    bool failed = false;
    for (int r = 0; r < runs && !failed; ++r) {
        const double a = Timed({cli, "http", "get", "--http1.1", "-o", "/dev/null", url});
        const double b = Timed({"curl", "-s", "-o", "/dev/null", url});
        if (a < 0 || b < 0) {
            std::printf("http client: a run failed (qordex-cli %s, curl %s)\n",
                        a < 0 ? "failed" : "ok", b < 0 ? "failed" : "ok");
            failed = true;
            break;
        }
        ours.push_back(a);
        theirs.push_back(b);
    }
    if (nginx > 0) {
        kill(nginx, SIGTERM);
        waitpid(nginx, nullptr, 0);
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    if (failed)
        return 1;
    const double mib = double(kFileSize) / (1024.0 * 1024.0);
    const double x = mib / Median(ours), y = mib / Median(theirs);
    std::printf("http client, 1 GiB from nginx: qordex-cli %.0f MiB/s, curl %.0f MiB/s, ratio %.2f "
                "(target >= 0.90)\n",
                x, y, x / y);
    return 0;
}
