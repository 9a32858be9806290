// Where a tone could be heard, told without loading a sound library: from the environment
// and a few small files, looked at as libpulse and libasound would look at them. A machine
// with no sound (a server reached over SSH, a build machine) then loads neither library,
// which would cost it a few MiB of memory and milliseconds of CPU for nothing. Each answer
// errs towards yes: a route wrongly thought possible costs a library loaded in vain, one
// wrongly ruled out would cost the tones. docs/sound.md lists what is looked at.
#pragma once

// Whether libpulse would find a sound server to try: one named (PULSE_SERVER, or a client
// configuration's default-server) that is not a missing local socket, or a socket where
// libpulse looks when none is named.
bool sound_server_may_answer();

// Whether ALSA's "default" device may lead somewhere: a sound card, a configuration of the
// user's or the system's, PipeWire's socket (for its plugin), or a sound server that may
// answer (for PulseAudio's plugin).
bool alsa_may_play();
