// Runs the companion, lowlevel-bytes, once the page is loaded, and shows what it prints (the
// lesson's objects as bytes in memory, here in WebAssembly's) below the lesson's code.
import { keep_columns } from './columns.js';

const section = document.createElement('section');
section.id = 'bytes';
const heading = document.createElement('h2');
const output = document.createElement('pre');
heading.textContent = 'The same objects as bytes in memory (lowlevel-bytes)';
section.append(heading, output);
section.hidden = true; // until it prints: a browser that cannot run it shows no empty box
document.querySelector('main').append(section);
keep_columns(output, 80); // its output is in columns, as the terminal's is

// The companion is a classic Emscripten script: it reads its settings from a global Module.
window.Module = {
  print: (line) => {
    output.textContent += `${line}\n`;
    section.hidden = false;
  },
};
const program = document.createElement('script');
program.src = 'lowlevel-bytes.js';
document.body.append(program);
