// The JavaScript half of the web platform layer (web.cpp): the tone, played through the
// page's WebAudio, and the wait for a key from the page's terminal. The page hands the
// program, when it creates it:
//   audio_context  an AudioContext that it started on the user's first gesture, or none
//   next_key()     a promise of the next key pressed in its terminal during the run, kept
//                  at once if one was pressed before
mergeInto(LibraryManager.library, {
  // The tone that web.cpp is handing over, until it starts: its samples, and when it is due
  // on the audio clock. And a moment read on both the page's clock and the audio clock, in
  // seconds, from which the tones are timed.
  $web_tone: { buffer: null, due: 0, clocks: null },

  // When a tone asked for now is due on the audio clock. currentTime moves in steps of the
  // device's buffer, about 10 ms, too coarse to keep the tones a second apart; so the first
  // tone of a run is set a little ahead of it, where no sound is made yet, and each later one
  // as long after the first as the page's clock says. Should the audio clock have stopped
  // meanwhile (a context that the browser suspended), the clocks are read again.
  $web_tone_due__deps: ['$web_tone'],
  $web_tone_due: function (audio) {
    const ahead = 0.03; // more than one step of currentTime on common devices
    const page_now = performance.now() / 1000;
    const clocks = web_tone.clocks;
    if (clocks) {
      const due = clocks.audio + (page_now - clocks.page);
      if (Math.abs(due - audio.currentTime - ahead) < 0.1) {
        return due;
      }
    }
    web_tone.clocks = { page: page_now, audio: audio.currentTime + ahead };
    return web_tone.clocks.audio;
  },

  web_audio_begin_tone__deps: ['$web_tone', '$web_tone_due'],
  web_audio_begin_tone: function (total_frames, sample_rate) {
    const audio = Module['audio_context'];
    // No WebAudio, or audio that the browser has not let start: the run goes on in silence.
    if (!audio || audio.state !== 'running') {
      return false;
    }
    // Due from the call: handing over the samples takes a moment, which must not delay it.
    web_tone.due = web_tone_due(audio);
    web_tone.buffer = audio.createBuffer(1, total_frames, sample_rate);
    return true;
  },

  web_audio_add_samples__deps: ['$web_tone'],
  web_audio_add_samples: function (samples, count, first_frame) {
    const channel = web_tone.buffer.getChannelData(0);
    const first = samples >> 1; // 16-bit samples: HEAP16 counts in twos
    for (let i = 0; i < count; i++) {
      channel[first_frame + i] = HEAP16[first + i] / 32768;
    }
  },

  web_audio_start_tone__deps: ['$web_tone'],
  web_audio_start_tone: function () {
    const audio = Module['audio_context'];
    const source = audio.createBufferSource();
    source.buffer = web_tone.buffer;
    source.connect(audio.destination);
    source.start(web_tone.due);
    web_tone.buffer = null;
  },

  // Suspends the program (ASYNCIFY) until the page has a key for it.
  web_wait_for_key__deps: ['$Asyncify'],
  web_wait_for_key: function () {
    return Asyncify.handleAsync(() => Module['next_key']());
  },
});
