// Audio files for tools that feed recorded audio to the engines: WAV (8-bit
// PCM, A-law, mu-law, 16-bit, 32-bit integer and float) and raw native
// floats, read into planar float records at the 16-bit sample scale. Files
// come from outside: every header field is checked against the file before
// anything is allocated from it.
#ifndef KESTREL_RS_AUD_H
#define KESTREL_RS_AUD_H

#include "include/kestrel.h"

namespace __kestrel4__ {

// A record from a WAV file, owned by the caller (w6_aud_free); null when the
// file cannot be opened (silently) or is malformed or unsupported (logged).
w6_aud_data* ReadWav(const char* path);
// A record (one channel, 16000 Hz) from a file of native 32-bit floats;
// trailing bytes short of a whole float are ignored. Null when the file
// cannot be opened (silently) or holds less than one float (logged).
w6_aud_data* ReadPcm(const char* path);

// G.711 decoding of one byte to the 16-bit sample scale.
int z_alaw_decode(unsigned char a);
int z_ulaw_decode(unsigned char u);

}  // namespace __kestrel4__

#endif
