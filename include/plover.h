/* libplover: the audio front end of the voice device. Three stages that the
 * application chains on its audio thread:
 *   stage 1 (w6ad1_*): raw 48 kHz capture -> echo-cancelled 16 kHz channels;
 *   stage 2 (w6ad2_*): wake/sleep/request events with Opus-encoded speech;
 *   stage 3 (w6ad3_*): one beamformed, gain-controlled 16-bit channel.
 * Handles of the w6ad1_*, w6ad2_* and w6ad3_* families are plain instance
 * pointers. Settings come from "w6ssp.cfg" and "vt.new.cfg" in the
 * configuration directory given to each *_sysinit. */
#ifndef PLOVER_H
#define PLOVER_H

#include <kestrel.h>

#if defined(__GNUC__)
#define PLOVER_API __attribute__((visibility("default")))
#else
#define PLOVER_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- stage 1 (w6ad1_*) ---- */

/* ---- stage 2 (w6ad2_*) ---- */

/* ---- stage 3 (w6ad3_*) ---- */

#ifdef __cplusplus
}
#endif

#endif /* PLOVER_H */
