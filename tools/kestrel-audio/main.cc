// kestrel-audio: looks at and converts the audio files the engines are fed
// with, through the library's own reader, converter and writer, so what it
// shows is what the engines see.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrel.h"

namespace {

const char kUsage[] =
    "usage: kestrel-audio info FILE\n"
    "       kestrel-audio resample IN OUT --rate R\n"
    "\n"
    "Reads WAV files (8-bit PCM, A-law, mu-law, 16-bit, 32-bit integer or float)\n"
    "and raw .pcm files (native 32-bit floats, mono, 16000 Hz) at the 16-bit\n"
    "sample scale.\n"
    "\n"
    "  info FILE             print channels, sample rate, samples per channel and\n"
    "                        peak absolute sample value\n"
    "  resample IN OUT       convert IN to R Hz and write OUT as a 16-bit WAV file\n"
    "                        (audio louder than 32000 is scaled down to that peak)\n"
    "  --rate R              target sample rate in Hz\n"
    "  --verbose             show the library's log lines on standard error\n"
    "  --help                show this help\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "kestrel-audio: %s\n", message.c_str());
  return 1;
}

bool ParseRate(const char* text, int* rate) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 1000000) return false;
  *rate = static_cast<int>(v);
  return true;
}

// The reader does not say why a file cannot be opened; the tool does.
bool CanOpen(const std::string& path, std::string* why) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(f);
  return true;
}

int Info(const std::string& path, const std::string& hint) {
  std::string why;
  if (!CanOpen(path, &why)) return Fail(why);
  w6_aud_data* aud = w6_aud_in(path.c_str(), 0);
  if (aud == nullptr) return Fail("cannot read " + path + hint);
  double peak = 0.0;
  for (int c = 0; c < aud->channels; ++c) {
    for (int i = 0; i < aud->samples; ++i) peak = std::fmax(peak, std::fabs(static_cast<double>(aud->data[c][i])));
  }
  std::printf("channels: %d\nrate: %d\nsamples: %d\npeak: %g\n", aud->channels, aud->rate, aud->samples, peak);
  w6_aud_free(aud);
  return 0;
}

int Resample(const std::string& in, const std::string& out, int rate, const std::string& hint) {
  std::string why;
  if (!CanOpen(in, &why)) return Fail(why);
  w6_aud_data* aud = w6_aud_in(in.c_str(), rate);
  if (aud == nullptr) return Fail("cannot read " + in + " at " + std::to_string(rate) + " Hz" + hint);
  const int rc = w6_aud_out(out.c_str(), aud);
  w6_aud_free(aud);
  if (rc != 0) return Fail("cannot write " + out + hint);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  bool verbose = false;
  int rate = 0;
  bool haveRate = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--rate") {
      if (i + 1 >= argc || !ParseRate(argv[i + 1], &rate)) return Fail("--rate needs a sample rate in Hz");
      haveRate = true;
      ++i;
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("unknown option " + a + " (see --help)");
    } else {
      args.push_back(a);
    }
  }
  // The library logs its reasons to standard error; unless asked, keep the
  // failure to the one line below.
  std::string hint;
  if (!verbose && std::getenv("KESTREL_LOG") == nullptr) {
    setenv("KESTREL_LOG", "off", 1);
    hint = " (--verbose shows why)";
  }
  if (args.empty()) return Fail("no command given (see --help)");
  if (args[0] == "info") {
    if (args.size() != 2 || haveRate) return Fail("usage: kestrel-audio info FILE");
    return Info(args[1], hint);
  }
  if (args[0] == "resample") {
    if (args.size() != 3 || !haveRate) return Fail("usage: kestrel-audio resample IN OUT --rate R");
    return Resample(args[1], args[2], rate, hint);
  }
  return Fail("unknown command " + args[0] + " (see --help)");
}
