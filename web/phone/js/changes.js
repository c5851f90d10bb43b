// A session's changes: the files its project has changed in Git, by area,
// and each file's diff on a tap. Reading only: nothing here can change the
// repository. Paths and diff lines are text nodes, never markup.

import { el } from './dom.js';

const AREAS = [
  ['staged', 'Staged'],
  ['unstaged', 'Not staged'],
  ['untracked', 'Untracked'],
];
const LETTERS = { added: 'A', modified: 'M', deleted: 'D', renamed: 'R', typeChanged: 'T' };
const WORDS = {
  added: 'added',
  modified: 'modified',
  deleted: 'deleted',
  renamed: 'renamed',
  typeChanged: 'type changed',
};
// The tools after which a project may have changed.
export const CHANGING_TOOLS = new Set(['Edit', 'MultiEdit', 'Write', 'NotebookEdit', 'Bash']);

const keyOf = (file) => `${file.area}\n${file.path}`;

// A unified diff's hunks, each line coloured by its first character.
export function diffView(text) {
  const pre = el('pre', 'diff');
  const lines = text.split('\n');
  if (lines[lines.length - 1] === '') lines.pop();
  for (const line of lines) {
    const kind = { '+': 'add', '-': 'del', '@': 'hunk', '\\': 'hunk' }[line[0]] || '';
    pre.append(el('span', kind, `${line}\n`));
  }
  return pre;
}

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
    const on = p.branch ? ` on ${p.branch}` : '';
    if (!p.repository) {
      this.status.textContent = 'This folder is not in a Git repository.';
    } else if (!p.files.length && !p.unlisted) {
      this.status.textContent = `No changes${on}. Checked ${time}.`;
    } else {
      const count = p.files.length + p.unlisted;
      const more = p.unlisted ? ` (${p.unlisted} not listed)` : '';
      this.status.textContent = `${count} changed file${count === 1 ? '' : 's'}${on}${more}. Updated ${time}.`;
    }
    const listed = new Set(p.files.map(keyOf));
    for (const key of this.open) if (!listed.has(key)) this.open.delete(key);
    const groups = [];
    for (const [area, title] of AREAS) {
      const files = p.files.filter((f) => f.area === area);
      if (!files.length) continue;
      const group = el('section', 'changes-group');
      group.append(el('h3', '', `${title} (${files.length})`));
      const ul = el('ul');
      for (const file of files) ul.append(this.row(file));
      group.append(ul);
      groups.push(group);
    }
    this.list.replaceChildren(...groups);
  }

  row(file) {
    const key = keyOf(file);
    const li = el('li', 'file');
    li.dataset.path = file.path;
    li.dataset.area = file.area;
    const b = el('button', 'file-row');
    b.type = 'button';
    const letter = el('span', `change ${file.change}`, LETTERS[file.change] || '?');
    letter.title = WORDS[file.change] || file.change;
    const path = el('span', 'path', file.oldPath ? `${file.oldPath} → ${file.path}` : file.path);
    const counts = el('span', 'counts');
    if (file.binary) counts.append(el('span', 'binary', 'binary'));
    else
      counts.append(
        el('span', 'plus', `+${file.added}`),
        ' ',
        el('span', 'minus', `−${file.removed}`),
      );
    b.append(letter, path, counts);
    const body = el('div', 'file-diff');
    li.append(b, body);
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
    const parts = [];
    if (p.file.binary) parts.push(el('p', 'hint', 'Binary file: no lines to show.'));
    else if (!p.diff)
      parts.push(
        el(
          'p',
          'hint',
          p.file.change === 'renamed' ? 'Renamed; the content is unchanged.' : 'No changed lines.',
        ),
      );
    else parts.push(diffView(p.diff));
    if (p.truncated)
      parts.push(el('p', 'hint', 'This diff is too long to show whole: here is its start.'));
    body.replaceChildren(...parts);
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
