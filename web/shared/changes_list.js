// What both pages draw of a session's changes: the status line, the files
// by area with their row heads, and a diff, coloured line by line. Paths
// and diff lines are text nodes, never markup. Each page's own view decides
// how rows open and where the answers come from.

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

// "3 changed files on main (1 not listed)", and the like.
export function changesStatus(p) {
  const on = p.branch ? ` on ${p.branch}` : '';
  if (!p.repository) return 'This folder is not in a Git repository.';
  if (!p.files.length && !p.unlisted) return `No changes${on}.`;
  const count = p.files.length + p.unlisted;
  const more = p.unlisted ? ` (${p.unlisted} not listed)` : '';
  return `${count} changed file${count === 1 ? '' : 's'}${on}${more}.`;
}

// One section per area that has files, each file's row made by `row`.
export function changeGroups(files, row) {
  const groups = [];
  for (const [area, title] of AREAS) {
    const inArea = files.filter((f) => f.area === area);
    if (!inArea.length) continue;
    const group = el('section', 'changes-group');
    group.dataset.area = area;
    const ul = el('ul');
    for (const file of inArea) ul.append(row(file));
    group.append(el('h3', '', `${title} (${inArea.length})`), ul);
    groups.push(group);
  }
  return groups;
}

// A file's row: its button (the change's letter, the path, the counts) over
// the place its diff goes, closed.
export function fileRow(file) {
  const li = el('li', 'file');
  li.dataset.path = file.path;
  li.dataset.area = file.area;
  const head = el('button', { class: 'file-row', type: 'button', 'aria-expanded': 'false' });
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
  head.append(letter, path, counts);
  const body = el('div', 'file-diff');
  body.hidden = true;
  li.append(head, body);
  return { li, head, body };
}

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

// What a file-diff answer shows under its row.
export function diffParts(p) {
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
  return parts;
}
