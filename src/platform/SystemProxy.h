#pragma once
// The system proxy reader: which proxy the user's session names for a
// scheme.  The session's setting is three values: an enable flag, a server
// list "scheme=host:port;scheme=host:port", and the list of hosts that
// bypass the proxy.  On Linux they come from the environment: http_proxy,
// https_proxy and ftp_proxy (either case; all_proxy for a scheme without its
// own) make the server list, and no_proxy is the bypass list.

#include <string>

namespace qordex {

struct TProxySetting {
    bool enabled = false;
    std::string server;   // "http=host:port;https=host:port;..."
    std::string override; // hosts that bypass the proxy; never a server
};

// The setting of this session, read from the environment.
TProxySetting ReadProxySetting();

// Finds the scheme's entry ("http" looks for "http=") in the server list.
// An empty list empties host and port; a list without the entry leaves
// them as they are; an entry gives host (before ":", empty without one) and
// port (up to ";").  Returns the enable flag either way.
bool ParseProxySetting(const TProxySetting& setting, const std::string& scheme, std::string& host,
                       std::string& port);

// ParseProxySetting over ReadProxySetting.
bool GetSystemProxy(const std::string& scheme, std::string& host, std::string& port);

} // namespace qordex
