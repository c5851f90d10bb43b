// The "New session" view: the projects Claude Code has records of, newest
// first; a new session in one (with an optional first prompt) or a past one
// resumed. The desktop names projects and past sessions by its own ids, and
// only those ids go back: never a path or a command.

import { el } from './dom.js';

const PAGE_HINT =
  'Trusting a folder is decided at the desk: open it there once with claude, then start it from here.';

function ago(date) {
  if (!date) return 'no recent activity';
  const minutes = Math.max(0, Math.round((Date.now() - Date.parse(date)) / 60000));
  if (minutes < 1) return 'active just now';
  if (minutes < 60) return `active ${minutes} min ago`;
  const hours = Math.round(minutes / 60);
  if (hours < 48) return `active ${hours} h ago`;
  return `active ${Math.round(hours / 24)} days ago`;
}

const plural = (n, word) => `${n} ${word}${n === 1 ? '' : 's'}`;

export class ProjectsView {
  // `send(type, payload)` sends to the desktop; `newID()` makes a command id.
  constructor(root, send, newID) {
    this.root = root;
    this.send = send;
    this.newID = newID;
    this.status = root.querySelector('.projects-status');
    this.list = root.querySelector('.project-list');
    this.cards = new Map(); // project id -> card
    this.waiting = false; // a start or resume is on its way
    root.querySelector('.projects-refresh').addEventListener('click', () => this.refresh());
    // Set by the page: a session was started or opened here.
    this.onStarted = null;
  }

  get shown() {
    return !this.root.hidden;
  }

  show() {
    this.root.hidden = false;
    this.refresh();
  }

  hide() {
    this.root.hidden = true;
  }

  refresh() {
    if (!this.shown) return;
    this.status.textContent = 'Reading the projects…';
    this.send('list_projects', {});
  }

  projects(p) {
    this.cards.clear();
    this.list.replaceChildren();
    this.status.textContent = p.projects.length
      ? ''
      : 'Claude Code has no projects on record yet: start one at the desk.';
    for (const project of p.projects) {
      const card = el('li', 'project');
      card.dataset.projectId = project.projectID;
      card.append(el('div', 'name', project.name), el('div', 'path hint', project.path));
      const facts = [ago(project.lastActivity), plural(project.pastSessions, 'past session')];
      if (project.liveSessions) facts.push(`${project.liveSessions} running`);
      card.append(el('div', 'meta hint', facts.join(' · ')));
      const actions = el('div', 'row buttons');
      if (project.trusted) {
        const start = el('button', 'start primary small', 'New session');
        start.type = 'button';
        start.addEventListener('click', () => this.toggleStart(card, project));
        actions.append(start);
      } else {
        card.append(el('p', 'untrusted hint', `Not trusted by Claude Code yet. ${PAGE_HINT}`));
      }
      if (project.pastSessions) {
        const past = el('button', 'history small', 'Past sessions');
        past.type = 'button';
        past.addEventListener('click', () => this.toggleHistory(card, project));
        actions.append(past);
      }
      card.append(actions, el('div', 'start-form'), el('ol', 'past'));
      this.cards.set(project.projectID, card);
      this.list.append(card);
    }
  }

  toggleStart(card, project) {
    const holder = card.querySelector('.start-form');
    if (holder.firstChild) {
      holder.replaceChildren();
      return;
    }
    const form = el('form', 'start');
    const prompt = el('textarea');
    prompt.rows = 2;
    prompt.placeholder = 'First prompt (optional)';
    prompt.setAttribute('aria-label', `First prompt for ${project.name}`);
    const go = el('button', 'primary', `Start in ${project.name}`);
    go.type = 'submit';
    form.append(prompt, go);
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      const text = prompt.value.trim();
      const payload = { clientMsgID: this.newID(), projectID: project.projectID };
      if (text) payload.prompt = text;
      this.begin(`Starting Claude Code in ${project.name}…`, 'start_session', payload);
    });
    holder.replaceChildren(form);
    prompt.focus();
  }

  toggleHistory(card, project) {
    const past = card.querySelector('.past');
    if (past.childElementCount) {
      past.replaceChildren();
      return;
    }
    past.append(el('li', 'hint', 'Reading past sessions…'));
    this.send('list_history', { projectID: project.projectID, offset: 0 });
  }

  history(p) {
    const card = this.cards.get(p.projectID);
    if (!card) return;
    const past = card.querySelector('.past');
    if (p.offset === 0) past.replaceChildren();
    past.querySelector('.more')?.closest('li').remove();
    past.querySelector('li.hint')?.remove();
    for (const s of p.sessions) {
      const item = el('li', 'past-session');
      item.dataset.historyId = s.historyID;
      item.append(el('div', 'prompt', s.firstPrompt || '(no prompt)'));
      item.append(
        el(
          'div',
          'meta hint',
          `${new Date(s.lastActivity).toLocaleString()} · ${plural(s.turns, 'turn')}${s.live ? ' · running' : ''}`,
        ),
      );
      const resume = el('button', 'resume small', s.live ? 'Open' : 'Resume');
      resume.type = 'button';
      resume.addEventListener('click', () =>
        this.begin('Resuming…', 'resume_session', {
          clientMsgID: this.newID(),
          historyID: s.historyID,
        }),
      );
      item.append(resume);
      past.append(item);
    }
    const next = p.offset + p.sessions.length;
    if (next < p.total) {
      const li = el('li');
      const more = el('button', 'more small', `Older (${p.total - next} more)`);
      more.type = 'button';
      more.addEventListener('click', () => {
        more.disabled = true;
        this.send('list_history', { projectID: p.projectID, offset: next });
      });
      li.append(more);
      past.append(li);
    }
  }

  begin(words, type, payload) {
    if (this.waiting) return;
    this.waiting = true;
    this.root.querySelectorAll('button.start, form.start button, button.resume').forEach((b) => {
      b.disabled = true;
    });
    this.status.textContent = words;
    this.send(type, payload);
  }

  settle(text) {
    this.waiting = false;
    this.root.querySelectorAll('button.start, form.start button, button.resume').forEach((b) => {
      b.disabled = false;
    });
    this.status.textContent = text;
  }

  started(p) {
    this.settle(
      p.alreadyLive
        ? `Already running in ${p.tmuxTarget}: opening it. At the desk: ${p.attach}`
        : `Started in ${p.tmuxTarget}; it opens here once Claude Code reports it. At the desk: ${p.attach}`,
    );
    this.onStarted?.(p);
  }

  failed(p) {
    this.settle(p.message || p.code);
  }
}
