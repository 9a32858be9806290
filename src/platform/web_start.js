// How the program ends on the web. A C runtime calls main and passes what main returns to
// exit, which flushes the output, ends the program with that status, and here tells the
// page through Module.onExit. Emscripten's runtime does call main, but main suspends at its
// first pause (ASYNCIFY) and the runtime takes that for main's return; main truly returns
// only after the key. That return is handed to exit here.
// (This runs before main does: the runtime waits for the .wasm, which comes later.)
addOnPostRun(() => {
  if (!Asyncify.currData) {
    return; // main ran to its end without suspending: the runtime has passed it to exit
  }
  Asyncify.whenDone()
    .then((status) => exit(status))
    // exit ends by throwing ExitStatus, which only the runtime's handler knows to let pass.
    .catch(handleException);
});
