// How the desktops' links read on the page: one heading per desktop over
// its sessions when there are several, and the bar's summary of them all.

import { button, el } from './dom.js';

export const STATE_WORDS = {
  connecting: 'Connecting',
  connected: 'Connected',
  reconnecting: 'Reconnecting',
  offline: 'Offline',
  unpaired: 'Not paired',
  replaced: 'Replaced',
};

// The words for one link: a countdown or the lack of a network as the link
// says it, else the state's word.
export function stateText(state, detail) {
  return state === 'reconnecting' || state === 'offline' ? detail : STATE_WORDS[state];
}

export function needsReconnect(state) {
  return state !== 'connected' && state !== 'connecting' && state !== 'unpaired';
}

// The bar: the focused desktop (the open session's, or the only one) as it
// is; otherwise "Connected" when all are, else the first that is not, by
// name. Desks are { name, link: { state, detail } }.
export function summarize(desks, focus) {
  if (desks.length === 0)
    return { state: 'unpaired', text: STATE_WORDS.unpaired, detail: '', reconnect: false };
  const shown = focus || desks.find((d) => d.link.state !== 'connected');
  if (!shown)
    return { state: 'connected', text: STATE_WORDS.connected, detail: '', reconnect: false };
  const { state, detail } = shown.link;
  const words = stateText(state, detail);
  return {
    state,
    text: focus || desks.length === 1 ? words : `${shown.name}: ${words}`,
    detail,
    reconnect: needsReconnect(state) || desks.some((d) => needsReconnect(d.link.state)),
    replaced: state === 'replaced' ? detail : '',
  };
}

// A desktop's heading in the session list: its name, its link and what can
// be done about it there.
function smallButton(kind, text, onClick) {
  return button(text, `small ${kind}`, onClick);
}

export function renderDeskHead(desk, { reconnect, newSession }) {
  const li = el('li', 'desk-head');
  li.dataset.desk = desk.host;
  const name = el('h3', '', desk.name);
  name.title = desk.host;
  const badge = el('span', 'link-badge');
  li.append(name, badge);
  updateDeskHead(li, desk);
  if (needsReconnect(desk.link.state)) {
    li.append(smallButton('desk-reconnect', 'Reconnect', () => reconnect(desk)));
  }
  li.append(smallButton('desk-new', 'New session', () => newSession(desk)));
  if (desk.sessions.length === 0) {
    li.append(el('p', 'hint', 'No Claude Code sessions here.'));
  }
  return li;
}

// The heading's link words, in place.
export function updateDeskHead(li, desk) {
  const badge = li.querySelector('.link-badge');
  if (!badge || !desk) return;
  badge.dataset.state = desk.link.state;
  badge.textContent = stateText(desk.link.state, desk.link.detail);
}
