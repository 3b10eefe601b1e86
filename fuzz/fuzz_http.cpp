// HTTP requests to every resource the API server registers ("/lyrd" and
// "/lyrd/testing", "/player", "/models", "/overlays", "/command",
// "/commands", "/commandPresets"), answered through the server's routing
// and error handling without a socket.  One input holds up to four
// requests separated by "\n--\n", each written as
//
//   METHOD /path?query
//   Header: value
//
//   body
//
// The path and query are decoded as the server library decodes them.
//
// Neutralised: the stop request of "shutdown" reaches no handler; files
// are read and written in the sandbox; a started playlist, channel test or
// overlay output is stopped before the input ends; nothing listens.
#include <Magick++.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "FuzzSupport.h"
#include "Player.h"
#include "Portal.h"
#include "PortalCommands.h"
#include "PortalTesting.h"
#include "Scheduler.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"
#include "http/httpserver.h"
#include "overlays/Glaze.h"
#include "platform/ChannelTester.h"
#include "platform/CommandManager.h"
#include "platform/Warnings.h"
#include "playlist/Playlist.h"
#include "settings.h"

namespace {

struct Api {
    httpserver::webserver server{httpserver::create_webserver(0)};
    PlayerResource player;
    CommandResource commands;
    TestingResource testing;

    Api() {
        server.register_resource("/lyrd/testing", &testing, true);
        server.register_resource("/lyrd", &player, true);
        server.register_resource("/models", &GlazeManager::INSTANCE, true);
        server.register_resource("/overlays", &GlazeManager::INSTANCE, true);
        server.register_resource("/command", &commands, true);
        server.register_resource("/commands", &commands, true);
        server.register_resource("/commandPresets", &commands, true);
        server.register_resource("/player", &Player::INSTANCE, true);
    }
};

Api* setUp() {
    fuzz::MediaDir();
    Magick::InitializeMagick(nullptr);
    fuzz::WriteFile(fuzz::MediaPath("/playlists/show.json"),
                    R"({"name": "show", "mainPlaylist": [{"type": "pause", "duration": 60}]})");
    fuzz::WriteFile(fuzz::MediaPath("/config/schedule.json"),
                    R"([{"playlist": "show", "day": 7, "startTime": "18:00:00", "endTime": "19:00:00"}])");
    fuzz::WriteFile(fuzz::MediaPath("/config/model-overlays.json"),
                    R"({"models": [{"Name": "Tree", "Type": "Channel", "StartChannel": 1, "ChannelCount": 30,)"
                    R"( "ChannelCountPerNode": 3, "StringCount": 1, "StrandsPerString": 1,)"
                    R"( "Orientation": "horizontal", "StartCorner": "TL"}]})");
    fuzz::WriteFile(fuzz::MediaPath("/config/commandPresets.json"),
                    R"({"commands": [{"name": "go", "commands": [{"command": "Test Stop"}]}]})");
    WriteLSEQTestSequence(fuzz::MediaPath("/sequences/seq.lseq"), 30, 40, 25, "song.mp3");
    Player::INSTANCE.Init();
    ChannelTester::INSTANCE.RegisterCommands();
    GlazeManager::INSTANCE.Initialize();
    GlazeManager::INSTANCE.RegisterCommands();
    CommandManager::INSTANCE.LoadPresets();
    sequence = new Sequence();
    scheduler = new Scheduler();
    return new Api();
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

httpserver::http_request parse(const std::string& text) {
    httpserver::http_request req;
    size_t eol = text.find('\n');
    std::string first = text.substr(0, eol);
    size_t sp = first.find(' ');
    req.method = first.substr(0, sp);
    std::string target = sp == std::string::npos ? "/" : first.substr(sp + 1);
    size_t q = target.find('?');
    req.raw_path = target.substr(0, q);
    req.path = httpserver::url_decode(req.raw_path);
    if (q != std::string::npos) {
        req.querystring = target.substr(q);
        std::string query = target.substr(q + 1);
        size_t start = 0;
        while (start <= query.size()) {
            size_t amp = query.find('&', start);
            std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
            start = amp == std::string::npos ? query.size() + 1 : amp + 1;
            if (pair.empty()) continue;
            size_t eq = pair.find('=');
            std::string key = httpserver::url_decode(pair.substr(0, eq), true);
            req.args[key] = eq == std::string::npos ? "" : httpserver::url_decode(pair.substr(eq + 1), true);
        }
    }
    size_t pos = eol == std::string::npos ? text.size() : eol + 1;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (line.empty()) break;
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        req.headers[lower(line.substr(0, colon))] = value;
    }
    req.content = pos < text.size() ? text.substr(pos) : "";
    req.requestor = "127.0.0.1";
    return req;
}

void resetState() {
    if (Player::INSTANCE.GetStatus() != 0) Player::INSTANCE.StopNow(true);
    if (sequence->IsSequenceRunning()) sequence->CloseSequenceFile();
    if (ChannelTester::INSTANCE.Testing()) ChannelTester::INSTANCE.SetupTest(std::string(R"({"enabled": 0})"));
    if (ChannelOutputThreadIsRunning()) StopChannelOutputThread();
    settings.lyrMode = PLAYER_MODE;
    fuzz::ResetLogLevels();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Api* api = setUp();
    for (const std::string& piece : fuzz::Pieces(data, size, 4)) {
        std::shared_ptr<httpserver::http_response> res = api->server.answer(parse(piece));
        if (!res) abort();
        (void)res->get_content().size();
    }
    resetState();
    return 0;
}
