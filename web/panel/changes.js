// A session's changes in the control panel: the files its project has
// changed in Git, by area, and each file's diff on a click. Reading only.
// Paths and diff lines are text nodes, never markup.

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

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

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

// A unified diff's hunks, each line coloured by its first character.
function diffView(text) {
  const pre = el('pre', 'diff');
  const lines = text.split('\n');
  if (lines[lines.length - 1] === '') lines.pop();
  for (const line of lines) {
    const kind = { '+': 'add', '-': 'del', '@': 'hunk', '\\': 'hunk' }[line[0]] || '';
    pre.append(el('span', kind, `${line}\n`));
  }
  return pre;
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
    this.title.textContent = `Changes in ${session.name}`;
    this.list.replaceChildren();
    this.root.hidden = false;
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
    const on = p.branch ? ` on ${p.branch}` : '';
    if (!p.repository) {
      this.status.textContent = 'This folder is not in a Git repository.';
    } else if (!p.files.length && !p.unlisted) {
      this.status.textContent = `No changes${on}.`;
    } else {
      const count = p.files.length + p.unlisted;
      const more = p.unlisted ? ` (${p.unlisted} not listed)` : '';
      this.status.textContent = `${count} changed file${count === 1 ? '' : 's'}${on}${more}.`;
    }
    const groups = [];
    for (const [area, title] of AREAS) {
      const files = p.files.filter((f) => f.area === area);
      if (!files.length) continue;
      const group = el('section', 'changes-group');
      group.dataset.area = area;
      group.append(el('h3', '', `${title} (${files.length})`));
      const ul = el('ul');
      for (const file of files) ul.append(this.row(file));
      group.append(ul);
      groups.push(group);
    }
    this.list.replaceChildren(...groups);
  }

  row(file) {
    const li = el('li', 'file');
    li.dataset.path = file.path;
    li.dataset.area = file.area;
    const b = el('button', 'file-row');
    b.type = 'button';
    b.setAttribute('aria-expanded', 'false');
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
    body.hidden = true;
    li.append(b, body);
    b.addEventListener('click', () => {
      const open = body.hidden;
      b.setAttribute('aria-expanded', String(open));
      body.hidden = !open;
      if (open) this.loadDiff(file, body);
    });
    return li;
  }

  async loadDiff(file, body) {
    const generation = this.generation;
    body.replaceChildren(el('p', 'hint', 'Loading the diff…'));
    const parts = [];
    try {
      const p = await read('fileDiff', {
        sessionID: this.sessionID,
        path: file.path,
        area: file.area,
      });
      if (p.file.binary) parts.push(el('p', 'hint', 'Binary file: no lines to show.'));
      else if (!p.diff)
        parts.push(
          el(
            'p',
            'hint',
            p.file.change === 'renamed'
              ? 'Renamed; the content is unchanged.'
              : 'No changed lines.',
          ),
        );
      else parts.push(diffView(p.diff));
      if (p.truncated)
        parts.push(el('p', 'hint', 'This diff is too long to show whole: here is its start.'));
    } catch (e) {
      parts.push(el('p', 'hint error', `Could not read this diff: ${e.message}`));
    }
    if (generation === this.generation) body.replaceChildren(...parts);
  }
}
