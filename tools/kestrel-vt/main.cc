// kestrel-vt: runs the wake-word engine over an audio file, block by block
// as the front end feeds it, and prints every detection; --best prints the
// best score instead, for tuning a word's threshold.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/vt/vt_mem.h"
#include "include/kestrel.h"

namespace {

const char kUsage[] =
    "usage: kestrel-vt [options] MODEL PHONES AUDIO\n"
    "\n"
    "Runs the wake-word engine (acoustic MODEL, its log-priors in MODEL.prior,\n"
    "binary phone table PHONES) over AUDIO (WAV or raw .pcm, any rate: it is\n"
    "converted to 16 kHz; every channel feeds the features), in blocks of 1920\n"
    "samples, and prints one line per detection:\n"
    "  TIME  WORD  FLAGS  score=S  start=T0  end=T1\n"
    "TIME is when the engine first reported the word (seconds into the file),\n"
    "FLAGS every result flag of the detection (pre, awake, cancel, cmd, nocmd),\n"
    "S the word score at its peak, T0 and T1 where the word starts and peaks in\n"
    "the file. The end of the file is fed as the end of input.\n"
    "\n"
    "Words (at least one):\n"
    "  --word TEXT=PHONES    a word and its phone list, e.g. 'hello=h e|# l o|#'\n"
    "  --words FILE          words from a file, one 'TEXT = PHONES' per line\n"
    "                        (blank lines and lines starting with ';' skipped)\n"
    "Settings applied to every word:\n"
    "  --threshold X         detection threshold (BlockAvgScore, default 3.0)\n"
    "  --min-score X         minimum block score at the word end (default -1.0)\n"
    "  --type N              word type (default 1; 2: the word must end in silence)\n"
    "  --left-sil            check silence before the word\n"
    "  --right-sil           check silence after the word (cmd / nocmd)\n"
    "  --cf MODEL            confirm with this classifier model\n"
    "  --cf-shield X         the classifier score must exceed X (default -0.3)\n"
    "  --aec                 feed with the echo-cancellation condition set\n"
    "Output:\n"
    "  --best                print only the best score of the first word over the\n"
    "                        whole file (threshold tuning)\n"
    "  --verbose             show the engine's log lines on standard error\n"
    "  --help                show this help\n";

constexpr int kBlock = 1920;

int Fail(const std::string& message) {
  std::fprintf(stderr, "kestrel-vt: %s\n", message.c_str());
  return 1;
}

bool ParseFloat(const char* text, float* v) {
  char* end = nullptr;
  errno = 0;
  *v = std::strtof(text, &end);
  return errno == 0 && end != text && *end == '\0';
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool AddWord(const std::string& entry, std::vector<std::pair<std::string, std::string>>* words) {
  size_t eq = entry.find('=');
  if (eq == std::string::npos) return false;
  std::string text = Trim(entry.substr(0, eq)), phones = Trim(entry.substr(eq + 1));
  if (text.empty() || phones.empty() || text.size() >= 256 || phones.size() >= 25600) return false;
  words->push_back({text, phones});
  return true;
}

std::string FlagNames(int f) {
  static const char* kNames[] = {"pre", "awake", "cancel", "cmd", "nocmd"};
  std::string s;
  for (int i = 0; i < 5; ++i)
    if (f & (1 << i)) s += (s.empty() ? "" : "|") + std::string(kNames[i]);
  return s;
}

bool Readable(const char* path, std::string* why) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    *why = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(f);
  return true;
}

struct Detection {
  int flags = 0;
  std::string word;
  float score = 0;
  double time = 0, start = 0, end = 0;
};

void Print(const Detection& d) {
  std::printf("%.2f\t%s\t%s\tscore=%.3f\tstart=%.2f\tend=%.2f\n", d.time, d.word.c_str(), FlagNames(d.flags).c_str(),
              d.score, d.start, d.end);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> words;
  std::vector<const char*> args;
  float threshold = 3.0f, minScore = -1.0f, cfShield = -0.3f;
  int type = 1;
  bool leftSil = false, rightSil = false, aec = false, best = false, verbose = false;
  std::string cfModel;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)what;
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--word") {
      const char* v = value("word");
      if (v == nullptr || !AddWord(v, &words)) return Fail("--word needs TEXT=PHONES");
    } else if (a == "--words") {
      const char* v = value("file");
      if (v == nullptr) return Fail("--words needs a file");
      std::ifstream in(v);
      if (!in) return Fail(std::string("cannot open ") + v);
      std::string line;
      int n = 0;
      while (std::getline(in, line)) {
        ++n;
        std::string t = Trim(line);
        if (t.empty() || t[0] == ';') continue;
        if (!AddWord(t, &words)) return Fail(std::string(v) + ":" + std::to_string(n) + ": expected TEXT = PHONES");
      }
    } else if (a == "--threshold" || a == "--min-score" || a == "--cf-shield") {
      const char* v = value("number");
      float x;
      if (v == nullptr || !ParseFloat(v, &x)) return Fail(a + " needs a number");
      (a == "--threshold" ? threshold : a == "--min-score" ? minScore : cfShield) = x;
    } else if (a == "--type") {
      const char* v = value("type");
      float x;
      if (v == nullptr || !ParseFloat(v, &x) || (x != 1 && x != 2 && x != 4)) return Fail("--type needs 1, 2 or 4");
      type = static_cast<int>(x);
    } else if (a == "--cf") {
      const char* v = value("model");
      if (v == nullptr) return Fail("--cf needs a model");
      cfModel = v;
    } else if (a == "--left-sil") {
      leftSil = true;
    } else if (a == "--right-sil") {
      rightSil = true;
    } else if (a == "--aec") {
      aec = true;
    } else if (a == "--best") {
      best = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("unknown option " + a + " (see --help)");
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() != 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (words.empty()) return Fail("no word given (--word or --words)");
  if (!verbose && std::getenv("KESTREL_LOG") == nullptr) setenv("KESTREL_LOG", "off", 1);
  std::string why;
  for (const char* p : args)
    if (!Readable(p, &why)) return Fail(why);

  w6_aud_data* audio = w6_aud_in(args[2], 16000);
  if (audio == nullptr || audio->channels < 1) {
    w6_aud_free(audio);
    return Fail(std::string("cannot read audio ") + args[2] + " (run with --verbose for the reason)");
  }
  w6_vt_sysinit(args[0], args[1]);
  int64_t vt = w6_vt_create(audio->channels);
  if (vt == 0) {
    w6_aud_free(audio);
    w6_vt_sysexit();
    return Fail(std::string("cannot use the model ") + args[0] + " (run with --verbose for the reason)");
  }
  std::vector<WordInfo> records(words.size());
  for (size_t i = 0; i < words.size(); ++i) {
    WordInfo& w = records[i];
    std::memset(&w, 0, sizeof(w));
    w.WordType = type;
    std::strncpy(w.WordContent, words[i].first.c_str(), sizeof(w.WordContent) - 1);
    std::strncpy(w.WordContent_Phone, words[i].second.c_str(), sizeof(w.WordContent_Phone) - 1);
    w.BlockAvgScore = threshold;
    w.BlockMinScore = minScore;
    w.LeftSilCheck = leftSil;
    w.RightSilCheck = rightSil;
    w.ClassifyCheck = !cfModel.empty();
    w.ClassifyNnetShield = cfShield;
    std::strncpy(w.ClassifyNnetPath, cfModel.c_str(), sizeof(w.ClassifyNnetPath) - 1);
  }
  int status = 0;
  if (w6_vt_setwords(vt, records.data(), static_cast<int>(records.size())) != 0) {
    status = Fail("the words cannot be built from the phone table (run with --verbose for the reason)");
  } else {
    const int n = audio->samples;
    std::vector<const float*> ch(audio->channels);
    float top = -3.4028235e38f;
    int detections = 0;
    Detection open;
    for (int at = 0; at < n; at += kBlock) {
      const int len = n - at < kBlock ? n - at : kBlock;
      for (int c = 0; c < audio->channels; ++c) ch[c] = audio->data[c] + at;
      const bool last = at + kBlock >= n;
      if (best) {
        top = w6_vt_getbestscore_eer(vt, ch.data(), len);
        continue;
      }
      const int flags = w6_vt_process(vt, ch.data(), len, (aec ? W6_VT_FLAG_AEC : 0) | (last ? W6_VT_FLAG_END : 0));
      if (flags == 0) continue;
      // A detection may report over several calls (pre and awake at the
      // peak, cmd or nocmd after the right-silence window): one line when it
      // is decided.
      const int fed = at + len;
      if (open.flags == 0) {
        const WordInfo* w = nullptr;
        const WordDetInfo* info = nullptr;
        if (w6_vt_getdetwordinfo(vt, &w, &info, 0) != 0) continue;
        auto* mem = reinterpret_cast<__kestrel4__::ZVtMem*>(static_cast<intptr_t>(vt));
        open.word = w->WordContent;
        open.score = mem->ppDet[mem->nActiveDet]->fPeakScore;
        open.time = fed / 16000.0;
        open.start = (fed - info->StartOffset) / 16000.0;
        open.end = (fed - info->EndOffset) / 16000.0;
      }
      open.flags |= flags;
      if (flags & (W6_VT_CANCEL | W6_VT_CMD | W6_VT_NOCMD)) {
        Print(open);
        open = Detection();
        ++detections;
      }
    }
    if (open.flags != 0) {
      Print(open);
      ++detections;
    }
    if (best) std::printf("best score %.3f\n", top);
    else if (detections == 0) std::printf("no detection\n");
  }
  w6_vt_free(vt);
  w6_vt_sysexit();
  w6_aud_free(audio);
  return status;
}
