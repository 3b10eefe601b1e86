// An sACN source for the system tests and benchmarks, built on the npm
// `sacn` package's Sender (tests/js/node_modules): one CID and source name,
// any number of universes, sent `rate` times a second for `seconds`.
//
//   node sacn_sender.js '{"cid": "<32 hex>", "name": "desk", "dest": "10.0.0.2",
//     "rate": 40, "seconds": 2, "counter": false,
//     "universes": [{"universe": 1, "priority": 100, "payload": {"1": 255}}]}'
//
// "counter": true puts the frame number (big-endian) in channels 1-4 of
// every universe.  Prints {"first": ns, "last": ns, "frames": n} at the end,
// times on the monotonic clock (as Python's time.monotonic_ns reads it).
const path = require("path");
const { Sender } = require(path.join(__dirname, "..", "js", "node_modules", "sacn"));

const cfg = JSON.parse(process.argv[2]);
const cid = Buffer.from(cfg.cid, "hex");
const senders = cfg.universes.map((u) => ({
  u,
  s: new Sender({
    universe: u.universe,
    reuseAddr: true,
    useUnicastDestination: cfg.dest,
    iface: cfg.iface,
    defaultPacketOptions: { cid, sourceName: cfg.name, priority: u.priority || 100, useRawDmxValues: true },
  }),
}));

const period = 1000 / (cfg.rate || 40);
const end = Number(process.hrtime.bigint()) + cfg.seconds * 1e9;
let frame = 0;
let first = 0;
let last = 0;

async function tick() {
  const payload = (u) => {
    const p = Object.assign({}, u.payload || {});
    if (cfg.counter) {
      p[1] = (frame >>> 24) & 255;
      p[2] = (frame >>> 16) & 255;
      p[3] = (frame >>> 8) & 255;
      p[4] = frame & 255;
    }
    return p;
  };
  const now = Number(process.hrtime.bigint());
  if (!first) first = now;
  await Promise.all(senders.map(({ u, s }) => s.send({ payload: payload(u) })));
  last = Number(process.hrtime.bigint());
  frame++;
}

const start = Number(process.hrtime.bigint());
function loop() {
  if (Number(process.hrtime.bigint()) >= end) {
    senders.forEach(({ s }) => s.close());
    process.stdout.write(JSON.stringify({ first, last, frames: frame }) + "\n");
    return;
  }
  tick().then(() => {
    const next = start + frame * period * 1e6;
    setTimeout(loop, Math.max(0, (next - Number(process.hrtime.bigint())) / 1e6));
  });
}
loop();
