// The listening socket of the HTTP server when it is to listen on one
// address or one interface only.
//
// An IPv4 address is bound with IP_FREEBIND, so a board whose address comes
// from DHCP after the daemon starts still listens on it once it arrives.  An
// interface name binds the socket to that interface (SO_BINDTODEVICE): every
// address it has or gets, nothing that arrives by another interface
// (loopback included).  Anything else is neither: the error is logged and
// the socket listens on 127.0.0.1 only, so a typo never opens the API wider
// than asked.
//
// Threading: no state; call from any thread.
#pragma once

#include <cstdint>
#include <string>

class ListenSocket {
public:
    enum class Kind { Address, Interface, Invalid };
    // What `where` names (pure; interface names are looked up).
    static Kind Classify(const std::string& where);

    // A non-blocking, listening TCP socket, or -1 (logged) when it cannot be
    // bound.  `described` says where it listens, for the log.
    static int Open(const std::string& where, uint16_t port, std::string& described);
};
