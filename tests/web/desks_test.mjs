// The phone page's desktops, in Node without a browser: each desktop's
// credentials under its own keys (and a page from before several desktops
// keeping its pairing), which desktops an offer and the page may reach, and
// every command going to the desktop that lists its session, with a
// revoked desktop leaving while the other carries on.

import assert from 'node:assert/strict';
import { pathToFileURL } from 'node:url';

const web = process.argv[2];
const load = (name) => import(pathToFileURL(`${web}/js/${name}`).href);
const { DeskStore, offerHost, reachable } = await load('desk_store.js');
const { Desks } = await load('desks.js');
const { socketURL } = await load('link.js');
const { summarize } = await load('desk_view.js');

class MemoryStorage {
  constructor(entries = {}) {
    this.map = new Map(Object.entries(entries));
  }
  getItem(key) {
    return this.map.has(key) ? this.map.get(key) : null;
  }
  setItem(key, value) {
    this.map.set(key, String(value));
  }
  removeItem(key) {
    this.map.delete(key);
  }
}

const own = 'desk.tail1234.ts.net';
const laptop = 'laptop.tail1234.ts.net';

// A page paired before several desktops keeps its pairing, now under the
// key of the desktop that served it.
{
  const storage = new MemoryStorage({
    'parley.token': 'T-OLD',
    'parley.deviceID': 'DEV',
    'parley.lastSeq': '41',
    'parley.speak': '1',
  });
  const store = new DeskStore(storage, own);
  assert.deepEqual(store.hosts(), [own]);
  assert.deepEqual([...storage.map.keys()].sort(), [
    'parley.desk.desk.tail1234.ts.net.deviceID',
    'parley.desk.desk.tail1234.ts.net.lastSeq',
    'parley.desk.desk.tail1234.ts.net.token',
    'parley.desks',
    'parley.speak',
  ]);
  assert.equal(store.scoped(own).getItem('parley.token'), 'T-OLD');
  // Migrating again finds nothing to move and loses nothing.
  new DeskStore(storage, own);
  assert.equal(store.scoped(own).getItem('parley.lastSeq'), '41');
}

// Which desktop an offer pairs: the serving one first, then the one named.
// The page reaches only its own tailnet's machines.
{
  const store = new DeskStore(new MemoryStorage(), own);
  assert.equal(store.hostFor({ token: 't', host: 'anything.example' }), own);
  store.add(own);
  assert.equal(store.hostFor({ token: 't', host: 'Laptop.tail1234.ts.net', port: 443 }), laptop);
  assert.equal(
    offerHost({ host: 'box.tail1234.ts.net', port: 8443 }, own),
    'box.tail1234.ts.net:8443',
  );
  assert.equal(offerHost({}, own), own);
  assert.ok(reachable(laptop, own));
  assert.ok(!reachable('laptop.tail9999.ts.net', own));
  assert.ok(!reachable('box.tail1234.ts.net:8443', own));
  assert.ok(!reachable('evil.example', own));
  assert.ok(reachable('127.0.0.1:9000', '127.0.0.1:9000'));
  assert.ok(!reachable('127.0.0.1:9001', '127.0.0.1:9000'));
  const here = { host: '127.0.0.1:9000', protocol: 'http:' };
  assert.equal(socketURL('127.0.0.1:9000', here), 'ws://127.0.0.1:9000/');
  assert.equal(socketURL(laptop, { host: own, protocol: 'https:' }), `wss://${laptop}/`);
}

// A link that records what it is given instead of opening a socket.
class FakeLink {
  constructor(storage) {
    this.storage = storage;
    this.state = 'offline';
    this.detail = '';
    this.sent = [];
    this.onMessage = () => {};
    this.onState = () => {};
  }
  pair(offer) {
    this.storage.setItem('parley.token', offer.token);
  }
  reconnectNow() {
    this.setState('connecting', 'Connecting…');
  }
  connect() {
    this.reconnectNow();
  }
  clearTimers() {}
  setState(state, detail) {
    this.state = state;
    this.detail = detail;
    this.onState(state, detail);
  }
  send(type, payload) {
    this.sent.push([type, payload]);
    return this.state === 'connected';
  }
  hello(sessions) {
    this.setState('connected', 'Connected');
    this.onMessage({ type: 'hello_ack', payload: { sessions } });
  }
}

{
  const storage = new MemoryStorage();
  const store = new DeskStore(storage, own);
  const desks = new Desks(store, (host) => new FakeLink(store.scoped(host)));
  const gone = [];
  desks.onGone = (desk, reason) => gone.push([desk.host, reason]);
  const a = desks.pair({ token: 'TA' }, store.hostFor({ token: 'TA' }));
  const b = desks.pair({ token: 'TB', host: laptop }, store.hostFor({ token: 'TB', host: laptop }));
  assert.deepEqual(store.hosts(), [own, laptop]);
  a.link.hello([{ sessionID: 'SA' }]);
  b.link.hello([{ sessionID: 'SB1' }, { sessionID: 'SB2' }]);
  assert.deepEqual(
    desks.sessions().map((s) => s.sessionID),
    ['SA', 'SB1', 'SB2'],
  );

  assert.ok(desks.send('SB2', 'submit_prompt', { sessionID: 'SB2', text: 'hi' }));
  assert.ok(desks.send('SA', 'interrupt', { sessionID: 'SA' }));
  assert.deepEqual(b.link.sent, [['submit_prompt', { sessionID: 'SB2', text: 'hi' }]]);
  assert.deepEqual(a.link.sent, [['interrupt', { sessionID: 'SA' }]]);
  assert.equal(desks.send('S-UNKNOWN', 'interrupt', {}), false);

  // The bar names the desktop that is not connected; all connected, it
  // says so once.
  assert.equal(summarize(desks.list, null).text, 'Connected');
  b.link.setState('reconnecting', 'Reconnecting in 2 s');
  assert.deepEqual(
    [summarize(desks.list, null).text, summarize(desks.list, null).reconnect],
    ['laptop: Reconnecting in 2 s', true],
  );
  assert.equal(summarize(desks.list, a).text, 'Connected');

  // The laptop revokes the phone: it leaves the page and forgets its keys;
  // the first desktop keeps its sessions, keys and commands.
  b.link.storage.removeItem('parley.token');
  b.link.setState('unpaired', 'The computer no longer knows this phone.');
  assert.deepEqual(gone, [[laptop, 'The computer no longer knows this phone.']]);
  assert.deepEqual(store.hosts(), [own]);
  assert.deepEqual(
    [...storage.map.keys()].filter((k) => k.includes('laptop')),
    [],
  );
  assert.equal(store.scoped(own).getItem('parley.token'), 'TA');
  assert.deepEqual(
    desks.sessions().map((s) => s.sessionID),
    ['SA'],
  );
  assert.equal(desks.send('SB1', 'interrupt', { sessionID: 'SB1' }), false);
  assert.ok(desks.send('SA', 'interrupt', { sessionID: 'SA' }));

  // The page opened again finds the desktop that is left.
  const again = new Desks(store, (host) => new FakeLink(store.scoped(host)));
  assert.deepEqual(
    again.list.map((d) => d.host),
    [own],
  );
}

console.log('desks: credentials per desktop, commands to their own desktop');
