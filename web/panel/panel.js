// The control panel: renders the state Parley streams over /api/events and
// posts the person's actions to /api/NAME. Holds no state of its own beyond
// which window is open and what is being typed.

import { ChangesWindow } from './changes.js';
import { el } from './dom.js';

const $ = (id) => document.getElementById(id);
let state = null;
let pendingRevoke = null;
let setupDismissed = false;
let voicePoll = null;
let changesWindow = null;

const GLYPH_COLOURS = {
  unpaired: '#8a8a8a',
  idle: '#8a8a8a',
  listening: '#2f80ed',
  speaking: '#27ae60',
  permissionPending: '#f2994a',
  error: '#eb5757',
};

// Resolves to why the action was refused, or null when it was taken.
async function act(name, body = {}) {
  let problem = null;
  try {
    const response = await fetch(`/api/${name}`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
    });
    if (!response.ok) problem = (await response.text()).trim();
  } catch {
    problem = 'Lost touch with Parley. Is it still running?';
  }
  showProblem(problem);
  return problem;
}

function showProblem(text) {
  const p = $('connection-lost');
  p.hidden = !text;
  if (text) p.textContent = text;
}

// Lists are rebuilt only when what they show changed, so a button is not
// replaced under the pointer by an unrelated update.
const shownLists = new Map();
function changed(key, value) {
  const text = JSON.stringify(value);
  if (shownLists.get(key) === text) return false;
  shownLists.set(key, text);
  return true;
}

// The desktop words the link's state; the page only shows it.
function linkStatus(s) {
  return s.device ? ['connected', null] : [s.server.line, s.server.help];
}

function renderHeader(s) {
  document.title = s.title;
  $('favicon').href =
    'data:image/svg+xml,' +
    encodeURIComponent(
      `<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 18 18"><circle cx="9" cy="9" r="7" fill="${GLYPH_COLOURS[s.glyph] ?? '#8a8a8a'}"/></svg>`,
    );
  const [line, help] = linkStatus(s);
  $('link-status').textContent = line;
  $('link-help').hidden = !help;
  $('link-help-text').textContent = help ?? '';
  $('device-line').classList.toggle('phone', !!s.device);
  $('device-line').textContent = s.device
    ? s.device.name + (s.device.latencyMs != null ? ` · ${s.device.latencyMs} ms` : '')
    : 'No device paired yet.';
  $('sleep-note').hidden = !s.sleepHeld;
}

function renderSessions(s) {
  $('no-sessions').hidden = s.sessions.length > 0;
  changesWindow.follow(s.sessions);
  if (!changed('sessions', s.sessions)) return;
  $('sessions').replaceChildren(
    ...s.sessions.map((session) => {
      const item = el(
        'li',
        { class: 'card', 'data-session': session.id },
        el('strong', {}, session.name),
        el('span', { class: 'state' }, ` ${session.state} · ${session.mode}`),
      );
      if (session.fromPhone) item.append(el('span', { class: 'tag' }, ' started from the phone'));
      if (session.usage) item.append(el('p', { class: 'usage' }, session.usage));
      if (session.attach)
        item.append(el('p', { class: 'muted' }, `At the desk: ${session.attach}`));
      if (session.announceOnly)
        item.append(el('p', { class: 'note' }, `Announce only: ${session.announceOnly}.`));
      if (session.detached) {
        item.append(
          el(
            'p',
            { class: 'muted' },
            'detached — the pane keeps running; the phone and voice leave it alone',
          ),
        );
      }
      item.append(
        el(
          'div',
          { class: 'buttons' },
          el(
            'button',
            { onclick: () => act('openInTerminal', { sessionID: session.id }) },
            'Open in Terminal',
          ),
          session.detached
            ? el(
                'button',
                { class: 'attach', onclick: () => act('attach', { sessionID: session.id }) },
                'Follow again',
              )
            : el(
                'button',
                { class: 'detach', onclick: () => act('detach', { sessionID: session.id }) },
                'Detach',
              ),
          el('button', { class: 'changes', onclick: () => changesWindow.show(session) }, 'Changes'),
        ),
      );
      return item;
    }),
  );
}

function renderVoice(s) {
  const v = s.voice;
  $('voice-status').textContent = !v.running
    ? 'not running'
    : v.halo === 'speaking'
      ? 'speaking'
      : v.halo === 'listening'
        ? 'listening'
        : 'starting';
  for (const id of ['voice-no-session', 'voice-window-no-session'])
    $(id).hidden = !!s.activeSession;
  const labels = {
    idle: 'Ready',
    listening: 'Listening',
    thinking: 'Thinking',
    speaking: 'Speaking',
  };
  const halo = $('halo');
  halo.className = `halo ${v.halo}`;
  halo.setAttribute('aria-label', labels[v.halo]);
  halo.setAttribute('aria-valuetext', `level ${Math.round(v.level * 100)} percent`);
  halo.style.setProperty('--level', String(v.level));
  $('halo-label').textContent = labels[v.halo] === 'Ready' ? 'Ready' : labels[v.halo];
  $('voice-prompt').textContent = !v.running
    ? 'Not listening.'
    : v.transcript
      ? ''
      : 'Say what you want Claude to do.';
  $('voice-transcript').textContent = v.transcript;
  $('voice-error').hidden = !v.error;
  $('voice-error').textContent = v.error ?? '';
  $('voice-toggle').textContent = v.running ? 'Stop' : 'Start';
}

function renderPairing(s) {
  const offer = s.pairing;
  $('offer').hidden = !offer;
  $('no-magicdns').hidden = !!s.tailscaleHost;
  if (!offer) {
    $('qr').replaceChildren();
    return;
  }
  $('offer-host').textContent = offer.host;
  $('offer-port').textContent = String(offer.port);
  $('qr-failed').hidden = !!offer.svg;
  if (offer.svg && $('qr').dataset.svg !== offer.svg) {
    const svg = new DOMParser().parseFromString(offer.svg, 'image/svg+xml').documentElement;
    svg.setAttribute('width', '180');
    svg.setAttribute('height', '180');
    svg.setAttribute('shape-rendering', 'crispEdges');
    $('qr').replaceChildren(document.importNode(svg, true));
    $('qr').dataset.svg = offer.svg;
  }
}

function renderLog(s) {
  if (!changed('log', s.log)) return;
  $('log').replaceChildren(...s.log.map((e) => el('li', { class: e.kind }, e.line)));
  $('log').scrollTop = $('log').scrollHeight;
}

function renderDevices(s) {
  $('no-devices').hidden = s.devices.length > 0;
  if (pendingRevoke && !s.devices.some((d) => d.id === pendingRevoke.id)) pendingRevoke = null;
  renderRevoke();
  if (!changed('devices', s.devices)) return;
  $('devices').replaceChildren(
    ...s.devices.map((d) =>
      el(
        'li',
        { class: 'card', 'data-device': d.id, 'data-name': d.name },
        el(
          'span',
          { class: 'grow' },
          el('strong', {}, d.name),
          el(
            'span',
            { class: 'muted' },
            d.connected
              ? ' connected'
              : d.lastSeen
                ? ` ${new Date(d.lastSeen).toLocaleString()}`
                : ' · never connected',
          ),
        ),
        el(
          'button',
          {
            class: 'revoke',
            onclick: () => {
              pendingRevoke = d;
              renderRevoke();
            },
          },
          'Revoke',
        ),
      ),
    ),
  );
}

function renderRevoke() {
  $('revoke-confirm').hidden = !pendingRevoke;
  $('revoke-name').textContent = pendingRevoke ? `Revoke “${pendingRevoke.name}”?` : '';
}

function renderHooks(s) {
  const h = s.hooks;
  $('hook-events').textContent = String(h.events);
  $('relay').textContent = (h.relayInstalled ? '✓ ' : '✗ ') + (h.relayPath || 'not found');
  $('registered').textContent = h.installed ? '✓ all events' : '✗ not installed';
  $('backup').textContent = h.lastBackup ?? 'none';
  $('reveal').hidden = !h.lastBackup;
  if (!changed('deny', s.deny)) return;
  const list = (id, items) =>
    $(id).replaceChildren(...items.map((x) => el('li', {}, el('code', {}, x))));
  list('deny-commands', s.deny.commands);
  list('deny-paths', s.deny.paths);
  $('deny-commands-title').textContent = `Commands (${s.deny.commands.length})`;
  $('deny-paths-title').textContent = `Paths (${s.deny.paths.length})`;
}

// The form is filled from what Parley holds only when that changes, so an
// update does not undo what is being typed.
function renderNotifications(s) {
  const n = s.notifications;
  $('whereabouts').textContent = n.whereabouts;
  $('subject-in-use').textContent = n.subjectInUse;
  $('subject-problem').hidden = !n.subjectProblem;
  $('subject-problem').textContent = n.subjectProblem
    ? `Apple's push service will refuse this: ${n.subjectProblem}. Notifications on an iPhone or iPad need Tailscale's name, or a contact set here.`
    : '';
  const stored = {
    ...n,
    whereabouts: undefined,
    subjectInUse: undefined,
    subjectProblem: undefined,
  };
  if (!changed('notifications', stored)) return;
  for (const radio of document.querySelectorAll('input[name=push]'))
    radio.checked = radio.value === n.push;
  $('away-after').value = String(n.awayAfterSeconds);
  $('unanswered-after').value = String(n.unansweredAfterSeconds);
  $('ping-only').checked = n.pingOnly;
  $('vapid-subject').value = n.vapidSubject;
}

function renderPhone(s) {
  if (changed('phoneMayGrantModes', s.phoneMayGrantModes))
    $('phone-grant-modes').checked = s.phoneMayGrantModes;
}

const PRICE_FIELDS = ['input', 'output', 'cacheWrite', 'cacheRead'];
const PRICE_LABELS = {
  input: 'Input',
  output: 'Output',
  cacheWrite: 'Cache write',
  cacheRead: 'Cache read',
};

function priceRow(m = {}) {
  const cell = (name, label, value, attributes) =>
    el(
      'td',
      {},
      el('input', {
        name,
        'aria-label': label,
        value: value ?? '',
        autocomplete: 'off',
        ...attributes,
      }),
    );
  const number = { type: 'number', min: '0', step: 'any', inputmode: 'decimal' };
  const row = el(
    'tr',
    { class: m.source ?? 'own', 'data-model': m.model ?? '' },
    cell('model', 'Model', m.model, { maxlength: '200' }),
    ...PRICE_FIELDS.map((f) => cell(f, PRICE_LABELS[f], m[f], number)),
    cell('contextWindow', 'Context window (tokens)', m.contextWindow, {
      type: 'number',
      min: '1',
      step: '1',
    }),
  );
  row.append(
    el(
      'td',
      {},
      el('button', { type: 'button', class: 'remove', onclick: () => row.remove() }, 'Remove'),
    ),
  );
  if (m.source === 'builtIn') row.title = 'list price';
  else if (m.source === 'changed') row.title = 'your price for a built-in model';
  return row;
}

// An empty box is sent as null and a number as a number, so Parley (not the
// browser) says what is wrong with a row.
function priceRows() {
  return [...$('price-rows').querySelectorAll('tr')].map((tr) => {
    const value = (name) => tr.querySelector(`input[name=${name}]`).value.trim();
    const numberOf = (name) => (value(name) === '' ? null : Number(value(name)));
    const row = { model: value('model') };
    for (const f of [...PRICE_FIELDS, 'contextWindow']) row[f] = numberOf(f);
    return row;
  });
}

// The rows are filled from what Parley holds only when that changes, so an
// update does not undo what is being typed.
function renderPrices(s) {
  const p = s.prices;
  $('prices-problem').hidden = !p.problem;
  $('prices-problem').textContent = p.problem
    ? `Your price file could not be used: ${p.problem}. The estimates use the built-in prices; saving here replaces the file and keeps the old one beside it.`
    : '';
  $('prices-file').textContent = p.file;
  if (!changed('prices', p.models)) return;
  $('price-rows').replaceChildren(...p.models.map((m) => priceRow(m)));
}

function check(id, ok, detail) {
  const item = $(id);
  item.classList.toggle('ok', ok);
  item.querySelector('.mark').textContent = ok ? '✔' : '✘';
  item.querySelector('.detail').textContent = detail;
}

function renderSetup(s) {
  $('setup').hidden = s.setup.completed || setupDismissed;
  const c = s.setup.checks;
  if (!c) {
    for (const id of ['check-tmux', 'check-claude', 'check-tailscale', 'check-hooks'])
      check(id, false, 'checking…');
    return;
  }
  check(
    'check-tmux',
    c.tmux,
    c.tmux
      ? 'found'
      : 'not found — install it with your package manager, for example: sudo apt install tmux',
  );
  check(
    'check-claude',
    c.claude,
    c.claude
      ? 'found'
      : 'not found on PATH — set it up from https://docs.anthropic.com/en/docs/claude-code/setup first',
  );
  check(
    'check-tailscale',
    !!c.tailscaleAccount,
    c.tailscaleAccount
      ? `logged in as ${c.tailscaleAccount}`
      : 'not running or not logged in — this app has no other way to reach your phone',
  );
  $('open-tailscale').hidden = !!c.tailscaleAccount;
  check('check-hooks', s.hooks.installed, s.hooks.installed ? 'registered' : 'not registered yet');
  $('setup-install-hooks').hidden = s.hooks.installed;
}

function render(s) {
  state = s;
  renderHeader(s);
  renderSessions(s);
  renderVoice(s);
  renderPairing(s);
  renderLog(s);
  renderDevices(s);
  renderHooks(s);
  renderNotifications(s);
  renderPhone(s);
  renderPrices(s);
  renderSetup(s);
}

function showWindow(id, shown) {
  $(id).hidden = !shown;
  if (id === 'voice') {
    clearInterval(voicePoll);
    // The level and transcript move faster than anything else: poll them
    // while the window is open.
    voicePoll = shown ? setInterval(refresh, 250) : null;
  }
}

async function refresh() {
  try {
    const response = await fetch('/api/state');
    if (response.ok) render(await response.json());
  } catch {
    /* the event stream reports a lost connection */
  }
}

function connect() {
  const events = new EventSource('/api/events');
  events.onmessage = (e) => {
    showProblem(null);
    render(JSON.parse(e.data));
  };
  events.onerror = () => showProblem('Lost touch with Parley. Is it still running?');
}

function wire() {
  $('pair-form').addEventListener('submit', (e) => {
    e.preventDefault();
    act('pair', { deviceName: $('device-name').value.trim() });
  });
  $('collapse-offer').addEventListener('click', () => act('discardOffer'));
  $('talk').addEventListener('click', () => act('talk'));
  $('show-voice').addEventListener('click', () => showWindow('voice', true));
  $('stop-voice').addEventListener('click', () => act('stopVoice'));
  $('voice-toggle').addEventListener('click', () =>
    act(state?.voice.running ? 'stopVoice' : 'talk'),
  );
  $('voice-close').addEventListener('click', () => {
    act('stopVoice');
    showWindow('voice', false);
  });
  $('open-settings').addEventListener('click', () => showWindow('settings', true));
  $('close-settings').addEventListener('click', () => showWindow('settings', false));
  $('clear-log').addEventListener('click', () => act('clearLog'));
  $('quit').addEventListener('click', async () => {
    await act('quit');
    $('quit-note').hidden = false;
  });
  for (const tab of document.querySelectorAll('[role=tab]')) {
    tab.addEventListener('click', () => {
      for (const t of document.querySelectorAll('[role=tab]')) {
        t.setAttribute('aria-selected', String(t === tab));
        $(`tab-${t.dataset.tab}`).hidden = t !== tab;
      }
    });
  }
  $('revoke-yes').addEventListener('click', () => {
    if (pendingRevoke) act('revoke', { deviceID: pendingRevoke.id });
    pendingRevoke = null;
    renderRevoke();
  });
  $('revoke-cancel').addEventListener('click', () => {
    pendingRevoke = null;
    renderRevoke();
  });
  $('install-hooks').addEventListener('click', () => act('installHooks'));
  $('setup-install-hooks').addEventListener('click', () => act('installHooks'));
  $('uninstall-hooks').addEventListener('click', () => act('uninstallHooks'));
  $('recheck-hooks').addEventListener('click', () => act('recheckHooks'));
  $('reveal').addEventListener('click', () => act('revealBackup'));
  $('open-tailscale').addEventListener('click', () => act('openTailscale'));
  $('notifications-form').addEventListener('submit', (e) => {
    e.preventDefault();
    act('setNotifications', {
      push: document.querySelector('input[name=push]:checked')?.value ?? 'whenAway',
      awayAfterSeconds: Number($('away-after').value),
      unansweredAfterSeconds: Number($('unanswered-after').value),
      pingOnly: $('ping-only').checked,
      vapidSubject: $('vapid-subject').value.trim(),
    });
  });
  $('phone-grant-modes').addEventListener('change', (e) =>
    act('setPhoneGrantModes', { allowed: e.target.checked }),
  );
  $('add-price').addEventListener('click', () => {
    const row = priceRow();
    $('price-rows').append(row);
    row.querySelector('input').focus();
  });
  $('prices-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    // Said beside the form too: the settings window covers the panel's own
    // line.
    const problem = await act('setPrices', { models: priceRows() });
    $('prices-error').hidden = !problem;
    $('prices-error').textContent = problem ?? '';
    $('prices-saved').hidden = !!problem;
  });
  $('prices-form').addEventListener('input', () => {
    $('prices-saved').hidden = true;
  });
  changesWindow = new ChangesWindow($('changes'));
  $('setup-recheck').addEventListener('click', () => act('setupRecheck'));
  $('setup-continue').addEventListener('click', async () => {
    await act('setupContinue');
    setupDismissed = true;
    $('setup').hidden = true;
  });
}

wire();
refresh();
// A stream opened before the page has loaded keeps it "loading" for ever in
// some browsers; the state fetched above covers the moment in between.
window.addEventListener('load', connect);
