// Keeps the app shell so the page opens without the computer; always asks
// the network first, so an upgraded Parley is never hidden behind a stale
// copy. Only the files below are ever stored: no token, no message.

const CACHE = 'parley-shell-v1';
const SHELL = [
  '/',
  '/index.html',
  '/style.css',
  '/changes.css',
  '/manifest.webmanifest',
  '/icon.svg',
  '/icon-192.png',
  '/js/app.js',
  '/js/link.js',
  '/js/cards.js',
  '/js/terminal.js',
  '/js/voice.js',
  '/js/notify.js',
  '/js/markdown.js',
  '/js/changes.js',
  '/js/changes_list.js',
  '/js/images.js',
  '/js/projects.js',
  '/js/desks.js',
  '/js/desk_store.js',
  '/js/desk_view.js',
  '/js/dom.js',
  '/js/modes.js',
];

self.addEventListener('install', (event) => {
  event.waitUntil(
    caches
      .open(CACHE)
      .then((cache) => cache.addAll(SHELL))
      .then(() => self.skipWaiting()),
  );
});

self.addEventListener('activate', (event) => {
  event.waitUntil(
    caches
      .keys()
      .then((keys) => Promise.all(keys.filter((k) => k !== CACHE).map((k) => caches.delete(k))))
      .then(() => self.clients.claim()),
  );
});

self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  if (
    event.request.method !== 'GET' ||
    url.origin !== location.origin ||
    !SHELL.includes(url.pathname)
  )
    return;
  event.respondWith(
    fetch(event.request)
      .then((response) => {
        if (response.ok) {
          const copy = response.clone();
          caches.open(CACHE).then((cache) => cache.put(url.pathname, copy));
        }
        return response;
      })
      .catch(() => caches.match(url.pathname)),
  );
});

// A notice from the desktop: the session's name and one line, or nothing at
// all with "ping only". The page fetches the rest over its own link when
// opened. Every push shows a notification, even one that cannot be read:
// Safari withdraws the subscription of a page whose pushes show nothing.
function readNotice(data) {
  try {
    const value = data ? data.json() : null;
    return value && typeof value === 'object' && !Array.isArray(value) ? value : {};
  } catch {
    return {};
  }
}

// The desktop whose notices this worker shows: the page's own at "/", any
// other under the scope "/desk/<host>/" it was registered with.
function deskOfScope() {
  const scope = self.registration?.scope;
  const match = scope ? /^\/desk\/([^/]+)\/$/.exec(new URL(scope).pathname) : null;
  return match ? decodeURIComponent(match[1]) : '';
}

function text(value, fallback) {
  return typeof value === 'string' && value.trim() ? value.slice(0, 200) : fallback;
}

self.addEventListener('push', (event) => {
  const notice = readNotice(event.data);
  const sessionID = text(notice.sessionID, '');
  const requestID = text(notice.requestID, '');
  const desk = deskOfScope();
  const options = {
    body: text(
      notice.line,
      notice.kind === 'ping' ? 'Open Parley to see what needs you.' : 'A session needs you.',
    ),
    icon: '/icon-192.png',
    tag: `${desk ? `${desk} ` : ''}${sessionID || 'parley'}`,
    renotify: true,
    data: {
      sessionID: sessionID || undefined,
      requestID: requestID || undefined,
      desk: desk || undefined,
    },
  };
  const named = text(notice.session, 'Parley');
  const title = desk ? `${named} \u00b7 ${desk.split('.')[0]}` : named;
  // Should the rich notice be refused, a bare one still shows.
  event.waitUntil(
    self.registration.showNotification(title, options).catch(() =>
      self.registration.showNotification('Parley', {
        body: 'A session needs you.',
        tag: 'parley',
      }),
    ),
  );
});

self.addEventListener('notificationclick', (event) => {
  event.notification.close();
  const { sessionID, requestID, desk } = event.notification.data || {};
  const query = new URLSearchParams();
  if (sessionID) query.set('session', sessionID);
  if (sessionID && requestID) query.set('request', requestID);
  if (desk) query.set('desk', desk);
  const target = query.toString() ? `/#${query}` : '/';
  event.waitUntil(
    self.clients.matchAll({ type: 'window', includeUncontrolled: true }).then((windows) => {
      for (const client of windows) {
        if (new URL(client.url).origin === location.origin) {
          client.postMessage({ open: sessionID, request: requestID, desk });
          return client.focus();
        }
      }
      return self.clients.openWindow(target);
    }),
  );
});
