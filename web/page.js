// Runs lowlevel-demo in a terminal on this page: what the program writes is shown as a
// terminal shows it, a key pressed in the terminal is its key, and its tones are played
// through WebAudio. A browser lets a page make sound only after the user has touched it,
// so the run starts on the first key press or click.

import { Terminal } from './xterm.mjs';
import create_lowlevel_demo from './lowlevel-demo.js';

const status_line = document.getElementById('status');
const run_again = document.getElementById('again');

const terminal = new Terminal({
  cols: 80, // the size of a classic console: the whole transcript fits, nothing scrolls
  rows: 24,
  tabStopWidth: 8,
  screenReaderMode: true, // the text is also in the page, for screen readers and searching
});
terminal.open(document.getElementById('terminal'));

// The keys pressed in the terminal during a run. Like a terminal's input, it holds a key
// pressed before the program asks for one, unseen, and gives it when asked.
const keys = { waiting: 0, wake_program: null };

terminal.onData(() => {
  if (keys.wake_program) {
    keys.wake_program();
    keys.wake_program = null;
  } else {
    keys.waiting += 1;
  }
});

function next_key() {
  if (keys.waiting > 0) {
    keys.waiting -= 1;
    return Promise.resolve();
  }
  return new Promise((resolve) => {
    keys.wake_program = resolve;
  });
}

// The program writes a bare line feed at a line's end; a terminal's driver sends a carriage
// return before it (the "onlcr" setting), and so does this. A lone carriage return stays
// one: it brings the cursor back to the start of the line.
const LINE_FEED = 10;
const CARRIAGE_RETURN_LINE_FEED = Uint8Array.of(13, 10);

function to_terminal(byte) {
  terminal.write(byte === LINE_FEED ? CARRIAGE_RETURN_LINE_FEED : Uint8Array.of(byte));
}

// Made as the page loads, since starting the browser's audio can take a few hundred
// milliseconds, which the first run would otherwise wait; kept for every run. A browser
// holds it suspended (and may say so in the console) until a gesture resumes it. Without
// WebAudio there is none, and the program plays nothing.
const AudioContextClass = window.AudioContext || window.webkitAudioContext;
const audio_context = AudioContextClass ? new AudioContextClass() : null;

function start_audio() {
  // If the browser still will not play, the run goes on in silence.
  audio_context?.resume().catch(() => {});
}

// The program's code, fetched and compiled while the page waits for the first gesture, so
// that a run starts at once. Each run is a fresh instance of it.
const program_code = WebAssembly.compileStreaming(fetch('lowlevel-demo.wasm'));

function instantiate_program(imports, receive) {
  program_code
    .then((code) => WebAssembly.instantiate(code, imports))
    .then((instance) => receive(instance))
    .catch(show_failure);
  return {}; // the runtime waits for receive()
}

function show_failure(error) {
  status_line.textContent = `The program could not start: ${error}`;
}

function start_run() {
  start_audio();
  terminal.reset();
  keys.waiting = 0; // keys pressed since the last run are not this run's
  terminal.focus();
  status_line.textContent = 'The program is running.';
  run_again.hidden = true;
  create_lowlevel_demo({
    instantiateWasm: instantiate_program,
    stdout: to_terminal,
    audio_context,
    next_key,
    onExit: (status) => {
      status_line.textContent = `The program ended with exit status ${status}.`;
      run_again.hidden = false;
    },
  }).catch(show_failure);
}

// The first key press or click starts the first run. The key is spent on starting: it
// must not reach the terminal and count as the program's key.
const MODIFIERS = ['Shift', 'Control', 'Alt', 'Meta'];

function on_first_gesture(event) {
  if (event.type === 'keydown') {
    if (MODIFIERS.includes(event.key)) {
      return; // not a key on its own, as at a terminal
    }
    event.preventDefault();
  }
  window.removeEventListener('keydown', on_first_gesture);
  window.removeEventListener('click', on_first_gesture);
  start_run();
}

window.addEventListener('keydown', on_first_gesture);
window.addEventListener('click', on_first_gesture);
run_again.addEventListener('click', start_run);
