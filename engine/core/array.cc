#include "engine/core/array.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/core/log.h"

namespace __kestrel4__ {

namespace {

bool MulOverflows(size_t a, size_t b, size_t* out) { return __builtin_mul_overflow(a, b, out); }

}  // namespace

void* z_new_ar1(size_t size, size_t count) {
  if (count == 0) return nullptr;
  size_t bytes;
  if (MulOverflows(size, count, &bytes)) return nullptr;
  // calloc of 0 bytes may return null; an empty element size still gives a
  // valid (empty) block.
  return std::calloc(bytes == 0 ? 1 : bytes, 1);
}

void** z_new_ar2(size_t size, size_t rows, size_t cols) {
  if (rows == 0 || cols == 0) return nullptr;
  size_t row_bytes, bytes, table_bytes;
  if (MulOverflows(rows, sizeof(void*), &table_bytes)) {
    z_log(kLogError, "Error in z_new_ar2_1");
    return nullptr;
  }
  if (MulOverflows(size, cols, &row_bytes) || MulOverflows(row_bytes, rows, &bytes)) {
    z_log(kLogError, "Error in z_new_ar2_2");
    return nullptr;
  }
  void** table = static_cast<void**>(std::malloc(table_bytes));
  if (table == nullptr) {
    z_log(kLogError, "Error in z_new_ar2_1");
    return nullptr;
  }
  char* block = static_cast<char*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
  if (block == nullptr) {
    z_log(kLogError, "Error in z_new_ar2_2");
    std::free(table);
    return nullptr;
  }
  for (size_t i = 0; i < rows; ++i) table[i] = block + i * row_bytes;
  return table;
}

void* z_new_sse_ar1(size_t size, size_t count, size_t align) {
  size_t bytes;
  if (count == 0) return nullptr;
  if (align < sizeof(void*)) align = sizeof(void*);
  void* p = nullptr;
  if (MulOverflows(size, count, &bytes) || (align & (align - 1)) != 0 ||
      posix_memalign(&p, align, bytes == 0 ? align : bytes) != 0) {
    z_log(kLogError, "Error in z_new_ar1");
    return nullptr;
  }
  std::memset(p, 0, bytes);
  return p;
}

void** z_new_sse_ar2(size_t size, size_t rows, size_t cols, size_t align) {
  if (rows == 0 || cols == 0) return nullptr;
  size_t row_bytes, cells, table_bytes;
  if (MulOverflows(rows, sizeof(void*), &table_bytes)) {
    z_log(kLogError, "Error in z_new_ar2_1");
    return nullptr;
  }
  if (MulOverflows(size, cols, &row_bytes) || MulOverflows(cols, rows, &cells)) {
    z_log(kLogError, "Error in z_new_ar1");
    z_log(kLogError, "Error in z_new_sse_ar2");
    return nullptr;
  }
  void** table = static_cast<void**>(std::malloc(table_bytes));
  if (table == nullptr) {
    z_log(kLogError, "Error in z_new_ar2_1");
    return nullptr;
  }
  char* block = static_cast<char*>(z_new_sse_ar1(size, cells, align));
  if (block == nullptr) {
    z_log(kLogError, "Error in z_new_sse_ar2");
    std::free(table);
    return nullptr;
  }
  for (size_t i = 0; i < rows; ++i) table[i] = block + i * row_bytes;
  return table;
}

void z_free_ar2(void** table) {
  if (table == nullptr) return;
  std::free(table[0]);
  std::free(table);
}

z_mic_info* z_getdefaultmicinfo(int n) {
  z_mic_info* info = new z_mic_info;
  info->num = n;
  info->ids = n > 0 ? new int[n] : nullptr;
  for (int i = 0; i < n; ++i) info->ids[i] = i;
  return info;
}

z_mic_info* z_copymicinfo(const z_mic_info* src) {
  z_mic_info* info = new z_mic_info;
  info->num = src->num;
  info->ids = src->num > 0 ? new int[src->num] : nullptr;
  if (src->num > 0) std::memcpy(info->ids, src->ids, sizeof(int) * src->num);
  return info;
}

int z_free_micinfo(z_mic_info*& info) {
  if (info != nullptr) {
    delete[] info->ids;
    delete info;
    info = nullptr;
  }
  return 0;
}

}  // namespace __kestrel4__
