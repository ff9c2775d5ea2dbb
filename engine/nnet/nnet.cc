#include "engine/nnet/nnet.h"

#include <strings.h>

#include <cmath>
#include <cstdio>

#include "engine/core/log.h"
#include "engine/nnet/activation.h"
#include "engine/nnet/affine.h"
#include "engine/nnet/blstm2.h"
#include "engine/nnet/layer_norm.h"
#include "engine/nnet/linear.h"
#include "engine/nnet/lstm.h"
#include "engine/nnet/nnet_io.h"

namespace __kestrel4__ {

namespace {

// Legacy models list their layer widths up front; real ones have a handful.
constexpr int kMaxLegacyDims = 1024;

bool IsActivation(const std::string& token) {
  return token == "<Sigmoid>" || token == "<Tanh>" || token == "<Relu>" || token == "<Softmax>";
}

// The component-format grammar. On failure returns false with the reason.
bool ReadList(NnetInput* r, std::vector<Nnet_Component*>* list, std::string* why) {
  std::string token;
  // The opening token ("<Nnet>", possibly behind the file marker) is not
  // checked: any first token is accepted.
  if (!r->Token(&token, "the opening token") || !r->Token(&token, "the first component")) {
    *why = r->reason();
    return false;
  }
  long units = 0;
  for (int index = 0;; ++index) {
    if (token == "</Nnet>") break;
    const std::string where = "component " + std::to_string(index) + " (" + NnetPrintable(token) + "): ";
    int out = 0, in = 0;
    if (!r->Dim(&out, "output width") || !r->Dim(&in, "input width")) {
      *why = where + r->reason();
      return false;
    }
    Nnet_Component* c = NnetNewComponent(token, in, out);
    if (c == nullptr) {
      *why = "unknown component token '" + NnetPrintable(token) + "'";
      return false;
    }
    if (IsActivation(token) && in != out) {
      *why = where + "an activation layer maps " + std::to_string(in) + " inputs to " + std::to_string(out) +
             " outputs";
      delete c;
      return false;
    }
    units += c->outDim;
    if (units > kNnetMaxUnits) {
      *why = where + "the layers hold more than " + std::to_string(kNnetMaxUnits) + " units";
      delete c;
      return false;
    }
    if (c->ReadData(r) != 0 || !r->ok()) {
      *why = where + r->reason();
      delete c;
      return false;
    }
    list->push_back(c);
    if (!r->Token(&token, "the next component") ||
        (token == "<!EndOfComponent>" && !r->Token(&token, "the next component"))) {
      *why = r->reason();
      return false;
    }
    if (token == "<CenterLoss>") break;  // training-only data follows
  }
  return true;
}

}  // namespace

Nnet_Component* NnetNewComponent(const std::string& token, int in, int out) {
  if (token == "<AffineTransform>") return new Nnet_AffineTransform(in, out);
  if (token == "<LinearTransform>") return new Nnet_LinearTransform(in, out);
  if (token == "<Sigmoid>") return new Nnet_Sigmoid(in);
  if (token == "<Tanh>") return new Nnet_Tanh(in);
  if (token == "<Relu>") return new Nnet_Relu(in);
  if (token == "<Softmax>") return new Nnet_SoftMax(in);
  if (token == "<LSTM>") return new Nnet_Lstm(in, out);
  if (token == "<BLSTM>" || token == "<None>") return new Nnet_BLstm(in, out);
  if (token == "<BLstmProjectedStreams>") return new Nnet_BLstm2(in, out);
  return nullptr;
}

Nnet::Nnet()
    : inDim(0),
      outDim(0),
      usePrior(false),
      prior(nullptr),
      useScoreNorm(false),
      normShift(nullptr),
      normScale(nullptr),
      valid(false) {}

Nnet::Nnet(const char* path, bool legacy) : Nnet() {
  if (legacy)
    LoadOldVersion(path);
  else
    LoadNewVersion(path);
}

Nnet::~Nnet() { Clear(); }

void Nnet::Clear() {
  for (Nnet_Component* c : components) delete c;
  components.clear();
  delete prior;
  delete normShift;
  delete normScale;
  prior = normShift = normScale = nullptr;
  inDim = outDim = 0;
  usePrior = useScoreNorm = valid = false;
  loadError.clear();
}

bool Nnet::Finish(std::string* why) {
  if (components.empty()) {
    *why = "it holds no layers";
    return false;
  }
  for (size_t k = 1; k < components.size(); ++k) {
    if (components[k]->inDim != components[k - 1]->outDim) {
      *why = "component " + std::to_string(k) + " (" + components[k]->name + ") takes " +
             std::to_string(components[k]->inDim) + " inputs but component " + std::to_string(k - 1) + " (" +
             components[k - 1]->name + ") gives " + std::to_string(components[k - 1]->outDim);
      return false;
    }
  }
  inDim = components.front()->inDim;
  outDim = components.back()->outDim;
  delete prior;
  prior = new ZVec(outDim);
  usePrior = false;
  valid = true;
  return true;
}

int Nnet::Reject(const char* path, const std::string& why) {
  if (path != nullptr)
    z_log(kLogError, "nnet: model %s rejected: %s", path, why.c_str());
  else
    z_log(kLogError, "nnet: model rejected: %s", why.c_str());
  Clear();
  loadError = "rejected: " + why;
  return 1;
}

int Nnet::Read(ZInput* in) {
  return NnetInput::Use(in, [this](NnetInput* r) {
    std::string why;
    if (!ReadList(r, &components, &why) || !Finish(&why)) return Reject(nullptr, why);
    return 0;
  });
}

int Nnet::LoadNewVersion(const char* path) {
  Clear();
  ZFileInput file(path, 0);
  if (!file.isValid()) {
    loadError = "cannot be opened";
    z_log(kLogError, "nnet: model %s cannot be opened", path);
    return 1;
  }
  NnetInput r(&file);
  std::string why;
  if (!ReadList(&r, &components, &why) || !Finish(&why)) return Reject(path, why);
  return 0;
}

int Nnet::LoadOldVersion(const char* path) {
  Clear();
  ZFileInput file(path, 2);
  if (!file.isValid()) {
    loadError = "cannot be opened";
    z_log(kLogError, "nnet: model %s cannot be opened", path);
    return 1;
  }
  NnetInput r(&file);
  std::string why;
  int n = 0;
  std::vector<int> d;
  bool ok = r.RawInt(&n, "the count of layer widths");
  if (ok && (n < 3 || n > kMaxLegacyDims)) {
    why = "the legacy model lists " + std::to_string(n) + " layer widths, it needs 3 to " +
          std::to_string(kMaxLegacyDims);
    ok = false;
  }
  long units = 0;
  for (int i = 0; ok && i < n; ++i) {
    int v = 0;
    ok = r.RawInt(&v, "the layer widths");
    if (ok && (v < 1 || v > kNnetMaxDim)) {
      why = "layer width " + std::to_string(i) + " is " + std::to_string(v) + ", outside 1.." +
            std::to_string(kNnetMaxDim);
      ok = false;
    }
    units += v;
    d.push_back(v);
  }
  if (ok && units > kNnetMaxUnits) {
    why = "the layers hold more than " + std::to_string(kNnetMaxUnits) + " units";
    ok = false;
  }
  for (int i = 0; ok && i + 3 < n; ++i) {
    Nnet_LinearTransform* layer = new Nnet_LinearTransform(d[i], d[i + 1]);
    components.push_back(layer);
    ok = layer->ReadData_Old(&r, false, false, 0, "Sigmoid") == 0;
    if (!ok) why = "layer " + std::to_string(i) + ": " + r.reason();
  }
  if (ok) {
    Nnet_LinearTransform* last = new Nnet_LinearTransform(d[n - 3], d[n - 1]);
    components.push_back(last);
    ok = last->ReadData_Old(&r, false, true, d[n - 2], "Softmax") == 0;
    if (!ok) why = "layer " + std::to_string(n - 3) + ": " + r.reason();
  }
  ZVec logPrior(ok ? d[n - 1] : 0);
  if (ok && !r.Vec(&logPrior, "the log-priors")) {
    why = r.reason();
    ok = false;
  }
  if (!ok && why.empty()) why = r.reason();
  if (!ok || !Finish(&why)) return Reject(path, why);
  SetPrior(logPrior.data);
  return 0;
}

int Nnet::Write(ZOutput* out) const {
  out->WriteToken("<Nnet>");
  for (const Nnet_Component* c : components) {
    out->WriteToken(c->name.c_str());
    out->WriteBasicType(&c->outDim);
    out->WriteBasicType(&c->inDim);
    c->WriteData(out);
    out->WriteToken("<!EndOfComponent>");
  }
  out->WriteToken("</Nnet>");
  return 0;
}

int Nnet::Write(const char* path) const {
  ZFileOutput file(path, 0);
  if (!file.isValid()) {
    z_log(kLogError, "nnet: model %s cannot be written", path);
    return 1;
  }
  Write(&file);
  if (std::fflush(file.file) != 0 || std::ferror(file.file) != 0) {
    z_log(kLogError, "nnet: model %s could not be written completely", path);
    return 1;
  }
  return 0;
}

int Nnet::SetPrior(const float* p) {
  if (prior == nullptr) return 0;
  for (int i = 0; i < outDim; ++i) prior->data[i] = -p[i];
  usePrior = true;
  return 0;
}

int Nnet::LoadSn(const char* path) {
  if (!valid) {
    z_log(kLogError, "nnet: score normalisation %s needs a loaded network", path);
    return 1;
  }
  ZFileInput file(path, 2);
  if (!file.isValid()) {
    z_log(kLogError, "nnet: score normalisation %s cannot be opened", path);
    return 1;
  }
  NnetInput r(&file);
  ZVec mean(outDim), sd(outDim);
  std::string why;
  ZVec* parts[2] = {&mean, &sd};
  const char* names[2] = {"the means", "the standard deviations"};
  for (int k = 0; k < 2 && why.empty(); ++k) {
    std::string token;
    int count = 0;  // the network's width decides, not the stored count
    if (!r.Token(&token, names[k]) || !r.Int(&count, names[k])) {
      why = r.reason();
    } else if (strcasecmp(token.c_str(), "FV") != 0) {
      why = std::string(names[k]) + ": expected a vector, found '" + NnetPrintable(token) + "'";
    } else if (!r.Vec(parts[k], names[k])) {
      why = r.reason();
    }
  }
  for (int i = 0; i < outDim && why.empty(); ++i)
    if (!(std::isfinite(sd.data[i]) && sd.data[i] != 0.0f))
      why = "standard deviation " + std::to_string(i) + " is zero or not a number";
  if (!why.empty()) {
    z_log(kLogError, "nnet: score normalisation %s rejected: %s", path, why.c_str());
    return 1;
  }
  delete normShift;
  delete normScale;
  normShift = new ZVec(outDim);
  normScale = new ZVec(outDim);
  for (int i = 0; i < outDim; ++i) {
    normShift->data[i] = -mean.data[i];
    normScale->data[i] = 1.0f / sd.data[i];
  }
  useScoreNorm = true;
  return 0;
}

int Nnet::ProcessPrior_Vec(ZVec* v) const {
  float* x = v->data;
  if (useScoreNorm) {
    NnetNormalizeRow(x, outDim);
    for (int j = 0; j < outDim; ++j) x[j] += normShift->data[j];
    for (int j = 0; j < outDim; ++j) x[j] *= normScale->data[j];
  }
  if (usePrior)
    for (int j = 0; j < outDim; ++j) x[j] += prior->data[j];
  return 0;
}

int Nnet::ProcessPrior_Mat(ZMat* m) const {
  for (int i = 0; i < m->rows; ++i) {
    float* x = m->row[i];
    if (useScoreNorm) {
      NnetNormalizeRow(x, outDim);
      for (int j = 0; j < outDim; ++j) x[j] += normShift->data[j];
      for (int j = 0; j < outDim; ++j) x[j] *= normScale->data[j];
    }
    if (usePrior)
      for (int j = 0; j < outDim; ++j) x[j] += prior->data[j];
  }
  return 0;
}

int Nnet::AddComponent(Nnet_Component* c) {
  if (!components.empty() && c->inDim != outDim) {
    z_log(kLogError, "nnet: layer %s takes %d inputs but the network gives %d", c->name.c_str(), c->inDim, outDim);
    delete c;
    return 1;
  }
  components.push_back(c);
  std::string why;
  Finish(&why);
  useScoreNorm = false;
  return 0;
}

bool Nnet::HasFrameForm() const {
  for (const Nnet_Component* c : components)
    if (!c->HasFrameForm()) return false;
  return true;
}

}  // namespace __kestrel4__
