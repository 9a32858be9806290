// Runs lowlevel-demo on this page: what the program writes is shown in a terminal
// (terminal.js), a key pressed anywhere on the page during a run is its key (at the prompt,
// a click or tap on the terminal is one too), and its tones are played through WebAudio.
// A browser lets a page make sound only after a gesture, so a run starts on a key, a click
// on the terminal or the button. Sound is optional: without it, the run keeps its pace.
import { Terminal } from './terminal.js';
import { keep_columns } from './columns.js';
import create_lowlevel_demo from './lowlevel-demo.js';

const console_area = document.getElementById('console');
const status_line = document.getElementById('status');
const run_button = document.getElementById('again');
const sound_switch = document.getElementById('sound');
const sound_state = document.getElementById('sound-state');
const terminal = new Terminal(document.getElementById('terminal'));
keep_columns(terminal.element, terminal.columns);

const here = navigator.maxTouchPoints > 0 || matchMedia('(any-pointer: coarse)').matches
  ? 'tap here' : 'click here';
const say = (text) => { status_line.textContent = text; };

// Where the page is: 'ready' for the first run, 'running', 'waiting' for the key at the
// prompt, or 'ended'.
let phase = 'ready';

// The keys pressed during a run. Like a terminal's input, it holds a key pressed before the
// program asks for one, unseen, and gives it when asked.
const keys = { waiting: 0, wake_program: null };

function give_key() {
  if (keys.wake_program) {
    keys.wake_program();
    keys.wake_program = null;
    phase = 'running';
  } else {
    keys.waiting += 1;
  }
}

function next_key() {
  if (keys.waiting > 0) {
    keys.waiting -= 1;
    return Promise.resolve();
  }
  phase = 'waiting';
  say(`Press any key, or ${here}, to exit.`);
  return new Promise((resolve) => {
    keys.wake_program = resolve;
  });
}

// What a program writes, to standard output or error, as a terminal shows both. It writes
// a bare line feed at a line's end; a terminal's driver sends a carriage return before it
// (the "onlcr" setting), and so does this. A lone carriage return stays one: it brings the
// cursor back to the start of the line. Another program's output could go to a terminal of
// its own beside the run the same way.
function to_terminal(terminal_of_run) {
  return (fd, bytes) => {
    const with_returns = [];
    for (const byte of bytes) {
      if (byte === 10) with_returns.push(13);
      with_returns.push(byte);
    }
    terminal_of_run.write(Uint8Array.from(with_returns));
  };
}

// Made as the page loads, since starting the browser's audio can take a few hundred
// milliseconds, which the first run would otherwise wait; kept for every run. The browser
// holds it suspended until a gesture resumes it. A browser without WebAudio, or one that
// refuses to make a context, leaves none. `refused` and `failed` are what the browser said
// when it would not start the sound; `waited`, that it has had a second to start it.
const sound = { context: null, trouble: '', refused: false, failed: '', waited: false };
try {
  const AudioContextClass = window.AudioContext || window.webkitAudioContext;
  sound.context = AudioContextClass ? new AudioContextClass() : null;
  sound.trouble = AudioContextClass ? '' : 'This browser has no WebAudio';
} catch (error) {
  sound.trouble = `This browser could not start its sound (${error.name})`;
}
if (sound.context) {
  sound.context.onstatechange = show_sound_state;
  // Where the browser says that its sound device failed or is missing.
  sound.context.addEventListener('error', () => {
    sound.failed = 'The browser found no sound device';
    show_sound_state();
  });
}

// iOS mutes WebAudio with the ringer (silent) switch unless the page's sound counts as
// playback, as a video's does. Where the browser has no such setting, playing a short silent
// <audio> in a gesture makes it so. (Eight silent samples of a WAV file.)
if (navigator.audioSession) {
  navigator.audioSession.type = 'playback';
}
const silence = navigator.audioSession ? null : new Audio(
  'data:audio/wav;base64,UklGRiwAAABXQVZFZm10IBAAAAABAAEAQB8AAEAfAAABAAgAZGF0YQgAAACAgICAgICAgA==');

// Resumes a context that is not running: on a gesture, on the page being shown again (a
// browser may suspend a hidden page's sound), and before a tone (Safari's "interrupted",
// after a call, ends when the system lets it). Called in a gesture's handler itself, not
// later, as older Safari requires.
function wake_sound() {
  const context = sound.context;
  if (!context || ['running', 'closed'].includes(context.state) || !sound_switch.checked) {
    return;
  }
  context.resume().then(() => { sound.refused = false; }, (error) => {
    sound.refused = error.name === 'NotAllowedError';
    sound.failed = sound.refused ? '' : `The browser could not start its sound (${error.name})`;
  }).then(show_sound_state);
}

// What the program plays through, while it may play.
function sound_output() {
  wake_sound();
  return sound_switch.checked && sound.context?.state === 'running' ? sound.context : null;
}

// Why the run is silent, as far as the browser tells the page. A muted tab or ringer switch
// it does not tell.
function silence_reason() {
  const state = sound.context?.state;
  if (sound.trouble || state === 'running') return sound.trouble;
  if (state === 'interrupted') return 'The system has interrupted this page\'s sound';
  if (sound.refused) return 'The browser has not let this page make sound';
  return sound.failed || (sound.waited && 'The browser has not started its sound');
}

function show_sound_state() {
  const silent = silence_reason();
  sound_state.textContent = silent && sound_switch.checked
    ? `${silent}: the run keeps its pace in silence.` : '';
}

// Called in a gesture's handler. A context that has not resumed within a second is said to
// be silent; if it resumes later, the tones after that are heard.
function start_sound() {
  wake_sound();
  silence?.play().catch(() => {}); // a browser that plays nothing says so through its context
  setTimeout(() => { sound.waited = true; show_sound_state(); }, 1000);
  show_sound_state();
}

addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible' && phase !== 'ready') wake_sound();
});

// The program's code, fetched (the page preloads it) and compiled while the page waits for
// the first gesture, so that a run starts at once. Each run is a fresh instance of it.
// A browser without WebAssembly, or a file that does not come, is said on the page.
const program_code = (async () => WebAssembly.compileStreaming(fetch('lowlevel-demo.wasm')))();
program_code.catch(show_failure);

function instantiate_program(imports, receive) {
  program_code
    .then((code) => WebAssembly.instantiate(code, imports))
    .then((instance) => receive(instance))
    .catch(show_failure);
  return {}; // the runtime waits for receive()
}

function show_failure(error) {
  phase = 'ended';
  say(`The program could not start: ${error}`);
  run_button.hidden = false; // to try again
}

function start_run() {
  start_sound();
  terminal.reset();
  keys.waiting = 0; // keys pressed since the last run are not this run's
  keys.wake_program = null;
  phase = 'running';
  say('The program is running.');
  run_button.hidden = true;
  terminal.element.focus(); // the button had it; and a run started by a key is seen
  create_lowlevel_demo({
    instantiateWasm: instantiate_program,
    write_output: to_terminal(terminal),
    sound_output,
    next_key,
    onExit: (status) => {
      phase = 'ended';
      say(`The program ended with exit status ${status}.`);
      run_button.textContent = 'Run it again';
      run_button.hidden = false;
      run_button.focus();
    },
  }).catch(show_failure);
}

// A key is the program's unless it is the browser's (with Ctrl, Alt or Meta, or a function
// key: F5 reloads, F7 turns on caret browsing), moves focus (Tab), is only a modifier, or
// presses a link, button or switch that has focus. Enter does not flip a switch: at the
// prompt, it is the program's key there too.
const NOT_KEYS = ['Tab', 'Shift', 'Control', 'Alt', 'AltGraph', 'Meta', 'CapsLock'];
const CONTROLS = 'a, button, input, select, textarea, summary';
const PRESSED_BY = { 'Enter': 'a, button, summary', ' ': CONTROLS };
// What is typed into a text field (the companion's values, bytes.js) is the field's alone.
const TYPED_INTO = 'input[type=text], textarea';
// Before a run these scroll the page, to read it, rather than start one.
const SCROLL_KEYS = ['ArrowUp', 'ArrowDown', 'PageUp', 'PageDown', 'Home', 'End'];

function is_program_key(event) {
  if (event.ctrlKey || event.altKey || event.metaKey || NOT_KEYS.includes(event.key)
      || /^F\d+$/.test(event.key) || event.target.closest?.(TYPED_INTO)) {
    return false;
  }
  const presses = PRESSED_BY[event.key];
  return !(presses && event.target.closest?.(presses));
}

function on_key(event) {
  if (phase === 'ended' && event.repeat && event.target === run_button) {
    event.preventDefault(); // the key that ended the run, held: not a new run
  }
  if (!is_program_key(event) || phase === 'ended'
      || (phase === 'ready' && SCROLL_KEYS.includes(event.key))) {
    return;
  }
  event.preventDefault();
  if (event.repeat) {
    return; // a key held down is pressed once: held on from starting a run, still spent
  }
  if (phase !== 'ready') {
    wake_sound(); // a gesture: leave to resume what the system suspended
    give_key();
  } else if (event.key === 'Escape') {
    // Browsers do not take Escape as leave to make sound.
    say(`The Escape key cannot turn the sound on: press another key, or ${here}, to start.`);
  } else {
    start_run(); // the key is spent on starting: it is not the program's
  }
}

function on_click(event) {
  if (!console_area.contains(event.target) || event.target.closest(CONTROLS + ', label')) {
    return;
  }
  if (phase === 'ready') {
    start_run();
    return;
  }
  wake_sound();
  if (phase === 'waiting') {
    give_key();
  }
}

addEventListener('keydown', on_key, true); // before a focused element can take it
addEventListener('click', on_click);
run_button.addEventListener('click', start_run);
sound_switch.addEventListener('change', start_sound);
run_button.hidden = false;
say(`Press a key, or ${here}, to start.`);
