// Where the page keeps what each desktop gave it. Every desktop has its own
// keys ("parley.desk.<host>.token", …), so revoking one forgets nothing of
// the others; the list of desktops is kept beside them. A page from before
// several desktops kept one desktop's keys unprefixed: they become the keys
// of the desktop that served the page, the one they were made with.

const LIST_KEY = 'parley.desks';
const LEGACY = ['token', 'deviceID', 'lastSeq'];

// A desktop's name as the page reaches it: its host, and the port when not
// the default one.
export function offerHost(offer, fallback) {
  if (typeof offer.host !== 'string' || !offer.host) return fallback;
  const port = Number(offer.port) || 443;
  return port === 443 ? offer.host.toLowerCase() : `${offer.host.toLowerCase()}:${port}`;
}

// The tailnet part of a Tailscale name ("tail1234.ts.net"), or ''.
export function tailnetOf(host) {
  const match = /^[a-z0-9-]+\.([a-z0-9-]+\.ts\.net)$/.exec(host.toLowerCase());
  return match ? match[1] : '';
}

// Whether this page may follow the desktop at `host`: its own, or another
// machine of its own tailnet (the only others its policy lets it reach).
export function reachable(host, ownHost) {
  const tailnet = tailnetOf(ownHost);
  return host === ownHost || (!!tailnet && tailnetOf(host) === tailnet);
}

// Keys of one desktop, behind the Storage interface the link uses.
class Scoped {
  constructor(storage, host) {
    this.storage = storage;
    this.prefix = `parley.desk.${host}.`;
  }
  getItem(key) {
    return this.storage.getItem(this.prefix + key.replace(/^parley\./, ''));
  }
  setItem(key, value) {
    this.storage.setItem(this.prefix + key.replace(/^parley\./, ''), value);
  }
  removeItem(key) {
    this.storage.removeItem(this.prefix + key.replace(/^parley\./, ''));
  }
}

export class DeskStore {
  constructor(storage, ownHost) {
    this.storage = storage;
    this.ownHost = ownHost;
    this.migrate();
  }

  hosts() {
    try {
      const list = JSON.parse(this.storage.getItem(LIST_KEY) || '[]');
      return Array.isArray(list) ? list.filter((h) => typeof h === 'string') : [];
    } catch {
      return [];
    }
  }

  scoped(host) {
    return new Scoped(this.storage, host);
  }

  // The desktop an offer pairs with: the serving one for a page that has
  // none yet or for its own link, else the one the offer names.
  hostFor(offer) {
    const named = offerHost(offer, this.ownHost);
    return this.hosts().length === 0 ? this.ownHost : named;
  }

  add(host) {
    const hosts = this.hosts();
    if (!hosts.includes(host)) this.storage.setItem(LIST_KEY, JSON.stringify([...hosts, host]));
  }

  // Forgets everything of one desktop.
  remove(host) {
    const scoped = this.scoped(host);
    for (const key of LEGACY) scoped.removeItem(key);
    this.storage.setItem(LIST_KEY, JSON.stringify(this.hosts().filter((h) => h !== host)));
  }

  migrate() {
    if (this.storage.getItem('parley.token') === null) return;
    const scoped = this.scoped(this.ownHost);
    for (const key of LEGACY) {
      const value = this.storage.getItem(`parley.${key}`);
      if (value !== null && scoped.getItem(key) === null) scoped.setItem(key, value);
      this.storage.removeItem(`parley.${key}`);
    }
    this.add(this.ownHost);
  }
}
