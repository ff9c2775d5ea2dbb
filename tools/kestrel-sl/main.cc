// kestrel-sl: where did the talker speak from? Feeds a multichannel recording
// (one channel per microphone) to the library's localiser and prints the
// direction for a span of the file, or a track over the whole file.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "kestrel.h"

namespace {

const char kUsage[] =
    "usage: kestrel-sl POSITIONS WAV [--from S --to S | --every MS] [--verbose]\n"
    "\n"
    "Localises the talker in WAV (one channel per microphone, in the order of\n"
    "POSITIONS; converted to 16000 Hz when recorded at another rate).\n"
    "\n"
    "  POSITIONS        the microphones' positions in metres, x,y,z for each\n"
    "                   microphone, triples separated by spaces or semicolons\n"
    "                   (\"0.05,0,0;0,0.05,0;-0.05,0,0\"), or the name of a file\n"
    "                   holding them ('#' starts a comment)\n"
    "  --from S --to S  the span from S to S seconds after the start of the file\n"
    "                   (at most 20 s long); prints one line AZIMUTH ELEVATION\n"
    "  --every MS       a track over the whole file: every MS milliseconds one\n"
    "                   line TIME AZIMUTH ELEVATION for the MS ms before TIME\n"
    "                   (at least 4 frames of 16 ms are always used)\n"
    "  (neither)        the whole file, or its last 20 s when it is longer\n"
    "  --verbose        show the library's log lines on standard error\n"
    "  --help           show this help\n"
    "\n"
    "Angles are degrees of the talker's direction: azimuth 0 to 360 in the x-y\n"
    "plane from the x axis towards the y axis, elevation above that plane. The\n"
    "localiser's own azimuth points the opposite way (it is turned back by 180\n"
    "degrees here, as everywhere the system shows angles). A flat array cannot\n"
    "tell above the plane from below it.\n";

constexpr int kRate = 16000;
constexpr int kHistory = 320000;  // samples of scores the localiser keeps (20 s)
constexpr double kPi = 3.14159265358979323846;

int Fail(const std::string& message) {
  std::fprintf(stderr, "kestrel-sl: %s\n", message.c_str());
  return 1;
}

bool ParseNumber(const std::string& text, double* v) {
  errno = 0;
  char* end = nullptr;
  *v = std::strtod(text.c_str(), &end);
  return errno == 0 && end != text.c_str() && *end == '\0' && std::isfinite(*v);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Numbers separated by commas, semicolons or white space, three per
// microphone.
bool ParsePositions(std::string text, std::vector<float>* pos, std::string* why) {
  std::string clean;
  bool comment = false;
  for (char c : text) {
    if (c == '#') comment = true;
    if (c == '\n') comment = false;
    clean += (comment || c == ',' || c == ';') ? ' ' : c;
  }
  std::istringstream in(clean);
  std::string tok;
  while (in >> tok) {
    double v;
    if (!ParseNumber(tok, &v)) {
      *why = "\"" + tok + "\" is not a coordinate";
      return false;
    }
    pos->push_back(static_cast<float>(v));
  }
  if (pos->empty() || pos->size() % 3 != 0) {
    *why = std::to_string(pos->size()) + " coordinates are not x,y,z triples";
    return false;
  }
  return true;
}

// The talker's direction in degrees from the localiser's angles.
void Print(double time, bool with_time, const float* dir) {
  double az = (dir[0] - kPi) * 180.0 / kPi;
  az = std::fmod(az + 720.0, 360.0);
  if (az >= 359.95) az = 0.0;  // would print as 360.0
  double el = dir[1] * 180.0 / kPi;
  if (with_time) std::printf("%.3f ", time);
  std::printf("%.1f %.1f\n", az, el);
}

struct Feeder {
  Feeder(int64_t handle, const w6_aud_data* audio) : sl(handle), aud(audio), ptr(audio->channels) {}
  int64_t sl;
  const w6_aud_data* aud;
  int pos = 0;
  std::vector<float*> ptr;
  // Feeds the file up to sample `end`.
  void To(int end) {
    while (pos < end) {
      int n = end - pos < 1600 ? end - pos : 1600;
      for (int c = 0; c < aud->channels; ++c) ptr[c] = aud->data[c] + pos;
      w6_sl_put_data(sl, ptr.data(), n);
      pos += n;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  bool verbose = false;
  double from = -1, to = -1, every = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--from" || a == "--to" || a == "--every") {
      double v;
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], &v) || v < 0) return Fail(a + " needs a number >= 0");
      (a == "--from" ? from : a == "--to" ? to : every) = v;
      ++i;
    } else if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1])) && a[1] != '.') {
      return Fail("unknown option " + a + " (see --help)");
    } else {
      args.push_back(a);
    }
  }
  if (args.size() != 2) return Fail("expected POSITIONS and WAV (see --help)");
  const bool span = from >= 0 || to >= 0;
  if (span && (from < 0 || to < 0)) return Fail("--from and --to go together");
  if (span && every >= 0) return Fail("--every cannot be combined with --from/--to");
  if (span && !(to > from)) return Fail("--to must be later than --from");
  if (span && (to - from) * kRate > kHistory) return Fail("the span is longer than 20 s");
  if (every == 0) return Fail("--every needs a number > 0");

  std::string hint;
  if (!verbose && std::getenv("KESTREL_LOG") == nullptr) {
    setenv("KESTREL_LOG", "off", 1);
    hint = " (--verbose shows why)";
  }

  std::string text = args[0];
  if (IsFile(args[0])) {
    std::ifstream f(args[0]);
    std::stringstream s;
    s << f.rdbuf();
    if (!f) return Fail("cannot read " + args[0]);
    text = s.str();
  }
  std::vector<float> pos;
  std::string why;
  if (!ParsePositions(text, &pos, &why)) return Fail("positions: " + why);
  const int mics = static_cast<int>(pos.size() / 3);

  w6_aud_data* aud = w6_aud_in(args[1].c_str(), kRate);
  if (aud == nullptr) return Fail("cannot read " + args[1] + hint);
  if (aud->channels != mics) {
    int ch = aud->channels;
    w6_aud_free(aud);
    return Fail(args[1] + " has " + std::to_string(ch) + " channels for " + std::to_string(mics) + " microphones");
  }
  if (aud->samples == 0) {
    w6_aud_free(aud);
    return Fail(args[1] + " holds no audio");
  }
  if (!span && aud->samples < 1024) {
    w6_aud_free(aud);
    return Fail(args[1] + " is shorter than one 64 ms frame");
  }
  int64_t sl = w6_sl_create(mics, pos.data(), nullptr);
  if (sl == 0) {
    w6_aud_free(aud);
    return Fail("these microphone positions cannot be localised" + hint);
  }

  Feeder feed(sl, aud);
  float dir[2] = {0, 0};
  int rc = 0;
  if (every > 0) {
    const long long step = std::llround(every * kRate / 1000.0);
    if (step < 1 || step > kHistory) {
      rc = Fail("--every must be between 1/16 ms and 20 s");
    } else {
      // The first frame is complete after 1024 samples.
      for (long long t = step; t <= aud->samples; t += step) {
        feed.To(static_cast<int>(t));
        if (t < 1024) continue;
        w6_sl_get_candidate(sl, static_cast<int>(step), 0, dir, 0);
        Print(static_cast<double>(t) / kRate, true, dir);
      }
    }
  } else {
    long long end = aud->samples, start = 0;
    if (span) {
      start = std::llround(from * kRate);
      end = std::llround(to * kRate);
      if (end > aud->samples) {
        char len[32];
        std::snprintf(len, sizeof(len), "%.3f", static_cast<double>(aud->samples) / kRate);
        rc = Fail(std::string("the span ends after the end of the file (") + len + " s)");
      }
    } else if (end > kHistory) {
      start = end - kHistory;
    }
    // Directions come from whole 1024-sample frames.
    if (rc == 0 && end < 1024) rc = Fail("the span ends before the first whole 64 ms frame");
    if (rc == 0) {
      feed.To(static_cast<int>(end));
      w6_sl_get_candidate(sl, static_cast<int>(end - start), 0, dir, 0);
      Print(0, false, dir);
    }
  }
  w6_sl_free(sl);
  w6_aud_free(aud);
  return rc;
}
