// Run by Node.js (`node --no-experimental-fetch lowlevel-bytes.js --double 1.0`: with fetch,
// the loader would fetch the .wasm by its file path, which fails), the companion runs at
// once with the command line's arguments, as at a terminal; loaded by the page, it only
// defines lowlevel_bytes, which the page calls for each run.
if (typeof module === 'object' && typeof require === 'function' && require.main === module) {
  lowlevel_bytes();
}
