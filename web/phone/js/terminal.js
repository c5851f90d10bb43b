// Renders a terminal frame (text with SGR colour escapes) into DOM spans.
// Only colours and text attributes are understood; other escapes are dropped.

const BASE = [
  '#000000',
  '#cd3131',
  '#0dbc79',
  '#e5e510',
  '#2472c8',
  '#bc3fbc',
  '#11a8cd',
  '#e5e5e5',
  '#666666',
  '#f14c4c',
  '#23d18b',
  '#f5f543',
  '#3b8eea',
  '#d670d6',
  '#29b8db',
  '#ffffff',
];

function color256(n) {
  if (n < 16) return BASE[n];
  if (n < 232) {
    const steps = [0, 95, 135, 175, 215, 255];
    const i = n - 16;
    return `rgb(${steps[Math.floor(i / 36)]},${steps[Math.floor(i / 6) % 6]},${steps[i % 6]})`;
  }
  const level = 8 + (n - 232) * 10;
  return `rgb(${level},${level},${level})`;
}

// Applies one SGR parameter list to the style, returning the new style.
export function applySgr(style, params) {
  const next = { ...style };
  const codes = params === '' ? [0] : params.split(';').map((p) => Number(p || 0));
  for (let i = 0; i < codes.length; i++) {
    const c = codes[i];
    if (c === 0)
      Object.assign(next, { fg: null, bg: null, b: false, d: false, i: false, u: false, r: false });
    else if (c === 1) next.b = true;
    else if (c === 2) next.d = true;
    else if (c === 3) next.i = true;
    else if (c === 4) next.u = true;
    else if (c === 7) next.r = true;
    else if (c === 22) next.b = next.d = false;
    else if (c === 23) next.i = false;
    else if (c === 24) next.u = false;
    else if (c === 27) next.r = false;
    else if (c >= 30 && c <= 37) next.fg = BASE[c - 30];
    else if (c >= 90 && c <= 97) next.fg = BASE[c - 90 + 8];
    else if (c >= 40 && c <= 47) next.bg = BASE[c - 40];
    else if (c >= 100 && c <= 107) next.bg = BASE[c - 100 + 8];
    else if (c === 39) next.fg = null;
    else if (c === 49) next.bg = null;
    else if (c === 38 || c === 48) {
      let value = null;
      if (codes[i + 1] === 5) {
        value = color256(codes[i + 2] ?? 0);
        i += 2;
      } else if (codes[i + 1] === 2) {
        value = `rgb(${codes[i + 2] ?? 0},${codes[i + 3] ?? 0},${codes[i + 4] ?? 0})`;
        i += 4;
      }
      if (c === 38) next.fg = value;
      else next.bg = value;
    }
  }
  return next;
}

// Fills `target` with the frame's text, coloured.
export function renderFrame(target, text) {
  const fragment = document.createDocumentFragment();
  let style = {};
  const pattern =
    /\x1b\[([0-9;]*)([A-Za-z])|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b[()][0-9A-Za-z]|\x1b./g;
  let at = 0;
  const emit = (chunk) => {
    if (!chunk) return;
    const span = document.createElement('span');
    span.textContent = chunk;
    const fg = style.r ? style.bg || 'var(--term-bg)' : style.fg;
    const bg = style.r ? style.fg || 'var(--term-fg)' : style.bg;
    if (fg) span.style.color = fg;
    if (bg) span.style.backgroundColor = bg;
    span.className = ['b', 'd', 'i', 'u'].filter((k) => style[k]).join(' ');
    fragment.append(span);
  };
  for (let m = pattern.exec(text); m; m = pattern.exec(text)) {
    emit(text.slice(at, m.index));
    if (m[2] === 'm') style = applySgr(style, m[1]);
    at = pattern.lastIndex;
  }
  emit(text.slice(at));
  target.replaceChildren(fragment);
}
