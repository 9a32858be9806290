// The JavaScript half of the web platform layer (web.cpp): the program's output, handed to
// the page as it is written; the tone, played through the page's WebAudio; and the wait for
// a key. The page hands the program, when it creates it:
//   write_output(fd, bytes)  shows what the program wrote to standard output (1) or error (2)
//   sound_output()           an AudioContext that plays, or null while there is no sound
//   next_key()               a promise of the next key pressed during the run, kept at once
//                            if one was pressed before
mergeInto(LibraryManager.library, {
  // Every write, as the C library flushes it: a terminal shows no more and no less, so the
  // title is on the screen during the first pause. This takes the place of the runtime's
  // file system, which would hand over the same bytes one at a time.
  fd_write: function (fd, iov, iovcnt, pnum) {
    let written = 0;
    for (let i = 0; i < iovcnt; i++) {
      const base = HEAPU32[(iov >> 2) + 2 * i]; // an iovec: the address, then the length
      const length = HEAPU32[(iov >> 2) + 2 * i + 1];
      Module['write_output'](fd, HEAPU8.slice(base, base + length));
      written += length;
    }
    HEAPU32[pnum >> 2] = written;
    return 0;
  },

  // The tone that web.cpp is handing over, until it starts, and where it will play.
  $web_tone: { buffer: null, audio: null },

  web_audio_begin_tone__deps: ['$web_tone'],
  web_audio_begin_tone: function (total_frames, sample_rate) {
    // No sound (no WebAudio, muted, or not let start by the browser): the run goes on in
    // silence.
    web_tone.audio = Module['sound_output']();
    if (!web_tone.audio) {
      return false;
    }
    web_tone.buffer = web_tone.audio.createBuffer(1, total_frames, sample_rate);
    return true;
  },

  web_audio_add_samples__deps: ['$web_tone'],
  web_audio_add_samples: function (samples, count, first_frame) {
    const first = samples >> 2; // HEAPF32 counts in floats, of four bytes
    web_tone.buffer.copyToChannel(HEAPF32.subarray(first, first + count), 0, first_frame);
  },

  web_audio_start_tone__deps: ['$web_tone'],
  web_audio_start_tone: function () {
    const source = web_tone.audio.createBufferSource();
    source.buffer = web_tone.buffer;
    source.connect(web_tone.audio.destination);
    source.start(); // now: at the first sound that the browser has yet to make
    web_tone.buffer = null;
  },

  // Suspends the program (ASYNCIFY) until the page has a key for it.
  web_wait_for_key__deps: ['$Asyncify'],
  web_wait_for_key: function () {
    return Asyncify.handleAsync(() => Module['next_key']());
  },
});
