// The phone page's service worker, run in a bare context: whatever a push
// carries, even nothing or something unreadable, it shows exactly one
// notification, since Safari withdraws the subscription of a page whose
// pushes show none.

import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { dirname, join } from 'node:path';
import vm from 'node:vm';

const source = readFileSync(process.argv[2], 'utf8');

// Dispatches one push to a fresh copy of the worker registered at `scope`;
// `refuseFirst` makes the first notification fail, as a browser may for a
// rich one. What is shown can be tapped: `shown.tap(i)` gives the address
// the worker opens, with no window of the page open.
async function push(data, refuseFirst = false, scope = 'https://desk.example/') {
  const listeners = {};
  const shown = [];
  const opened = [];
  let calls = 0;
  const self = {
    addEventListener: (type, listener) => (listeners[type] = listener),
    clients: { matchAll: async () => [], openWindow: async (url) => opened.push(url) },
    registration: {
      scope,
      showNotification: async (title, options) => {
        calls += 1;
        if (refuseFirst && calls === 1) throw new TypeError('refused');
        shown.push({ title, ...options });
      },
    },
  };
  vm.runInNewContext(source, {
    self,
    location: { origin: 'https://desk.example' },
    URL,
    URLSearchParams,
  });
  let pending = null;
  listeners.push({ data, waitUntil: (promise) => (pending = promise) });
  assert.ok(pending, 'the push handler waits on its notification');
  await pending;
  shown.tap = async (i) => {
    let done = null;
    listeners.notificationclick({
      notification: { data: shown[i].data, close: () => {} },
      waitUntil: (promise) => (done = promise),
    });
    await done;
    return opened.pop();
  };
  return shown;
}

const body = (text) => ({ json: () => JSON.parse(text) });

const full = await push(
  body(
    '{"v":1,"kind":"question","sessionID":"S1","requestID":"Q1","session":"api","line":"Which colour?"}',
  ),
);
assert.equal(full.length, 1);
assert.equal(full[0].title, 'api');
assert.equal(full[0].body, 'Which colour?');
assert.equal(full[0].tag, 'S1');
assert.equal(JSON.stringify(full[0].data), '{"sessionID":"S1","requestID":"Q1"}');

const ping = await push(body('{"v":1,"kind":"ping"}'));
assert.deepEqual(
  [ping.length, ping[0].title, ping[0].body, ping[0].tag],
  [1, 'Parley', 'Open Parley to see what needs you.', 'parley'],
);

// Nothing, unreadable, or JSON of the wrong shape: still one notice.
for (const data of [
  null,
  body('not json'),
  body('null'),
  body('[1,2]'),
  body('"text"'),
  body('{"session":{"x":1},"line":7,"sessionID":[]}'),
]) {
  const shown = await push(data);
  assert.equal(shown.length, 1, JSON.stringify(data));
  assert.equal(shown[0].title, 'Parley');
  assert.equal(shown[0].body, 'A session needs you.');
}

// A notice the browser refuses is followed by a bare one.
const fallback = await push(body('{"session":"api","line":"x"}'), true);
assert.deepEqual(
  fallback.map((n) => n.title),
  ['Parley'],
);
// Another desktop's worker lives under its own scope: its notices say which
// desktop they are from, never take the place of the first desktop's, and a
// tap opens that desktop's session.
const question = body(
  '{"v":1,"kind":"question","sessionID":"S1","requestID":"Q1","session":"api"}',
);
const own = await push(question);
const other = await push(question, false, 'https://desk.example/desk/laptop.tail1234.ts.net/');
assert.equal(own[0].title, 'api');
assert.equal(other[0].title, 'api \u00b7 laptop');
assert.notEqual(own[0].tag, other[0].tag);
assert.equal(await own.tap(0), '/#session=S1&request=Q1');
assert.equal(await other.tap(0), '/#session=S1&request=Q1&desk=laptop.tail1234.ts.net');
const pingOther = await push(
  body('{"v":1,"kind":"ping"}'),
  false,
  'https://desk.example/desk/x.y.ts.net/',
);
assert.equal(await pingOther.tap(0), '/#desk=x.y.ts.net');

// The shell it keeps holds every module and stylesheet of the page: one
// left out stops the page opening, or looking right, without the computer.
const page = dirname(process.argv[2]);
const modules = readdirSync(join(page, 'js')).map((f) => `/js/${f}`);
const styles = readdirSync(page)
  .filter((f) => f.endsWith('.css'))
  .map((f) => `/${f}`);
const kept = [...source.matchAll(/'(\/[^']+\.(?:js|css))'/g)].map((m) => m[1]);
assert.deepEqual(kept.sort(), [...modules, ...styles].sort());

console.log('service worker: every push shows one notification, and the shell is whole');
