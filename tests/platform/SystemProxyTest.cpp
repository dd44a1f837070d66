// The system proxy reader: the setting from the environment and its parse.

#include "platform/SystemProxy.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace qordex;

namespace {

// Sets proxy variables for one test and restores the environment after.
class ProxyEnv {
public:
    ProxyEnv() {
        for (const char* n : kNames) {
            const char* v = std::getenv(n);
            saved_.emplace_back(n, v ? std::optional<std::string>(v) : std::nullopt);
            unsetenv(n);
        }
    }
    ~ProxyEnv() {
        for (const auto& [n, v] : saved_) {
            if (v)
                setenv(n, v->c_str(), 1);
            else
                unsetenv(n);
        }
    }
    void Set(const char* n, const char* v) { setenv(n, v, 1); }

private:
    static constexpr const char* kNames[] = {
        "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ftp_proxy",
        "FTP_PROXY",  "all_proxy",  "ALL_PROXY",   "no_proxy",    "NO_PROXY"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

} // namespace

TEST(ParseProxySetting, FindsTheSchemeEntry) {
    const struct {
        TProxySetting setting;
        const char* scheme;
        const char* host;
        const char* port;
        bool enabled;
    } cases[] = {
        {{true, "http=proxy.example:3128;ftp=other:21", ""}, "http", "proxy.example", "3128", true},
        {{true, "http=proxy.example:3128;ftp=other:21", ""}, "ftp", "other", "21", true},
        {{true, "HTTP=Upper.Example:8080", ""}, "http", "upper.example", "8080", true},
        {{true, "http=hostonly", ""}, "http", "", "hostonly", true},
        // A single host and port without a scheme entry: nothing found.
        {{true, "proxy.example:3128", ""}, "http", "keep", "keep", true},
        {{false, "http=p:1", ""}, "http", "p", "1", false},
        // Without a server list the bypass list is never taken as a server.
        {{true, "", "http=bypass.example:9"}, "http", "", "", true},
    };
    for (const auto& c : cases) {
        std::string host = "keep", port = "keep";
        EXPECT_EQ(ParseProxySetting(c.setting, c.scheme, host, port), c.enabled)
            << c.setting.server;
        EXPECT_EQ(host, c.host) << c.setting.server;
        EXPECT_EQ(port, c.port) << c.setting.server;
    }
}

TEST(ReadProxySetting, ComesFromTheEnvironment) {
    ProxyEnv env;
    EXPECT_FALSE(ReadProxySetting().enabled);
    env.Set("HTTP_PROXY", "http://user:pw@proxy.example:3128/");
    env.Set("all_proxy", "socks.example");
    env.Set("no_proxy", "localhost,.internal");
    const TProxySetting s = ReadProxySetting();
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.server, "http=proxy.example:3128;https=socks.example:80;ftp=socks.example:80");
    EXPECT_EQ(s.override, "localhost,.internal");
    env.Set("http_proxy", "lower.example:8080"); // the lower-case name comes first
    std::string host, port;
    EXPECT_TRUE(GetSystemProxy("http", host, port));
    EXPECT_EQ(host, "lower.example");
    EXPECT_EQ(port, "8080");
}

TEST(ReadProxySetting, BypassListAloneIsNoProxy) {
    ProxyEnv env;
    env.Set("no_proxy", "proxy.example:3128");
    std::string host = "h", port = "p";
    EXPECT_FALSE(GetSystemProxy("http", host, port));
    EXPECT_EQ(host, "");
    EXPECT_EQ(port, "");
}
