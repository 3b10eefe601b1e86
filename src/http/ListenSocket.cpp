#include "http/ListenSocket.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Logging.h"

ListenSocket::Kind ListenSocket::Classify(const std::string& where) {
    in_addr a;
    if (inet_pton(AF_INET, where.c_str(), &a) == 1) return Kind::Address;
    if (!where.empty() && where.size() < IFNAMSIZ && if_nametoindex(where.c_str()) != 0)
        return Kind::Interface;
    return Kind::Invalid;
}

static int fail(int fd, const char* what, const std::string& where) {
    LogErr(VB_HTTP, "HTTP server: cannot listen on %s (%s): %s\n", where.c_str(), what, strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
}

int ListenSocket::Open(const std::string& where, uint16_t port, std::string& described) {
    Kind kind = Classify(where);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (kind == Kind::Address) {
        inet_pton(AF_INET, where.c_str(), &addr.sin_addr);
        described = "address " + where;
    } else if (kind == Kind::Interface) {
        described = "interface " + where;
    } else {
        LogErr(VB_HTTP,
               "HTTP server: listen address '%s' is neither an IPv4 address nor an interface of this board; "
               "listening on 127.0.0.1 only\n",
               where.c_str());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        described = "address 127.0.0.1 (fallback)";
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(fd, "socket", where);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (kind == Kind::Address && setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &on, sizeof(on)) != 0)
        return fail(fd, "IP_FREEBIND", where);
    if (kind == Kind::Interface &&
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, where.c_str(), static_cast<socklen_t>(where.size())) != 0)
        return fail(fd, "SO_BINDTODEVICE", where);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return fail(fd, "bind", where);
    if (listen(fd, SOMAXCONN) != 0) return fail(fd, "listen", where);
    return fd;
}
