"""Dynamic (feed) entries in a running daemon, against a real HTTP server on
port 80 of the namespace's loopback: a plug-in page, a URL source drained
until it comes back empty, a file source, and sources that fail.  Every entry
of the fed documents is a URL entry that calls back to the same server, so
the server's request log shows what played and in which order."""

import http.server
import json
import socket
import threading
import time

from test_channelout import command


class Pages:
    """A threaded HTTP server on 127.0.0.1:80 inside the host's namespace.
    `routes` maps a path prefix to a list of bodies served in turn (the last
    one repeats) or to None for a page that never answers."""

    def __init__(self, host, routes):
        self.routes = routes
        self.served = {}
        self.requests = []  # (arrival, path)
        self.lock = threading.Lock()
        pages = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                pages.answer(self)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 80), Handler, bind_and_activate=False)
        self.server.daemon_threads = True
        self.server.socket = host.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.socket.bind(("127.0.0.1", 80))
        self.server.server_activate()
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.1,), daemon=True)
        self.thread.start()

    def answer(self, req):
        with self.lock:
            self.requests.append((time.monotonic(), req.path))
            prefix = max((p for p in self.routes if req.path.startswith(p)), key=len, default=None)
            bodies = self.routes.get(prefix, [""])
            if bodies is None:
                body = None
            else:
                n = self.served.get(prefix, 0)
                self.served[prefix] = n + 1
                body = bodies[min(n, len(bodies) - 1)]
        if body is None:
            time.sleep(7)  # past the entry's 5 s limit
            return
        data = (body if isinstance(body, str) else json.dumps(body)).encode()
        req.send_response(200)
        req.send_header("Content-Type", "application/json")
        req.send_header("Content-Length", str(len(data)))
        req.end_headers()
        req.wfile.write(data)

    def paths(self):
        with self.lock:
            return [p for _, p in self.requests]

    def marks(self):
        return [p[len("/mark/"):] for p in self.paths() if p.startswith("/mark/")]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def mark(name):
    return {"type": "url", "url": "http://127.0.0.1/mark/" + name}


def entries(*names):
    return {"playlistEntries": [mark(n) for n in names]}


def wait_for_mark(pages, name, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if name in pages.marks():
            return True
        time.sleep(0.05)
    return False


def play(host, entries_of_playlist):
    host.write_file("playlists/feeds.json", {"name": "feeds", "mainPlaylist": entries_of_playlist})
    host.start_daemon()
    host.wait_http()
    st, _, body = command(host, "Start Playlist", "feeds")
    assert st == 200, body
    return time.monotonic()


def test_plugin_url_and_file_sources_play_what_they_return_in_order(host):
    host.write_file("feed.json", {"mainPlaylist": [mark("file")]})
    pages = Pages(host, {
        "/plugin.php": [""],
        "/plugin.php?plugin=my%20feeder&page=playlistCallback.php&nopage=1&command=loadNextItem": [
            entries("plugin1", "plugin2")],
        "/queue": [entries("q1", "q2"), {"playlistEntries": []}],
        "/mark/": ["{}"],
    })
    try:
        play(host, [
            {"type": "dynamic", "subType": "plugin", "pluginName": "my feeder"},
            {"type": "dynamic", "subType": "url", "url": "http://127.0.0.1/queue", "drainQueue": 1},
            {"type": "dynamic", "subType": "file", "dataFile": host.media + "/feed.json"},
            mark("end"),
        ])
        assert wait_for_mark(pages, "end", 20), pages.paths()
        assert pages.marks() == ["plugin1", "plugin2", "q1", "q2", "file", "end"], pages.paths()

        plugin = [p.rsplit("command=", 1)[1] for p in pages.paths() if p.startswith("/plugin.php")]
        assert plugin == ["prepNextItem", "loadNextItem", "startedNextItem"], plugin
        for p in pages.paths():
            if p.startswith("/plugin.php"):
                assert p.startswith("/plugin.php?plugin=my%20feeder&page=playlistCallback.php&nopage=1&command="), p
        # The drained queue is asked again once its two entries have played,
        # and the empty answer ends the entry.
        paths = pages.paths()
        assert paths.count("/queue") == 2, paths
        assert paths.index("/queue", paths.index("/queue") + 1) > paths.index("/mark/q2"), paths
    finally:
        pages.close()


def test_bad_sources_end_their_entries_and_the_playlist_goes_on(host):
    pages = Pages(host, {
        "/garbage": ["this is not json {"],
        "/array": ["[1, 2, 3]"],
        "/badtype": [{"playlistEntries": [{"type": "playlist", "name": "feeds"}]}],
        "/silent": None,
        "/mark/": ["{}"],
    })
    try:
        t0 = play(host, [
            {"type": "dynamic", "subType": "url", "url": "http://127.0.0.1/garbage"},
            {"type": "dynamic", "subType": "url", "url": "http://127.0.0.1/array"},
            {"type": "dynamic", "subType": "url", "url": "http://127.0.0.1/badtype"},
            {"type": "dynamic", "subType": "file", "dataFile": host.media + "/no-such.json"},
            mark("before-silent"),
            {"type": "dynamic", "subType": "url", "url": "http://127.0.0.1/silent"},
            mark("end"),
        ])
        assert wait_for_mark(pages, "end", 20), pages.paths()
        took = time.monotonic() - t0
        assert pages.marks() == ["before-silent", "end"], pages.paths()
        # Only the page that never answers costs time, and no more than its limit.
        assert 4.5 < took < 8.5, took
        log = host.daemons[-1].log()
        for text in ("Error parsing JSON: this is not json {", "Error parsing JSON: [1, 2, 3]",
                     "Invalid Playlist Entry Type: playlist", "no-such.json does not exist",
                     "curl_easy_perform() failed"):
            assert text in log, text
        assert host.daemons[-1].running()
        # The last page has answered; the playlist ends at the next turn of
        # the main loop after it, so give it a moment to go idle.
        deadline = time.monotonic() + 5
        while True:
            st, _, body = host.http("GET", "/lyrd/status")
            if (st == 200 and json.loads(body)["status_name"] == "idle") or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        assert st == 200 and json.loads(body)["status_name"] == "idle", body
    finally:
        pages.close()
