// Runs lowlevel-demo on this page: what the program writes is shown in a terminal
// (terminal.js), a key pressed anywhere on the page during a run is its key (at the prompt,
// a click or tap on the terminal is one too), and its tones are played through WebAudio.
// A browser lets a page make sound only after a gesture, so a run starts on a key, a click
// on the terminal or the button. Sound is optional: without it, the run keeps its pace.
import { Terminal } from './terminal.js';
import create_lowlevel_demo from './lowlevel-demo.js';

const console_area = document.getElementById('console');
const status_line = document.getElementById('status');
const run_button = document.getElementById('again');
const sound_switch = document.getElementById('sound');
const sound_state = document.getElementById('sound-state');
const terminal = new Terminal(document.getElementById('terminal'));

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
// refuses to make a context, leaves none.
const sound = { context: null, trouble: '' };
try {
  const AudioContextClass = window.AudioContext || window.webkitAudioContext;
  sound.context = AudioContextClass ? new AudioContextClass() : null;
  sound.trouble = AudioContextClass ? '' : 'This browser has no WebAudio';
} catch (error) {
  sound.trouble = `This browser could not start its sound (${error.name})`;
}

// What the program plays through, while it may play.
function sound_output() {
  return sound_switch.checked && sound.context?.state === 'running' ? sound.context : null;
}

function show_sound_state() {
  const silent = sound.trouble || (sound.context && sound.context.state !== 'running'
    && 'The browser has not let this page make sound');
  sound_state.textContent = silent && sound_switch.checked
    ? `${silent}: the run keeps its pace in silence.` : '';
}

// Called on a gesture. A context that does not resume within a second is taken as silent,
// and said to be; if it resumes later, the tones after that are heard.
function start_sound() {
  if (!sound.context) {
    show_sound_state();
    return;
  }
  sound.context.onstatechange = show_sound_state;
  const resumed = Promise.resolve().then(() => sound.context.resume());
  const a_second = new Promise((resolve) => setTimeout(resolve, 1000));
  Promise.race([resumed, a_second]).catch(() => {}).then(show_sound_state);
}

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
  } else if (phase === 'waiting') {
    give_key();
  }
}

addEventListener('keydown', on_key, true); // before a focused element can take it
addEventListener('click', on_click);
run_button.addEventListener('click', start_run);
sound_switch.addEventListener('change', start_sound);
run_button.hidden = false;
say(`Press a key, or ${here}, to start.`);
