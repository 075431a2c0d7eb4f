// Node's ws client against a running WebSocketServer: node crosscheck.mjs URL HEX...
// Sends each frame given in hex as one binary message, the n-th cut into n % 3 + 1
// fragments, waits for one reply per frame, then closes with 1000. Prints one JSON line:
// {"replies": [hex...], "closeCode": N, "pong": "hex"}.
import WebSocket from 'ws';

const [url, ...frames] = process.argv.slice(2);
const target = url.replace(/^http:/, 'ws:').replace(/\/#k=/, '/ws?k=');
const ws = new WebSocket(target);
const replies = [];
let pong = null;

const fail = (why) => {
  console.error(why);
  process.exit(1);
};
setTimeout(() => fail('timed out'), 10000).unref();

ws.on('error', (e) => fail(`error: ${e.message}`));
ws.on('pong', (data) => {
  pong = data.toString('hex');
});
ws.on('message', (data, isBinary) => {
  if (!isBinary) fail('a text message');
  replies.push(Buffer.from(data).toString('hex'));
  if (replies.length === frames.length) ws.ping(Buffer.from('node'));
});
ws.on('pong', () => ws.close(1000));
ws.on('close', (code) => {
  console.log(JSON.stringify({replies, closeCode: code, pong}));
  process.exit(0);
});
ws.on('open', () => {
  frames.forEach((hex, n) => {
    const bytes = Buffer.from(hex, 'hex');
    const parts = (n % 3) + 1;
    for (let i = 0; i < parts; i++) {
      const part = bytes.subarray(Math.floor((bytes.length * i) / parts),
                                  Math.floor((bytes.length * (i + 1)) / parts));
      ws.send(part, {binary: true, fin: i === parts - 1});
    }
  });
});
