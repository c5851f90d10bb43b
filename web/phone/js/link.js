// The connection to one desktop: its pairing token, the WebSocket to it
// (the page's own origin, or another desktop of its tailnet), hello with
// resume, keep-alive and reconnects.
// The link state it reports is the truth: "connected" only while answers
// to our pings keep arriving.

const TOKEN_KEY = 'parley.token';
const DEVICE_KEY = 'parley.deviceID';
const SEQ_KEY = 'parley.lastSeq';
const APP_VERSION = 'web-1';

const PING_EVERY_MS = 4000;
const PONG_WITHIN_MS = 3500;
// A desktop that is off or unreachable may leave a socket opening for
// minutes; past this it counts as down and is tried again.
const GREETED_WITHIN_MS = 10000;
const BACKOFF_MS = [500, 1000, 2000, 4000, 8000, 15000];

// "2025-01-31T09:15:00Z": whole seconds, as the desktop reads dates.
export function wireDate(date = new Date()) {
  return date.toISOString().replace(/\.\d+Z$/, 'Z');
}

export function newID() {
  return crypto.randomUUID
    ? crypto.randomUUID().toUpperCase()
    : Array.from(crypto.getRandomValues(new Uint8Array(16)), (b) =>
        b.toString(16).padStart(2, '0'),
      ).join('');
}

// The pairing offer from "#pair=<URL-safe Base64 of the offer's JSON>",
// or null. Throws with a readable reason when the fragment is damaged.
export function readPairingFragment(hash) {
  const match = /^#pair=([A-Za-z0-9_-]+)$/.exec(hash);
  if (!match) return null;
  let base64 = match[1].replace(/-/g, '+').replace(/_/g, '/');
  base64 += '='.repeat((4 - (base64.length % 4)) % 4);
  const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
  const offer = JSON.parse(new TextDecoder().decode(bytes));
  if (typeof offer.token !== 'string' || !offer.token)
    throw new Error('the pairing link has no token');
  return offer;
}

// The address of the desktop at `host`: the page's own origin keeps its
// scheme (plain ws: on loopback); any other desktop is reached over wss:.
export function socketURL(host, here = location) {
  if (host === here.host) return `${here.protocol === 'https:' ? 'wss:' : 'ws:'}//${host}/`;
  return `wss://${host}/`;
}

export class Link {
  constructor(storage, url) {
    this.storage = storage;
    this.url = url;
    this.socket = null;
    this.state = 'offline';
    this.detail = '';
    this.attempt = 0;
    this.onMessage = () => {};
    this.onState = () => {};
    this.timers = {};
    this.outbox = [];
  }

  get token() {
    return this.storage.getItem(TOKEN_KEY);
  }
  get deviceID() {
    let id = this.storage.getItem(DEVICE_KEY);
    if (!id) {
      id = newID();
      this.storage.setItem(DEVICE_KEY, id);
    }
    return id;
  }
  get lastSeq() {
    const text = this.storage.getItem(SEQ_KEY);
    return text === null ? null : Number(text);
  }
  set lastSeq(seq) {
    if (seq === null) this.storage.removeItem(SEQ_KEY);
    else this.storage.setItem(SEQ_KEY, String(seq));
  }

  // Keeps the token of a new pairing; a different computer's history is not ours.
  pair(offer) {
    if (offer.token !== this.token) this.lastSeq = null;
    this.storage.setItem(TOKEN_KEY, offer.token);
  }

  setState(state, detail = '') {
    this.state = state;
    this.detail = detail;
    this.onState(state, detail);
  }

  connect() {
    this.clearTimers();
    if (this.socket) this.drop(this.socket);
    if (!this.token) {
      this.setState('unpaired', 'This phone is not paired.');
      return;
    }
    let socket;
    try {
      socket = new WebSocket(this.url);
    } catch {
      // A desktop this page may not reach must not stop the others.
      this.scheduleReconnect();
      return;
    }
    this.socket = socket;
    this.timers.greeted = setTimeout(() => this.declareDead(socket), GREETED_WITHIN_MS);
    this.setState(this.attempt ? 'reconnecting' : 'connecting', 'Connecting…');
    this.authenticated = false;
    socket.onopen = () => {
      const hello = { token: this.token, deviceID: this.deviceID, appVersion: APP_VERSION };
      if (this.lastSeq !== null) hello.lastSeq = this.lastSeq;
      this.sendNow('hello', hello);
      this.armPing();
    };
    socket.onmessage = (event) => this.receive(socket, event.data);
    socket.onclose = (event) => this.closed(socket, event.code);
    socket.onerror = () => {};
  }

  // Reconnect at once, forgetting the back-off (the person asked, or the
  // network came back).
  reconnectNow() {
    this.attempt = 0;
    this.connect();
  }

  receive(socket, text) {
    if (socket !== this.socket) return;
    this.lastHeard = Date.now();
    let envelope;
    try {
      envelope = JSON.parse(text);
    } catch {
      return;
    }
    // The hello_ack says where the stream resumes: what it missed follows,
    // at the pace we read, so a connection lost halfway resumes from there.
    // Every other envelope carries the seq of the last numbered one up to it.
    if (envelope.type === 'hello_ack') {
      if (typeof envelope.payload?.resumedFromSeq === 'number')
        this.lastSeq = envelope.payload.resumedFromSeq;
    } else if (typeof envelope.seq === 'number' && envelope.seq > 0) {
      this.lastSeq = envelope.seq;
    }
    if (envelope.type === 'pong') {
      clearTimeout(this.timers.pong);
      return;
    }
    if (envelope.type === 'hello_ack') {
      clearTimeout(this.timers.greeted);
      this.authenticated = true;
      this.attempt = 0;
      this.setState('connected', 'Connected');
      const queued = this.outbox.splice(0);
      for (const [type, payload] of queued) this.sendNow(type, payload);
    }
    this.onMessage(envelope);
  }

  closed(socket, code) {
    if (socket !== this.socket) return;
    this.socket = null;
    this.clearTimers();
    if (code === 4401) {
      this.storage.removeItem(TOKEN_KEY);
      this.lastSeq = null;
      this.setState(
        'unpaired',
        'The computer no longer knows this phone: pair it again with `parley pair`.',
      );
      return;
    }
    if (code === 4409) {
      this.setState('replaced', 'Another phone took over the connection.');
      return;
    }
    this.scheduleReconnect();
  }

  scheduleReconnect() {
    const delay = BACKOFF_MS[Math.min(this.attempt, BACKOFF_MS.length - 1)];
    this.attempt += 1;
    const until = Date.now() + delay;
    const tick = () => {
      const left = Math.ceil((until - Date.now()) / 1000);
      this.setState(
        navigator.onLine === false ? 'offline' : 'reconnecting',
        navigator.onLine === false ? 'Offline: no network' : `Reconnecting in ${left} s`,
      );
    };
    tick();
    this.timers.countdown = setInterval(tick, 1000);
    this.timers.retry = setTimeout(() => this.connect(), delay);
  }

  // A ping every few seconds; no pong in time means the connection is dead
  // even if the browser has not noticed (a phone that slept, a new network).
  armPing() {
    clearInterval(this.timers.ping);
    this.timers.ping = setInterval(() => {
      if (!this.socket || !this.authenticated || this.socket.readyState !== WebSocket.OPEN) return;
      this.sendNow('ping', { nonce: newID() });
      clearTimeout(this.timers.pong);
      const socket = this.socket;
      this.timers.pong = setTimeout(() => this.declareDead(socket), PONG_WITHIN_MS);
    }, PING_EVERY_MS);
  }

  declareDead(socket) {
    if (socket !== this.socket) return;
    this.drop(socket);
    this.socket = null;
    this.clearTimers();
    this.scheduleReconnect();
  }

  drop(socket) {
    socket.onopen = socket.onmessage = socket.onclose = null;
    try {
      socket.close(1000);
    } catch {
      /* already closed */
    }
  }

  clearTimers() {
    clearInterval(this.timers.ping);
    clearInterval(this.timers.countdown);
    clearTimeout(this.timers.pong);
    clearTimeout(this.timers.retry);
    clearTimeout(this.timers.greeted);
    this.timers = {};
  }

  sendNow(type, payload) {
    this.socket.send(JSON.stringify({ v: 1, ts: wireDate(), type, payload }));
  }

  // Sends once authenticated; returns whether it went now. Commands made
  // while reconnecting wait (each carries its own id, so the desktop
  // ignores a repeat).
  send(type, payload) {
    if (this.socket && this.authenticated && this.socket.readyState === WebSocket.OPEN) {
      this.sendNow(type, payload);
      return true;
    }
    this.outbox.push([type, payload]);
    return false;
  }
}
