// Notifications while the page is closed, through the browser's own push
// service. Off until the person turns them on. Each desktop encrypts each
// notice for this browser alone, so the push service carries an unreadable
// blob and learns only when it was sent.
//
// Each desktop signs its pushes with its own key, and a browser holds one
// subscription per service-worker registration, made for one key. So every
// desktop gets a registration of its own: the desktop that served the page
// the page's own (scope "/", as before several desktops), any other the same
// worker under the scope "/desk/<host>/", which no page lives under. A
// registration's scope tells its worker whose notices it shows.

const WANTED_KEY = 'parley.notify';

function keyBytes(base64url) {
  const base64 = base64url.replace(/-/g, '+').replace(/_/g, '/');
  return Uint8Array.from(atob(base64 + '='.repeat((4 - (base64.length % 4)) % 4)), (c) =>
    c.charCodeAt(0),
  );
}

export function scopeOf(host, ownHost = location.host) {
  return host === ownHost ? '/' : `/desk/${encodeURIComponent(host)}/`;
}

async function registrationOf(host) {
  const scope = scopeOf(host);
  if (scope === '/') return navigator.serviceWorker.ready;
  const registration = await navigator.serviceWorker.register('/sw.js', { scope });
  if (registration.active) return registration;
  // A new registration can subscribe only once its worker is active.
  const worker = registration.installing || registration.waiting;
  await new Promise((resolve) => {
    const check = () => worker.state === 'activated' && resolve();
    worker.addEventListener('statechange', check);
    check();
  });
  return registration;
}

async function existing(host) {
  const registration = await navigator.serviceWorker.getRegistration(scopeOf(host));
  if (!registration || new URL(registration.scope).pathname !== scopeOf(host)) return null;
  return registration.pushManager.getSubscription();
}

export class Notify {
  constructor(desks, storage = localStorage) {
    this.desks = desks;
    this.storage = storage;
  }

  get withKey() {
    return this.desks.list.filter((d) => d.key);
  }

  // Why this page cannot offer notifications, or '' when it can.
  obstacle() {
    if (!globalThis.isSecureContext || !('serviceWorker' in navigator))
      return 'Notifications need the page opened over HTTPS (its Tailscale address).';
    if (!('PushManager' in globalThis) || !('Notification' in globalThis))
      return 'This browser cannot show notifications for a closed page. On an iPhone, add Parley to the home screen first.';
    if (this.withKey.length === 0)
      return 'This computer cannot send notifications (see the activity log on the desktop).';
    return '';
  }

  async isOn() {
    if (this.obstacle() || Notification.permission !== 'granted') return false;
    const found = await Promise.all(this.withKey.map((d) => existing(d.host)));
    return found.every(Boolean);
  }

  async subscribe(desk) {
    const registration = await registrationOf(desk.host);
    let subscription = await registration.pushManager.getSubscription();
    const key = keyBytes(desk.key);
    const made = subscription?.options?.applicationServerKey;
    // A desktop that made itself a new key needs a subscription for it.
    if (subscription && made && !sameBytes(new Uint8Array(made), key)) {
      await subscription.unsubscribe();
      subscription = null;
    }
    if (!subscription) {
      subscription = await registration.pushManager.subscribe({
        userVisibleOnly: true,
        applicationServerKey: key,
      });
    }
    const { endpoint, keys } = subscription.toJSON();
    if (!desk.link.send('push_subscribe', { endpoint, p256dh: keys.p256dh, auth: keys.auth })) {
      throw new Error(`Not connected to ${desk.name}: try again when the link is back.`);
    }
  }

  // Every desktop that can send notices, from one tap: Safari lets a page
  // subscribe only while handling it, so all start at once.
  async turnOn() {
    if ((await Notification.requestPermission()) !== 'granted') {
      throw new Error('Notifications are blocked for this page in the browser\u2019s settings.');
    }
    this.storage.setItem(WANTED_KEY, '1');
    const results = await Promise.allSettled(this.withKey.map((d) => this.subscribe(d)));
    const failed = results.find((r) => r.status === 'rejected');
    if (failed) throw failed.reason;
  }

  async turnOff() {
    this.storage.removeItem(WANTED_KEY);
    for (const desk of this.desks.list) {
      const subscription = await existing(desk.host).catch(() => null);
      if (subscription) await subscription.unsubscribe();
      desk.link.send('push_unsubscribe', {});
    }
  }

  // A desktop that left the page: its worker and subscription go too (the
  // page's own worker stays; it keeps the page working offline).
  async forget(desk) {
    const scope = scopeOf(desk.host);
    if (scope === '/' || !('serviceWorker' in navigator)) return;
    const registration = await navigator.serviceWorker.getRegistration(scope).catch(() => null);
    if (registration && new URL(registration.scope).pathname === scope)
      await registration.unregister().catch(() => false);
  }

  // A desktop said hello or was added: with notifications on, it gets its
  // subscription too, where the browser allows one without a tap.
  async deskReady(desk) {
    if (this.storage.getItem(WANTED_KEY) !== '1' || !desk.key || this.obstacle()) return;
    if (Notification.permission !== 'granted' || (await existing(desk.host))) return;
    await this.subscribe(desk).catch(() => {});
  }
}

function sameBytes(a, b) {
  return a.length === b.length && a.every((x, i) => x === b[i]);
}
