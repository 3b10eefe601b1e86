// Talking to the daemon: JSON requests, commands, uploads and the live
// event stream with its polling fallback.

export class HttpError extends Error {
  constructor(status, message, body) { super(message); this.status = status; this.body = body; }
}

let onUnauthorized = () => {};
export function setUnauthorizedHandler(f) { onUnauthorized = f; }

async function readBody(res) {
  const text = await res.text();
  try { return JSON.parse(text); } catch { return text; }
}

export async function request(method, path, body) {
  const opts = { method, headers: {}, credentials: 'same-origin' };
  if (body !== undefined) {
    opts.body = typeof body === 'string' ? body : JSON.stringify(body);
    opts.headers['Content-Type'] = 'application/json';
  }
  let res;
  try { res = await fetch(path, opts); } catch (e) {
    throw new HttpError(0, 'The board does not answer (lyrd stopped or the network is down).');
  }
  const data = await readBody(res);
  if (res.status === 401) onUnauthorized();
  if (!res.ok) {
    const msg = (data && data.Message) || (typeof data === 'string' && data) || res.statusText;
    throw new HttpError(res.status, msg, data);
  }
  return data;
}

export const get = (p) => request('GET', p);
export const post = (p, b) => request('POST', p, b === undefined ? '' : b);
export const del = (p) => request('DELETE', p);

// Runs a command of the registry ("Start Playlist", "Stop Now", ...).
export function command(name, args = []) {
  return post('/command', { command: name, args: args.map(String) });
}

// Uploads a File with progress; resolves with the answer document.
export function upload(folder, file, onProgress) {
  return new Promise((resolve, reject) => {
    const xhr = new XMLHttpRequest();
    xhr.open('POST', `/ui/api/files/${encodeURIComponent(folder)}/${encodeURIComponent(file.name)}`);
    xhr.upload.onprogress = (e) => { if (e.lengthComputable) onProgress(e.loaded / e.total); };
    xhr.onload = () => {
      let body; try { body = JSON.parse(xhr.responseText); } catch { body = { Message: xhr.responseText }; }
      if (xhr.status === 200) resolve(body);
      else reject(new HttpError(xhr.status, body.Message || `Upload failed (${xhr.status})`, body));
    };
    xhr.onerror = () => reject(new HttpError(0, 'The upload broke off: the connection to the board was lost. Nothing was stored.'));
    xhr.onabort = () => reject(new HttpError(0, 'Upload cancelled. Nothing was stored.'));
    xhr.send(file);
  });
}

// The live stream: status, log and channel events.  Falls back to polling
// the status every 2 s while the stream is down.
export class Live {
  constructor(handlers) {
    this.h = handlers;
    this.channels = '';
    this.pollTimer = null;
    this.logAfter = 0;
    this.open();
  }
  setChannels(range) {
    if (range === this.channels) return;
    this.channels = range;
    this.open();
  }
  open() {
    if (this.es) this.es.close();
    const q = this.channels ? `?channels=${this.channels}` : '';
    const es = new EventSource('/ui/events' + q);
    this.es = es;
    es.onopen = () => { this.stopPolling(); this.h.state('live'); };
    es.onerror = () => {
      if (es.readyState === EventSource.CLOSED) setTimeout(() => { if (this.es === es) this.open(); }, 3000);
      this.h.state('retrying');
      this.startPolling();
    };
    es.addEventListener('status', (e) => this.h.status(JSON.parse(e.data)));
    es.addEventListener('log', (e) => {
      const v = JSON.parse(e.data);
      if (v.n > this.logAfter) { this.logAfter = v.n; this.h.log(v.line); }
    });
    es.addEventListener('channels', (e) => this.h.channels(JSON.parse(e.data)));
  }
  startPolling() {
    if (this.pollTimer) return;
    const poll = async () => {
      try {
        this.h.status(await get('/lyrd/status'));
        const log = await get(`/ui/api/log?after=${this.logAfter}`);
        const first = log.last - log.lines.length;
        log.lines.forEach((l, i) => { if (first + i + 1 > this.logAfter) this.h.log(l); });
        this.logAfter = Math.max(this.logAfter, log.last);
        this.h.state(this.es && this.es.readyState === EventSource.OPEN ? 'live' : 'polling');
      } catch (e) {
        this.h.state('down');
      }
    };
    poll();
    this.pollTimer = setInterval(poll, 2000);
  }
  stopPolling() { clearInterval(this.pollTimer); this.pollTimer = null; }
}
