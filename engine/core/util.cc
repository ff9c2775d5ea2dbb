#include "engine/core/util.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/core/log.h"

namespace __kestrel4__ {

int z_gcd(int a, int b) {
  while (true) {
    a %= b;
    if (a == 0) return std::abs(b);
    b %= a;
    if (b == 0) return std::abs(a);
  }
}

int z_lcm(int a, int b) {
  int g = z_gcd(a, b);
  return g * (a / g) * (b / g);
}

float z_randuniform() {
  return static_cast<float>((lrand48() + 1.0) / 2147483649.0);
}

float z_randgauss() {
  float u1 = z_randuniform();
  float u2 = z_randuniform();
  float r = sqrtf(-2.0f * logf(u1));
  return static_cast<float>(static_cast<double>(r) * std::cos(2.0 * M_PI * u2));
}

float z_log_add(float a, float b) {
  float hi = a > b ? a : b;
  float lo = a > b ? b : a;
  float d = lo - hi;
  // The logarithm is taken in double and rounded to float; the sum is a
  // float addition.
  float r = d < -20.0f ? hi : hi + static_cast<float>(std::log(1.0 + expf(d)));
  return r < -5.0e9f ? -1.0e10f : r;
}

std::vector<std::string> GetFileContentLst(const char* path) {
  std::vector<std::string> lines;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    z_log(kLogError, "Failed to load file %s", path);
    return lines;
  }
  char buf[5120];
  while (true) {
    buf[0] = '\0';
    if (std::fgets(buf, sizeof(buf), f) == nullptr) break;
    // Keep the first run of characters other than CR, LF and tab together
    // with what precedes it; the first of those characters after the run
    // ends the line.
    size_t n = std::strlen(buf);
    size_t i = 0;
    while (i < n && (buf[i] == '\r' || buf[i] == '\n' || buf[i] == '\t')) ++i;
    while (i < n && buf[i] != '\r' && buf[i] != '\n' && buf[i] != '\t') ++i;
    bool has_text = false;
    for (size_t k = 0; k < i; ++k) {
      if (buf[k] != '\r' && buf[k] != '\n' && buf[k] != '\t') has_text = true;
    }
    if (!has_text) continue;
    while (i > 0 && buf[i - 1] == ' ') --i;
    if (i == 0) continue;
    lines.emplace_back(buf, i);
  }
  std::fclose(f);
  return lines;
}

std::vector<std::string> z_str_split(const char* text, const char* delimiters) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = text; *p != '\0'; ++p) {
    if (std::strchr(delimiters, *p) != nullptr) {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(*p);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

std::vector<std::string> z_getfilelist(const char* dir, const char* ext) {
  std::vector<std::string> out;
  DIR* d = opendir(dir);
  if (d == nullptr) {
    std::fprintf(stderr, "cannot open directory: %s\n", dir);
    return out;
  }
  while (dirent* e = readdir(d)) {
    std::string full = std::string(dir) + "/" + e->d_name;
    struct stat st;
    if (stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    const char* dot = std::strrchr(e->d_name, '.');
    if (dot == nullptr) continue;
    if (strcasecmp(dot + 1, ext) == 0) out.push_back(full);
  }
  closedir(d);
  return out;
}

bool CheckID(const char* bytes, char c0, char c1, char c2, char c3) {
  return bytes[0] == c0 && bytes[1] == c1 && bytes[2] == c2 && bytes[3] == c3;
}

std::string GetFileName(const std::string& path) {
  size_t pos = path.rfind('\\');
  if (pos == std::string::npos) pos = path.rfind('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

int z_mkdir(const char* path) {
  char buf[512] = {0};
  size_t n = std::strlen(path);
  if (n > 511) n = 511;
  for (size_t i = 0; i < n; ++i) {
    if (path[i] == '/') mkdir(buf, 0777);
    buf[i] = path[i];
  }
  mkdir(buf, 0777);
  return 0;
}

std::string z_getdatatime() {
  static std::atomic<int> counter{0};
  char stamp[64];
  time_t now = std::time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d_%H-%M-%S_", &tmv);
  return std::string(stamp) + std::to_string(counter++);
}

int z_storedata_mat(const char* path, float** rows, int row_count, int col_count) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return 0;
  for (int i = 0; i < row_count; ++i) std::fwrite(rows[i], sizeof(float), col_count, f);
  std::fclose(f);
  return 0;
}

int z_storedata_vec(const char* path, const float* values, int count) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return 0;
  std::fwrite(values, sizeof(float), count, f);
  std::fclose(f);
  return 0;
}

int z_storedata_vec2(const char* dir, int number, const float* values, int count) {
  char path[1024];
  std::snprintf(path, sizeof(path), "%s/%d.dat", dir, number);
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return 0;
  for (int i = 0; i < count; ++i) std::fprintf(f, " %0.6f\n", values[i]);
  std::fclose(f);
  return 0;
}

}  // namespace __kestrel4__
