// A real server on a loopback port for the web page tests, and raw HTTP
// over a socket so headers, partial bodies and dropped connections can be
// produced exactly.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "http/httpserver.h"

namespace webtest {

inline int connectTo(uint16_t port, int timeoutSec = 5) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{timeoutSec, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline void sendAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

inline std::string readAll(int fd) {
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

// Reads until `text` has arrived (or the deadline); returns what was read.
inline std::string readUntil(int fd, const std::string& text, int timeoutMS = 5000) {
    std::string out;
    char buf[4096];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    while (out.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0) break;
        if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

inline std::string roundTrip(uint16_t port, const std::string& request) {
    int fd = connectTo(port);
    if (fd < 0) return "<no connection>";
    sendAll(fd, request);
    std::string out = readAll(fd);
    close(fd);
    return out;
}

inline std::string get(uint16_t port, const std::string& target, const std::string& headers = "") {
    return roundTrip(port,
                     "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers + "\r\n");
}

inline std::string bodyOf(const std::string& response) {
    size_t at = response.find("\r\n\r\n");
    return at == std::string::npos ? "" : response.substr(at + 4);
}

inline int statusOf(const std::string& response) {
    return response.size() > 12 ? atoi(response.c_str() + 9) : 0;
}

inline bool waitFor(const std::function<bool()>& cond, int timeoutMS = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

}  // namespace webtest
