// Permission and question cards. Approving sits at the top of a card and
// denying at its bottom, well apart, and a card's buttons only arm a moment
// after it appears, so a tap meant for something that just moved never
// lands on a choice. A destructive request offers no approval at all.

import { button, el } from './dom.js';

const ARM_AFTER_MS = 700;
const EDIT_TOOLS = new Set(['Edit', 'MultiEdit', 'Write', 'NotebookEdit']);

function looksLikeDiff(toolName, detail) {
  return (
    EDIT_TOOLS.has(toolName) || /^@@ /m.test(detail) || (/^\+/m.test(detail) && /^-/m.test(detail))
  );
}

// The request's detail, an edit's added and removed lines coloured.
export function detailView(toolName, detail) {
  const pre = el('pre', 'detail');
  if (!looksLikeDiff(toolName, detail)) {
    pre.textContent = detail;
    return pre;
  }
  for (const line of detail.split('\n')) {
    const added = line.startsWith('+') && !line.startsWith('+++');
    const removed = line.startsWith('-') && !line.startsWith('---');
    const span = el('span', added ? 'add' : removed ? 'del' : '', `${line}\n`);
    pre.append(span);
  }
  return pre;
}

function arm(buttons) {
  for (const b of buttons) b.disabled = true;
  setTimeout(() => {
    for (const b of buttons) if (!b.dataset.blocked) b.disabled = false;
  }, ARM_AFTER_MS);
}

// `answer(optionIndex, instruction)` sends the choice.
export function permissionCard(request, sessionName, answer) {
  const destructive = request.tier === 'destructive';
  const card = el('article', `card permission${destructive ? ' destructive' : ''}`);
  card.dataset.requestId = request.requestID;
  card.append(el('h3', '', `${sessionName}: allow ${request.toolName}?`));
  if (request.description) card.append(el('p', '', request.description));
  if (request.detail) card.append(detailView(request.toolName, request.detail));

  const armed = [];
  const choices = el('div', 'choices');
  const denyRow = el('div', 'deny-row');
  const instruction = el('textarea');
  instruction.placeholder = 'Optional: tell Claude what to do instead';
  instruction.setAttribute('aria-label', 'Instruction with the denial');

  if (destructive) {
    choices.append(
      el(
        'p',
        'reason',
        'Destructive: approve at the keyboard if you must; the phone can only deny.',
      ),
    );
  }
  for (const option of request.options) {
    if (option.kind === 'deny') {
      const b = button(option.label || 'Deny', 'deny', () =>
        answer(option.index, instruction.value.trim()),
      );
      denyRow.append(b);
      armed.push(b);
      continue;
    }
    if (destructive) continue;
    const b = button(option.label, option.kind === 'allowOnce' ? 'approve' : '', () =>
      answer(option.index, ''),
    );
    const wrap = el('div');
    wrap.append(b);
    if (option.kind === 'allowOnce') {
      armed.push(b);
    } else {
      b.disabled = true;
      b.dataset.blocked = '1';
      wrap.append(
        el(
          'p',
          'reason',
          option.kind === 'allowAlways'
            ? "Allowing always changes this project's settings: choose it at the keyboard."
            : 'Not an option the phone understands: choose it at the keyboard.',
        ),
      );
    }
    choices.append(wrap);
  }
  denyRow.prepend(instruction);
  card.append(choices, denyRow, el('p', 'outcome'));
  arm(armed);
  return card;
}

// `answer(questionIndex, optionIndex, label)` sends the choice.
export function questionCard(request, sessionName, answer) {
  const card = el('article', 'card question');
  card.dataset.requestId = request.requestID;
  card.append(el('h3', '', `${sessionName}: Claude asks`));
  const armed = [];
  request.questions.forEach((question, qi) => {
    if (question.header) card.append(el('p', 'reason', question.header));
    card.append(el('p', '', question.text));
    const choices = el('div', 'choices');
    question.options.forEach((option, oi) => {
      const b = button(option.label, '', () => answer(qi, oi, option.label));
      armed.push(b);
      choices.append(b);
      if (option.description) choices.append(el('p', 'reason', option.description));
    });
    card.append(choices);
  });
  card.append(el('p', 'outcome'));
  arm(armed);
  return card;
}

// Ends a card's choices with the outcome in words; the card keeps its place.
export function settleCard(card, outcome) {
  card.classList.add('resolved');
  for (const b of card.querySelectorAll('button')) {
    b.disabled = true;
    b.dataset.blocked = '1';
  }
  card.querySelector('.outcome').textContent = outcome;
}
