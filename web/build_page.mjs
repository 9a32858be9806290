// Puts the page's index.html together at build time: the lesson's source files, highlighted
// (highlight.js, so the page needs no script and no other site for it), and the links to the
// repository, or none where the build does not know it.
// Usage: node build_page.mjs TEMPLATE OUTPUT --repository=URL SOURCE... (URL may be empty)
import fs from 'node:fs';
import path from 'node:path';
import hljs from 'highlight.js/lib/core';
import cpp from 'highlight.js/lib/languages/cpp';

const [template, output, repository_option, ...sources] = process.argv.slice(2);
const repository = repository_option.replace(/^--repository=/, '');
hljs.registerLanguage('cpp', cpp);

// main.cpp is open; the others a click away.
const listings = sources.map((source, i) => {
  const name = path.basename(source);
  const code = hljs.highlight(fs.readFileSync(source, 'utf8'), { language: 'cpp' }).value;
  return `<details${i === 0 ? ' open' : ''}><summary>${name}</summary>` +
    `<pre><code class="hljs">${code}</code></pre></details>`;
});

const links = /<!-- repository -->[^]*<!-- \/repository -->/;
let page = fs.readFileSync(template, 'utf8')
  .replace('<!-- sources -->', listings.join('\n      '))
  .replace(links, (text) => (repository ? text.replaceAll('@REPOSITORY@', repository) : ''));
if (repository) page = page.replaceAll('@REPOSITORY@', repository);
fs.writeFileSync(output, page);
