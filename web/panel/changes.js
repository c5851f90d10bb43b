// A session's changes in the control panel: the files its project has
// changed in Git, by area, and each file's diff on a click. Reading only.
// Paths and diff lines are text nodes, never markup.

import { changeGroups, changesStatus, diffParts, fileRow } from './changes_list.js';
import { el } from './dom.js';

// The JSON of a read, or an Error carrying Parley's reason.
async function read(name, body) {
  let response;
  try {
    response = await fetch(`/api/read/${name}`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
    });
  } catch {
    throw new Error('Lost touch with Parley. Is it still running?');
  }
  if (!response.ok) throw new Error((await response.text()).trim());
  return response.json();
}

export class ChangesWindow {
  constructor(root) {
    this.root = root;
    this.sessionID = null;
    this.title = root.querySelector('#changes-title');
    this.status = root.querySelector('#changes-status');
    this.list = root.querySelector('#changes-list');
    // Answers to a request made before the session or the list changed are
    // dropped: each request carries the generation it was made in.
    this.generation = 0;
    root.querySelector('#changes-refresh').addEventListener('click', () => this.refresh());
    root.querySelector('#close-changes').addEventListener('click', () => this.close());
  }

  show(session) {
    this.sessionID = session.id;
    this.seen = session.changesSeen;
    this.title.textContent = `Changes in ${session.name}`;
    this.list.replaceChildren();
    this.root.hidden = false;
    this.refresh();
  }

  // Parley counts the tools that may have changed files as they finish in
  // each session: a new count for this one means the list may be stale.
  follow(sessions) {
    const session = sessions.find((s) => s.id === this.sessionID);
    if (!session || session.changesSeen === this.seen) return;
    this.seen = session.changesSeen;
    this.refresh();
  }

  close() {
    this.sessionID = null;
    this.generation += 1;
    this.root.hidden = true;
  }

  async refresh() {
    if (this.sessionID === null) return;
    const generation = ++this.generation;
    this.status.classList.remove('error');
    this.status.textContent = this.list.children.length ? 'Refreshing…' : 'Reading changes…';
    try {
      const changes = await read('changes', { sessionID: this.sessionID });
      if (generation === this.generation) this.showChanges(changes);
    } catch (e) {
      if (generation !== this.generation) return;
      this.status.classList.add('error');
      this.status.textContent = `Could not read the changes: ${e.message}`;
    }
  }

  showChanges(p) {
    this.status.textContent = changesStatus(p);
    this.list.replaceChildren(...changeGroups(p.files, (file) => this.row(file)));
  }

  row(file) {
    const { li, head, body } = fileRow(file);
    head.addEventListener('click', () => {
      const open = body.hidden;
      head.setAttribute('aria-expanded', String(open));
      body.hidden = !open;
      if (open) this.loadDiff(file, body);
    });
    return li;
  }

  async loadDiff(file, body) {
    const generation = this.generation;
    body.replaceChildren(el('p', 'hint', 'Loading the diff…'));
    let parts;
    try {
      parts = diffParts(
        await read('fileDiff', { sessionID: this.sessionID, path: file.path, area: file.area }),
      );
    } catch (e) {
      parts = [el('p', 'hint error', `Could not read this diff: ${e.message}`)];
    }
    if (generation === this.generation) body.replaceChildren(...parts);
  }
}
