/* libkestrel: the wake-word engine of the voice front end.
 *
 * Every family follows one lifecycle: *_sysinit builds a process-wide store
 * once (later calls keep it), *_create makes an instance that one thread
 * feeds block by block, *_free destroys it, *_sysexit destroys the store
 * after the last instance is gone. The library starts no threads and takes
 * no locks; callbacks run on the thread that makes the feeding call.
 *
 * Handles of the w6_vt_*, w6_vbv_*, w6_sl_*, w6_cf_* and w6_rs_* families are
 * 64-bit integers holding the instance pointer sign-extended; 0 is the null
 * handle. Every function given the null handle returns at once without
 * touching memory, with 0 or that function's "nothing" result.
 *
 * Audio is planar float: an array of channel pointers, each a float array,
 * borrowed for the duration of the call. Pointers the library hands out
 * belong to the library and stay valid until the instance's next call that
 * changes its state; the caller never frees them.
 *
 * FFT plans: the library plans its transforms inside *_sysinit, *_create,
 * and when a new word list takes effect (the first w6_vt_process or
 * w6_vt_getbestscore_eer after w6_vt_setwords builds the word detectors,
 * each with its silence checker and, when configured, its classifier).
 * FFTW's planner is not thread-safe, so an application that drives instances
 * from several threads must not run those calls at the same time. */
#ifndef KESTREL_H
#define KESTREL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KESTREL_API __attribute__((visibility("default")))
#else
#define KESTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Shared records. Their byte layout is part of the interface (little-endian,
 * natural alignment) and is asserted below.
 * ---------------------------------------------------------------------- */

/* One configured wake word (26136 bytes). */
typedef struct WordInfo {
  int32_t WordType;              /* 1 or 2; type 2's last phone must be followed by silence */
  char WordContent[256];         /* text of the word, NUL-terminated */
  char WordContent_Phone[25600]; /* pronunciation (phone-list syntax), NUL-terminated */
  float BlockAvgScore;           /* detection threshold on the word score (default 3.0) */
  float BlockMinScore;           /* minimum average score of a block (default -1.0) */
  uint8_t LeftSilCheck;          /* check for silence before the word */
  uint8_t RightSilCheck;         /* check for silence after the word */
  uint8_t CmdChangeAec;          /* force "cmd" under the echo condition */
  uint8_t CmdChangeNoAec;        /* force "cmd" outside it */
  uint8_t ClassifyCheck;         /* confirm with the second-stage classifier */
  uint8_t Reserved0[3];          /* zero */
  float ClassifyNnetShield;      /* the confirmation score must exceed this (default -0.3) */
  char ClassifyNnetPath[256];    /* classifier model path, NUL-terminated */
} WordInfo;

/* Where and how a detected word was found (24 bytes). Filled by the engine;
 * callers only read it. */
typedef struct WordDetInfo {
  int32_t StartOffset; /* samples from the word's start back to the reference end */
  int32_t EndOffset;   /* samples from the score peak back to the reference end */
  float WordEnergy;    /* mean frame energy over the word; 0 without silence checks */
  float Direction[2];  /* talker direction written by the direction callback */
  float Reserved;      /* zero */
} WordDetInfo;

#ifdef __cplusplus
#define KESTREL_STATIC_ASSERT static_assert
#else
#define KESTREL_STATIC_ASSERT _Static_assert
#endif
KESTREL_STATIC_ASSERT(offsetof(WordInfo, WordType) == 0, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, WordContent) == 4, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, WordContent_Phone) == 260, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, BlockAvgScore) == 25860, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, BlockMinScore) == 25864, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, LeftSilCheck) == 25868, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, RightSilCheck) == 25869, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, CmdChangeAec) == 25870, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, CmdChangeNoAec) == 25871, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, ClassifyCheck) == 25872, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, ClassifyNnetShield) == 25876, "WordInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordInfo, ClassifyNnetPath) == 25880, "WordInfo layout");
KESTREL_STATIC_ASSERT(sizeof(WordInfo) == 26136, "WordInfo size");
KESTREL_STATIC_ASSERT(offsetof(WordDetInfo, StartOffset) == 0, "WordDetInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordDetInfo, EndOffset) == 4, "WordDetInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordDetInfo, WordEnergy) == 8, "WordDetInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordDetInfo, Direction) == 12, "WordDetInfo layout");
KESTREL_STATIC_ASSERT(offsetof(WordDetInfo, Reserved) == 20, "WordDetInfo layout");
KESTREL_STATIC_ASSERT(sizeof(WordDetInfo) == 24, "WordDetInfo size");

/* ------------------------------------------------------------------------
 * Wake-word engine (w6_vt_*)
 * ---------------------------------------------------------------------- */

/* Result flags of w6_vt_process (a call may return several). */
#define W6_VT_PRE 1    /* a candidate passed the left-silence stage */
#define W6_VT_AWAKE 2  /* the candidate was confirmed */
#define W6_VT_CANCEL 4 /* the candidate was rejected (classifier or direction check) */
#define W6_VT_CMD 8    /* speech follows the word (or the word's settings force it) */
#define W6_VT_NOCMD 16 /* silence follows the word */

/* Input flags of w6_vt_process. */
#define W6_VT_FLAG_AEC 1 /* echo-cancellation condition: playback is running */
#define W6_VT_FLAG_END 2 /* end of input: decide waiting candidates now */

/* Direction callback: called once per candidate at the score peak, with
 * positions in frames back from the newest audio (leftFrom > leftTo >=
 * wordFrom > wordTo). Writes two angles through `direction` and a silence
 * energy level through `silShield` (preset to 0). */
typedef int (*w6_vt_dosecsl_cb)(int leftFrom, int leftTo, int wordFrom, int wordTo, float* direction,
                                float* silShield, void* user);
/* Direction check: true accepts the confirmed word, false cancels it. */
typedef bool (*w6_vt_checkdirty_cb)(void* user, float* direction);
/* Audio fetch: writes (from - to) * 160 samples, from `from` frames back to
 * `to` frames back, oldest first, into dst. */
typedef int (*w6_vt_getdata_cb)(int from, int to, float* dst, void* user);

/* Builds the process-wide store from the acoustic model (its log-priors are
 * read from the model path with ".prior" appended) and the phone-table path.
 * A second call keeps the existing store. A model that cannot be read is
 * logged and leaves the store without a network; w6_vt_create then returns
 * the null handle. Returns 0. */
KESTREL_API int w6_vt_sysinit(const char* model_path, const char* phone_table_path);
/* Destroys the store; every instance must be freed first. Returns 0. */
KESTREL_API int w6_vt_sysexit(void);
/* New instance for `channels` input channels; the null handle 0 when there is
 * no store, no usable network or channels < 1 (logged). */
KESTREL_API int64_t w6_vt_create(int channels);
/* Destroys the instance; the null handle is accepted. Returns 0. */
KESTREL_API int w6_vt_free(int64_t handle);
/* Replaces the word list (the records are copied; the caller's array may be
 * released after the call). The new list applies at the first process call
 * at which no word is active. Returns 0 after a replacement; with count <= 0
 * nothing changes and the result is 1 when no replacement is pending, 0 when
 * one is. The words are built from the phone table at the store's path, read
 * anew for every list. A list is refused as a whole (nothing changes, result
 * as for count <= 0) when that table cannot be used or when a word could never
 * be scored: a phone list without positions, a position that no triphone of
 * the table covers, or no block marker "#" (each logged with the word and the
 * reason). */
KESTREL_API int w6_vt_setwords(int64_t handle, const WordInfo* words, int count);
/* The instance's copy of the current list; valid until the next
 * w6_vt_setwords. Null and 0 for the null handle. Returns 0. */
KESTREL_API int w6_vt_getwords(int64_t handle, const WordInfo** words, int* count);
/* Feeds `samples` samples of every channel and scores them; returns the
 * W6_VT_* result flags of the active word (0 when none). */
KESTREL_API int w6_vt_process(int64_t handle, const float** channels, int samples, int flags);
/* For the active word: its record and its detection record, filled for a
 * reference end `pending_frames` frames after the audio consumed so far.
 * Returns 0; with no active word both pointers are null and the result is 1.
 * The pointers stay valid until the next call that changes the instance. */
KESTREL_API int w6_vt_getdetwordinfo(int64_t handle, const WordInfo** word, const WordDetInfo** info,
                                     int pending_frames);
/* Back to the initial listening state; words and callbacks stay. Returns 0. */
KESTREL_API int w6_vt_reset(int64_t handle);
/* Threshold tuning: feeds audio like w6_vt_process but scores only word 0;
 * returns the highest word score since the last reset (the lowest finite
 * float without words or for the null handle). */
KESTREL_API float w6_vt_getbestscore_eer(int64_t handle, const float** channels, int samples);
KESTREL_API int w6_vt_set_dosecsl_cb(int64_t handle, w6_vt_dosecsl_cb cb, void* user);
KESTREL_API int w6_vt_set_checkdirty_cb(int64_t handle, w6_vt_checkdirty_cb cb, void* user);
KESTREL_API int w6_vt_set_getdata_cb(int64_t handle, w6_vt_getdata_cb cb, void* user);
/* Does nothing; returns 0. */
KESTREL_API int kestrel_mem_print(void);

/* Placeholders of a grapheme-to-phoneme service that is not part of the
 * system: create returns the null handle, free returns 0, process returns
 * null. */
KESTREL_API int64_t w6_g2p_create(void);
KESTREL_API int w6_g2p_free(int64_t handle);
KESTREL_API const char* w6_g2p_process(int64_t handle, const char* text);

/* The wake-word engine's process-wide store (null before w6_vt_sysinit). */
extern KESTREL_API void* g_VtSto;

/* ------------------------------------------------------------------------
 * Confirmation classifier (w6_cf_*)
 *
 * Scores a whole candidate segment (16 kHz mono floats) with a second
 * network: the log-probability, never above 0, that the segment is the wake
 * word. The wake-word engine's own classifiers use the tables that
 * w6_vt_sysinit sets up; an application that creates classifiers itself calls
 * w6_cf_sysinit before and w6_cf_sysexit after them, and w6_vt_sysexit leaves
 * that hold alone.
 * ---------------------------------------------------------------------- */

/* Short-segment result: fewer than 20 feature frames (about 0.2 s). */
#define W6_CF_TOO_SHORT (-100)

/* Sets up the shared lookup tables for this family. Returns 0. */
KESTREL_API int w6_cf_sysinit(void);
/* Releases this family's use of the tables (they stay while another family
 * still uses them). Returns 0. */
KESTREL_API int w6_cf_sysexit(void);
/* New classifier loading its own copy of the network at model_path; the
 * null handle when the model cannot be used (logged). */
KESTREL_API int64_t w6_cf_create(const char* model_path);
/* Destroys the classifier; the null handle is accepted. Returns 0. */
KESTREL_API int w6_cf_free(int64_t handle);
/* Score of `count` samples; -100 for a segment that is too short or for the
 * null handle. */
KESTREL_API float w6_cf_check_buff(int64_t handle, const float* samples, int count);
/* Score of an audio file (read at 16 kHz, other rates converted); -100 when
 * the file cannot be read or for the null handle. */
KESTREL_API float w6_cf_check_file(int64_t handle, const char* path);
/* Raw per-class sums of the log-posteriors over the segment's frames into
 * sums[0 .. sum_count-1] (columns beyond the network's outputs stay 0).
 * Returns 0, or -100 for a segment that is too short or the null handle. */
KESTREL_API int w6_cf_get_score(int64_t handle, const float* samples, int count, float* sums, int sum_count);

/* ------------------------------------------------------------------------
 * Sound-source localiser (w6_sl_*)
 *
 * Direction of a talker from the microphone channels at 16000 Hz: every 256
 * samples a 1024-sample frame scores 852 candidate directions (72 azimuths
 * on the horizon, fewer on each ring up to 85 degrees in 5-degree steps, the
 * zenith last) by phase-transform cross-correlation of all microphone pairs;
 * the scores of the last 20 s are kept and a query sums a time window.
 *
 * Angles are radians. Azimuth is measured in the x-y plane of the positions
 * from the x axis towards the y axis, elevation from that plane towards +z.
 * Convention: a talker at azimuth A is reported at azimuth A + pi (wrapped
 * into 0 .. 2 pi), the mirror through the array centre; the elevation keeps
 * its value for a flat array. Callers turn the azimuth back (subtract pi
 * before converting to degrees, steer a beam at azimuth + pi).
 * ---------------------------------------------------------------------- */

/* Marks the localiser as a user of the engine's shared lookup tables
 * (built by the first family that needs them). Not required before
 * w6_sl_create. Returns 0. */
KESTREL_API int w6_sl_sysinit(void);
/* Gives up the localiser's use of the shared tables; they are released only
 * when no other family (w6_vt_*, w6_cf_*) still uses them. Returns 0. */
KESTREL_API int w6_sl_sysexit(void);
/* New localiser for `mics` microphones. positions: 3 floats per microphone
 * (x, y, z in metres); delays: one float per microphone, the channel's extra
 * latency in seconds, or null for none. Both are copied. Returns the null
 * handle 0 (logged) when mics is not within 1 .. 64, positions is null, a
 * value is not finite, or the microphones lie more than 511 samples of lag
 * apart (about 11 m, latencies included). */
KESTREL_API int64_t w6_sl_create(int mics, const float* positions, const float* delays);
/* Destroys the instance; the null handle is accepted. Returns 0. */
KESTREL_API int w6_sl_free(int64_t handle);
/* Feeds `samples` samples of each of the `mics` channels (borrowed for the
 * call). Returns 0. */
KESTREL_API float w6_sl_put_data(int64_t handle, float** channels, int samples);
/* The best direction over the frames lying wholly inside the window from
 * `from` to `to` samples back from the newest input (from > to >= 0; at
 * least four frames are summed, and at most the 20 s kept). out[0] receives
 * the azimuth, out[1] the elevation. The last argument is not used. Returns
 * 0. */
KESTREL_API float w6_sl_get_candidate(int64_t handle, int from, int to, float* out, int unused);
/* Starts a new stream: buffered samples and kept scores are dropped. Returns
 * 0. */
KESTREL_API int w6_sl_reset(int64_t handle);

/* ------------------------------------------------------------------------
 * Sample-rate converter (w6_rs_*)
 * ---------------------------------------------------------------------- */

/* Converts planar float audio of `channels` channels from in_rate to
 * out_rate (only the ratio matters) with a polyphase windowed-sinc filter.
 * Input is collected into batches; each batch of `batch` output samples per
 * channel (rounded up to whole filter blocks) is produced as soon as its
 * input is complete, so a call may return no output at all. The filter delay
 * (half the prototype at the interpolated rate) is not compensated.
 *
 * Returns the handle, or the null handle 0 (logged) when channels, batch or
 * a rate is not positive, when the reduced ratio exceeds 16 in either
 * direction, or when the ratio needs an unreasonably large filter (coprime
 * rates such as 44101 and 16000). */
KESTREL_API int64_t w6_rs_create(int channels, int in_rate, int out_rate, int batch);
/* Destroys the converter; the null handle is accepted. Returns 0. */
KESTREL_API int w6_rs_free(int64_t handle);
/* Feeds n samples of every channel (in[c] holds n floats). *out receives the
 * converter's output rows (channels arrays) and *out_count the samples per
 * channel this call produced (at most 2^28: input that would take one call
 * beyond that is consumed without output, logged). The rows belong to the
 * converter and stay valid until its next call; the caller never frees
 * them. For the null handle *out is null and *out_count 0. Returns 0. */
KESTREL_API int w6_rs_process_float(int64_t handle, const float** in, int n, float*** out, int* out_count);
/* Drops buffered input and the filter history. Output after a reset starts
 * one input sample later than after creation. Returns 0. */
KESTREL_API int w6_rs_reset(int64_t handle);

/* ------------------------------------------------------------------------
 * Audio files (w6_aud_*)
 * ---------------------------------------------------------------------- */

/* Planar float audio at the 16-bit sample scale (full scale +-32768).
 * `data` is channels rows of `samples` floats over one contiguous block
 * (row 0 at its start); null when channels or samples is 0. A record and its
 * data belong to whoever received it and are released only with
 * w6_aud_free. */
typedef struct w6_aud_data {
  int channels;
  int rate;    /* Hz */
  int samples; /* per channel */
  float** data;
} w6_aud_data;

/* New zero-filled record, owned by the caller; null (logged) when a count is
 * negative or the block cannot be allocated. */
KESTREL_API w6_aud_data* w6_aud_malloc(int channels, int rate, int samples);
/* Releases the record and its data; null is accepted. Returns 0. */
KESTREL_API int w6_aud_free(w6_aud_data* aud);
/* Reads a WAV file (8-bit PCM, A-law, mu-law, 16-bit, 32-bit integer or
 * float) or a raw file of native 32-bit floats (extension "pcm", one channel
 * at 16000 Hz); the extension decides, ignoring case. When rate is non-zero
 * and differs from the file's rate, the audio is converted as by w6_aud_rs.
 * Returns a new record owned by the caller (release with w6_aud_free), or
 * null when the file cannot be opened, is malformed or unsupported (logged),
 * or cannot be converted. */
KESTREL_API w6_aud_data* w6_aud_in(const char* path, int rate);
/* New record holding `aud` converted to `rate`, owned by the caller; `aud`
 * stays the caller's. Converts in batches of 10 ms of output: input that does
 * not complete the last batch is dropped, and the converter's delay is kept.
 * Null (logged) for a null record, a record without channels or one that
 * claims samples without a data block, a ratio the converter refuses, or a
 * result beyond 2^28 samples per channel. */
KESTREL_API w6_aud_data* w6_aud_rs(const w6_aud_data* aud, int rate);
/* Writes a 16-bit PCM WAV file (44-byte header, interleaved samples). When
 * the peak exceeds 32000 everything is scaled to a peak of 32000; samples are
 * truncated toward zero; not-a-number and infinite samples are written as 0.
 * Returns 0, or -1 when the path or the record is null, the record claims
 * samples without a data block or is too large for the format, or the file
 * cannot be created or written (logged). */
KESTREL_API int w6_aud_out(const char* path, const w6_aud_data* aud);

#ifdef __cplusplus
}
#endif

/* ------------------------------------------------------------------------
 * Multi-channel wake pipeline (w6_vbv_*): exported under decorated C++
 * names, so it is declared only for C++ callers.
 * ---------------------------------------------------------------------- */
#ifdef __cplusplus
#endif

#endif /* KESTREL_H */
