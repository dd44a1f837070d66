#include "platform/AsyncLookup.h"

#include "platform/HiddenWindow.h"
#include "platform/SocketErrors.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace qordex {
namespace {

struct Pending {
    HiddenWindow* target;
    std::function<void(const LookupResult&)> done;
};

struct LookupTable {
    std::mutex mutex; // guards pending; held while a result is posted
    std::map<LookupId, Pending> pending;
};

// Never destroyed: a lookup thread still blocked in the resolver when the
// program ends must find the table intact when it wakes up after main().
LookupTable& Table() {
    static LookupTable* table = new LookupTable;
    return *table;
}

std::atomic<LookupId> g_nextId{1};
std::atomic<int> g_running{0};

// Room for a host entry: the name, its aliases and addresses.  A host file
// line with many aliases needs more; the buffer doubles up to the limit.
constexpr std::size_t kHostEntryBuffer = 1025;
constexpr std::size_t kMaxHostEntryBuffer = 1 << 20;

int HerrnoToWsa(int herr) {
    switch (herr) {
    case HOST_NOT_FOUND:
        return WSAHOST_NOT_FOUND;
    case TRY_AGAIN:
        return WSATRY_AGAIN;
    case NO_RECOVERY:
        return WSANO_RECOVERY;
    case NO_DATA:
        return WSANO_DATA;
    default:
        return WSANO_RECOVERY;
    }
}

LookupId Start(HiddenWindow* target, std::function<LookupResult()> work,
               std::function<void(const LookupResult&)> done) {
    LookupId id = g_nextId++;
    {
        std::lock_guard lock(Table().mutex);
        Table().pending[id] = Pending{target, std::move(done)};
    }
    auto run = [id, work = std::move(work)] {
        LookupResult result = work();
        LookupTable& table = Table();
        std::lock_guard lock(table.mutex);
        // Counted down under the lock, after which nothing of this lookup is posted.
        struct Done {
            ~Done() { --g_running; }
        } done;
        auto it = table.pending.find(id);
        if (it == table.pending.end())
            return; // cancelled meanwhile
        // The target cannot die while we hold the lock: its owner cancels first.
        it->second.target->PostCall([id, result = std::move(result)] {
            std::function<void(const LookupResult&)> done;
            {
                LookupTable& table = Table();
                std::lock_guard lock(table.mutex);
                auto it = table.pending.find(id);
                if (it == table.pending.end())
                    return; // cancelled after the result was queued
                done = std::move(it->second.done);
                table.pending.erase(it);
            }
            if (done)
                done(result);
        });
    };
    ++g_running;
    try {
        std::thread(std::move(run)).detach();
    } catch (...) {
        --g_running;
        // No thread, no completion: the entry must not outlive the call.
        CancelLookup(id);
        throw;
    }
    return id;
}

} // namespace

LookupResult ResolveHostBlocking(const std::string& host) {
    LookupResult r;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0) {
        r.error = GaiToWsa(rc);
        return r;
    }
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET)
            continue;
        if (r.name.empty() && ai->ai_canonname)
            r.name = ai->ai_canonname;
        r.addrs.push_back(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
    }
    freeaddrinfo(res);
    if (r.addrs.empty())
        r.error = WSANO_DATA;
    if (r.name.empty())
        r.name = host;
    return r;
}

LookupResult ResolveAddrBlocking(std::uint32_t addr) {
    // The host-by-address call, not getnameinfo: only it gives the aliases,
    // which a reverse lookup lists after the name.
    LookupResult r;
    in_addr a{};
    a.s_addr = addr;
    hostent entry{};
    hostent* found = nullptr;
    int herr = 0;
    std::vector<char> buf(kHostEntryBuffer);
    for (;;) {
        int rc =
            ::gethostbyaddr_r(&a, sizeof a, AF_INET, &entry, buf.data(), buf.size(), &found, &herr);
        if (rc == ERANGE && buf.size() < kMaxHostEntryBuffer) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || !found) {
            r.error = rc != 0 && rc != ENOENT ? ErrnoToWsa(rc) : HerrnoToWsa(herr);
            return r;
        }
        break;
    }
    r.name = found->h_name ? found->h_name : "";
    for (char** alias = found->h_aliases; alias && *alias; ++alias)
        if (**alias)
            r.aliases.emplace_back(*alias);
    r.addrs.push_back(addr);
    if (r.name.empty())
        r.error = WSANO_DATA;
    return r;
}

LookupId StartHostLookup(HiddenWindow* target, const std::string& host,
                         std::function<void(const LookupResult&)> done) {
    return Start(
        target, [host] { return ResolveHostBlocking(host); }, std::move(done));
}

LookupId StartAddrLookup(HiddenWindow* target, std::uint32_t addr,
                         std::function<void(const LookupResult&)> done) {
    return Start(
        target, [addr] { return ResolveAddrBlocking(addr); }, std::move(done));
}

bool CancelLookup(LookupId id) {
    LookupTable& table = Table();
    std::lock_guard lock(table.mutex);
    return table.pending.erase(id) > 0;
}

int LookupsRunning() {
    return g_running;
}

void CancelLookupsFor(HiddenWindow* target) {
    LookupTable& table = Table();
    std::lock_guard lock(table.mutex);
    std::erase_if(table.pending, [target](const auto& kv) { return kv.second.target == target; });
}

} // namespace qordex
