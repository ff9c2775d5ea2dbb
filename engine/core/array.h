// Array allocators and the microphone list. Every numeric buffer of the engine
// comes from these: one zero-filled block per array, and two-dimensional
// arrays as a row table over ONE contiguous data block (row 0 at its start),
// so a matrix can also be walked flat through row 0.
#ifndef KESTREL_CORE_ARRAY_H
#define KESTREL_CORE_ARRAY_H

#include <cstddef>

namespace __kestrel4__ {

// Zero-filled block of size * count bytes; null when count is 0 or the size
// overflows. Release with free().
void* z_new_ar1(size_t size, size_t count);
// Row table of `rows` pointers over one zero-filled block of
// size * rows * cols bytes; null when rows or cols is 0. Release the block
// (through row 0) with free(), then the table: z_free_ar2 does both.
void** z_new_ar2(size_t size, size_t rows, size_t cols);
// The same with the data block aligned to `align` bytes (a power of two;
// alignments below the pointer size are raised to it).
void* z_new_sse_ar1(size_t size, size_t count, size_t align);
void** z_new_sse_ar2(size_t size, size_t rows, size_t cols, size_t align);

// Releases a two-dimensional array of any of the allocators above (null is
// accepted). All blocks come from malloc-compatible allocations.
void z_free_ar2(void** table);

// A microphone list: `num` channel indices into the caller's channel array,
// in processing order. Owned by whoever created or copied it.
struct z_mic_info {
  int num;
  int* ids;
};

z_mic_info* z_getdefaultmicinfo(int n);
z_mic_info* z_copymicinfo(const z_mic_info* info);
// Releases the list and sets the caller's pointer to null; null is accepted.
int z_free_micinfo(z_mic_info*& info);

}  // namespace __kestrel4__

#endif
