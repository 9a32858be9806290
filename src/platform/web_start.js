// Added after Emscripten's runtime (--post-js): hands main's return to exit once main has
// truly returned, as a C runtime does. A C runtime calls main and passes what main returns to
// exit, which flushes the output, ends the program with that status, and here tells the
// page through Module.onExit. Emscripten's runtime does call main, but main suspends at its
// first pause (ASYNCIFY) and the runtime takes that for main's return; main truly returns
// only after the key. That return is handed to exit here.
// (This file runs before main does, so it only arranges for that: the runtime starts main
// once the .wasm has loaded.)
addOnPostRun(() => {
  if (!Asyncify.currData) {
    return; // main ran to its end without suspending: the runtime has passed it to exit
  }
  Asyncify.whenDone()
    .then((status) => exit(status))
    // exit ends by throwing ExitStatus, which only the runtime's handler knows to let pass.
    .catch(handleException);
});
