// Voice on the phone, with what the browser offers: dictation into the
// prompt box (push-to-talk or hands-free) and narration read aloud.

const Recognition = globalThis.SpeechRecognition || globalThis.webkitSpeechRecognition;
const GrammarList = globalThis.SpeechGrammarList || globalThis.webkitSpeechGrammarList;
const SPEAK_KEY = 'parley.speak';
const RATE_KEY = 'parley.rate';
const HANDS_FREE_KEY = 'parley.handsFree';
// Hands-free sends once the person has been quiet this long after the last
// words heard, as at the desk.
const PAUSE_MS = 1100;

// What a finished utterance asks for: "send it" at its end sends what was
// said before it; "scratch that" clears the box.
export function dictationCommand(text) {
  const t = text.trim();
  if (/^scratch that[.!]?$/i.test(t) || /\bscratch that[.!]?$/i.test(t))
    return { action: 'clear', text: '' };
  const send = /^(.*?)[\s,.]*\bsend it[.!]?$/i.exec(t);
  if (send) return { action: 'send', text: send[1].trim() };
  return { action: 'keep', text: t };
}

export class Voice {
  constructor(storage = localStorage) {
    this.storage = storage;
    this.canListen = Boolean(Recognition);
    this.canSpeak = 'speechSynthesis' in globalThis;
    this.listening = false;
    this.vocab = [];
    // Set by the page: the box's text, replacing it, sending it.
    this.getText = () => '';
    this.setText = () => {};
    this.send = () => {};
    this.onListening = () => {};
  }

  get speakEnabled() {
    return this.storage.getItem(SPEAK_KEY) === '1';
  }
  set speakEnabled(on) {
    this.storage.setItem(SPEAK_KEY, on ? '1' : '0');
    if (!on) this.hush();
  }
  get rate() {
    return Number(this.storage.getItem(RATE_KEY) || 1);
  }
  set rate(value) {
    this.storage.setItem(RATE_KEY, String(value));
  }
  get handsFree() {
    return this.storage.getItem(HANDS_FREE_KEY) === '1';
  }
  set handsFree(on) {
    this.storage.setItem(HANDS_FREE_KEY, on ? '1' : '0');
  }

  support() {
    const parts = [];
    if (!this.canListen) parts.push('This browser has no speech recognition: type instead.');
    if (!this.canSpeak) parts.push('This browser cannot read replies aloud.');
    return parts.join(' ');
  }

  // A newer reply replaces whatever is being said.
  speak(narration) {
    if (!this.canSpeak || !this.speakEnabled || !narration || !narration.speak) return;
    const text = narration.speech || narration.text;
    if (!text || this.listening) return;
    speechSynthesis.cancel();
    const utterance = new SpeechSynthesisUtterance(text);
    utterance.rate = this.rate;
    speechSynthesis.speak(utterance);
  }

  hush() {
    if (this.canSpeak) speechSynthesis.cancel();
  }

  start() {
    if (!this.canListen || this.listening) return;
    this.hush();
    const r = new Recognition();
    r.lang = navigator.language || 'en-US';
    r.interimResults = true;
    r.continuous = this.handsFree;
    if (GrammarList && this.vocab.length) {
      try {
        const list = new GrammarList();
        const words = this.vocab
          .map((w) => w.replace(/[;|<>*+()[\]{}=/\\]/g, ' ').trim())
          .filter(Boolean);
        list.addFromString(`#JSGF V1.0; grammar vocab; public <term> = ${words.join(' | ')} ;`, 1);
        r.grammars = list;
      } catch {
        /* hints are optional */
      }
    }
    this.base = this.getText().trim();
    r.onresult = (event) => this.result(event);
    r.onerror = (event) => {
      this.error = event.error;
    };
    r.onend = () => this.ended();
    this.recognition = r;
    this.error = null;
    this.listening = true;
    this.onListening(true, '');
    r.start();
  }

  stop() {
    if (this.recognition) this.recognition.stop();
  }

  result(event) {
    let finalText = '';
    let interim = '';
    for (let i = event.resultIndex; i < event.results.length; i++) {
      const piece = event.results[i][0].transcript;
      if (event.results[i].isFinal) finalText += piece;
      else interim += piece;
    }
    if (finalText) {
      const command = dictationCommand([this.base, finalText].filter(Boolean).join(' '));
      if (command.action === 'clear') {
        this.base = '';
        this.setText('');
      } else if (command.action === 'send') {
        this.base = '';
        this.setText(command.text);
        this.send();
      } else {
        this.base = command.text;
        this.setText(this.base);
      }
    } else {
      this.setText([this.base, interim].filter(Boolean).join(' '));
    }
    clearTimeout(this.pauseTimer);
    if (this.handsFree) {
      this.pauseTimer = setTimeout(() => {
        if (!this.getText().trim()) return;
        this.base = '';
        this.send();
      }, PAUSE_MS);
    }
  }

  ended() {
    this.listening = false;
    this.recognition = null;
    const why =
      this.error && this.error !== 'no-speech' && this.error !== 'aborted'
        ? `Dictation stopped: ${this.error === 'not-allowed' ? 'the microphone is not allowed' : this.error}.`
        : '';
    this.onListening(false, why);
  }
}
