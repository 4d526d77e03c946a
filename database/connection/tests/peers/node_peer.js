// Web-socket peer on Node's ws (Debian's node-ws) for the client tests.
//
// Listens on 127.0.0.1 (a free port, printed as "PORT <n>"), sends every
// message back, and understands the same text commands as the local back
// end's echo endpoint:
//   "!fragments:<ping payload>:<text>"  <text> in three frames, a ping after the first
//   "!pongs"                            "pongs:" and the payloads of the pongs received
//   "!close:<code>:<reason>"            close with that code and reason
// Each finished connection prints "CLOSED <code>" (the code the client sent).
'use strict';

let ws;
try {
  ws = require('ws');
} catch (e) {
  ws = require('/usr/share/nodejs/ws');
}

const server = new ws.WebSocketServer({ host: '127.0.0.1', port: 0, maxPayload: 256 * 1024 * 1024 });
server.on('listening', () => {
  process.stdout.write(`PORT ${server.address().port}\n`);
});
server.on('connection', (socket) => {
  const pongs = [];
  socket.on('pong', (data) => pongs.push(data.toString('utf8')));
  socket.on('message', (data, isBinary) => {
    const text = isBinary ? null : data.toString('utf8');
    if (text !== null && text.startsWith('!fragments:')) {
      const rest = text.slice('!fragments:'.length);
      const colon = rest.indexOf(':');
      const ping = rest.slice(0, colon);
      const body = Buffer.from(rest.slice(colon + 1), 'utf8');
      const third = Math.floor(body.length / 3);
      socket.send(body.subarray(0, third), { binary: false, fin: false });
      socket.ping(ping);
      socket.send(body.subarray(third, 2 * third), { binary: false, fin: false });
      socket.send(body.subarray(2 * third), { binary: false, fin: true });
    } else if (text === '!pongs') {
      socket.send('pongs:' + pongs.join(','));
    } else if (text !== null && text.startsWith('!close:')) {
      const rest = text.slice('!close:'.length);
      const colon = rest.indexOf(':');
      socket.close(parseInt(rest.slice(0, colon), 10), rest.slice(colon + 1));
    } else {
      socket.send(data, { binary: isBinary });
    }
  });
  socket.on('close', (code) => process.stdout.write(`CLOSED ${code}\n`));
});
process.on('SIGTERM', () => process.exit(0));
