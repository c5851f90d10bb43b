// The phone page's service worker, run in a bare context: whatever a push
// carries, even nothing or something unreadable, it shows exactly one
// notification, since Safari withdraws the subscription of a page whose
// pushes show none.

import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import vm from 'node:vm';

const source = readFileSync(process.argv[2], 'utf8');

// Dispatches one push to a fresh copy of the worker; `refuseFirst` makes the
// first notification fail, as a browser may for a rich one.
async function push(data, refuseFirst = false) {
  const listeners = {};
  const shown = [];
  let calls = 0;
  const self = {
    addEventListener: (type, listener) => (listeners[type] = listener),
    registration: {
      showNotification: async (title, options) => {
        calls += 1;
        if (refuseFirst && calls === 1) throw new TypeError('refused');
        shown.push({ title, ...options });
      },
    },
  };
  vm.runInNewContext(source, { self, location: { origin: 'https://desk.example' }, URL });
  let pending = null;
  listeners.push({ data, waitUntil: (promise) => (pending = promise) });
  assert.ok(pending, 'the push handler waits on its notification');
  await pending;
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
console.log('service worker: every push shows one notification');
