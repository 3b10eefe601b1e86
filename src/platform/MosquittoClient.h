// MQTT client over libmosquitto: topics are relative to the configured prefix.
// Stand-in until the real client lands.
#pragma once

#include <string>

class MosquittoClient {
public:
    MosquittoClient(const std::string& host, int port, const std::string& prefix)
        : host(host), port(port), prefix(prefix) {}
    ~MosquittoClient() {}
    bool Init(const std::string& username, const std::string& password, const std::string& caFile) { return false; }
    void SetReady() {}
    void PrepareForShutdown() {}
    bool IsConnected() { return false; }
    void Publish(const std::string& subTopic, const std::string& msg, bool retain = false, int qos = 1) {}

private:
    std::string host;
    int port;
    std::string prefix;
};

extern MosquittoClient* mqtt;
