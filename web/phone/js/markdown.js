// Claude's Markdown as readable text: paragraphs, emphasis, code, lists,
// quotes and headings. Every node is made with createElement and filled
// with textContent, so nothing Claude, a tool or a file wrote is ever read
// as HTML. Links are not made clickable: their text is followed by the
// address, which the person can read before going there.

import { el } from './dom.js';

// Deeper nesting is shown as text: it is never meaningful, and recursion
// on hostile input must stay shallow.
const MAX_DEPTH = 8;
// A link's label and address are short; looking further for their ends
// would make a text of many "[" quadratic.
const MAX_LABEL = 1000;
const MAX_ADDRESS = 2048;

const FENCE = /^ {0,3}(`{3,}|~{3,})(.*)$/;
const HEADING = /^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$/;
const RULE = /^ {0,3}([-*_])(?:[ \t]*\1){2,}[ \t]*$/;
const QUOTE = /^ {0,3}> ?(.*)$/;
const ITEM = /^( {0,3})([-*+]|\d{1,9}[.)])([ \t]+(.*))?$/;

const blank = (line) => line.trim() === '';

function startsBlock(line) {
  return (
    FENCE.test(line) || HEADING.test(line) || RULE.test(line) || QUOTE.test(line) || ITEM.test(line)
  );
}

// A line that ends the paragraph above it. A numbered line does only when it
// counts from 1, so a sentence that wraps onto "2024. was" stays one.
function interrupts(line) {
  const item = ITEM.exec(line);
  if (item && /\d/.test(item[2])) return parseInt(item[2], 10) === 1 && item[4] !== undefined;
  return startsBlock(line);
}

// ---- inline -------------------------------------------------------------------

const PUNCTUATION = /[!-/:-@[-`{-~]/;
const WORD = /[\p{L}\p{N}]/u;

// Whether a run of `marker` at `at` may open (or close) emphasis: it must
// touch text on its inner side, and `_` only counts between non-words, so
// snake_case_names stay as written.
function flanks(text, at, marker, opening) {
  const before = text[at - 1] ?? ' ';
  const after = text[at + marker.length] ?? ' ';
  const inner = opening ? after : before;
  const outer = opening ? before : after;
  if (/\s/.test(inner)) return false;
  return marker[0] !== '_' || !WORD.test(outer);
}

class Inline {
  constructor(text) {
    this.text = text;
    // The last closer found per marker, and from where: the renderer only
    // moves forward, so each stretch of text is searched once, and a text
    // full of lone asterisks or backticks stays linear.
    this.found = new Map();
  }

  // The first `marker` at or after `from` for which `accept(at)` holds.
  search(marker, from, accept) {
    const hit = this.found.get(marker);
    if (hit && from >= hit.from && (hit.at === -1 || from <= hit.at)) return hit.at;
    let at = this.text.indexOf(marker, from);
    while (at !== -1 && !accept(at)) at = this.text.indexOf(marker, at + 1);
    this.found.set(marker, { from, at });
    return at;
  }

  closer(marker, from) {
    return this.search(
      marker,
      from,
      (at) => this.text[at - 1] !== '\\' && flanks(this.text, at, marker, false),
    );
  }

  // The closing backtick run as long as the opening one.
  codeCloser(fence, from) {
    const text = this.text;
    return this.search(
      fence,
      from,
      (at) => text[at - 1] !== '`' && text[at + fence.length] !== '`',
    );
  }

  // Appends the nodes for text[start, end) to `parent`.
  render(parent, start, end, depth) {
    const text = this.text;
    // Plain text is appended in runs, from `plain` up to where a node starts.
    let plain = start;
    const flush = (upTo) => {
      if (upTo > plain) parent.append(document.createTextNode(text.slice(plain, upTo)));
    };
    const special = /[\\\n`*_[<]/g;
    special.lastIndex = start;
    for (let m = special.exec(text); m && m.index < end; m = special.exec(text)) {
      const i = m.index;
      const c = text[i];
      let next = i + 1; // where the scan goes on
      if (c === '\\') {
        if (i + 1 < end && PUNCTUATION.test(text[i + 1])) {
          flush(i);
          plain = i + 1;
          next = i + 2;
        }
      } else if (c === '\n') {
        flush(i);
        parent.append(el('br'));
        plain = next;
      } else if (c === '`') {
        let run = 1;
        while (text[i + run] === '`') run += 1;
        const close = this.codeCloser('`'.repeat(run), i + run);
        next = i + run;
        if (close !== -1 && close + run <= end) {
          flush(i);
          const code = el('code');
          code.textContent = text.slice(i + run, close).replace(/^ (.*) $/s, '$1');
          parent.append(code);
          plain = next = close + run;
        }
      } else if (c === '*' || c === '_') {
        const marker = text[i + 1] === c ? c + c : c;
        next = i + marker.length;
        const close =
          depth < MAX_DEPTH && flanks(text, i, marker, true)
            ? this.closer(marker, i + marker.length + 1)
            : -1;
        if (close !== -1 && close + marker.length <= end) {
          flush(i);
          const node = el(marker.length === 2 ? 'strong' : 'em');
          this.render(node, i + marker.length, close, depth + 1);
          parent.append(node);
          plain = next = close + marker.length;
        }
      } else if (c === '[') {
        const link = depth < MAX_DEPTH ? this.link(i, end) : null;
        if (link) {
          flush(i);
          const label = el('span', 'link');
          this.render(label, i + 1, link.labelEnd, depth + 1);
          parent.append(label);
          if (label.textContent.trim() !== link.address) {
            const address = el('span', 'link-address');
            address.textContent = ` (${link.address})`;
            parent.append(address);
          }
          plain = next = link.end;
        }
      } else if (c === '<') {
        const match = /^<((?:https?|mailto):[^\s<>]*)>/i.exec(
          text.slice(i, Math.min(end, i + MAX_ADDRESS)),
        );
        if (match) {
          flush(i);
          const address = el('span', 'link-address');
          address.textContent = match[1];
          parent.append(address);
          plain = next = i + match[0].length;
        }
      }
      special.lastIndex = next;
    }
    flush(end);
  }

  // "[label](address)" at `at`: where the label ends, the address, and
  // where the whole link ends; null when it is not one.
  link(at, end) {
    const text = this.text;
    // No "]" close enough: not a link, found without walking the label.
    const bracket = this.search(']', at + 1, () => true);
    if (bracket === -1 || bracket >= Math.min(end, at + MAX_LABEL)) return null;
    let nesting = 0;
    for (let i = at + 1; i < Math.min(end, at + MAX_LABEL); i += 1) {
      const c = text[i];
      if (c === '\\') {
        i += 1;
        continue;
      }
      if (c === '\n' && text[i + 1] === '\n') return null;
      if (c === '[') nesting += 1;
      else if (c === ']' && nesting > 0) nesting -= 1;
      else if (c === ']') {
        if (text[i + 1] !== '(') return null;
        const close = text.indexOf(')', i + 2);
        if (close === -1 || close >= end || close - i > MAX_ADDRESS) return null;
        const address = text
          .slice(i + 2, close)
          .trim()
          .replace(/^<(.*)>$/, '$1')
          .split(/\s+/)[0];
        if (!address) return null;
        return { labelEnd: i, address, end: close + 1 };
      }
    }
    return null;
  }
}

function inline(parent, text, depth = 0) {
  new Inline(text).render(parent, 0, text.length, depth);
  return parent;
}

// ---- blocks -------------------------------------------------------------------

function codeBlock(lines, at) {
  const open = FENCE.exec(lines[at]);
  const fence = open[1];
  const closing = new RegExp(`^ {0,3}${fence[0] === '`' ? '`' : '~'}{${fence.length},}[ \\t]*$`);
  const body = [];
  let i = at + 1;
  while (i < lines.length && !closing.test(lines[i])) body.push(lines[i++]);
  const pre = el('pre', 'code');
  const code = el('code');
  code.textContent = body.join('\n');
  const language = open[2].trim().split(/\s+/)[0];
  if (language) pre.dataset.language = language.slice(0, 32);
  pre.append(code);
  return { node: pre, next: i + 1 };
}

// A list: its items' lines, each item's continuation indented past its
// marker, so nested lists and paragraphs render inside their item.
function list(lines, at, depth) {
  const first = ITEM.exec(lines[at]);
  const ordered = /\d/.test(first[2]);
  const node = el(ordered ? 'ol' : 'ul');
  if (ordered) {
    const start = parseInt(first[2], 10);
    if (start !== 1) node.start = start;
  }
  let tight = true;
  let i = at;
  const items = [];
  while (i < lines.length) {
    const m = ITEM.exec(lines[i]);
    if (!m || /\d/.test(m[2]) !== ordered) break;
    const indent =
      m[1].length + m[2].length + Math.min((m[3] ?? ' ').length - (m[4] ?? '').length, 4);
    const body = [m[4] ?? ''];
    i += 1;
    while (i < lines.length) {
      const line = lines[i];
      if (blank(line)) {
        // A blank line stays in the item only when indented text follows.
        let j = i;
        while (j < lines.length && blank(lines[j])) j += 1;
        if (j < lines.length && lines[j].search(/\S/) >= indent) {
          tight = false;
          while (i < j) {
            body.push('');
            i += 1;
          }
          continue;
        }
        break;
      }
      if (line.search(/\S/) >= indent) body.push(line.slice(indent));
      else if (!startsBlock(line) && !blank(body[body.length - 1])) body.push(line.trimStart());
      else break;
      i += 1;
    }
    items.push(body);
    // Blank lines between items make a loose list; the list goes on only
    // when another item follows them.
    let j = i;
    while (j < lines.length && blank(lines[j])) j += 1;
    const following = ITEM.exec(lines[j] ?? '');
    if (!following || /\d/.test(following[2]) !== ordered) break;
    if (j > i) tight = false;
    i = j;
  }
  for (const body of items) {
    const li = el('li');
    // A tight item's first lines are its text, not a paragraph; a nested
    // list or code after them is a block of its own.
    let lead = 0;
    if (tight) {
      while (lead < body.length && !blank(body[lead]) && !(lead > 0 && startsBlock(body[lead])))
        lead += 1;
      if (lead > 0 && startsBlock(body[0])) lead = 0;
      inline(li, body.slice(0, lead).join('\n').trim(), depth);
    }
    blocks(li, body.slice(lead), depth + 1);
    node.append(li);
  }
  return { node, next: i };
}

function blocks(parent, lines, depth) {
  let i = 0;
  while (i < lines.length) {
    const line = lines[i];
    if (blank(line)) {
      i += 1;
      continue;
    }
    if (depth >= MAX_DEPTH) {
      const p = el('p');
      p.textContent = lines.slice(i).join('\n');
      parent.append(p);
      return;
    }
    if (FENCE.test(line)) {
      const block = codeBlock(lines, i);
      parent.append(block.node);
      i = block.next;
      continue;
    }
    const heading = HEADING.exec(line);
    if (heading) {
      // The page's own headings come first: a reply's start at level 3.
      const h = el(`h${Math.min(heading[1].length + 2, 6)}`);
      inline(h, heading[2] ?? '', depth);
      parent.append(h);
      i += 1;
      continue;
    }
    if (RULE.test(line)) {
      parent.append(el('hr'));
      i += 1;
      continue;
    }
    if (QUOTE.test(line)) {
      const quoted = [];
      while (i < lines.length && QUOTE.test(lines[i])) quoted.push(QUOTE.exec(lines[i++])[1]);
      const quote = el('blockquote');
      blocks(quote, quoted, depth + 1);
      parent.append(quote);
      continue;
    }
    if (ITEM.test(line)) {
      const block = list(lines, i, depth);
      parent.append(block.node);
      i = block.next;
      continue;
    }
    const paragraph = [line.trim()];
    i += 1;
    while (i < lines.length && !blank(lines[i]) && !interrupts(lines[i]))
      paragraph.push(lines[i++].trim());
    parent.append(inline(el('p'), paragraph.join('\n'), depth));
  }
}

// A node showing `text` as Markdown, for the feed.
export function renderMarkdown(text) {
  const root = el('div', 'md');
  blocks(
    root,
    String(text ?? '')
      .replace(/\r\n?/g, '\n')
      .split('\n'),
    0,
  );
  return root;
}
