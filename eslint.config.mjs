// ESLint for the two web faces (`make lint`). Plain browser modules, no
// build step; the rules catch mistakes and the ways text could become markup.
const browserGlobals = Object.fromEntries(
  [
    'window', 'document', 'navigator', 'location', 'history', 'console', 'fetch', 'URL',
    'URLSearchParams', 'WebSocket', 'localStorage', 'sessionStorage', 'setTimeout',
    'clearTimeout', 'setInterval', 'clearInterval', 'requestAnimationFrame', 'crypto',
    'TextEncoder', 'TextDecoder', 'Notification', 'AbortController', 'Blob', 'Event',
    'CustomEvent', 'matchMedia', 'performance', 'atob', 'btoa', 'speechSynthesis',
    'SpeechSynthesisUtterance', 'MediaRecorder', 'FileReader', 'Image', 'HTMLElement',
    'getComputedStyle', 'queueMicrotask', 'structuredClone', 'self', 'caches', 'clients',
    'registration', 'Response', 'Request', 'Headers', 'EventSource', 'alert', 'confirm',
    'visualViewport', 'ResizeObserver', 'IntersectionObserver', 'DOMParser', 'createImageBitmap',
  ].map((name) => [name, 'readonly']),
);

export default [
  {
    files: ['web/**/*.js'],
    languageOptions: {
      ecmaVersion: 2022,
      sourceType: 'module',
      globals: browserGlobals,
    },
    rules: {
      'no-undef': 'error',
      'no-unused-vars': ['error', { args: 'none' }],
      'no-unreachable': 'error',
      'no-dupe-keys': 'error',
      'no-duplicate-case': 'error',
      'no-const-assign': 'error',
      'no-self-assign': 'error',
      'no-fallthrough': 'error',
      'no-var': 'error',
      'prefer-const': 'error',
      eqeqeq: ['error', 'always', { null: 'ignore' }],
      'no-eval': 'error',
      'no-implied-eval': 'error',
      'no-new-func': 'error',
      // Text from Claude, a tool, a file or the network is never parsed as
      // HTML: pages build the DOM from elements and text nodes.
      'no-restricted-properties': [
        'error',
        { property: 'innerHTML', message: 'build elements and text nodes instead' },
        { property: 'outerHTML', message: 'build elements and text nodes instead' },
        { property: 'insertAdjacentHTML', message: 'build elements and text nodes instead' },
        { object: 'document', property: 'write', message: 'build elements instead' },
      ],
    },
  },
  {
    files: ['web/phone/sw.js'],
    languageOptions: { sourceType: 'script' },
  },
];
