// The board's web page: one module per page section, fed by the live
// stream (api.js).  Plain DOM, no framework.
import { get, post, del, command, upload, Live, setUnauthorizedHandler } from './api.js';

const $ = (id) => document.getElementById(id);
function el(tag, attrs = {}, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else if (v !== false && v !== undefined && v !== null) e.setAttribute(k, v === true ? '' : v);
  }
  for (const k of kids.flat()) if (k !== null && k !== undefined) e.append(k instanceof Node ? k : String(k));
  return e;
}
const icon = (c) => el('span', { 'aria-hidden': 'true' }, c + ' ');
const fmtSize = (n) => n >= 1 << 30 ? (n / (1 << 30)).toFixed(1) + ' GB' : n >= 1 << 20 ? (n / (1 << 20)).toFixed(1) + ' MB'
  : n >= 1024 ? (n / 1024).toFixed(0) + ' KB' : n + ' B';
const fmtTime = (s) => new Date(s * 1000).toLocaleString();

// ---- messages and connection state
function banner(text) { const b = $('banner'); b.textContent = text || ''; b.hidden = !text; }
function say(target, text, kind = '') { const t = $(target); t.textContent = text; t.className = kind; }
async function act(target, f, okText) {
  try { const r = await f(); say(target, okText || (r && r.Message) || 'Done', 'ok'); return r; }
  catch (e) { say(target, e.message, 'error'); return null; }
}

function connState(s) {
  const c = $('conn');
  const text = { live: 'Live', retrying: 'Reconnecting…', polling: 'Polling (no live stream)', down: 'Board not answering' }[s];
  c.textContent = text; c.className = 'badge ' + (s === 'live' ? 'live' : s === 'down' ? 'down' : '');
  banner(s === 'down' ? 'The board does not answer: lyrd has stopped or the network is down. The page keeps trying and catches up by itself.' : '');
}

// ---- sections and navigation
const sections = ['now', 'playlists', 'schedule', 'files', 'remotes', 'outputs', 'overlays', 'log', 'settings'];
const loaders = {};
function show() {
  const id = sections.includes(location.hash.slice(1)) ? location.hash.slice(1) : 'now';
  for (const s of sections) $(s).hidden = s !== id;
  for (const a of document.querySelectorAll('nav a')) {
    if (a.hash === '#' + id) a.setAttribute('aria-current', 'page'); else a.removeAttribute('aria-current');
  }
  if (loaders[id]) loaders[id]();
}

// ---- now playing
let volumeBusy = 0;
function renderStatus(s) {
  const cp = s.current_playlist || {};
  $('host').textContent = 'lyrd' + (s.mode_name ? ' · ' + s.mode_name : '');
  $('st-status').textContent = s.status_name || '–';
  $('st-playlist').textContent = cp.playlist || '–';
  $('st-entry').textContent = cp.playlist ? `${cp.index} of ${cp.count}${cp.type ? ' (' + cp.type + ')' : ''}` : '–';
  $('st-sequence').textContent = s.current_sequence || '–';
  $('st-media').textContent = s.current_song || '–';
  const sch = s.scheduler || {};
  const cur = sch.currentPlaylist;
  $('st-sched').textContent = cur ? `${cur.playlistName}${cur.actualEndTimeStr ? ' until ' + cur.actualEndTimeStr : ''} (${sch.status})`
    : sch.enabled === 0 ? 'disabled' : (sch.status || '–');
  const np = s.next_playlist || {};
  $('st-next').textContent = np.playlist ? `${np.playlist}${np.start_time ? ' — ' + np.start_time : ''}` : '–';
  const played = +s.seconds_played || 0, left = +s.seconds_remaining || 0;
  $('st-elapsed').textContent = s.time_elapsed || '00:00';
  $('st-remaining').textContent = s.time_remaining || '00:00';
  $('st-progress').value = played + left > 0 ? played / (played + left) : 0;
  if (Date.now() > volumeBusy && typeof s.volume === 'number') { $('volume').value = s.volume; $('vol-out').textContent = s.volume; }
  const w = s.warnings || [];
  $('st-warnings').hidden = !w.length; $('st-warnings').textContent = w.join(' · ');
  document.body.dataset.status = s.status_name || '';
}
function initNow() {
  for (const b of document.querySelectorAll('#now [data-cmd]')) {
    b.addEventListener('click', async () => {
      try { await command(b.dataset.cmd); } catch (e) { banner(b.dataset.cmd + ': ' + e.message); setTimeout(() => banner(''), 5000); }
    });
  }
  let timer = null;
  $('volume').addEventListener('input', () => {
    const v = $('volume').value;
    $('vol-out').textContent = v;
    volumeBusy = Date.now() + 1500;
    clearTimeout(timer);
    timer = setTimeout(() => post(`/lyrd/volume/${v}`).catch((e) => banner('Volume: ' + e.message)), 120);
  });
}

// ---- playlists
function entryText(e) {
  const name = e.sequenceName || e.mediaName || e.mediaFilename || e.scriptName || e.scriptFilename || e.name || e.url || e.playlistName ||
    (e.duration !== undefined ? e.duration + ' s' : '') || e.command || '';
  return `${e.type || '?'}${name ? ': ' + name : ''}`;
}
loaders.playlists = async () => {
  const list = $('pl-list');
  let files;
  try { files = (await get('/ui/api/files')).folders.playlists; } catch (e) { list.replaceChildren(el('p', { class: 'error' }, e.message)); return; }
  if (!files.length) { list.replaceChildren(el('p', { class: 'muted' }, 'No playlists in the media directory yet.')); return; }
  list.replaceChildren(...files.filter((f) => f.name.endsWith('.json')).map((f) => {
    const name = f.name.replace(/\.json$/, '');
    const body = el('div', {}, el('p', { class: 'muted' }, 'Loading…'));
    const msg = el('p', { role: 'status' });
    const run = (repeat) => command('Start Playlist', [name, repeat ? 'true' : 'false'])
      .then(() => { msg.textContent = 'Started'; msg.className = 'ok'; location.hash = '#now'; })
      .catch((e) => { msg.textContent = e.message; msg.className = 'error'; });
    get(`/ui/api/files/playlists/${encodeURIComponent(f.name)}`).then((p) => {
      const parts = [];
      if (p.desc) parts.push(el('p', {}, p.desc));
      for (const [key, title] of [['leadIn', 'Lead-in'], ['mainPlaylist', 'Main'], ['leadOut', 'Lead-out']]) {
        if (Array.isArray(p[key]) && p[key].length) parts.push(el('strong', {}, title), el('ol', {}, p[key].map((e) => el('li', {}, entryText(e)))));
      }
      body.replaceChildren(...(parts.length ? parts : [el('p', { class: 'muted' }, 'Empty playlist')]));
    }).catch((e) => body.replaceChildren(el('p', { class: 'error' }, 'Not readable: ' + e.message)));
    return el('article', { class: 'card' }, el('h3', {}, name), body,
      el('div', { class: 'buttons' },
        el('button', { type: 'button', class: 'primary', onclick: () => run(false), 'aria-label': `Play once: ${name}` }, icon('▶'), 'Play once'),
        el('button', { type: 'button', onclick: () => run(true), 'aria-label': `Repeat: ${name}` }, icon('↻'), 'Repeat'),
        el('button', { type: 'button', class: 'danger', onclick: () => command('Stop Now').catch(() => {}), 'aria-label': 'Stop the playlist' }, icon('■'), 'Stop')),
      msg);
  }));
};

// ---- schedule
function table(t, rows, cols) {
  if (!rows.length) { t.replaceChildren(el('caption', { class: 'muted' }, 'None')); return; }
  cols = cols || [...new Set(rows.flatMap((r) => Object.keys(r)))];
  t.replaceChildren(el('thead', {}, el('tr', {}, cols.map((c) => el('th', { scope: 'col' }, c)))),
    el('tbody', {}, rows.map((r) => el('tr', {}, cols.map((c) => {
      const v = r[c];
      return el('td', { class: typeof v === 'number' ? 'num' : '' }, v === undefined ? '' : typeof v === 'object' ? JSON.stringify(v) : String(v));
    })))));
}
loaders.schedule = async () => {
  try {
    const s = (await get('/lyrd/schedule')).schedule || {};
    $('sc-enabled').textContent = s.enabled === 0 ? 'The scheduler is disabled.' : 'The scheduler is enabled.';
    table($('sc-items'), (s.items || []).map((i) => ({ start: i.startTimeStr, end: i.endTimeStr, command: i.command, args: (i.args || []).join(', '), priority: i.priority })));
    table($('sc-entries'), (s.entries || []).map((e) => ({ id: e.id, enabled: e.enabled, what: e.playlist || e.command, days: e.dayStr, start: e.startTime, end: e.endTime, repeat: e.repeat })));
  } catch (e) { $('sc-enabled').textContent = e.message; $('sc-enabled').className = 'error'; }
};
function initSchedule() {
  $('sc-reload').addEventListener('click', () => act('sc-enabled', () => post('/lyrd/schedule', { command: 'reload' })).then(() => setTimeout(loaders.schedule, 500)));
  $('sc-extend').addEventListener('click', () => act('sc-enabled', () => command('Extend Schedule', [$('sc-extend-s').value])));
}

// ---- files
const FOLDERS = ['sequences', 'music', 'videos', 'playlists', 'scripts', 'effects', 'images'];
loaders.files = async () => {
  let data;
  try { data = await get('/ui/api/files'); } catch (e) { say('up-msg', e.message, 'error'); return; }
  $('fi-space').textContent = `Free space: ${fmtSize(data.free)} · upload limit: ${data.uploadLimit ? fmtSize(data.uploadLimit) : 'none'}`;
  $('fi-list').replaceChildren(...Object.keys(data.folders).map((folder) => {
    const files = data.folders[folder];
    return el('details', { open: files.length > 0 && files.length < 30 },
      el('summary', {}, `${folder} (${files.length})`),
      files.length ? el('div', { class: 'scroll' }, el('table', {},
        el('thead', {}, el('tr', {}, el('th', { scope: 'col' }, 'Name'), el('th', { scope: 'col' }, 'Size'), el('th', { scope: 'col' }, 'Date'), el('th', { scope: 'col' }, 'Actions'))),
        el('tbody', {}, files.map((f) => {
          const url = `/ui/api/files/${folder}/${encodeURIComponent(f.name)}`;
          return el('tr', {}, el('td', {}, f.name), el('td', { class: 'num' }, fmtSize(f.size)), el('td', {}, fmtTime(f.mtime)),
            el('td', {}, el('a', { class: 'btn', href: url, download: f.name, 'aria-label': `Download ${f.name}` }, 'Download'), ' ',
              el('button', { type: 'button', class: 'danger', 'aria-label': `Delete ${f.name}`, onclick: async () => {
                if (!confirm(`Delete ${folder}/${f.name}?`)) return;
                await act('up-msg', () => del(url));
                loaders.files();
              } }, 'Delete')));
        })))) : el('p', { class: 'muted' }, 'Empty'));
  }));
};
function initFiles() {
  $('up-folder').replaceChildren(...FOLDERS.map((f) => el('option', {}, f)));
  $('upload').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const file = $('up-file').files[0];
    if (!file) { say('up-msg', 'Choose a file first.', 'error'); return; }
    const bar = $('up-progress'); bar.hidden = false; bar.value = 0;
    say('up-msg', `Uploading ${file.name}…`);
    try {
      const r = await upload($('up-folder').value, file, (p) => { bar.value = p; });
      bar.value = 1; say('up-msg', `${r.Message} (${fmtSize(r.size)})`, 'ok');
    } catch (e) { say('up-msg', 'Upload failed: ' + e.message, 'error'); }
    loaders.files();
  });
}

// ---- remotes
loaders.remotes = async () => {
  try {
    const s = await get('/lyrd/lockstepSystems');
    table($('re-systems'), (s.systems || []).map((x) => ({ host: x.hostname, address: x.address, mode: x.mode || x.lyrModeString, version: x.version, model: x.model, seen: x.lastSeenStr || x.lastSeen })));
  } catch (e) { $('re-systems').replaceChildren(el('caption', { class: 'error' }, e.message)); }
  try {
    const st = await get('/lyrd/lockstepStats');
    table($('re-stats'), (st.systems || []).map((x) => { const o = {}; for (const [k, v] of Object.entries(x)) if (typeof v !== 'object') o[k] = v; return o; }));
  } catch (e) { $('re-stats').replaceChildren(el('caption', { class: 'error' }, e.message)); }
};

// ---- outputs, live channels, tester
let live;
let modelTimer = null;
loaders.outputs = async () => {
  try {
    const o = await get('/ui/api/outputs');
    $('ou-enabled').textContent = o.enabled ? 'enabled' : 'disabled';
    $('ou-ranges').textContent = o.ranges || 'none';
    $('ou-configs').replaceChildren(...Object.entries(o.configs).map(([file, cfg]) => el('details', {}, el('summary', {}, file),
      el('pre', {}, JSON.stringify(cfg, null, 1)))));
  } catch (e) { $('ou-ranges').textContent = e.message; }
  try {
    const models = await get('/overlays/models');
    const sel = $('ch-model'); const keep = sel.value;
    sel.replaceChildren(el('option', { value: '' }, '(none)'), ...(models || []).map((m) => el('option', {}, m.Name || m.name)));
    sel.value = keep;
  } catch { /* no overlay models */ }
  watchChannels();
};
function watchChannels() {
  const visible = !$('outputs').hidden;
  const a = Math.max(1, +$('ch-start').value || 1), b = Math.max(a, +$('ch-end').value || a);
  live.setChannels(visible && !$('ch-model').value ? `${a}-${Math.min(b, a + 4095)}` : '');
  clearInterval(modelTimer);
  $('ch-canvas').hidden = !$('ch-model').value;
  $('ch-grid').hidden = !!$('ch-model').value;
  if (visible && $('ch-model').value) { drawModel(); modelTimer = setInterval(drawModel, 500); }
}
async function drawModel() {
  const name = $('ch-model').value;
  try {
    const [info, d] = await Promise.all([get(`/overlays/model/${encodeURIComponent(name)}`), get(`/overlays/model/${encodeURIComponent(name)}/data`)]);
    const w = info.width || 1, h = info.height || 1, c = $('ch-canvas');
    c.width = w; c.height = h;
    const img = c.getContext('2d').createImageData(w, h);
    const data = d.data || [];
    for (let i = 0; i < w * h; i++) {
      img.data[i * 4] = data[i * 3] || 0; img.data[i * 4 + 1] = data[i * 3 + 1] || 0; img.data[i * 4 + 2] = data[i * 3 + 2] || 0; img.data[i * 4 + 3] = 255;
    }
    c.getContext('2d').putImageData(img, 0, 0);
  } catch { clearInterval(modelTimer); }
}
function renderChannels(v) {
  const g = $('ch-grid');
  if (g.childElementCount !== v.values.length || +g.dataset.start !== v.start) {
    g.dataset.start = v.start;
    g.replaceChildren(...v.values.map((_, i) => el('div', {}, el('b', {}, v.start + i), el('span'))));
  }
  v.values.forEach((x, i) => { g.children[i].lastChild.textContent = x; });
}
function initOutputs() {
  $('ou-enable').addEventListener('click', () => post('/lyrd/outputs', { command: 'enable' }).then(loaders.outputs));
  $('ou-disable').addEventListener('click', () => post('/lyrd/outputs', { command: 'disable' }).then(loaders.outputs));
  $('ch-form').addEventListener('submit', (e) => { e.preventDefault(); watchChannels(); });
  $('ch-model').addEventListener('change', watchChannels);
  $('test-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const c = $('t-color').value;
    act('t-msg', () => post('/lyrd/testing', { enabled: 1, mode: $('t-mode').value, channelSet: $('t-set').value,
      colorR: parseInt(c.slice(1, 3), 16), colorG: parseInt(c.slice(3, 5), 16), colorB: parseInt(c.slice(5, 7), 16), chaseValue: 255, chaseSize: 3, cycleMS: 1000 }), 'Test running');
  });
  $('t-stop').addEventListener('click', () => act('t-msg', () => post('/lyrd/testing', { enabled: 0 }), 'Test stopped'));
}

// ---- overlays
const STATES = ['Disabled', 'Enabled', 'Transparent', 'TransparentRGB'];
loaders.overlays = async () => {
  let models;
  try { models = await get('/overlays/models'); } catch (e) { $('ov-list').replaceChildren(el('p', { class: 'error' }, e.message)); return; }
  const fonts = await get('/overlays/fonts').catch(() => []);
  if (!models || !models.length) { $('ov-list').replaceChildren(el('p', { class: 'muted' }, 'No overlay models configured.')); return; }
  $('ov-list').replaceChildren(...models.map((m) => {
    const name = m.Name || m.name;
    const msg = el('p', { role: 'status' });
    const run = (cmd, args) => command(cmd, args).then((r) => { msg.textContent = typeof r === 'string' ? r : 'Done'; msg.className = 'ok'; })
      .catch((e) => { msg.textContent = e.message; msg.className = 'error'; });
    const state = el('select', { 'aria-label': `State of ${name}`, onchange: (e) => run('Overlay Model State', [name, e.target.value]) },
      STATES.map((s, i) => el('option', { value: s, selected: i === m.isActive }, s)));
    const color = el('input', { type: 'color', value: '#ff0000', 'aria-label': `Fill colour of ${name}` });
    const text = el('input', { type: 'text', placeholder: 'Text', 'aria-label': `Text for ${name}` });
    return el('article', { class: 'card' }, el('h3', {}, name),
      el('p', { class: 'muted' }, `${m.width}×${m.height}${m.effectRunning ? ' · effect ' + (m.effectName || '') : ''}`),
      el('div', { class: 'row' }, el('label', {}, 'State', state)),
      el('div', { class: 'row' }, color, el('button', { type: 'button', onclick: () => run('Overlay Model Fill', [name, 'Enabled', color.value]).then(() => { state.value = 'Enabled'; }) }, 'Fill'),
        el('button', { type: 'button', onclick: () => run('Overlay Model Clear', [name]) }, 'Clear')),
      el('div', { class: 'row' }, text, el('button', { type: 'button', onclick: () =>
        run('Overlay Model Text', [name, color.value, fonts[0] || 'DejaVuSans', String(Math.max(4, Math.min(18, m.height || 8))), 'false', 'Right to Left', '10', 'true', text.value]) }, 'Show text')),
      msg);
  }));
};

// ---- log
const logLines = [];
function addLog(line) {
  logLines.push(line);
  if (logLines.length > 2000) logLines.splice(0, logLines.length - 2000);
  const f = $('lo-filter').value;
  if (f && !line.toLowerCase().includes(f.toLowerCase())) return;
  const pre = $('lo-text');
  pre.append(line + '\n');
  if (pre.childNodes.length > 2000) pre.firstChild.remove();
  if ($('lo-follow').checked) pre.scrollTop = pre.scrollHeight;
}
function initLog() {
  $('lo-filter').addEventListener('input', () => {
    const f = $('lo-filter').value.toLowerCase();
    $('lo-text').textContent = logLines.filter((l) => !f || l.toLowerCase().includes(f)).join('\n') + '\n';
  });
}

// ---- settings
let schema = {}, current = {};
function checkValue(d, v) {
  if (v.length > 1024) return 'longer than 1024 characters';
  if (v.includes('=')) return "'=' cannot be stored in a setting";
  if (/^"|"$/.test(v)) return 'cannot start or end with a quote';
  if (d.type === 'checkbox' && v !== '0' && v !== '1') return 'must be 0 or 1';
  if (d.type === 'number') {
    if (!/^-?\d+(\.\d+)?$/.test(v)) return 'must be a number';
    if (d.min !== undefined && +v < +d.min) return 'must be at least ' + d.min;
    if (d.max !== undefined && +v > +d.max) return 'must be at most ' + d.max;
  }
  if (d.type === 'select' && !(Array.isArray(d.options) ? d.options : Object.values(d.options || {})).map(String).includes(v)) return 'must be one of the listed choices';
  return '';
}
function fieldValue(name) {
  const i = $('set-' + name);
  return i.type === 'checkbox' ? (i.checked ? '1' : '0') : i.value;
}
loaders.settings = async () => {
  let s;
  try { s = await get('/ui/api/settings'); } catch (e) { say('se-msg', e.message, 'error'); return; }
  schema = s.settings; current = s.values;
  $('se-fields').replaceChildren(...Object.entries(schema).map(([name, d]) => {
    const id = 'set-' + name, v = current[name] ?? '';
    let input;
    if (d.type === 'checkbox') input = el('input', { id, type: 'checkbox', checked: v === '1' });
    else if (d.type === 'select') {
      const opts = Array.isArray(d.options) ? d.options.map((o) => [o, o]) : Object.entries(d.options || {}).map(([k, o]) => [o, k]);
      input = el('select', { id }, (opts.some(([o]) => String(o) === v) ? [] : [el('option', { value: v }, v === '' ? '(not set)' : v)]),
        opts.map(([o, label]) => el('option', { value: o, selected: String(o) === v }, label)));
    } else if ((s.secret || []).includes(name)) {
      input = el('input', { id, type: 'password', autocomplete: 'off', value: v, 'aria-describedby': id + '-d' });
    } else input = el('input', { id, type: 'text', inputmode: d.type === 'number' ? 'decimal' : undefined, value: v, 'aria-describedby': id + '-d' });
    return el('div', { class: 'field', 'data-name': name.toLowerCase() + ' ' + (d.description || '').toLowerCase() },
      el('label', { for: id }, name, ' ', d.live ? null : el('span', { class: 'tag' }, 'restart')),
      input,
      el('p', { id: id + '-d' }, d.description || '', d.default !== undefined ? ` Default: ${d.default === '' ? '(empty)' : d.default}.` : ''),
      el('p', { class: 'error', id: id + '-e', role: 'alert' }));
  }));
};
function initSettings() {
  $('se-find').addEventListener('input', () => {
    const q = $('se-find').value.toLowerCase();
    for (const f of document.querySelectorAll('#se-fields .field')) f.hidden = q && !f.dataset.name.includes(q);
  });
  $('se-form').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const values = {}; let bad = 0;
    for (const name of Object.keys(schema)) {
      const v = fieldValue(name), err = $('set-' + name + '-e');
      if (v === (current[name] ?? '')) { err.textContent = ''; continue; }
      const why = checkValue(schema[name], v);
      err.textContent = why ? `${name} ${why}` : '';
      if (why) bad++; else values[name] = v;
    }
    if (bad) { say('se-msg', `Not saved: ${bad} value(s) need fixing (see the red notes).`, 'error'); return; }
    if (!Object.keys(values).length) { say('se-msg', 'Nothing changed.'); return; }
    try {
      const r = await post('/ui/api/settings', { values });
      Object.assign(current, values);
      say('se-msg', r.restart && r.restart.length ? `Saved. Restart lyrd for ${r.restart.join(', ')} to take effect.` : 'Saved; in effect now.', 'ok');
    } catch (e) {
      for (const [n, why] of Object.entries((e.body && e.body.errors) || {})) { const x = $('set-' + n + '-e'); if (x) x.textContent = `${n} ${why}`; }
      say('se-msg', 'Not saved: ' + e.message, 'error');
    }
  });
}

// ---- access control
async function checkAccess() {
  let auth;
  try { auth = await (await fetch('/ui/api/auth', { credentials: 'same-origin' })).json(); } catch { auth = null; }
  if (!auth || auth.required === false) { $('se-access').textContent = 'no access control set'; return; }
  $('se-access').textContent = 'token required';
  if (!auth.authorized) login();
}
function login() {
  const d = $('login');
  if (d.open) return;
  d.showModal();
}
function initLogin() {
  setUnauthorizedHandler(login);
  $('login-form').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const res = await fetch('/ui/api/login', { method: 'POST', credentials: 'same-origin', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ token: $('login-token').value }) }).catch(() => null);
    if (res && res.ok) { $('login').close(); $('login-msg').textContent = ''; live.open(); show(); }
    else $('login-msg').textContent = res ? (res.status === 401 ? 'That token is not right.' : `Login failed (${res.status})`) : 'The board does not answer.';
  });
}

// ---- theme
function initTheme() {
  const saved = localStorage.getItem('lyrd-theme');
  if (saved) document.documentElement.dataset.theme = saved;
  $('theme').addEventListener('click', () => {
    const dark = document.documentElement.dataset.theme ? document.documentElement.dataset.theme === 'dark' : matchMedia('(prefers-color-scheme: dark)').matches;
    document.documentElement.dataset.theme = dark ? 'light' : 'dark';
    localStorage.setItem('lyrd-theme', document.documentElement.dataset.theme);
  });
}

initTheme(); initNow(); initSchedule(); initFiles(); initOutputs(); initLog(); initSettings(); initLogin();
live = new Live({ status: renderStatus, log: addLog, channels: renderChannels, state: connState });
window.addEventListener('hashchange', () => { show(); if (location.hash !== '#outputs') watchChannels(); });
show();
checkAccess();
