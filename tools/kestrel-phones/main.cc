// kestrel-phones: works with the phone tables of the wake-word engine.
//   convert PHONES MODELS TRIPHONES OUT   old three-file table -> binary table
//   info TABLE                            counts and phone names
//   graph TABLE "PHONE LIST" [--type N]   the state graph a word's phones yield
// The engine's log lines are silenced unless KESTREL_LOG is set; a failure is
// reported as one line on standard error and a non-zero exit status.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/vt/pho_table.h"
#include "engine/vt/word.h"
#include "include/kestrel.h"

using namespace __kestrel4__;

namespace {

const char kUsage[] =
    "usage: kestrel-phones COMMAND ARGS\n"
    "\n"
    "Phone tables of the wake-word engine.\n"
    "\n"
    "  convert PHONES MODELS TRIPHONES OUT\n"
    "      Reads the older text table (phone list, model list with three state ids\n"
    "      per model, triphone list with the tied model of each triphone) and\n"
    "      writes it as the binary table OUT that the engine loads.\n"
    "  info TABLE\n"
    "      Prints the counts of a binary table and its phone names.\n"
    "  graph TABLE \"PHONE LIST\" [--type N]\n"
    "      Prints the state graph that a word's phone list yields against TABLE:\n"
    "      positions (counted from 1) with their alternatives, and every state\n"
    "      (indexed from 0) with its network output ids (numbered from 1), flags\n"
    "      and predecessors. The list is plain phones (\"a b|c|#\": blanks\n"
    "      separate positions, '|' alternatives, '#' closes a block) or, when it\n"
    "      holds a '+', explicit triphones (\"sil-a+b;a-b+sil|#\"). --type N is the\n"
    "      word type (default 1); the last phone of a type-2 word must be followed\n"
    "      by sil, of other types by any phone. Exits 1 when the engine would\n"
    "      refuse the word.\n"
    "\n"
    "Exit status: 0 on success, 1 on failure, 2 on a usage error. Set KESTREL_LOG\n"
    "to a file (or empty for standard error) to see the engine's log lines.\n";

int Fail(const std::string& why) {
  std::fprintf(stderr, "kestrel-phones: %s\n", why.c_str());
  return 1;
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "kestrel-phones: %s (see kestrel-phones --help)\n", why.c_str());
  return 2;
}

std::string FlagNames(int flag) {
  std::string s;
  if (flag & ZPhoBatch::kWordStart) s += " word-start";
  if (flag & ZPhoBatch::kBlockStart) s += " block-start";
  if (flag & ZPhoBatch::kWordEnd) s += " word-end";
  if (flag & ZPhoBatch::kBlockEnd) s += " block-end";
  return s.empty() ? "" : " (" + s.substr(1) + ")";
}

std::string IntList(const int* v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? " " : "") + std::to_string(v[i]);
  return s.empty() ? "-" : s;
}

int LoadTable(ZPhoTable& table, const char* path) {
  return table.LoadNewTable(path) == 0 ? 0 : Fail(table.strLastError);
}

int Convert(const std::vector<std::string>& a) {
  if (a.size() != 4) return Usage("convert takes PHONES MODELS TRIPHONES OUT");
  ZPhoTable table;
  if (table.LoadOldTable(a[0].c_str(), a[1].c_str(), a[2].c_str()) != 0) return Fail(table.strLastError);
  if (table.SaveNewTable(a[3].c_str()) != 0) return Fail("cannot write " + a[3]);
  // Read the result back with the engine's own loader: what was written is
  // what the engine will see.
  ZPhoTable check;
  if (check.LoadNewTable(a[3].c_str()) != 0) return Fail(check.strLastError);
  std::printf("%s: %d phones, %d models, %d triphones\n", a[3].c_str(), check.nPhoNum, check.nStateRow,
              check.nTriNum);
  if (table.nUnknownTri > 0)
    std::printf("note: %d triphones of %s name phones that are not in %s and were skipped\n", table.nUnknownTri,
                a[2].c_str(), a[0].c_str());
  return 0;
}

int Info(const std::vector<std::string>& a) {
  if (a.size() != 1) return Usage("info takes TABLE");
  ZPhoTable table;
  if (LoadTable(table, a[0].c_str()) != 0) return 1;
  int covered = 0;
  for (int t = 0; t < table.nTriNum; ++t) covered += table.pTriRow[t] >= 0;
  int top = 0;
  for (int r = 0; r < table.nStateRow; ++r)
    for (int j = 0; j < 3; ++j) top = table.pStateId[r][j] > top ? table.pStateId[r][j] : top;
  std::printf("phones: %d\n", table.nPhoNum);
  std::printf("models: %d\n", table.nStateRow);
  std::printf("triphones: %d (%d with a model)\n", table.nTriNum, covered);
  std::printf("highest state id: %d\n", top);
  for (int i = 0; i < table.nPhoNum; ++i) std::printf("phone %d: %s\n", i, table.vecPhoName[i].c_str());
  return 0;
}

int Graph(const std::vector<std::string>& args) {
  std::vector<std::string> a;
  int type = 1;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--type") {
      if (i + 1 >= args.size()) return Usage("--type needs a number");
      char* end = nullptr;
      long v = std::strtol(args[i + 1].c_str(), &end, 10);
      if (end == args[i + 1].c_str() || *end != '\0' || v < -2147483647L || v > 2147483647L)
        return Usage("--type needs a number, not " + args[i + 1]);
      type = static_cast<int>(v);
      ++i;
    } else {
      a.push_back(args[i]);
    }
  }
  if (a.size() != 2) return Usage("graph takes TABLE \"PHONE LIST\" [--type N]");
  ZPhoTable table;
  if (LoadTable(table, a[0].c_str()) != 0) return 1;

  std::unique_ptr<WordInfo> rec(new WordInfo());
  std::memset(rec.get(), 0, sizeof(WordInfo));
  if (a[1].size() >= sizeof(rec->WordContent_Phone))
    return Fail("the phone list is longer than a word record holds (" +
                std::to_string(sizeof(rec->WordContent_Phone) - 1) + " characters)");
  rec->WordType = type;
  std::memcpy(rec->WordContent_Phone, a[1].data(), a[1].size());
  ZVtWord word;
  word.SetFromRecord(*rec, table);

  const bool explicitTri = a[1].find('+') != std::string::npos;
  std::printf("word type %d, %s", type, explicitTri ? "explicit triphones\n" : "plain phones, ");
  if (!explicitTri) std::printf("last phone followed by %s\n", type == 2 ? "sil" : "any phone");
  // Names the table does not know were entered with index 0 while parsing.
  for (const auto& e : table.mapPhoId) {
    if (e.second == 0 && (table.vecPhoName.empty() || e.first != table.vecPhoName[0]))
      std::printf("note: phone %s is not in the table and reads as phone 0%s\n", e.first.c_str(),
                  table.vecPhoName.empty() ? "" : (" (" + table.vecPhoName[0] + ")").c_str());
  }
  std::printf("positions %zu, states %d, blocks %d\n", word.vecPhoBatch.size(), word.nStateNum, word.nBlockNum);
  for (size_t p = 0; p < word.vecPhoBatch.size(); ++p) {
    const ZPhoBatch* b = word.vecPhoBatch[p];
    std::printf("position %zu: flags %d%s, %d alternative%s\n", p + 1, b->nFlag, FlagNames(b->nFlag).c_str(), b->nNum,
                b->nNum == 1 ? "" : "s");
    for (int k = 0; k < b->nNum; ++k) std::printf("  alternative %d: ids %s\n", k, IntList(b->pId + 3 * k, 3).c_str());
    for (int i = 0; i < 3; ++i) {
      const int s = static_cast<int>(3 * p) + i;
      const ZPhoState* st = word.ppState[s];
      std::printf("  state %d (sub %d): flags %d%s, ids %s, prev %s\n", s, st->nSub, st->nFlag,
                  FlagNames(st->nFlag).c_str(), IntList(st->pId, st->nId).c_str(),
                  IntList(st->pPrev, st->nPrev).c_str());
    }
  }
  const std::string why = word.CheckScorable();
  if (!why.empty()) return Fail("the engine would refuse this word: " + why);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Keep standard error to the one failure line unless the user asked for
  // the engine's log.
  setenv("KESTREL_LOG", "off", 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (args.empty()) return Usage("no command given");
  const std::string cmd = args[0];
  args.erase(args.begin());
  if (cmd == "convert") return Convert(args);
  if (cmd == "info") return Info(args);
  if (cmd == "graph") return Graph(args);
  return Usage("unknown command " + cmd);
}
