// kestrel-cf: scores audio files with a confirmation network, through the
// library's exported classifier, so that the printed score is the one a
// word's ClassifyNnetShield is compared with.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrel.h"

namespace {

const char kUsage[] =
    "usage: kestrel-cf [--sums N] [--verbose] MODEL FILE...\n"
    "\n"
    "Prints, for every audio file (WAV or raw .pcm, converted to 16 kHz), the\n"
    "confirmation score of the network MODEL: the log-probability (at most 0)\n"
    "that the file holds the wake word. A word is confirmed when this score\n"
    "exceeds its ClassifyNnetShield. Files shorter than 20 frames (about 0.2 s)\n"
    "score -100.\n"
    "\n"
    "  --sums N    print instead the raw per-class sums of the network's\n"
    "              log-posteriors over the file's frames (N columns)\n"
    "  --verbose   show the library's log lines on standard error\n"
    "  --help      show this help\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "kestrel-cf: %s\n", message.c_str());
  return 1;
}

bool CanOpen(const char* path, std::string* why) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    *why = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(f);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int sums = 0;
  bool verbose = false;
  std::vector<const char*> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[i], "--sums") == 0) {
      char* end = nullptr;
      if (i + 1 >= argc) return Fail("--sums needs a column count");
      long n = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || n < 1 || n > 4096) return Fail(std::string("bad column count ") + argv[i]);
      sums = static_cast<int>(n);
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      return Fail(std::string("unknown option ") + argv[i] + " (see --help)");
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!verbose && std::getenv("KESTREL_LOG") == nullptr) setenv("KESTREL_LOG", "off", 1);

  std::string why;
  if (!CanOpen(args[0], &why)) return Fail(why);
  w6_cf_sysinit();
  int64_t cf = w6_cf_create(args[0]);
  if (cf == 0) {
    w6_cf_sysexit();
    return Fail(std::string("cannot use the model ") + args[0] + " (run with --verbose for the reason)");
  }
  int status = 0;
  for (size_t f = 1; f < args.size(); ++f) {
    const char* path = args[f];
    if (!CanOpen(path, &why)) {
      status = Fail(why);
      break;
    }
    if (sums == 0) {
      float score = w6_cf_check_file(cf, path);
      std::printf("%s\t%.6f\n", path, score);
      continue;
    }
    w6_aud_data* aud = w6_aud_in(path, 16000);
    if (aud == nullptr || aud->channels < 1) {
      w6_aud_free(aud);
      status = Fail(std::string("cannot read ") + path + " (run with --verbose for the reason)");
      break;
    }
    std::vector<float> s(sums, 0.0f);
    int rc = w6_cf_get_score(cf, aud->data[0], aud->samples, s.data(), sums);
    w6_aud_free(aud);
    std::printf("%s", path);
    if (rc != 0) {
      std::printf("\ttoo short\n");
      continue;
    }
    for (float v : s) std::printf("\t%.6f", v);
    std::printf("\n");
  }
  w6_cf_free(cf);
  w6_cf_sysexit();
  return status;
}
