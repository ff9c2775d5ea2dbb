// kestrel-nnet: looks inside a network model and runs feature rows through
// it, with the engine's own loader and layers, so what it shows is what the
// engines compute.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/mat.h"
#include "engine/core/tiled.h"
#include "engine/nnet/component.h"
#include "engine/nnet/nnet.h"

namespace {

using namespace __kestrel4__;

const char kUsage[] =
    "usage: kestrel-nnet info MODEL [--legacy] [--verbose]\n"
    "       kestrel-nnet eval MODEL IN OUT [--legacy] [--prior FILE] [--verbose]\n"
    "\n"
    "  info MODEL      print the layers with their dimensions and options\n"
    "  eval MODEL IN OUT\n"
    "                  read IN as raw little-endian float32 rows of the model's\n"
    "                  input width, evaluate all rows as one block through the\n"
    "                  layers (output corrections applied, no extra log-softmax)\n"
    "                  and write OUT as raw float32 rows of the output width\n"
    "  --legacy        MODEL is in the legacy format (widths, bare weights, priors)\n"
    "  --prior FILE    log-priors to subtract from the outputs: one float vector\n"
    "                  in the model token format, as the wake engine reads beside\n"
    "                  its model (MODEL.prior)\n"
    "  --verbose       show the library's log lines on standard error\n"
    "  --help          show this help\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "kestrel-nnet: %s\n", message.c_str());
  return 1;
}

bool ReadAll(const std::string& path, std::string* bytes, std::string* why) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes->clear();
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof(buf), f)) > 0) bytes->append(buf, got);
  const bool bad = std::ferror(f) != 0;
  std::fclose(f);
  if (bad) *why = "cannot read " + path;
  return !bad;
}

// A log-prior vector: optional file marker 00 42, "FV ", size byte, count,
// count floats; the count must be the network's output width.
bool ReadPriors(const std::string& path, int n, std::vector<float>* out, std::string* why) {
  std::string b;
  if (!ReadAll(path, &b, why)) return false;
  size_t p = b.size() >= 2 && b[0] == '\0' && b[1] == 'B' ? 2 : 0;
  if (b.compare(p, 3, "FV ") != 0 || b.size() < p + 8) {
    *why = path + " is not a float vector";
    return false;
  }
  int count = 0;
  std::memcpy(&count, b.data() + p + 4, 4);
  if (count != n) {
    *why = path + " holds " + std::to_string(count) + " values, the model has " + std::to_string(n) + " outputs";
    return false;
  }
  if (b.size() - (p + 8) < 4u * static_cast<size_t>(n)) {
    *why = path + " ends early";
    return false;
  }
  out->resize(n);
  std::memcpy(out->data(), b.data() + p + 8, 4u * n);
  return true;
}

std::unique_ptr<Nnet> Load(const std::string& path, bool legacy, std::string* why) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::fclose(f);
  std::unique_ptr<Nnet> net(new Nnet(path.c_str(), legacy));
  if (!net->IsValid()) {
    *why = path + ": " + net->loadError;
    return nullptr;
  }
  return net;
}

int Info(const std::string& path, bool legacy) {
  std::string why;
  std::unique_ptr<Nnet> net = Load(path, legacy, &why);
  if (!net) return Fail(why);
  std::printf("model: %s\nformat: %s\ninput: %d\noutput: %d\nlayers: %zu\n", path.c_str(),
              legacy ? "legacy" : "component", net->inDim, net->outDim, net->components.size());
  for (size_t k = 0; k < net->components.size(); ++k) {
    const Nnet_Component* c = net->components[k];
    const std::string more = c->Describe();
    std::printf("  %zu %s %d -> %d%s%s\n", k, c->name.c_str(), c->inDim, c->outDim, more.empty() ? "" : ": ",
                more.c_str());
  }
  std::printf("priors: %s\n", net->usePrior ? "yes" : "no");
  return 0;
}

int Eval(const std::string& model, const std::string& inPath, const std::string& outPath, bool legacy,
         const std::string& priorPath) {
  std::string why;
  std::unique_ptr<Nnet> net = Load(model, legacy, &why);
  if (!net) return Fail(why);
  if (!priorPath.empty()) {
    std::vector<float> priors;
    if (!ReadPriors(priorPath, net->outDim, &priors, &why)) return Fail(why);
    net->SetPrior(priors.data());
  }
  std::string bytes;
  if (!ReadAll(inPath, &bytes, &why)) return Fail(why);
  const size_t rowBytes = 4u * static_cast<size_t>(net->inDim);
  if (bytes.size() % rowBytes != 0)
    return Fail(inPath + " holds " + std::to_string(bytes.size()) + " bytes, not a whole number of rows of " +
                std::to_string(net->inDim) + " floats");
  const size_t rows = bytes.size() / rowBytes;
  if (rows > 1000000) return Fail(inPath + " holds more than 1000000 rows");
  const int T = static_cast<int>(rows);

  std::vector<float> result;
  if (T > 0) {
    ZMat::InitQuickExp();
    ZMat in(T, net->inDim);
    for (int t = 0; t < T; ++t) std::memcpy(in.row[t], bytes.data() + t * rowBytes, rowBytes);
    ZMat_Neon x(T, net->inDim, false);
    x.CopyFrom(&in);
    std::vector<std::unique_ptr<Nnet_Component_Memory>> mems;
    for (Nnet_Component* c : net->components) mems.emplace_back(c->GeneratePropagateMemory(T));
    ZMat_Neon* cur = &x;
    for (size_t k = 0; k < mems.size(); ++k) net->components[k]->PropagateFnc_Mat(cur, mems[k].get(), cur);
    ZMat out(T, net->outDim);
    cur->CopyTo(&out);
    net->ProcessPrior_Mat(&out);
    for (int t = 0; t < T; ++t) result.insert(result.end(), out.row[t], out.row[t] + net->outDim);
  }
  std::FILE* f = std::fopen(outPath.c_str(), "wb");
  if (f == nullptr) return Fail("cannot write " + outPath + ": " + std::strerror(errno));
  const size_t wrote = result.empty() ? 0 : std::fwrite(result.data(), 4, result.size(), f);
  const bool ok = wrote == result.size() && std::fclose(f) == 0;
  if (!ok) return Fail("cannot write " + outPath);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> pos;
  bool legacy = false, verbose = false;
  std::string prior;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--legacy") {
      legacy = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--prior") {
      if (i + 1 >= argc) return Fail("--prior needs a file");
      prior = argv[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("unknown option " + a + " (see --help)");
    } else {
      pos.push_back(a);
    }
  }
  // The tool says itself why it fails; the library's lines only on request.
  if (!verbose && std::getenv("KESTREL_LOG") == nullptr) setenv("KESTREL_LOG", "off", 1);
  if (pos.empty()) return Fail("no command (see --help)");
  if (pos[0] == "info" && pos.size() == 2) {
    if (!prior.empty()) return Fail("--prior applies to eval only");
    return Info(pos[1], legacy);
  }
  if (pos[0] == "eval" && pos.size() == 4) return Eval(pos[1], pos[2], pos[3], legacy, prior);
  if (pos[0] == "info" || pos[0] == "eval") return Fail("wrong number of arguments for " + pos[0] + " (see --help)");
  return Fail("unknown command " + pos[0] + " (see --help)");
}
