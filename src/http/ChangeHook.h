// A hook the server calls after answering any request that may have
// changed something (every method but GET and HEAD), so a watcher of the
// daemon's state (the web page's event stream) can look at once instead of
// at its next poll.  The hook runs on an HTTP worker thread and must only
// signal, never block.
#pragma once

namespace httpserver {
using change_hook = void (*)();
// nullptr removes it.
void set_change_hook(change_hook hook);
}  // namespace httpserver
