// Codec speed: 100 MiB of random bytes through `qordex-cli encode` and
// `qordex-cli decode` against coreutils `base64` and `base64 -d` on the same
// files in the same run, the two programs alternating; the medians and their
// ratios are printed (a ratio above 1 means qordex-cli is faster).
//
//   bench_codec [MiB] [runs]

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs `argv` with standard output to `out`; returns its wall time in
// seconds, or a negative value when it failed.
double TimeRun(const std::vector<std::string>& argv, const std::string& out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

bool WriteRandom(const std::string& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 gen(20240601);
    std::vector<std::uint64_t> block(1 << 16);
    for (std::size_t done = 0; done < bytes && out;) {
        for (auto& w : block)
            w = gen();
        const std::size_t n = std::min(bytes - done, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(n));
        done += n;
    }
    return bool(out);
}

bool SameFiles(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    return std::equal(std::istreambuf_iterator<char>(fa), {}, std::istreambuf_iterator<char>(fb),
                      {});
}

} // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100;
    const int runs = argc > 2 ? int(std::strtol(argv[2], nullptr, 10)) : 5;
    const fs::path self = fs::canonical("/proc/self/exe");
    const std::string cli = (self.parent_path() / "qordex-cli").string();
    if (!fs::exists(cli)) {
        std::fprintf(stderr, "bench_codec: %s is not built\n", cli.c_str());
        return 1;
    }
    if (TimeRun({"base64", "--version"}, "/dev/null") < 0) {
        std::fprintf(stderr, "bench_codec: coreutils base64 is not on PATH\n");
        return 1;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qordex-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("bench_codec: mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    const std::string data = (dir / "data.bin").string();
    const std::string text = (dir / "data.b64").string();
    const std::string back = (dir / "back.bin").string();
    int status = 0;
    if (!WriteRandom(data, std::size_t(mib) << 20) || TimeRun({"base64", data}, text) < 0) {
        std::fprintf(stderr, "bench_codec: cannot prepare the input files in %s\n", dir.c_str());
        status = 1;
    } else if (TimeRun({cli, "decode", text}, back) < 0 || !SameFiles(back, data)) {
        std::fprintf(stderr, "bench_codec: qordex-cli decode does not give the bytes back\n");
        status = 1;
    } else {
        // Both read the same files from the page cache and write to /dev/null.
        std::vector<double> ourEnc, theirEnc, ourDec, theirDec;
        for (int i = 0; i < runs; ++i) {
            ourEnc.push_back(TimeRun({cli, "encode", data}, "/dev/null"));
            theirEnc.push_back(TimeRun({"base64", data}, "/dev/null"));
            ourDec.push_back(TimeRun({cli, "decode", text}, "/dev/null"));
            theirDec.push_back(TimeRun({"base64", "-d", text}, "/dev/null"));
        }
        const double mb = double(mib);
        auto line = [mb](const char* what, const char* peer, const std::vector<double>& ours,
                         const std::vector<double>& theirs) {
            const double o = Median(ours), t = Median(theirs);
            std::printf("%-6s %3.0f MiB: qordex-cli %.3f s (%4.0f MiB/s), %-9s %.3f s (%4.0f MiB/s)"
                        ", ratio %.2f\n",
                        what, mb, o, o > 0 ? mb / o : 0, peer, t, t > 0 ? mb / t : 0,
                        o > 0 ? t / o : 0);
        };
        std::printf("median of %d alternating runs; ratio = base64 time / qordex-cli time\n", runs);
        line("encode", "base64", ourEnc, theirEnc);
        line("decode", "base64 -d", ourDec, theirDec);
        for (const auto* v : {&ourEnc, &theirEnc, &ourDec, &theirDec})
            if (std::any_of(v->begin(), v->end(), [](double s) { return s < 0; }))
                status = 1;
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}
