// Watches the kernel's network address and link changes (rtnetlink) and
// tells registered listeners.  Init adds the netlink socket to the main
// loop's descriptor map; listeners run on the main loop thread.
//
// Events: NEW_LINK / DEL_LINK with up = 1 when the link is up and running,
// NEW_ADDR (up = 1) when an interface gains an IPv4 address, DEL_ADDR
// (up = 0) when it loses one.
//
// Threading: registerCallback may be called from any thread; callbacks are
// called from the thread that drains the socket (the main loop).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Callbacks.h"

class NetworkMonitor {
public:
    enum NetEventType { NEW_LINK = 0, DEL_LINK = 1, NEW_ADDR = 2, DEL_ADDR = 3 };
    using Listener = std::function<void(NetEventType kind, int up, const std::string& interfaceName)>;

    static NetworkMonitor INSTANCE;

    NetworkMonitor() {}
    ~NetworkMonitor();
    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

    // Opens the netlink socket (once) and adds it to `callbacks`.
    void Init(CallbackMap& callbacks);
    void registerCallback(Listener listener);
    // The netlink socket, -1 before Init or when it could not be opened.
    int GetSocket() const { return sock; }
    // Reads every pending message and tells the listeners.
    void ProcessMessages();
    // Decodes one buffer of netlink messages (also the unit-test seam).
    void Dispatch(const void* buffer, int len);
    void Close();

private:
    void notify(NetEventType kind, int up, const std::string& name);

    int sock = -1;
    std::mutex lock;
    std::vector<Listener> listeners;
};
