// The phone page: pairs from its address, follows the sessions of every
// desktop it is paired with and sends the person's prompts, keys and
// answers to the desktop of each session.

import { Link, newID, readPairingFragment, socketURL } from './link.js';
import { DeskStore, offerHost, reachable } from './desk_store.js';
import { Desks } from './desks.js';
import { needsReconnect, renderDeskHead, summarize, updateDeskHead } from './desk_view.js';
import { permissionCard, questionCard, settleCard } from './cards.js';
import { renderFrame } from './terminal.js';
import { renderMarkdown } from './markdown.js';
import { ChangesView } from './changes.js';
import { Attachments } from './images.js';
import { ProjectsView } from './projects.js';
import { ModeSwitch } from './modes.js';
import { Voice } from './voice.js';
import { Notify } from './notify.js';
import { el } from './dom.js';

const $ = (id) => document.getElementById(id);

const store = new DeskStore(localStorage, location.host);
const desks = new Desks(store, (host) => new Link(store.scoped(host), socketURL(host)));
const changes = new ChangesView($('changes'), (type, payload) =>
  desks.send(payload.sessionID, type, payload),
);
const modes = new ModeSwitch(
  $('session-mode'),
  (type, payload) => desks.send(payload.sessionID, type, payload),
  newID,
);
const projects = new ProjectsView(
  $('projects'),
  (type, payload) => desks.get(state.projectsDesk)?.link.send(type, payload),
  newID,
);
const voice = new Voice();
// Images go with the open session to its desktop.
const currentLink = {
  get state() {
    return desks.owner(state.current)?.link.state || 'offline';
  },
  send: (type, payload) => desks.send(payload.sessionID, type, payload),
};
const attachments = new Attachments($('composer'), currentLink, (text) => status(text));
const notify = new Notify(desks);
const state = {
  sessions: [],
  current: null, // the open session's id
  feeds: new Map(), // session id -> <ol>
  tools: new Map(), // tool use id -> feed item
  pending: new Map(), // request id -> { kind, request, card, settled }
  instructions: new Map(), // request id -> text to send once denied
  details: new Map(), // detail ref -> element waiting for it
  vocab: new Map(),
  terminal: false,
  wakeLock: null,
  openWhenListed: null, // a session a notification asked to open
  openPane: null, // the pane of a session started here, opened once listed
  projectsDesk: null, // the desktop whose projects are shown
  listShape: '', // what the session list last showed
  latest: new Map(), // session id -> its latest line, for its item in the list
  listedOnce: false, // whether every desktop has listed its sessions yet
};

// How the desk reaches a session's tmux session.
function deskCommand(s) {
  if (!s || !s.tmuxSession) return '';
  const socket = s.socketPath && !s.socketPath.endsWith('/default') ? ` -S ${s.socketPath}` : '';
  return `tmux${socket} attach -t ${s.tmuxSession}`;
}

function sessionName(id) {
  const s = state.sessions.find((x) => x.sessionID === id);
  if (!s) return id ? id.slice(0, 8) : 'Session';
  return (
    s.displayName ||
    s.title ||
    s.tmuxSession ||
    (s.cwd || '').split('/').filter(Boolean).pop() ||
    s.sessionID.slice(0, 8)
  );
}

// ---- feed ----------------------------------------------------------------------

function feedOf(id) {
  let feed = state.feeds.get(id);
  if (!feed) {
    feed = el('ol', 'feed');
    state.feeds.set(id, feed);
  }
  return feed;
}

// `content` is text or a node.
function addItem(sessionID, className, content) {
  const item = el('li', className);
  if (content !== undefined) item.append(content);
  feedOf(sessionID).append(item);
  if (/^(text|tool|turn)\b/.test(className)) noteLatest(sessionID, item.textContent);
  if (!globalThis.parleyFirstNarrationMs && className !== 'gap') {
    globalThis.parleyFirstNarrationMs = performance.now();
  }
  if (sessionID === state.current) item.scrollIntoView({ block: 'nearest' });
  return item;
}

// The list shows each session's latest line in place: narration arrives
// many times a second, and a list rebuilt under a finger loses the tap.
function noteLatest(sessionID, text) {
  const line = text.trim().split('\n', 1)[0];
  state.latest.set(sessionID, line);
  for (const item of document.querySelectorAll('.session-item'))
    if (item.dataset.sessionId === sessionID) item.querySelector('.latest').textContent = line;
}

function detailButton(sessionID, item, ref) {
  const more = el('button', 'more small', 'Show details');
  more.type = 'button';
  more.addEventListener('click', () => {
    more.disabled = true;
    more.textContent = 'Fetching details…';
    const pre = el('pre', 'detail');
    item.append(pre);
    state.details.set(ref, { pre, more });
    desks.send(sessionID, 'get_detail', { ref });
  });
  item.append(more);
}

// ---- messages ------------------------------------------------------------------

const handlers = {
  hello_ack(p, desk) {
    desk.greeted = true;
    if (p.gap) {
      for (const s of desk.sessions)
        feedOf(s.sessionID).append(el('li', 'gap', 'Some messages were missed while away.'));
    }
    setSessions();
    desk.key = p.vapidPublicKey || null;
    notify.deskReady(desk).finally(showNotify);
    if (state.terminal && state.current && desks.owner(state.current) === desk)
      desk.link.send('term_subscribe', { sessionID: state.current, active: true });
    if (changes.shown && desks.owner(changes.sessionID) === desk) changes.refresh();
  },
  session_update() {
    setSessions();
  },
  turn_started(p) {
    addItem(p.sessionID, 'turn', `${p.origin === 'desk' ? 'At the keyboard' : 'You'}: ${p.prompt}`);
    voice.hush();
  },
  assistant_text(p) {
    addItem(p.sessionID, p.final ? 'text final' : 'text', renderMarkdown(p.narration.text));
    voice.speak(p.narration);
  },
  tool_started(p) {
    const item = addItem(p.sessionID, 'tool', `${p.toolName}: ${p.narration.text}`);
    item.dataset.tool = p.toolName;
    state.tools.set(p.toolUseID, item);
  },
  tool_finished(p) {
    const waiting = p.detailRef && state.details.get(p.detailRef);
    if (!p.sessionID && waiting) {
      waiting.pre.textContent = p.summary || '(no details)';
      waiting.more.remove();
      state.details.delete(p.detailRef);
      return;
    }
    const item = state.tools.get(p.toolUseID) || addItem(p.sessionID, 'tool', '');
    item.classList.toggle('failed', !p.ok);
    item.append(el('div', '', `${p.ok ? '✓' : '✗ failed'}${p.summary ? ` — ${p.summary}` : ''}`));
    if (p.detailRef) detailButton(p.sessionID, item, p.detailRef);
    settleQuestion(p.toolUseID);
    changes.toolFinished(p.sessionID, item.dataset.tool);
  },
  permission_request(p) {
    if (state.pending.has(p.requestID)) return;
    const card = permissionCard(p, sessionName(p.sessionID), (index, instruction) =>
      answerPermission(p, index, instruction),
    );
    state.pending.set(p.requestID, { kind: 'permission', request: p, card });
    addItem(p.sessionID, 'tool', `Asks to use ${p.toolName}`);
    navigator.vibrate?.([120, 60, 120]);
    voice.speak(p.narration);
    renderPending();
  },
  question_request(p) {
    if (state.pending.has(p.requestID)) return;
    const card = questionCard(p, sessionName(p.sessionID), (qi, oi, label) =>
      answerQuestion(p, qi, oi, label),
    );
    state.pending.set(p.requestID, { kind: 'question', request: p, card });
    addItem(p.sessionID, 'tool', `Question: ${p.narration.text}`);
    navigator.vibrate?.(120);
    voice.speak(p.narration);
    renderPending();
  },
  permission_resolved(p) {
    const entry = state.pending.get(p.requestID);
    const words =
      {
        phone: 'Answered from the phone',
        desk: 'Answered at the keyboard',
        expired: 'Expired',
        refused: 'Refused',
      }[p.by] || 'Resolved';
    if (entry && !entry.settled) {
      const option = entry.request.options.find((o) => o.index === p.chosenIndex);
      settleCard(entry.card, `${words}${option ? `: ${option.label}` : ''}.`);
      entry.settled = true;
      addItem(
        entry.request.sessionID,
        'end',
        `${entry.request.toolName}: ${words.toLowerCase()}${option ? ` (${option.label})` : ''}`,
      );
    }
    const instruction = state.instructions.get(p.requestID);
    state.instructions.delete(p.requestID);
    if (instruction && entry && p.by === 'phone')
      submitPrompt(entry.request.sessionID, instruction);
    renderPending();
  },
  turn_finished(p) {
    // Answered cards keep their place while the turn runs, then make room.
    for (const [id, entry] of state.pending) {
      if (entry.settled && entry.request.sessionID === p.sessionID) state.pending.delete(id);
    }
    renderPending();
    const seconds = p.durationMS ? ` after ${Math.round(p.durationMS / 1000)} s` : '';
    addItem(p.sessionID, 'end', `Turn finished${seconds}.`);
  },
  interrupted(p) {
    addItem(p.sessionID, 'end', 'Interrupted.');
    voice.hush();
  },
  pane_snapshot(p) {
    showFrame(p);
  },
  term_frame(p) {
    showFrame(p);
  },
  vocab(p) {
    state.vocab.set(p.sessionID, p.terms);
    if (p.sessionID === state.current) voice.vocab = p.terms;
  },
  dropped(p, desk) {
    for (const s of desk.sessions)
      feedOf(s.sessionID).append(
        el('li', 'gap', `${p.count} older messages were dropped (${p.kinds.join(', ')}).`),
      );
    // What was dropped may have been the changes' answer or a change.
    if (changes.shown && desks.owner(changes.sessionID) === desk) changes.refresh();
  },
  changes(p) {
    changes.changes(p);
  },
  projects(p) {
    projects.projects(p);
  },
  history(p) {
    projects.history(p);
  },
  session_started(p) {
    projects.started(p);
  },
  file_diff(p) {
    changes.fileDiff(p);
  },
  push_state(p, desk) {
    desk.pushOn = p.enabled;
    const withKey = desks.list.filter((d) => d.key);
    const on = withKey.filter((d) => d.pushOn);
    $('notify-toggle').checked = on.length > 0 && on.length === withKey.length;
    $('notify-note').textContent =
      withKey.length > 1 && on.length > 0 && on.length < withKey.length
        ? `Notifications are on for ${on.map((d) => d.name).join(', ')} only.`
        : on.length
          ? 'Notifications are on for this phone.'
          : 'Notifications are off.';
  },
  image_stored(p) {
    attachments.stored(p);
  },
  error(p, desk) {
    if (p.code === 'upload_failed') attachments.failed(p.message);
    if (p.code === 'get_changes_failed' || p.code === 'get_file_diff_failed') {
      changes.failed(p);
      return;
    }
    if (
      [
        'list_projects_failed',
        'list_history_failed',
        'start_session_failed',
        'resume_session_failed',
      ].includes(p.code)
    ) {
      projects.failed(p);
      return;
    }
    const text = `${desks.list.length > 1 ? `${desk.name}: ` : ''}${p.message || p.code}`;
    if (p.code === 'push_failed') $('notify-note').textContent = text;
    if (p.sessionID) addItem(p.sessionID, 'error', text);
    $('composer-status').textContent = text;
  },
};

async function showNotify() {
  const obstacle = notify.obstacle();
  $('notify-toggle').disabled = !!obstacle;
  $('notify-toggle').checked = !obstacle && (await notify.isOn());
  $('notify-note').textContent = obstacle;
}

function showFrame(p) {
  if (!state.terminal || p.sessionID !== state.current) return;
  renderFrame($('terminal'), p.text);
}

// Every desktop's sessions, as one list; each keeps its desktop's name.
function setSessions() {
  const sessions = desks.sessions();
  state.sessions = sessions;
  for (const s of sessions) feedOf(s.sessionID);
  render();
  openIfListed(state.openWhenListed);
  openTheOnlySession();
  const started = state.openPane && sessions.find((s) => s.paneID === state.openPane);
  if (started) {
    state.openPane = null;
    openSession(started.sessionID);
  }
}

// With exactly one session on every desktop the page follows, the list
// would be one tap in the way: that session opens, once per page load, so
// going back to the list stays there.
function openTheOnlySession() {
  if (state.listedOnce || !desks.list.length || !desks.list.every((d) => d.greeted)) return;
  state.listedOnce = true;
  if (state.sessions.length === 1 && state.current === null && !projects.shown)
    openSession(state.sessions[0].sessionID);
}

function openIfListed(id) {
  state.openWhenListed = id;
  if (id && state.sessions.some((s) => s.sessionID === id)) {
    state.openWhenListed = null;
    openSession(id);
  }
}

// ---- commands ------------------------------------------------------------------

function status(text) {
  $('composer-status').textContent = text;
}

function submitPrompt(sessionID, text, images) {
  const payload = { clientMsgID: newID(), sessionID, text, submit: true };
  if (images && images.length) payload.images = images;
  const sent = desks.send(sessionID, 'submit_prompt', payload);
  status(sent ? 'Sent.' : 'Will send when the link is back.');
}

function answerPermission(request, optionIndex, instruction) {
  const entry = state.pending.get(request.requestID);
  if (instruction) state.instructions.set(request.requestID, instruction);
  desks.send(request.sessionID, 'permission_answer', {
    clientMsgID: newID(),
    requestID: request.requestID,
    nonce: request.nonce,
    optionIndex,
  });
  entry.card.querySelectorAll('button').forEach((b) => {
    b.disabled = true;
  });
  entry.card.querySelector('.outcome').textContent = 'Sent; waiting for Claude Code…';
}

function answerQuestion(request, questionIndex, optionIndex, expectedLabel) {
  desks.send(request.sessionID, 'question_answer', {
    clientMsgID: newID(),
    sessionID: request.sessionID,
    requestID: request.requestID,
    questionIndex,
    optionIndex,
    expectedLabel,
  });
  settleQuestion(request.requestID, `Answered: ${expectedLabel}.`);
}

function settleQuestion(requestID, outcome = 'Answered.') {
  const entry = state.pending.get(requestID);
  if (!entry || entry.kind !== 'question' || entry.settled) return;
  entry.settled = true;
  settleCard(entry.card, outcome);
  renderPending();
}

// ---- views ---------------------------------------------------------------------

function render() {
  const paired = desks.list.length > 0;
  $('unpaired').hidden = paired;
  if (state.current !== null && projects.shown) projects.hide();
  $('sessions').hidden = !paired || state.current !== null || projects.shown;
  $('session').hidden = !paired || state.current === null;
  $('back').hidden = state.current === null && !projects.shown;
  $('title').textContent = state.current
    ? sessionName(state.current)
    : projects.shown
      ? 'New session'
      : 'Parley';
  renderList();
  if (state.current) renderSession();
  renderPending();
}

// Rebuilt only when what it lists changes: a link's countdown ticks every
// second, and a list replaced under a finger loses the tap.
function renderList() {
  const list = $('session-list');
  // One desktop, the page's own, reads as it always did; any other is named.
  const grouped = desks.list.length > 1 || desks.list.some((d) => d.host !== location.host);
  const shape = JSON.stringify([
    grouped,
    desks.list.map((d) => [d.host, needsReconnect(d.link.state)]),
    state.sessions.map((s) => [sessionName(s.sessionID), deskCommand(s), needsYou(s), s]),
  ]);
  if (shape === state.listShape) {
    for (const head of list.querySelectorAll('li.desk-head'))
      updateDeskHead(head, desks.get(head.dataset.desk));
    return;
  }
  state.listShape = shape;
  list.replaceChildren();
  $('no-sessions').hidden = grouped || state.sessions.length > 0;
  $('new-session').hidden = grouped;
  for (const desk of desks.list) {
    if (grouped) list.append(renderDeskHead(desk, { reconnect, newSession: showProjects }));
    // Those waiting for the person first, each group otherwise as listed.
    const ordered = [...desk.sessions].sort((a, b) => needsYou(b) - needsYou(a));
    for (const s of ordered) list.append(sessionItem(s));
  }
}

// A permission request or question waits in the session.
function needsYou(s) {
  if (s.state === 'waiting') return true;
  for (const entry of state.pending.values())
    if (!entry.settled && entry.request.sessionID === s.sessionID) return true;
  return false;
}

function sessionItem(s) {
  const b = el('button', `session-item${needsYou(s) ? ' needs-you' : ''}`);
  b.type = 'button';
  b.dataset.sessionId = s.sessionID;
  b.append(el('span', 'name', sessionName(s.sessionID)));
  const meta = el('span', 'meta');
  if (needsYou(s)) meta.append(el('span', 'badge needs', 'Needs you'));
  meta.append(el('span', `badge ${s.state}`, s.state), el('span', 'badge', s.permissionMode));
  if (s.waitingFor) meta.append(el('span', '', s.waitingFor));
  if (s.announceOnly) meta.append(el('span', '', ' Announce only'));
  b.append(meta, el('span', 'latest', state.latest.get(s.sessionID) || ''));
  if (deskCommand(s)) b.append(el('span', 'desk', `At the desk: ${deskCommand(s)}`));
  b.addEventListener('click', () => openSession(s.sessionID));
  const li = el('li');
  li.append(b);
  return li;
}

function renderSession() {
  const s = state.sessions.find((x) => x.sessionID === state.current);
  $('session-state').textContent = s ? s.state : 'gone';
  $('session-state').className = `badge ${s ? s.state : ''}`;
  modes.show(s);
  const usage = $('session-usage');
  usage.hidden = !s || !s.usage;
  usage.textContent = s && s.usage ? s.usage.summary : '';
  $('session-desk').textContent = deskCommand(s) ? `At the desk: ${deskCommand(s)}` : '';
  const note = $('session-note');
  note.hidden = !s || !s.announceOnly;
  // The desktop's reason, as it gives it.
  note.textContent =
    s && s.announceOnly
      ? `Announce only: ${s.announceOnly}. It is narrated, but takes no input from here.`
      : '';
  const holder = $('feed-holder');
  holder.hidden = changes.shown;
  const feed = feedOf(state.current);
  if (holder.firstChild !== feed) holder.replaceChildren(feed);
}

// Every unsettled request: cards in their session, buttons in the list,
// and the list's order, which puts the sessions waiting for them first.
function renderPending() {
  renderList();
  const all = $('pending-all');
  all.replaceChildren();
  const cards = $('cards');
  const shown = [];
  for (const [, entry] of state.pending) {
    const sid = entry.request.sessionID;
    if (sid === state.current && (!entry.settled || entry.card.isConnected)) shown.push(entry.card);
    if (entry.settled) continue;
    const label =
      entry.kind === 'permission'
        ? `${sessionName(sid)} asks to use ${entry.request.toolName}`
        : `${sessionName(sid)} has a question`;
    const b = el('button', 'pending', label);
    b.type = 'button';
    b.addEventListener('click', () => openSession(sid));
    all.append(b);
  }
  const same =
    shown.length === cards.children.length && shown.every((c, i) => cards.children[i] === c);
  if (!same) cards.replaceChildren(...shown);
}

async function holdWakeLock(on) {
  try {
    if (on && !state.wakeLock && navigator.wakeLock && document.visibilityState === 'visible') {
      state.wakeLock = await navigator.wakeLock.request('screen');
      state.wakeLock.addEventListener('release', () => {
        state.wakeLock = null;
      });
    } else if (!on && state.wakeLock) {
      await state.wakeLock.release();
      state.wakeLock = null;
    }
  } catch {
    /* the screen may still sleep; nothing else depends on it */
  }
}

function setTerminal(on) {
  if (state.terminal && state.current)
    desks.send(state.current, 'term_subscribe', { sessionID: state.current, active: false });
  state.terminal = on;
  $('terminal').hidden = !on;
  $('term-toggle').textContent = on ? 'Hide terminal' : 'Terminal';
  if (on) {
    $('terminal').textContent = 'Waiting for the screen…';
    desks.send(state.current, 'term_subscribe', { sessionID: state.current, active: true });
  }
}

function setChanges(on) {
  if (on) changes.show(state.current);
  else changes.hide();
  $('changes-toggle').setAttribute('aria-pressed', String(on));
  $('changes-toggle').textContent = on ? 'Feed' : 'Changes';
  render();
}

function openSession(id) {
  if (state.current === id) return;
  if (state.current === null && !projects.shown) history.pushState({ session: id }, '');
  else history.replaceState({ session: id }, '');
  if (state.terminal) setTerminal(false);
  if (changes.shown) setChanges(false);
  state.current = id;
  voice.vocab = state.vocab.get(id) || [];
  status('');
  render();
  holdWakeLock(true);
}

function showProjects(desk = desks.list[0]) {
  if (projects.shown || state.current !== null || !desk) return;
  state.projectsDesk = desk.host;
  history.pushState({ projects: true }, '');
  projects.show();
  render();
}

// Stopping asks first, and says when a request waits in that session.
function askStop() {
  const waiting = [...state.pending.values()].some(
    (e) => !e.settled && e.request.sessionID === state.current,
  );
  const box = $('stop-confirm');
  box.querySelector('.stop-words').textContent = waiting
    ? `Stop ${sessionName(state.current)}? A permission request or question is waiting: answer or deny it first, since Claude Code is not stopped while it is on screen.`
    : `Stop ${sessionName(state.current)}? Claude Code exits as if you pressed Ctrl-C twice, and its window closes. Its conversation can be resumed later.`;
  box.hidden = false;
}

function stopSession() {
  $('stop-confirm').hidden = true;
  desks.send(state.current, 'stop_session', { clientMsgID: newID(), sessionID: state.current });
  status('Asking Claude Code to exit…');
}

function closeSession() {
  $('stop-confirm').hidden = true;
  if (projects.shown) projects.hide();
  if (state.terminal) setTerminal(false);
  if (changes.shown) setChanges(false);
  state.current = null;
  render();
  holdWakeLock(false);
}

// ---- wiring --------------------------------------------------------------------

function showLink() {
  const focus = desks.owner(state.current) || (desks.list.length === 1 ? desks.list[0] : null);
  const view = summarize(desks.list, focus);
  const badge = $('link-state');
  badge.dataset.state = view.state;
  badge.textContent = view.text;
  badge.title = view.detail;
  $('reconnect').hidden = !view.reconnect;
  const notes = [state.goneNote, view.replaced && `${view.replaced} Reconnect to take it back.`];
  $('link-note').textContent = notes.filter(Boolean).join(' ');
  $('link-note').hidden = !$('link-note').textContent;
  render();
}

function reconnect(desk) {
  state.goneNote = '';
  desk.link.reconnectNow();
}

// A desktop that no longer knows the phone leaves the page with all it
// showed; the others stay as they are.
function deskGone(desk, reason) {
  for (const [id, entry] of state.pending) {
    if (!desks.owner(entry.request.sessionID)) state.pending.delete(id);
  }
  const current = state.current;
  setSessions();
  for (const id of [...state.feeds.keys()]) {
    if (!state.sessions.some((s) => s.sessionID === id)) state.feeds.delete(id);
  }
  if (current && !desks.owner(current)) closeSession();
  notify.forget(desk);
  if (desks.list.length === 0) {
    state.goneNote = '';
    $('unpaired-reason').textContent = reason;
  } else {
    state.goneNote = `${desk.name} was removed: ${reason}`;
  }
  showLink();
  showNotify();
}

// A pairing offer from the page's address or a pasted link; `named` is the
// host of the link it came in. Returns what to tell the person; throws when
// this page cannot follow that desktop.
function takeOffer(offer, named) {
  const host = named ? offerHost(offer, named) : store.hostFor(offer);
  if (!reachable(host, location.host))
    throw new Error(
      `${host} is not in this computer's tailnet, so this page cannot reach it; open its own link instead`,
    );
  const fresh = !desks.get(host);
  const desk = desks.pair(offer, host);
  desk.link.reconnectNow();
  if (fresh) notify.deskReady(desk);
  state.goneNote = '';
  showLink();
  return fresh ? `Added ${desk.name}.` : `Paired with ${desk.name} again.`;
}

function wire() {
  desks.onState = () => showLink();
  desks.onGone = deskGone;
  desks.onMessage = (desk, envelope) => {
    const handler = handlers[envelope.type];
    if (handler && envelope.payload) handler(envelope.payload, desk);
  };

  $('back').addEventListener('click', () => history.back());
  window.addEventListener('popstate', () => closeSession());
  $('reconnect').addEventListener('click', () => {
    state.goneNote = '';
    desks.reconnect(true);
  });
  window.addEventListener('online', () => desks.reconnect(true));
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState !== 'visible') return;
    if (state.current) holdWakeLock(true);
    desks.reconnect(false);
  });
  $('add-desk').addEventListener('submit', (event) => {
    event.preventDefault();
    const field = $('add-desk-link');
    try {
      const url = new URL(field.value.trim());
      const offer = readPairingFragment(url.hash);
      if (!offer) throw new Error('it holds no pairing');
      $('add-desk-note').textContent = takeOffer(offer, url.host);
      field.value = '';
    } catch (error) {
      $('add-desk-note').textContent = `Not added: ${error.message}.`;
    }
  });

  $('composer').addEventListener('submit', async (event) => {
    event.preventDefault();
    const text = $('prompt').value.trim();
    const sessionID = state.current;
    if ((!text && !attachments.count) || !sessionID) return;
    voice.stop();
    let images = [];
    if (attachments.count) {
      // The text stays in the box until its images are on the desktop.
      try {
        images = await attachments.upload(sessionID);
      } catch (error) {
        status(`Not sent: ${error.message}.`);
        return;
      }
    }
    submitPrompt(sessionID, text, images);
    $('prompt').value = '';
    attachments.clear();
  });
  $('interrupt').addEventListener('click', () => {
    desks.send(state.current, 'interrupt', { sessionID: state.current });
    status('Interrupt sent.');
  });
  $('keys-toggle').addEventListener('click', () => {
    $('keys').hidden = !$('keys').hidden;
  });
  $('keys').addEventListener('click', (event) => {
    const b = event.target.closest('button');
    if (!b || !state.current) return;
    const sessionID = state.current;
    if (b.dataset.key) desks.send(sessionID, 'send_key', { sessionID, key: b.dataset.key });
    else if (b.dataset.term)
      desks.send(sessionID, 'term_input', { sessionID, key: b.dataset.term });
    else if (b.dataset.text)
      desks.send(sessionID, 'term_input', { sessionID, text: b.dataset.text });
    status(`${b.textContent} sent.`);
  });
  $('term-toggle').addEventListener('click', () => setTerminal(!state.terminal));
  $('new-session').addEventListener('click', () => showProjects());
  $('stop').addEventListener('click', askStop);
  $('stop-confirm').querySelector('.stop-yes').addEventListener('click', stopSession);
  $('stop-confirm')
    .querySelector('.stop-no')
    .addEventListener('click', () => {
      $('stop-confirm').hidden = true;
    });
  projects.onStarted = (p) => {
    if (p.sessionID) {
      openIfListed(p.sessionID);
    } else {
      state.openPane = p.paneID;
      setSessions();
    }
  };
  $('changes-toggle').addEventListener('click', () => setChanges(!changes.shown));

  voice.getText = () => $('prompt').value;
  voice.setText = (text) => {
    $('prompt').value = text;
  };
  voice.send = () => $('composer').requestSubmit();
  voice.onListening = (on, why) => {
    $('talk').setAttribute('aria-pressed', String(on));
    $('talk').textContent = on ? 'Listening… release to stop' : 'Hold to talk';
    if (why) status(why);
  };
  const talk = $('talk');
  if (!voice.canListen) {
    talk.disabled = true;
    talk.textContent = 'No dictation here';
  }
  talk.addEventListener('pointerdown', (event) => {
    event.preventDefault();
    voice.start();
  });
  for (const type of ['pointerup', 'pointercancel', 'pointerleave']) {
    talk.addEventListener(type, () => {
      if (!voice.handsFree) voice.stop();
    });
  }
  talk.addEventListener('click', () => {
    if (voice.handsFree && voice.listening) voice.stop();
  });

  $('voice-support').textContent = voice.support();
  $('speak-toggle').checked = voice.speakEnabled;
  $('speak-toggle').disabled = !voice.canSpeak;
  $('speak-toggle').addEventListener('change', (e) => {
    voice.speakEnabled = e.target.checked;
  });
  $('speak-rate').value = String(voice.rate);
  $('speak-rate-value').textContent = `${voice.rate.toFixed(1)}×`;
  $('speak-rate').addEventListener('input', (e) => {
    voice.rate = Number(e.target.value);
    $('speak-rate-value').textContent = `${voice.rate.toFixed(1)}×`;
  });
  $('notify-toggle').addEventListener('change', async (e) => {
    $('notify-note').textContent = e.target.checked
      ? 'Turning notifications on…'
      : 'Turning notifications off…';
    try {
      await (e.target.checked ? notify.turnOn() : notify.turnOff());
    } catch (error) {
      e.target.checked = false;
      $('notify-note').textContent = error.message;
    }
  });
  showNotify();
  $('handsfree-toggle').checked = voice.handsFree;
  $('handsfree-toggle').disabled = !voice.canListen;
  $('handsfree-toggle').addEventListener('change', (e) => {
    voice.handsFree = e.target.checked;
  });
}

// The address's fragment: a pairing link, at load or opened into the page
// already open, or the session a tapped notification names. The token
// leaves the address bar and the history at once.
function takeFragment(opened) {
  const hash = location.hash;
  if (!hash) return;
  history.replaceState(history.state, '', location.pathname + location.search);
  let offer = null;
  try {
    offer = readPairingFragment(hash);
  } catch (error) {
    const words = `This pairing link is damaged (${error.message}); run parley pair again.`;
    if (desks.list.length) state.goneNote = words;
    else $('unpaired-reason').textContent = words;
  }
  try {
    if (offer) {
      const said = takeOffer(offer);
      if (opened) state.goneNote = said;
    }
  } catch (error) {
    state.goneNote = `Not paired: ${error.message}.`;
  }
  openIfListed(new URLSearchParams(hash.slice(1)).get('session'));
}

function start() {
  wire();
  takeFragment(false);
  window.addEventListener('hashchange', () => {
    takeFragment(true);
    showLink();
  });
  navigator.serviceWorker?.addEventListener('message', (event) => openIfListed(event.data?.open));
  if ('serviceWorker' in navigator && globalThis.isSecureContext) {
    navigator.serviceWorker.register('/sw.js').catch(() => {});
  }
  for (const desk of desks.list) if (desk.link.state === 'offline') desk.link.connect();
  showLink();
}

start();
