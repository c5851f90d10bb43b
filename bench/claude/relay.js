// The relay written in Node.js, as a baseline for parley-hook's start-up
// cost: same job (stdin JSON object, tmux keys added, one line to the hook
// socket, exit 0 whatever happens, give up after 2 seconds).
'use strict';
const net = require('net');
const path = require('path');
const os = require('os');

setTimeout(() => process.exit(0), 2000).unref();

function socketPath() {
  if (process.env.PARLEY_SOCKET !== undefined) return process.env.PARLEY_SOCKET;
  const xdg = process.env.XDG_DATA_HOME;
  const data = xdg && xdg.startsWith('/') ? xdg : path.join(os.homedir(), '.local', 'share');
  return path.join(data, 'parley', 'hook.sock');
}

const chunks = [];
process.stdin.on('data', (chunk) => chunks.push(chunk));
process.stdin.on('end', () => {
  let event;
  try {
    event = JSON.parse(Buffer.concat(chunks).toString('utf8'));
  } catch {
    process.exit(0);
  }
  if (event === null || typeof event !== 'object' || Array.isArray(event)) process.exit(0);
  if (process.env.TMUX_PANE !== undefined) event.tmux_pane = process.env.TMUX_PANE;
  if (process.env.TMUX !== undefined) event.tmux_env = process.env.TMUX;
  const socket = net.createConnection(socketPath(), () => {
    socket.end(JSON.stringify(event) + '\n', () => process.exit(0));
  });
  socket.on('error', () => process.exit(0));
});
