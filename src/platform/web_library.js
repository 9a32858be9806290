// The JavaScript half of the web platform layer (web.cpp): the tone, played through the
// page's WebAudio, and the wait for a key from the page's terminal. The page hands the
// program, when it creates it:
//   audio_context  an AudioContext, which runs once the user's first gesture resumed it,
//                  or none
//   next_key()     a promise of the next key pressed in its terminal during the run, kept
//                  at once if one was pressed before
mergeInto(LibraryManager.library, {
  // The tone that web.cpp is handing over, until it starts.
  $web_tone: { buffer: null },

  web_audio_begin_tone__deps: ['$web_tone'],
  web_audio_begin_tone: function (total_frames, sample_rate) {
    const audio = Module['audio_context'];
    // No WebAudio, or audio that the browser has not let start: the run goes on in silence.
    if (!audio || audio.state !== 'running') {
      return false;
    }
    web_tone.buffer = audio.createBuffer(1, total_frames, sample_rate);
    return true;
  },

  web_audio_add_samples__deps: ['$web_tone'],
  web_audio_add_samples: function (samples, count, first_frame) {
    const first = samples >> 2; // HEAPF32 counts in floats, of four bytes
    web_tone.buffer.copyToChannel(HEAPF32.subarray(first, first + count), 0, first_frame);
  },

  web_audio_start_tone__deps: ['$web_tone'],
  web_audio_start_tone: function () {
    const audio = Module['audio_context'];
    const source = audio.createBufferSource();
    source.buffer = web_tone.buffer;
    source.connect(audio.destination);
    source.start(); // now: at the first sound that the browser has yet to make
    web_tone.buffer = null;
  },

  // Suspends the program (ASYNCIFY) until the page has a key for it.
  web_wait_for_key__deps: ['$Asyncify'],
  web_wait_for_key: function () {
    return Asyncify.handleAsync(() => Module['next_key']());
  },
});
