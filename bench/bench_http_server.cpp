// HTTP server speed: `qordex-cli http-server` and nginx (one worker) serve the
// same files from /dev/shm in turn, each pinned to CPU 1 while the load runs
// on CPU 0; the medians of the runs are compared.
//   - wrk, 50 kept connections, a 1 KiB file: requests per second;
//   - wrk, 1000 connections against ours: every request must succeed;
//   - curl downloading a 1 GiB file: MiB/s.
//
//   bench_http_server [--runs N] [--seconds S]

#include "BenchSupport.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace qordex::bench;
constexpr long long kBigSize = 1LL << 30;

bool OnPath(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command and returns its standard output.
std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

double Number(const std::string& text, const char* pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? std::atof(m[1].str().c_str()) : -1;
}

struct Server {
    pid_t pid = -1;
    int port = 0;
};

void Stop(Server& s) {
    if (s.pid > 0) {
        kill(s.pid, SIGTERM);
        waitpid(s.pid, nullptr, 0);
    }
    s.pid = -1;
}

bool WaitOpen(int port) {
    for (int i = 0; i < 1000 && !PortOpen(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return PortOpen(port);
}

Server StartOurs(const std::string& cli, const std::string& www) {
    Server s;
    s.port = FreePort();
    s.pid = Spawn({"taskset", "-c", "1", cli, "http-server", "--root", www, "--addr", "127.0.0.1",
                   "--port", std::to_string(s.port), "--max-clients", "0", "--backlog", "1024",
                   "--default-doc", "1k.bin"},
                  true);
    if (!WaitOpen(s.port))
        Stop(s);
    return s;
}

Server StartNginx(const std::string& dir) {
    Server s;
    s.port = FreePort();
    std::ofstream c(dir + "/nginx.conf");
    c << "daemon off;\nmaster_process off;\nworker_processes 1;\nworker_rlimit_nofile 8192;\npid "
      << dir << "/nginx.pid;\nerror_log " << dir << "/error.log;\n"
      << "events { worker_connections 4096; }\nhttp {\n  access_log off;\n"
      << "  client_body_temp_path " << dir << "/tmp;\n  proxy_temp_path " << dir << "/tmp;\n"
      << "  fastcgi_temp_path " << dir << "/tmp;\n  uwsgi_temp_path " << dir << "/tmp;\n"
      << "  scgi_temp_path " << dir << "/tmp;\n  sendfile on;\n  keepalive_requests 1000000;\n"
      << "  server { listen 127.0.0.1:" << s.port << " backlog=1024; root " << dir << "/www; }\n}\n";
    c.close();
    s.pid = Spawn({"taskset", "-c", "1", "nginx", "-e", dir + "/error.log", "-c", dir + "/nginx.conf"},
                  true);
    if (!WaitOpen(s.port))
        Stop(s);
    return s;
}

std::string Url(const Server& s, const char* path) {
    return "http://127.0.0.1:" + std::to_string(s.port) + path;
}

double KeepAliveRate(const Server& s, int seconds) {
    const std::string out = Capture("taskset -c 0 wrk -t1 -c50 -d" + std::to_string(seconds) +
                                    "s -H 'Connection: keep-alive' " + Url(s, "/1k.bin") + " 2>&1");
    if (out.find("Non-2xx") != std::string::npos || out.find("Socket errors") != std::string::npos)
        std::fprintf(stderr, "%s", out.c_str());
    return Number(out, R"(Requests/sec:\s+([0-9.]+))");
}

double Download(const Server& s) {
    const auto start = Clock::now();
    const std::string code =
        Capture("taskset -c 0 curl -s -o /dev/null -w '%{http_code}' " + Url(s, "/big.bin"));
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    return code == "200" ? double(kBigSize) / (1024.0 * 1024.0) / secs : -1;
}

} // namespace

int main(int argc, char** argv) {
    int runs = 3, seconds = 5;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::max(1, std::atoi(argv[++i]));
    }
    for (const char* p : {"nginx", "curl", "wrk", "taskset"}) {
        if (!OnPath(p)) {
            std::printf("http server: %s is not installed, skipped\n", p);
            return 0;
        }
    }
    const std::string self(argv[0]);
    const std::string cli = self.substr(0, self.rfind('/') + 1) + "qordex-cli";

    char dirTemplate[] = "/dev/shm/qordex-bench-httpsrv-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    const std::string www = dir + "/www";
    mkdir(www.c_str(), 0755);
    mkdir((dir + "/tmp").c_str(), 0755);
    {
        std::ofstream f(www + "/1k.bin", std::ios::binary);
        f << std::string(1024, 'q');
    }
    WriteNoiseFile(www + "/big.bin", kBigSize);

    std::vector<double> oursRate, nginxRate, oursMiB, nginxMiB;
    bool failed = false;
    for (int r = 0; r < runs && !failed; ++r) {
        Server ours = StartOurs(cli, www);
        Server ng = StartNginx(dir);
        if (ours.pid < 0 || ng.pid < 0) {
            std::printf("http server: a server did not start (qordex %s, nginx %s)\n",
                        ours.pid < 0 ? "failed" : "ok", ng.pid < 0 ? "failed" : "ok");
            failed = true;
        } else {
            // Only one server works at a time: the other waits idle.
            oursRate.push_back(KeepAliveRate(ours, seconds));
            nginxRate.push_back(KeepAliveRate(ng, seconds));
            oursMiB.push_back(Download(ours));
            nginxMiB.push_back(Download(ng));
        }
        Stop(ours);
        Stop(ng);
    }

    long long requests = -1, errors = -1;
    if (!failed) {
        Server ours = StartOurs(cli, www);
        if (ours.pid > 0) {
            const std::string out = Capture("sh -c 'ulimit -n 8192; exec taskset -c 0 wrk -t1 -c1000 -d" +
                                            std::to_string(seconds) + "s --timeout 10s " +
                                            Url(ours, "/1k.bin") + "' 2>&1");
            requests = (long long)Number(out, R"((\d+) requests in)");
            errors = 0;
            std::smatch m;
            if (std::regex_search(out, m, std::regex(R"(connect (\d+), read (\d+), write (\d+), timeout (\d+))")))
                errors += std::atoll(m[1].str().c_str()) + std::atoll(m[2].str().c_str()) +
                          std::atoll(m[3].str().c_str()) + std::atoll(m[4].str().c_str());
            if (std::regex_search(out, m, std::regex(R"(Non-2xx or 3xx responses: (\d+))")))
                errors += std::atoll(m[1].str().c_str());
        }
        Stop(ours);
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    if (failed)
        return 1;
    const double x = Median(oursRate), y = Median(nginxRate);
    std::printf("http server, wrk 1 KiB keep-alive: qordex %.0f req/s, nginx %.0f req/s, ratio %.2f "
                "(goal >= 1.00)\n",
                x, y, y > 0 ? x / y : 0);
    std::printf("http server, 1000 connections: %lld requests, %lld errors\n", requests, errors);
    const double a = Median(oursMiB), b = Median(nginxMiB);
    std::printf("http server, 1 GiB download: qordex %.0f MiB/s, nginx %.0f MiB/s, ratio %.2f "
                "(target >= 0.80)\n",
                a, b, b > 0 ? a / b : 0);
    return 0;
}
