// The media directory's file folders for the web page, below
// "/ui/api/files":
//   GET    /ui/api/files                 every folder's files: name, size, mtime
//   GET    /ui/api/files/FOLDER/NAME     download (streamed from the file)
//   POST   /ui/api/files/FOLDER/NAME     upload: the body is the file
//   DELETE /ui/api/files/FOLDER/NAME
// FOLDER is one of kFolders; NAME one file name (no "/", not hidden).
//
// An upload streams into a hidden temporary file in its folder and is
// renamed over NAME only once the whole body arrived and was written; a
// broken connection, a full disk or a refused size removes it.  Sizes over
// the "uploadSizeLimitMB" setting and bodies that would not fit in the free
// space (with kReserveBytes kept free) are refused before any byte is kept.
//
// Threading: HTTP workers; no shared state beyond the file system.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/httpserver.h"

class FileStore : public httpserver::http_resource {
public:
    static const std::vector<std::string>& folders();
    static constexpr uint64_t kReserveBytes = 16ull << 20;
    static constexpr const char* kTempPrefix = ".upload-";

    // mediaDir: the media directory; folders are created on demand.
    explicit FileStore(std::string mediaDir);

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_DELETE(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> open_upload(
        const httpserver::http_request& req, std::unique_ptr<httpserver::upload_sink>& sink) override;

    // A name that stays inside its folder and is not hidden.
    static bool validName(const std::string& name);
    // Removes temporary files a crash left behind.
    void removeLeftovers();
    // The upload limit in bytes from the setting (0: none).
    static uint64_t uploadLimit();

private:
    // Folder and name from the path; false (and an answer) when invalid.
    bool target(const httpserver::http_request& req, std::string& folder, std::string& name,
                std::shared_ptr<httpserver::http_response>& error) const;

    const std::string mediaDir;
};
