/* Test-only capture of the host log: while capture is on, every line is kept
 * (priority, tag and text) in addition to being written as configured.
 * Not part of the device build. */
#ifndef W6_HOST_LOG_CAPTURE_H
#define W6_HOST_LOG_CAPTURE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Turns capture on (non-zero) or off; turning it on drops what was kept. */
void hostlog_capture(int on);
/* Number of lines kept since capture was turned on. */
int hostlog_count(void);
/* Line i (0 = oldest): its priority, tag and text. The pointers stay valid
 * until the next hostlog_capture call. Returns 0, or -1 when i is out of range. */
int hostlog_get(int i, int* prio, const char** tag, const char** text);

#ifdef __cplusplus
}
#endif
#endif
