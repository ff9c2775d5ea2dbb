/* libwren: voice-activity detector for 16-kHz float audio in 10-ms frames of
 * 160 samples. It reports where an utterance starts and where it ends and
 * keeps the utterance's samples.
 *
 * Input: the front end's float scale (full scale +-2^21).
 *
 * How a frame is judged. Each frame gets an energy (below) and the speech
 * probability of a spectral noise estimator (SpeexDSP's preprocessor, which
 * tracks the noise per band and turns the a-priori SNR into a probability; it
 * is given the frame divided by 64, at 16 bits). The detector follows the
 * background level with an adaptive noise floor on the energy: the floor
 * falls within a few frames when a frame is quieter and otherwise rises
 * slowly: 1.3 dB/s, 0.3 dB/s on speech frames, 6 dB/s while the estimator
 * hears only noise (probability below 0.2). The speech threshold is the floor
 * times the margin chosen with VD_NewVad. A frame is speech when its energy is
 * above the threshold and the estimator does not call it noise (probability
 * 0.2 or more), or when the estimator is sure of speech (0.9 or more) and the
 * energy is above the floor by at least half the margin (in dB).
 * Why both: the energy test alone breaks speech that sits only a few dB above
 * the background into fragments (its quieter syllables fall below the
 * threshold), and the probability alone calls noise speech for the first half
 * second or so, while the estimator is still learning the noise, and after
 * any change of the background; the floor alone knows nothing of spectra.
 * Together they find speech-like talk 3 dB above white noise as whole
 * utterances and start nothing on stationary noise of any level.
 *
 * Utterances. Speech starts when 5 of the last 8 frames are speech; the
 * utterance then begins 10 frames (100 ms) before the first of those speech
 * frames (no earlier than the last restart), so soft onsets are kept. It ends
 * after parameter 3 consecutive frames of non-speech, or when it reaches the
 * length of parameter 7. After an end the detector ignores further frames
 * (it still counts them) until VD_RestartVad.
 *
 * Frame numbers count the frames fed since the last VD_RestartVad (or
 * creation), from 0.
 *
 * Energy scale (VD_GetLastFrameEnergy, VD_GetThresholdEnergy): amplitude-like,
 * in the units of the input samples: sqrt(mean square / 5) of the frame after
 * a 120-Hz high-pass. This is the scale of the speech-band frame energy that
 * the wake-word engine's silence check measures (sqrt(sum |X(k)|^2) / 256 over
 * the bins from 125 to 5937 Hz of 256-sample Hamming-windowed frames): the two
 * agree within 0.2 dB on speech and tones, and this one reads 1.3 dB higher on
 * white noise, whose top 2 kHz the check leaves out. The threshold can
 * therefore serve there as a silence reference. A full-scale sine (amplitude
 * 2^21) has energy 663000; steady white noise of RMS r gives about r / 2.24
 * and, with the callers' mode 1, a threshold near r / 1.12.
 *
 * Handles are positive ints; at most 64 detectors exist at a time. Functions
 * given an unknown handle return -1 (pointers: null; energies: 0). No function
 * starts a thread or takes a lock; a detector must be used from one thread at a
 * time; VD_InputFloatWave allocates nothing.
 */
#ifndef WREN_H
#define WREN_H

#if defined(__GNUC__)
#define WREN_API __attribute__((visibility("default")))
#else
#define WREN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Process-wide set-up, counted per caller like the kit's: detectors work
 * without it. VAD_SysInit returns the number of users after the call;
 * VAD_SysExit the number left, or -1 when unbalanced. */
WREN_API int VAD_SysInit(void);
WREN_API int VAD_SysExit(void);

/* mode 0..3 sets the speech threshold above the noise floor: 4, 6, 8 or 10 dB
 * (the callers pass 1: 6 dB); values outside are clamped. Returns the handle,
 * or -1 when 64 detectors exist or memory is short. */
WREN_API int VD_NewVad(int mode);
/* Destroys the detector; its handle becomes invalid (it is not reused by the
 * next VD_NewVad). */
WREN_API int VD_DelVad(int vad);

/* Parameters (the value is read through the pointer when the call is made):
 *   3  silence that ends an utterance, in frames (10 ms); default 45; 1..100000.
 *   7  longest utterance, in frames; default 1000 (10 s); 10..6000. Reaching it
 *      ends the utterance. Setting a new value allocates the utterance store
 *      (the only call besides VD_NewVad that allocates) and restarts the
 *      detector as VD_RestartVad does.
 *   10 ending mode; default 1. 1: the utterance ends with its last speech frame
 *      (the closing silence is not part of it). 0: the utterance runs to the
 *      frame at which the end is reported (for callers that set their own end).
 * Returns 0, or -1 for an unknown number or a value out of range (the
 * parameter is then unchanged). */
WREN_API int VD_SetVadParam(int vad, int param, const int* value);

/* Feeds one frame. samples: count floats, count must be 160. reserved1 and
 * reserved2: pass 0. Returns 1 when the frame was judged speech, 0 when not,
 * -1 on bad arguments (nothing consumed). */
WREN_API int VD_InputFloatWave(int vad, const float* samples, int count, int reserved1,
                               int reserved2);

/* Frame number at which the current utterance begins, or -1 while none has
 * started since the last restart. */
WREN_API int VD_GetVoiceStartFrame(int vad);
/* 0 while no utterance has ended since the last restart; after an end, the
 * frame count at the utterance's end: VD_GetVoiceStartFrame() +
 * VD_GetVoiceFrameNum(). Frames fed since the restart minus this value is
 * therefore the number of frames between the end of the utterance and the
 * newest frame. */
WREN_API int VD_GetVoiceStopFrame(int vad);
/* Frames in the current utterance: while it lasts, every frame from its
 * start to the newest; once it has ended, its final length. 0 before a
 * start. */
WREN_API int VD_GetVoiceFrameNum(int vad);
/* The utterance's samples, 160 per frame counted by VD_GetVoiceFrameNum. The
 * array belongs to the detector; it stays valid until VD_RestartVad,
 * VD_SetVadParam(7) or VD_DelVad, and its first samples do not change while
 * the utterance grows. Never null for a valid handle. */
WREN_API const float* VD_GetFloatVoice(int vad);

/* Forces the start of an utterance at the next frame fed, whatever that frame
 * holds; back (0 or more) earlier frames are included before it, as far as
 * the detector still holds them (at most 31, none before the last restart).
 * The forced frame counts as a speech frame. No effect while an utterance is
 * open or after one has ended. */
WREN_API int VD_SetStart(int vad, int back);
/* Forgets the utterance and the frame count: detection starts over. The
 * noise floor, the estimator and the parameters are kept. */
WREN_API int VD_RestartVad(int vad);

/* Energy of the last frame fed and the current speech threshold, in the scale
 * described above. */
WREN_API float VD_GetLastFrameEnergy(int vad);
WREN_API float VD_GetThresholdEnergy(int vad);

#ifdef __cplusplus
}
#endif

#endif /* WREN_H */
