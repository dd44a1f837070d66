#pragma once
// The socket library's functions that need no socket object: host, port and
// protocol conversions, byte order and dotted-address helpers, the local host
// name, the library description record, and the bookkeeping that starts the
// library on first use and stops it with the last socket.  Any thread may
// call them.

#include "net/WSocketErrorText.h"

#include <cstdint>
#include <netinet/in.h>
#include <stdexcept>
#include <string>

namespace qordex {

class ESocketException : public std::runtime_error {
public:
    explicit ESocketException(const std::string& msg, int errorCode = 0)
        : std::runtime_error(msg), errorCode_(errorCode) {}
    int ErrorCode() const { return errorCode_; }

private:
    int errorCode_;
};

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1;
using TSockAddrIn = sockaddr_in; // the 16-byte IPv4 socket address

// Host text (name or dotted address) to an IPv4 address in network order.
std::uint32_t WSocketResolveHost(const std::string& host);
// Port text (number or service name) to a port number in host order.
int WSocketResolvePort(const std::string& port, const std::string& proto);
// Protocol text (number, "tcp", "udp", "raw" or a protocol name) to a number.
int WSocketResolveProto(const std::string& proto);
// True for a dotted IPv4 address (spaces around it allowed).
bool WSocketIsNumericAddr(const std::string& text);
// The machine's host name.
std::string GetLocalHostName();

// Byte order and dotted-address helpers, for engines.
std::uint16_t WSocket_htons(std::uint16_t v);
std::uint16_t WSocket_ntohs(std::uint16_t v);
std::uint32_t WSocket_htonl(std::uint32_t v);
std::uint32_t WSocket_ntohl(std::uint32_t v);
// Dotted text to a network-order address; all ones when it is not an address.
std::uint32_t WSocket_inet_addr(const std::string& text);
std::string WSocket_inet_ntoa(std::uint32_t addrNetOrder);

// The library description record.
struct TWSADATA {
    std::uint16_t wVersion = 0;
    std::uint16_t wHighVersion = 0;
    std::string szDescription; // names the platform
    std::string szSystemStatus;
    std::uint16_t iMaxSockets = 0;
    std::uint16_t iMaxUdpDg = 0;
};
// Fills the record, starting the library for the call when no socket lives.
void GetWinsockInfo(TWSADATA& info);

// Bookkeeping of the socket library: it starts on first use and stops when
// the last socket is destroyed.
int WSocketLiveCount();
bool WSocketLibraryLoaded();

// ---- for the socket objects --------------------------------------------------

// Starts the library when it is not running; throws ESocketException when the
// requested version does not exist.
void WSocketLoadLibrary();
// A socket was made or destroyed; the library stops with the last one.
void WSocketAddLiveSocket();
void WSocketRemoveLiveSocket();
// The library version requested at load time, shared by all sockets.  The
// setters store the value and return true unless the library is running and
// the value differs.
std::uint8_t WSocketReqVerLow();
std::uint8_t WSocketReqVerHigh();
bool WSocketSetReqVerLow(std::uint8_t v);
bool WSocketSetReqVerHigh(std::uint8_t v);

} // namespace qordex
