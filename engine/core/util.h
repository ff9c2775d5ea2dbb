// Small helpers shared by the engine: numbers, random draws, log-domain
// addition, text tables, directory listing and debug dumps. All are
// reentrant except z_getdatatime (process-wide counter) and the random draws
// (the platform's shared 48-bit generator, never seeded by the library).
#ifndef KESTREL_CORE_UTIL_H
#define KESTREL_CORE_UTIL_H

#include <string>
#include <vector>

namespace __kestrel4__ {

int z_gcd(int a, int b);  // b must not be 0
int z_lcm(int a, int b);

float z_randuniform();  // strictly between 0 and 1
float z_randgauss();    // Box-Muller over two z_randuniform draws

// log(e^a + e^b); results below -5e9 become -1e10, the log of zero.
float z_log_add(float a, float b);

// Non-empty lines of a text file (see util.cc for the exact cutting rule);
// empty when the file cannot be opened (logged).
std::vector<std::string> GetFileContentLst(const char* path);
// Tokens separated by any run of the delimiter characters; no empty tokens.
std::vector<std::string> z_str_split(const char* text, const char* delimiters);
// "dir/name" of every non-directory entry whose extension (after the last
// dot) equals ext ignoring case, in enumeration order.
std::vector<std::string> z_getfilelist(const char* dir, const char* ext);
bool CheckID(const char* bytes, char c0, char c1, char c2, char c3);
std::string GetFileName(const std::string& path);
int z_mkdir(const char* path);
std::string z_getdatatime();

int z_storedata_mat(const char* path, float** rows, int row_count, int col_count);
int z_storedata_vec(const char* path, const float* values, int count);
int z_storedata_vec2(const char* dir, int number, const float* values, int count);

}  // namespace __kestrel4__

#endif
