// A socket server that runs with almost no descriptors to spare, for the
// test of accepting while they lack.  It prints its port, then "avail" for
// each connection notice the server gets; each client is greeted with "hi"
// and closed when it sends "bye".
// Usage: net_server_fd_peer SPARE     (descriptors left after start-up)
//        net_server_fd_peer --limits  (prints the soft limit a server leaves)

#include "net/WSocketServer.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/resource.h>

namespace {

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
        n -= 3; // ".", ".." and the directory's own descriptor
    }
    return n;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    if (std::string(argv[1]) == "--limits") {
        rlimit lim{};
        ::getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = 64;
        ::setrlimit(RLIMIT_NOFILE, &lim);
        qordex::TWSocketServer srv;
        ::getrlimit(RLIMIT_NOFILE, &lim);
        std::printf("%llu %llu\n", (unsigned long long)lim.rlim_cur,
                    (unsigned long long)lim.rlim_max);
        return 0;
    }
    qordex::TWSocketServer srv;
    srv.SetAddr("127.0.0.1");
    srv.SetPort("0");
    srv.SetBanner("hi");
    srv.OnSessionAvailable = [](qordex::TCustomWSocket*, std::uint16_t) {
        std::printf("avail\n");
        std::fflush(stdout);
    };
    srv.OnClientConnect = [](qordex::TCustomWSocket*, qordex::TWSocketClient* c, std::uint16_t) {
        c->SetLineMode(true);
        c->OnDataAvailable = [](qordex::TCustomWSocket* s, std::uint16_t) {
            if (s->ReceiveText() == "bye\r\n")
                s->Close();
        };
    };
    srv.Listen();
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = rlim_t(OpenDescriptors() + std::atoi(argv[1]));
    if (::setrlimit(RLIMIT_NOFILE, &lim) != 0)
        return 3;
    std::printf("%s\n", srv.GetBoundPort().c_str());
    std::fflush(stdout);
    return app.exec();
}
