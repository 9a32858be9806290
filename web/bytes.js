// The companion, lowlevel-bytes, on the page: what it prints (the lesson's objects as bytes in
// WebAssembly's memory), a picture of those bytes drawn from its JSON output, and fields for
// the learner's own values. Each change runs the companion again, a fresh instance of the
// one compiled module, with the values as its options; the page computes nothing of the
// bytes itself, and a bad value's message is the companion's own.
import { keep_columns } from './columns.js';

const fields = [
  ['nibble1', '0xa'], ['nibble2', '0xb'], ['nibble3', '0xc'], ['nibble4', '0xd'], ['nibble5', '0xe'],
  ['int', '100'], ['double', '100.0'],
];

const element = (tag, properties = {}, ...children) => {
  const made = Object.assign(document.createElement(tag), properties);
  made.append(...children);
  return made;
};

const section = element('section', { id: 'bytes', hidden: true }); // shown once it has run
section.setAttribute('aria-labelledby', 'bytes-heading');
const output = element('pre');
const picture = element('div', { id: 'bytes-picture' });
const announce = element('p', { id: 'bytes-announce', className: 'visually-hidden' });
announce.setAttribute('role', 'status'); // polite: the update is said once the typing pauses
const share = element('a', { id: 'bytes-share', href: '#bytes' }, 'Link to these values');
const form = element('form', { id: 'bytes-form' });
const inputs = {};
for (const [name, lesson] of fields) {
  const input = element('input', { id: `value-${name}`, type: 'text', name, value: lesson,
                                   spellcheck: false,
                                   autocomplete: 'off' });
  input.setAttribute('autocapitalize', 'off');
  const message = element('span', { id: `value-${name}-message`, className: 'message' });
  input.setAttribute('aria-describedby', message.id);
  inputs[name] = { input, message, lesson };
  form.append(element('p', {}, element('label', { htmlFor: input.id }, `--${name}`), input, message));
}
form.addEventListener('submit', (event) => event.preventDefault());

section.append(
  element('h2', { id: 'bytes-heading' }, 'The same objects as bytes in memory (lowlevel-bytes)'),
  element('p', {}, 'The companion program, built to WebAssembly from the same lesson files, ',
          'copies each object into bytes and prints them, lowest address first. ',
          'Try your own values: it runs again with them on each change.'),
  element('div', { className: 'bytes-try' },
          element('div', {}, element('h3', {}, 'Try your own values'), form,
                  element('p', {}, share), announce),
          element('div', { className: 'bytes-out' }, picture, output)),
  element('p', {}, element('strong', {}, 'Why a pointer is four bytes here. '),
          'WebAssembly (wasm32) addresses its memory with 32-bit numbers, and a pointer to a ',
          'function is a 32-bit index into its table of functions: so a greeting_fn is four ',
          'bytes on this page, and eight on a 64-bit computer.'),
  element('p', {}, element('strong', {}, 'Why the int 100 reads as the double 0.000000. '),
          'Writing 100 to as_int sets only the first four of the eight bytes: 64 00 00 00, ',
          'and the rest stay zero. Read as a double, those bytes are not converted but taken as ',
          'its sign, exponent and fraction bits: an exponent of zero and a tiny fraction, a ',
          'subnormal of about 4.94e-322, which %f prints at six decimals as 0.000000.'));
document.querySelector('main').append(section);
keep_columns(output, 80); // its output is in columns, as the terminal's is

// The values that differ from the lesson's, as the companion's options and as the address.
const options = () => fields.map(([name]) => [name, inputs[name].input.value])
  .filter(([name, value]) => value !== inputs[name].lesson);

// One run of the companion: its lines on standard output and error, and its exit status.
let compiled = null;
const run = (args) => new Promise((resolve) => {
  const result = { out: [], err: [], status: null };
  window.lowlevel_bytes({
    arguments: args,
    print: (line) => result.out.push(line),
    printErr: (line) => result.err.push(line),
    onExit: (status) => { result.status = status; },
    instantiateWasm: (imports, done) => {
      compiled.then((module) => WebAssembly.instantiate(module, imports)).then(done);
      return {};
    },
  }).then(() => resolve(result), () => resolve(result));
});

const cell = (text, className, label) => element('span', { className }, text, ...(label ? [label] : []));

// The record: each byte's eight bits, bit 7 first, each marked with the field that owns it.
function draw_record({ nibble_word: { bytes, fields: owners } }) {
  const groups = bytes.map((byte, address) => {
    const bits = [7, 6, 5, 4, 3, 2, 1, 0].map((bit) => {
      const owner = owners[address][bit];
      const box = cell(owner ? String((byte >> bit) & 1) : '-', owner ? `bit f${owner}` : 'bit unused');
      box.title = owner ? `bit ${bit}: nibble${owner}` : `bit ${bit}: no field uses it`;
      return element('span', { className: 'bit-column' }, cell(String(bit), 'bit-number'), box,
                     cell(owner ? String(owner) : '', 'bit-owner'));
    });
    const used = [...new Set(owners[address].filter(Boolean))].sort().map((f) => `nibble${f}`);
    const group = element('span', { className: 'byte-group' },
                          cell(`byte ${address}`, 'byte-address'), element('span', {}, ...bits));
    group.setAttribute('role', 'img'); // said as one: its bits, then the fields they hold
    group.setAttribute('aria-label', `byte ${address}: bits 7 to 0 ${bits.map((column) =>
      column.children[1].textContent).join('')}, ${used.join(' and ') || 'no field'}`);
    return group;
  });
  return element('figure', {}, element('figcaption', {}, 'nibble_word: bit numbers above, ',
                                       'the field (1 for nibble1 ...) below, - unused'), ...groups);
}

// The union after each write: its eight bytes, the first four as_int's, and what each reads.
function draw_union({ shared_value: writes, sizes }) {
  return element('figure', {}, element('figcaption', {}, 'shared_value after each write'),
    ...writes.map((write) => element('div', { className: 'union-row' },
      element('code', {}, write.write),
      element('span', { className: 'union-bytes' }, ...write.bytes.map((byte, address) =>
        element('span', { className: address < sizes.int ? 'byte as-int' : 'byte' },
                cell(String(address), 'bit-number'), cell(byte.toString(16).padStart(2, '0'), 'hex')))),
      element('span', {}, `as_int reads ${write.as_int}, as_double reads ${write.as_double}`))));
}

// The two runs for one set of values: the text, then the JSON for the picture. A later
// change supersedes an earlier one still running.
let latest = 0;
async function update() {
  const run_number = ++latest;
  const args = options().map(([name, value]) => `--${name}=${value}`);
  const [text, json] = [await run(args), await run([...args, '--json'])];
  if (run_number !== latest) return;
  for (const { input, message } of Object.values(inputs)) {
    message.textContent = '';
    input.removeAttribute('aria-invalid');
  }
  for (const line of text.err) { // each line names its option
    const named = inputs[/--(\w+)/.exec(line)?.[1]];
    if (!named) continue;
    named.message.textContent = line.replace(/^lowlevel-bytes: /, '');
    // A warning's value was taken, even when another field's was refused.
    if (text.status !== 0 && !line.startsWith('lowlevel-bytes: warning: ')) {
      named.input.setAttribute('aria-invalid', 'true');
    }
  }
  const query = new URLSearchParams(options()).toString();
  share.href = `${query ? `?${query}` : location.pathname}#bytes`;
  let shown = [text, json];
  if (text.status !== 0) {
    announce.textContent = text.err.join(' ');
    if (!section.hidden) return; // the last good picture stays, beside the message
    // A bad value from a link, before any good one: the lesson's picture, and the message
    // by its field, where it can be mended.
    shown = [await run([]), await run(['--json'])];
    if (run_number !== latest) return;
  }
  output.textContent = `${shown[0].out.join('\n')}\n`;
  const report = JSON.parse(shown[1].out.join('\n'));
  picture.replaceChildren(draw_record(report), draw_union(report));
  if (text.status === 0) {
    announce.textContent = `Updated: ${report.shared_value.map((write) =>
      `after ${write.write}, as_int reads ${write.as_int} and as_double ${write.as_double}`).join('; ')}.`;
  }
  if (section.hidden) {
    section.hidden = false;
    // The browser could not follow a link's #bytes to it while it was hidden.
    if (location.hash === `#${section.id}`) section.scrollIntoView();
  }
}

// Values from the address, as a share link gives them.
for (const [name, value] of new URLSearchParams(location.search)) {
  if (inputs[name]) inputs[name].input.value = value;
}
let typing = null;
form.addEventListener('input', () => { clearTimeout(typing); typing = setTimeout(update, 0); });

const program = element('script', { src: 'lowlevel-bytes.js' });
program.addEventListener('load', () => {
  compiled = fetch('lowlevel-bytes.wasm').then((response) => response.arrayBuffer())
    .then((code) => WebAssembly.compile(code));
  compiled.then(update, () => {}); // a browser that cannot run it shows no empty box
});
document.body.append(program);
