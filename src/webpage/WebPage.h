// The board's own web page: its files below "/ui/" ("/" redirects there),
// its JSON endpoints below "/ui/api/" and its event stream at "/ui/events".
// Everything else the page does goes through the daemon's ordinary API.
//
//   GET /ui/api/log?after=N     log lines numbered after N (the last 1000
//                               are kept): {"last": n, "lines": [..]}
//   GET /ui/api/outputs         {"enabled", "ranges", "maxChannel",
//                               "configs": {file name: its JSON}} for the
//                               output configuration files in config/
//                               (co-*.json and channelremap.json)
//   GET /ui/api/channels?start=S&count=C   live values, for pages that
//                               cannot keep the event stream open
//   /ui/api/files, /ui/api/settings: see FileStore.h, SettingsApi.h
//
// Threading: built and registered on the main thread before the server
// starts; the resources then run on HTTP workers.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "http/httpserver.h"

class EventHub;
class FileStore;
class LogTail;
class RootRedirect;
class SettingsApi;
class StaticFiles;

class WebPage {
public:
    static constexpr size_t kMaxPages = 32;

    // pageDir: the folder of the page's files; status: the status document.
    WebPage(const std::string& pageDir, const std::string& mediaDir, std::function<std::string()> status);
    ~WebPage();  // stops feeding the log tail; unregister first

    void registerWith(httpserver::webserver& server);

    EventHub& events() { return *hub; }
    LogTail& log() { return *tail; }

    class PageApi;

private:
    std::string mediaDir;
    std::unique_ptr<LogTail> tail;
    std::unique_ptr<StaticFiles> files;
    std::unique_ptr<RootRedirect> root;
    std::unique_ptr<EventHub> hub;
    std::unique_ptr<FileStore> store;
    std::unique_ptr<SettingsApi> settingsApi;
    std::unique_ptr<PageApi> api;
};
