// Stand-in HTTP control API: replaced by the API server.
#pragma once

class APIServer {
public:
    void Init() {}
};
