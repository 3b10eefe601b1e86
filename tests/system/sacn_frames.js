// Numbered, fully patterned sACN frames from the npm `sacn` Sender
// (tests/js/node_modules), with the time each one left, for the recording
// tests and benchmark:
//
//   node sacn_frames.js '{"cid": "<32 hex>", "dest": "10.0.0.2", "universes": [1, 2],
//     "frames": 40, "periodMS": 25, "startNS": 0, "minGapMS": 0}'
//
// Frame k (from 1) of universe u: channels 1-4 hold k big-endian, channel c
// (5-512) holds (7k + c + 31u) & 255 (0 with "counterOnly": true).  Frame k is due at startNS (monotonic
// ns as Python's time.monotonic_ns reads it; 0: now) + (k - 1) * periodMS;
// the last stretch before it is spun, not slept, so it leaves within a few
// microseconds.  minGapMS > 0 also keeps at least that much time after the
// previous frame, so a stall never sends two frames back to back.
// Prints {"sent": [...], "done": [...]} when done: the monotonic ns just
// before each frame was handed to the Sender and just after its last
// datagram left, so frame k went out between sent[k-1] and done[k-1].
const path = require("path");
const { Sender } = require(path.join(__dirname, "..", "js", "node_modules", "sacn"));

const cfg = JSON.parse(process.argv[2]);
const cid = Buffer.from(cfg.cid, "hex");
const now = () => process.hrtime.bigint();
const senders = cfg.universes.map((u) => ({
  u,
  s: new Sender({
    universe: u,
    useUnicastDestination: cfg.dest,
    defaultPacketOptions: { cid, sourceName: "recording test", priority: 100, useRawDmxValues: true },
  }),
}));

// A plain {channel: value} object: the Sender reads a Buffer payload as
// percentages, even with useRawDmxValues.
function frameData(k, u) {
  const p = { 1: (k >>> 24) & 255, 2: (k >>> 16) & 255, 3: (k >>> 8) & 255, 4: k & 255 };
  if (!cfg.counterOnly) for (let c = 5; c <= 512; c++) p[c] = (7 * k + c + 31 * u) & 255;
  return p;
}

const period = BigInt(Math.round(cfg.periodMS * 1e6));
const minGap = BigInt(Math.round((cfg.minGapMS || 0) * 1e6));
const start = cfg.startNS ? BigInt(cfg.startNS) : now();
const sent = [];
const done = [];

function sleepMS(ms) {
  return new Promise((r) => setTimeout(r, ms));
}

async function main() {
  let prev = 0n;
  for (let k = 1; k <= cfg.frames; k++) {
    let due = start + BigInt(k - 1) * period;
    if (minGap > 0n && prev > 0n && due < prev + minGap) due = prev + minGap;
    const payloads = senders.map(({ u }) => frameData(k, u));
    for (;;) {
      const left = Number(due - now()) / 1e6;
      if (left <= 2) break;
      await sleepMS(left - 2);
    }
    while (now() < due) {}
    prev = now();
    sent.push(prev.toString());
    await Promise.all(senders.map(({ s }, i) => s.send({ payload: payloads[i] })));
    done.push(now().toString());
  }
  senders.forEach(({ s }) => s.close());
  process.stdout.write(JSON.stringify({ sent: sent.map(Number), done: done.map(Number) }) + "\n");
}
main();
