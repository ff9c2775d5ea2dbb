/* libw6ssp: the signal-processing kit that libkestrel and libplover link: a
 * beamformer, a noise suppressor, an automatic gain control and an echo
 * canceller for 16-kHz audio.
 *
 * Conventions shared by every family:
 * - `*_create` returns an opaque 64-bit handle, 0 when it fails. The handle
 *   belongs to the caller until it passes it to the family's `*_free`.
 * - Functions return 0 on success and -1 when a handle is 0 or an argument is
 *   out of range (nothing is written then, except where stated).
 * - Samples are 32-bit floats unless said otherwise; "planar" means channel
 *   after channel in one array. Arrays are borrowed for the duration of a
 *   call only.
 * - Nothing here starts a thread or takes a lock; one handle must be used from
 *   one thread at a time. Processing calls allocate nothing.
 */
#ifndef W6SSP_H
#define W6SSP_H

#include <stdint.h>

#if defined(__GNUC__)
#define W6SSP_API __attribute__((visibility("default")))
#else
#define W6SSP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- process-wide set-up -------------------------------------------------
 * Every owner of kit objects (each configuration store) calls the pair once.
 * The kit keeps no tables shared between objects, so the pair only counts its
 * users: `w6ssp_ssp_init` returns the number of users after the call;
 * `w6ssp_ssp_exit` returns the number left, or -1 (and changes nothing) when
 * it is called more often than `w6ssp_ssp_init`. */
W6SSP_API int w6ssp_ssp_init(void);
W6SSP_API int w6ssp_ssp_exit(void);

/* ---- beamformer -----------------------------------------------------------
 * Far-field delay-and-sum over the microphones given at creation. Each
 * channel is delayed by fractional-delay filters (32-tap Kaiser-windowed
 * sinc) so that a plane wave from the look direction adds in phase; the beam
 * is the mean of the aligned channels, so a wave from the look direction
 * passes at unit gain. The beam lags the sound at the array's centre by the
 * same amount whatever the steering: 15 samples plus the array's acoustic
 * radius (largest |position| / 343.3 m/s) minus the smallest sampling delay.
 * When the steering or the delays change, the next frame fades from the old
 * alignment to the new one over its length (raised cosine), so re-steering
 * never makes a click. */

/* positions: x, y, z in metres for each microphone, in list order (copied);
 * mic_count 1..64; every |coordinate| at most 10 m. Looks at azimuth 0,
 * elevation 0 until steered. Returns 0 on bad arguments. */
W6SSP_API int64_t w6ssp_bf_create(const float* positions, int mic_count);
/* Frame length = frame_ms * sample_rate / 1000 samples (10 ms at 16 kHz:
 * 160); sample_rate 8000..48000, the frame at most 4800 samples. Until this
 * is called the beamformer works on 10-ms frames at 16 kHz. Clears the
 * channel history. */
W6SSP_API int w6ssp_bf_init(int64_t bf, int frame_ms, int sample_rate);
/* Sampling delay of each microphone in seconds (copied; 0 until set): the
 * converter samples microphone m that much later than the nominal instant,
 * so its samples lead the others by that amount. count must equal the
 * microphone count; every |delay| at most 10 ms. */
W6SSP_API int w6ssp_bf_set_mic_delays(int64_t bf, const float* delays, int count);
/* Steers the beam for the frames that follow.
 * azimuth: the direction as the sound-source localiser reports it (its
 *   convention points away from the talker); kept for reference only.
 * elevation: radians above the array's x-y plane.
 * look_azimuth: the physical direction of the talker in radians, counter-
 *   clockwise from the x axis (the callers pass azimuth + pi). This is the
 *   direction the beam looks at.
 * reserved: pass 0; ignored. */
W6SSP_API int w6ssp_bf_steer(int64_t bf, float azimuth, float elevation, float look_azimuth,
                             int reserved);
/* input: one frame per microphone, planar (microphone i at frame * i);
 * total: frame * mic_count; mic_count: the count given at creation.
 * output: receives one frame of beam samples. On a size mismatch the output
 * frame (when the frame length can be known) is zero-filled and -1 returned. */
W6SSP_API int w6ssp_bf_process(int64_t bf, const float* input, int total, int mic_count,
                               float* output);
/* Destroys the beamformer; 0 is accepted. */
W6SSP_API int w6ssp_bf_free(int64_t bf);

/* ---- noise suppressor ------------------------------------------------------
 * One single-channel suppressor per handle (spectral gains with a noise
 * estimate that adapts continuously, on 10-ms frames). It works on the front
 * end's float scale, where full scale is 2^21: the frame is scaled to 16 bits
 * (with saturation) for the filter and back, so the output keeps the input's
 * scale; values beyond +-2^21 are clipped there. */
W6SSP_API int64_t w6ssp_ns_create(void);
/* sample_rate 8000..48000: frames of sample_rate / 100 samples. Must be
 * called before processing; a second call starts the suppressor over. */
W6SSP_API int w6ssp_ns_init(int64_t ns, int sample_rate);
/* Suppression depth of stationary noise: mode 0 = 6 dB, 1 = 12 dB, 2 = 18 dB,
 * 3 = 24 dB (values outside 0..3 are clamped). Default 2. May be called before
 * or after w6ssp_ns_init. */
W6SSP_API int w6ssp_ns_set_mode(int64_t ns, int mode);
/* in: one frame; out: one frame (may be the same array). Before
 * w6ssp_ns_init nothing is written and -1 is returned. */
W6SSP_API int w6ssp_ns_process(int64_t ns, const float* in, float* out);
W6SSP_API int w6ssp_ns_free(int64_t ns);

/* ---- automatic gain control -------------------------------------------------
 * Speech-driven gain: it adapts on frames that look like speech, between unit
 * gain and +30 dB, rising at most 12 dB/s and falling at most 40 dB/s, so that
 * speech settles at about -18 dBFS RMS (peaks near -3 dBFS). A peak limiter
 * follows (the frame is its look-ahead; it recovers at 20 dB/s) and keeps
 * every output sample within -1 dBFS (32767 * 0.89): loud input never clips,
 * not even while the gain is still high from quiet speech. */
W6SSP_API int64_t w6ssp_agc_create(void);
/* Frame length = frame_ms * sample_rate / 1000 (10 ms at 16 kHz: 160 samples),
 * sample_rate 8000..48000, frame_ms 10 or 20. Must be called before
 * processing. */
W6SSP_API int w6ssp_agc_init(int64_t agc, int frame_ms, int sample_rate);
/* samples: one frame of signed 16-bit samples, processed in place. Before
 * w6ssp_agc_init they are left unchanged and -1 is returned. */
W6SSP_API int w6ssp_agc_process(int64_t agc, int16_t* samples);
/* Starts the gain control over (unit gain, nothing learnt); the frame length
 * stays. */
W6SSP_API int w6ssp_agc_reset(int64_t agc);
W6SSP_API int w6ssp_agc_free(int64_t agc);

/* ---- echo canceller -----------------------------------------------------------
 * Multi-channel adaptive echo canceller (frequency-domain block filters with a
 * 128-ms tail, one filter per microphone and loudspeaker reference) on frames
 * of 256 samples, followed by residual-echo suppression on each microphone.
 * Frames are floats at the 16-bit scale (full scale 32768); they are rounded
 * and saturated to 16 bits on the way in. */

/* flags: pass 0 (reserved). */
W6SSP_API int64_t w6ssp_aec_create(int flags);
/* Records the processor numbers the caller allows (at most 16 are kept); the
 * kit starts no threads, so they only document the caller's placement. */
W6SSP_API int w6ssp_aec_set_thread_affinities(int64_t aec, const int* cpus, int count);
/* sample_rate 8000..48000, mic_count 1..32, ref_count 1..8. Must be called
 * before the other calls below; a second call starts the canceller over. */
W6SSP_API int w6ssp_aec_init(int64_t aec, int sample_rate, int mic_count, int ref_count);
/* Stores the loudspeaker reference for the next w6ssp_aec_process: 256
 * samples per reference, planar; total = 256 * ref_count. A later call before
 * processing replaces it. */
W6SSP_API int w6ssp_aec_buffer_farend(int64_t aec, const float* ref, int total);
/* mics: 256 samples per microphone, planar; total = 256 * mic_count; out:
 * the same layout (may be the same array). reserved: pass 0.
 * Uses, then forgets, the reference stored by w6ssp_aec_buffer_farend (no
 * stored reference counts as silence).
 * Result: 0 when that reference carried playback (the echo condition: some
 * reference channel above -78 dBFS RMS, i.e. 4 at the 16-bit scale),
 * 1 when it was silent, -1 on bad arguments or before w6ssp_aec_init (the
 * output is then a copy of the input when the sizes allow). */
W6SSP_API int w6ssp_aec_process(int64_t aec, const float* mics, int total, float* out,
                                int reserved);
W6SSP_API int w6ssp_aec_free(int64_t aec);

#ifdef __cplusplus
}
#endif

#endif /* W6SSP_H */
