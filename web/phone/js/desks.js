// Every desktop the page follows: its link, its link state and its
// sessions, by host. Whatever concerns a session goes to the desktop that
// listed it; a desktop that stops knowing the phone leaves the page, and
// the others carry on.

// "laptop" for laptop.tail1234.ts.net; an address stays whole.
export function deskName(host) {
  return /^[0-9.:[\]]+$/.test(host) ? host : host.split('.')[0];
}

export class Desks {
  // `makeLink(host)` gives an unconnected link keeping that desktop's
  // credentials in its own storage.
  constructor(store, makeLink) {
    this.store = store;
    this.makeLink = makeLink;
    this.map = new Map();
    this.onMessage = () => {};
    this.onState = () => {};
    this.onGone = () => {};
    for (const host of store.hosts()) this.open(host);
  }

  open(host) {
    const link = this.makeLink(host);
    const desk = { host, name: deskName(host), link, sessions: [], key: null };
    link.onMessage = (envelope) => {
      if (envelope.type === 'hello_ack' || envelope.type === 'session_update')
        desk.sessions = envelope.payload?.sessions || [];
      this.onMessage(desk, envelope);
    };
    link.onState = (state, detail) => {
      // Unpaired here means the desktop refused the token: it is gone.
      if (state === 'unpaired' && this.map.get(host) === desk) this.drop(desk, detail);
      else this.onState(desk, state, detail);
    };
    this.map.set(host, desk);
    return desk;
  }

  // Pairs with the desktop `offer` names and returns it, connected.
  pair(offer, host) {
    let desk = this.map.get(host);
    if (!desk) {
      this.store.add(host);
      desk = this.open(host);
    }
    desk.link.pair(offer);
    desk.link.reconnectNow();
    return desk;
  }

  drop(desk, reason) {
    this.map.delete(desk.host);
    this.store.remove(desk.host);
    desk.link.clearTimers();
    desk.sessions = [];
    this.onGone(desk, reason);
  }

  get list() {
    return [...this.map.values()];
  }

  get(host) {
    return this.map.get(host);
  }

  // The desktop that lists the session, or undefined.
  owner(sessionID) {
    return this.list.find((d) => d.sessions.some((s) => s.sessionID === sessionID));
  }

  sessions() {
    return this.list.flatMap((d) => d.sessions);
  }

  // Sends to the session's desktop; false when no desktop lists it or the
  // link is down (the link then sends once it is back).
  send(sessionID, type, payload) {
    const desk = this.owner(sessionID);
    return desk ? desk.link.send(type, payload) : false;
  }

  connectAll() {
    for (const desk of this.list) desk.link.connect();
  }

  // Reconnects every desktop that is not connected (a tap, or the network
  // back); `replaced` too when `evenReplaced`.
  reconnect(evenReplaced = false) {
    for (const desk of this.list) {
      const s = desk.link.state;
      if (s === 'connected' || (s === 'replaced' && !evenReplaced)) continue;
      desk.link.reconnectNow();
    }
  }
}
