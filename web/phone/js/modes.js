// The session's permission mode, and the switch to it from the phone. The
// desktop presses Shift+Tab and reads the footer back; what it refuses (accept
// edits and auto unless allowed at the desk, a switch during a turn) comes
// back as an error, and the list shows the mode the session is really in.

const NAMES = {
  default: 'Manual',
  plan: 'Plan',
  acceptEdits: 'Accept edits',
  auto: 'Auto',
  dontAsk: "Don't ask",
  bypassPermissions: 'Bypass permissions',
};
// The modes the phone may ask for; the others are only ever shown.
const CHOICES = ['default', 'plan', 'acceptEdits', 'auto'];

export class ModeSwitch {
  constructor(select, send, newID) {
    this.select = select;
    this.send = send;
    this.newID = newID;
    this.session = null;
    select.addEventListener('change', () => this.chosen());
  }

  show(session) {
    this.session = session || null;
    const mode = session ? session.permissionMode : '';
    const wanted = [...CHOICES];
    if (mode && !wanted.includes(mode)) wanted.push(mode);
    if (this.select.dataset.modes !== wanted.join()) {
      this.select.replaceChildren(
        ...wanted.map((m) => {
          const option = document.createElement('option');
          option.value = m;
          option.textContent = NAMES[m] || m;
          option.disabled = !CHOICES.includes(m);
          return option;
        }),
      );
      this.select.dataset.modes = wanted.join();
    }
    this.select.value = mode;
    this.select.disabled = !session || !!session.announceOnly || session.state === 'ended';
  }

  chosen() {
    const wanted = this.select.value;
    if (!this.session || wanted === this.session.permissionMode) return;
    // Shown as it is until the desktop's list says it changed.
    this.select.value = this.session.permissionMode;
    this.send('set_mode', {
      clientMsgID: this.newID(),
      sessionID: this.session.sessionID,
      mode: wanted,
    });
  }
}
