// A session's changes: the files its project has changed in Git, by area,
// and each file's diff on a tap. Reading only: nothing here can change the
// repository. Paths and diff lines are text nodes, never markup.

import { changeGroups, changesStatus, diffParts, fileRow } from './changes_list.js';
import { el } from './dom.js';

// The tools after which a project may have changed.
export const CHANGING_TOOLS = new Set(['Edit', 'MultiEdit', 'Write', 'NotebookEdit', 'Bash']);

const keyOf = (file) => `${file.area}\n${file.path}`;

export class ChangesView {
  // `send(type, payload)` sends a request to the desktop.
  constructor(root, send) {
    this.root = root;
    this.send = send;
    this.sessionID = null;
    this.open = new Set(); // keys of the files whose diff is shown
    this.status = root.querySelector('.changes-status');
    this.list = root.querySelector('.changes-list');
    root.querySelector('.changes-refresh').addEventListener('click', () => this.refresh());
  }

  get shown() {
    return this.sessionID !== null;
  }

  show(sessionID) {
    this.sessionID = sessionID;
    this.open.clear();
    this.list.replaceChildren();
    this.root.hidden = false;
    this.refresh();
  }

  hide() {
    this.sessionID = null;
    this.root.hidden = true;
  }

  refresh() {
    if (!this.shown) return;
    this.status.textContent = this.list.children.length ? 'Refreshing…' : 'Reading changes…';
    this.send('get_changes', { sessionID: this.sessionID });
  }

  // After a tool finished in `sessionID`: its project may have changed.
  toolFinished(sessionID, toolName) {
    if (sessionID === this.sessionID && CHANGING_TOOLS.has(toolName)) this.refresh();
  }

  changes(p) {
    if (p.sessionID !== this.sessionID) return;
    const time = new Date().toLocaleTimeString([], {
      hour: '2-digit',
      minute: '2-digit',
      second: '2-digit',
    });
    const words = changesStatus(p);
    const found = p.files.length || p.unlisted;
    this.status.textContent = p.repository
      ? `${words} ${found ? 'Updated' : 'Checked'} ${time}.`
      : words;
    const listed = new Set(p.files.map(keyOf));
    for (const key of this.open) if (!listed.has(key)) this.open.delete(key);
    this.list.replaceChildren(...changeGroups(p.files, (file) => this.row(file)));
  }

  row(file) {
    const key = keyOf(file);
    const { li, head: b, body } = fileRow(file);
    const expand = (on) => {
      b.setAttribute('aria-expanded', String(on));
      body.hidden = !on;
      if (on) {
        this.open.add(key);
        body.dataset.loading = '1';
        body.replaceChildren(el('p', 'hint', 'Loading the diff…'));
        this.send('get_file_diff', { sessionID: this.sessionID, path: file.path, area: file.area });
      } else {
        this.open.delete(key);
      }
    };
    b.addEventListener('click', () => expand(body.hidden));
    expand(this.open.has(key));
    return li;
  }

  fileDiff(p) {
    if (p.sessionID !== this.sessionID) return;
    const li = [...this.list.querySelectorAll('li.file')].find(
      (x) => x.dataset.path === p.file.path && x.dataset.area === p.file.area,
    );
    const body = li?.querySelector('.file-diff');
    if (!body || body.hidden) return;
    delete body.dataset.loading;
    body.replaceChildren(...diffParts(p));
  }

  // A request that failed: its reason, where the answer would have gone.
  failed(p) {
    if (p.sessionID !== this.sessionID) return;
    if (p.code === 'get_changes_failed') {
      this.status.textContent = `Could not read the changes: ${p.message}`;
      return;
    }
    // The failure does not say which file it was about: every diff still
    // loading shows it.
    for (const body of this.list.querySelectorAll('.file-diff[data-loading]:not([hidden])')) {
      delete body.dataset.loading;
      body.replaceChildren(el('p', 'hint error', `Could not read this diff: ${p.message}`));
    }
  }
}
