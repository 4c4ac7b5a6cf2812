#include "SmartCrop/face_network.h"

#include <pthreadpool.h>
#include <xnnpack.h>

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "SmartCrop/onnx_model.h"

namespace kadro {
namespace {

// The two grids: cell size in input pixels and anchors per cell, fine grid
// first, as the outputs are ordered.
constexpr std::array<std::pair<int, int>, 2> kGrids = {{{16, 2}, {32, 6}}};
constexpr int kStride = 32;
// The widest value a plan holds: BlazeFace's widest has 96 channels.
constexpr std::int64_t kMaxChannels = 4096;
// The weights a plan may copy from its file, in floats: BlazeFace has
// about 140 000. Operators may share a file's weights, so without a bound a
// small file could ask for any amount of memory.
constexpr std::size_t kMaxWeights = std::size_t(1) << 24;
// The values a pass may hold, in floats per input pixel: BlazeFace's hold
// 18.
constexpr std::size_t kMaxValueFloatsPerPixel = 256;

struct Unsupported {
  std::string what;
};

// XNNPACK is set up once per process; false when it cannot run here.
bool xnnReady() {
  static const bool ready = xnn_initialize(nullptr) == xnn_status_success;
  return ready;
}

}  // namespace

// One XNNPACK operator of the plan, on values numbered in graph order.
struct FaceNetwork::Plan {
  enum Kind { kConvolution, kDepthwise, kMaxPool, kAdd, kChannelPad };
  struct Op {
    Kind kind;
    int input = -1, input2 = -1, output = -1;
    int kernelH = 1, kernelW = 1, stride = 1;
    int padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;
    int inChannels = 0, outChannels = 0;
    bool relu = false;
    std::vector<float> filter, bias;  // in XNNPACK's layouts
  };
  std::vector<Op> ops;
  std::vector<int> channels;  // per value; value 0 is the input
  // Fine scores, fine regressors, coarse scores, coarse regressors.
  std::array<int, 4> outputs{};
};

namespace {

using Plan = FaceNetwork::Plan;

std::vector<std::int64_t> intsOr(const onnx::Node& node, const char* name,
                                 std::vector<std::int64_t> fallback) {
  const onnx::Attribute* a = node.attribute(name);
  return a ? a->ints : fallback;
}

std::int64_t intOr(const onnx::Node& node, const char* name, std::int64_t fallback) {
  const onnx::Attribute* a = node.attribute(name);
  return a ? a->i : fallback;
}

// Translates the graph; throws Unsupported for anything it does not run.
Plan translate(const onnx::Graph& g) {
  // What each ONNX value is on the way: the plan value holding it, and
  // whether ONNX sees it as NCHW (the plan always holds NHWC), or as a
  // constant block of zeros, or flattened for output.
  enum Layout { kNhwc, kNchw, kFlat, kZeros };
  struct Value {
    int id = -1;
    Layout layout = kNhwc;
    int stride = 1;  // input pixels per element
    int channels = 0;
    int producer = -1;  // op index, -1 for the input
  };
  std::map<std::string, Value> values;
  std::map<std::string, int> uses;
  for (const onnx::Node& n : g.nodes)
    for (const std::string& in : n.inputs) ++uses[in];
  for (const std::string& out : g.outputs) ++uses[out];
  // Looked up for every operator and input: an index, so that a file of
  // many names costs time in proportion to its length. Of two tensors of
  // one name, the first is the one.
  std::unordered_map<std::string_view, const onnx::Tensor*> initializers;
  for (const onnx::Tensor& t : g.initializers) initializers.emplace(t.name, &t);
  auto initializer = [&](const std::string& name) -> const onnx::Tensor* {
    const auto it = initializers.find(name);
    return it == initializers.end() ? nullptr : it->second;
  };

  Plan plan;
  std::string inputName;
  for (const std::string& in : g.inputs)
    if (!initializer(in)) {
      if (!inputName.empty()) throw Unsupported{"more than one input"};
      inputName = in;
    }
  if (inputName.empty()) throw Unsupported{"no input"};
  values[inputName] = {0, kNhwc, 1, 3, -1};
  plan.channels.push_back(3);

  auto valueOf = [&](const std::string& name, Layout layout) -> Value& {
    auto it = values.find(name);
    if (it == values.end() || it->second.layout != layout)
      throw Unsupported{"value " + name + " is not what its operator takes"};
    return it->second;
  };
  auto define = [&](const onnx::Node& n, Value v) {
    if (n.outputs.size() != 1 || n.outputs[0].empty() || values.count(n.outputs[0]))
      throw Unsupported{"operator " + n.name + " has outputs this reader does not run"};
    values[n.outputs[0]] = v;
  };
  std::size_t weightFloats = 0;
  auto addOp = [&](Plan::Op op, int stride, const onnx::Node& n) {
    if (stride > kStride) throw Unsupported{"operator " + n.name + " reduces the input too far"};
    weightFloats += op.filter.size() + op.bias.size();
    if (weightFloats > kMaxWeights) throw Unsupported{"its weights are too large"};
    op.output = static_cast<int>(plan.channels.size());
    plan.channels.push_back(op.outChannels);
    plan.ops.push_back(std::move(op));
    define(n, {plan.ops.back().output, kNchw, stride, plan.ops.back().outChannels,
               static_cast<int>(plan.ops.size()) - 1});
  };
  auto window = [](const onnx::Node& n, Plan::Op& op) {
    const auto kernel = intsOr(n, "kernel_shape", {});
    const auto strides = intsOr(n, "strides", {1, 1});
    const auto pads = intsOr(n, "pads", {0, 0, 0, 0});
    const auto dilations = intsOr(n, "dilations", {1, 1});
    const onnx::Attribute* autoPad = n.attribute("auto_pad");
    if (strides.size() != 2 || strides[0] != strides[1] || strides[0] < 1 || strides[0] > 2 ||
        pads.size() != 4 || dilations != std::vector<std::int64_t>{1, 1} ||
        (autoPad && autoPad->s != "NOTSET") || intOr(n, "ceil_mode", 0) != 0)
      throw Unsupported{"operator " + n.name + " has a window this reader does not run"};
    for (const std::int64_t p : pads)
      if (p < 0 || p > 8) throw Unsupported{"operator " + n.name + " pads too much"};
    if (!kernel.empty()) {
      if (kernel.size() != 2 || kernel[0] < 1 || kernel[0] > 8 || kernel[1] < 1 || kernel[1] > 8)
        throw Unsupported{"operator " + n.name + " has a kernel this reader does not run"};
      op.kernelH = static_cast<int>(kernel[0]);
      op.kernelW = static_cast<int>(kernel[1]);
    }
    op.stride = static_cast<int>(strides[0]);
    // ONNX lists the starts of both axes, then their ends.
    op.padTop = static_cast<int>(pads[0]);
    op.padLeft = static_cast<int>(pads[1]);
    op.padBottom = static_cast<int>(pads[2]);
    op.padRight = static_cast<int>(pads[3]);
  };

  for (const onnx::Node& n : g.nodes) {
    const std::string& type = n.opType;
    if (n.inputs.empty()) throw Unsupported{"operator " + n.name + " has no input"};
    if (type == "Transpose") {
      const auto perm = intsOr(n, "perm", {});
      auto it = values.find(n.inputs[0]);
      if (it == values.end()) throw Unsupported{"value " + n.inputs[0] + " comes from nowhere"};
      Value v = it->second;
      if (v.layout == kNhwc && perm == std::vector<std::int64_t>{0, 3, 1, 2})
        v.layout = kNchw;
      else if (v.layout == kNchw && perm == std::vector<std::int64_t>{0, 2, 3, 1})
        v.layout = kNhwc;
      else
        throw Unsupported{"transpose " + n.name + " is not one this reader runs"};
      define(n, v);
    } else if (type == "Conv") {
      const Value& in = valueOf(n.inputs[0], kNchw);
      const onnx::Tensor* w = n.inputs.size() > 1 ? initializer(n.inputs[1]) : nullptr;
      const onnx::Tensor* b = n.inputs.size() > 2 ? initializer(n.inputs[2]) : nullptr;
      if (!w || !w->isFloat || w->dims.size() != 4 || (n.inputs.size() > 2 && !b) ||
          n.inputs.size() > 3)
        throw Unsupported{"convolution " + n.name + " has no weights"};
      Plan::Op op{};
      window(n, op);
      const std::int64_t outC = w->dims[0], groupC = w->dims[1];
      if (w->dims[2] != op.kernelH && n.attribute("kernel_shape"))
        throw Unsupported{"convolution " + n.name + " has weights of another kernel"};
      op.kernelH = static_cast<int>(w->dims[2]);
      op.kernelW = static_cast<int>(w->dims[3]);
      if (op.kernelH < 1 || op.kernelW < 1 || op.kernelH > 8 || op.kernelW > 8 || outC < 1 ||
          outC > kMaxChannels)
        throw Unsupported{"convolution " + n.name + " is too large"};
      if (b && (!b->isFloat || b->dims.size() != 1 || b->dims[0] != outC))
        throw Unsupported{"convolution " + n.name + " has a bias of another size"};
      const std::int64_t group = intOr(n, "group", 1);
      op.inChannels = in.channels;
      op.outChannels = static_cast<int>(outC);
      op.input = in.id;
      const std::size_t kh = op.kernelH, kw = op.kernelW, oc = outC;
      if (group == 1 && groupC == in.channels) {
        op.kind = Plan::kConvolution;
        // ONNX [out, in, kh, kw] to XNNPACK [out, kh, kw, in].
        const std::size_t ic = in.channels;
        op.filter.resize(oc * kh * kw * ic);
        for (std::size_t o = 0; o < oc; ++o)
          for (std::size_t i = 0; i < ic; ++i)
            for (std::size_t y = 0; y < kh; ++y)
              for (std::size_t x = 0; x < kw; ++x)
                op.filter[((o * kh + y) * kw + x) * ic + i] =
                    w->floats[((o * ic + i) * kh + y) * kw + x];
      } else if (group == in.channels && groupC == 1 && outC % group == 0) {
        op.kind = Plan::kDepthwise;
        // ONNX [out, 1, kh, kw] to XNNPACK [1, kh, kw, out].
        op.filter.resize(kh * kw * oc);
        for (std::size_t o = 0; o < oc; ++o)
          for (std::size_t y = 0; y < kh; ++y)
            for (std::size_t x = 0; x < kw; ++x)
              op.filter[(y * kw + x) * oc + o] = w->floats[(o * kh + y) * kw + x];
      } else {
        throw Unsupported{"convolution " + n.name + " has groups this reader does not run"};
      }
      op.bias = b ? b->floats : std::vector<float>(oc, 0.0f);
      const int stride = in.stride * op.stride;
      addOp(std::move(op), stride, n);
    } else if (type == "Relu") {
      const Value& in = valueOf(n.inputs[0], kNchw);
      if (in.producer < 0 || uses[n.inputs[0]] != 1 || plan.ops[in.producer].relu ||
          plan.ops[in.producer].kind == Plan::kChannelPad ||
          plan.ops[in.producer].kind == Plan::kMaxPool)
        throw Unsupported{"activation " + n.name + " follows no operator it can join"};
      plan.ops[in.producer].relu = true;
      define(n, in);
    } else if (type == "Add") {
      if (n.inputs.size() != 2) throw Unsupported{"sum " + n.name + " is not of two values"};
      const Value& a = valueOf(n.inputs[0], kNchw);
      const Value& b = valueOf(n.inputs[1], kNchw);
      if (a.channels != b.channels || a.stride != b.stride)
        throw Unsupported{"sum " + n.name + " adds values of different shapes"};
      Plan::Op op{};
      op.kind = Plan::kAdd;
      op.input = a.id;
      op.input2 = b.id;
      op.inChannels = op.outChannels = a.channels;
      addOp(std::move(op), a.stride, n);
    } else if (type == "MaxPool") {
      const Value& in = valueOf(n.inputs[0], kNchw);
      Plan::Op op{};
      window(n, op);
      if (!n.attribute("kernel_shape")) throw Unsupported{"pooling " + n.name + " has no kernel"};
      op.kind = Plan::kMaxPool;
      op.input = in.id;
      op.inChannels = op.outChannels = in.channels;
      const int stride = in.stride * op.stride;
      addOp(std::move(op), stride, n);
    } else if (type == "ConstantOfShape") {
      const onnx::Tensor* shape = initializer(n.inputs[0]);
      const onnx::Attribute* fill = n.attribute("value");
      if (!shape || shape->isFloat || shape->dims.size() != 1 || shape->ints.size() != 4 ||
          shape->ints[0] != 1 || shape->ints[1] < 1 || shape->ints[1] > kMaxChannels ||
          (fill && (!fill->t || !fill->t->isFloat || fill->t->floats.size() != 1 ||
                    fill->t->floats[0] != 0.0f)))
        throw Unsupported{"constant " + n.name + " is not a block of zeros"};
      define(n, {-1, kZeros, 0, static_cast<int>(shape->ints[1]), -1});
    } else if (type == "Concat") {
      const std::int64_t axis = intOr(n, "axis", 0);
      if (n.inputs.size() != 2 || (axis != 1 && axis != -3))
        throw Unsupported{"concatenation " + n.name + " is not a padding of channels"};
      auto first = values.find(n.inputs[0]);
      auto second = values.find(n.inputs[1]);
      if (first == values.end() || second == values.end())
        throw Unsupported{"concatenation " + n.name + " takes a value from nowhere"};
      Plan::Op op{};
      op.kind = Plan::kChannelPad;
      const bool zerosFirst = first->second.layout == kZeros;
      const Value& in = zerosFirst ? second->second : first->second;
      const Value& zeros = zerosFirst ? first->second : second->second;
      if (in.layout != kNchw || zeros.layout != kZeros)
        throw Unsupported{"concatenation " + n.name + " is not a padding of channels"};
      if (in.channels + zeros.channels > kMaxChannels)
        throw Unsupported{"concatenation " + n.name + " is too wide"};
      op.input = in.id;
      op.inChannels = in.channels;
      op.outChannels = in.channels + zeros.channels;
      (zerosFirst ? op.padTop : op.padBottom) = zeros.channels;  // before or after
      addOp(std::move(op), in.stride, n);
    } else if (type == "Reshape") {
      const Value& in = valueOf(n.inputs[0], kNhwc);
      const onnx::Tensor* shape = n.inputs.size() == 2 ? initializer(n.inputs[1]) : nullptr;
      if (in.producer < 0 || !shape || shape->isFloat || shape->ints.size() != 3 ||
          shape->ints[0] != 1 || shape->ints[2] < 1 || in.channels % shape->ints[2] != 0)
        throw Unsupported{"reshape " + n.name + " is not a flattening of a grid"};
      Value flat = in;
      flat.layout = kFlat;
      define(n, flat);
    } else {
      throw Unsupported{"operator " + type + " is not one this reader runs"};
    }
  }

  // The outputs: scores and regressors of each grid.
  if (g.outputs.size() != 4) throw Unsupported{"the graph has not four outputs"};
  std::array<bool, 4> found{};
  for (const std::string& name : g.outputs) {
    auto it = values.find(name);
    if (it == values.end() || it->second.layout != kFlat)
      throw Unsupported{"output " + name + " is not a flattened grid"};
    const Value& v = it->second;
    bool placed = false;
    for (int grid = 0; grid < 2; ++grid)
      for (int part = 0; part < 2; ++part) {
        const auto [cell, anchors] = kGrids[grid];
        const int slot = 2 * grid + part;
        if (v.stride == cell && v.channels == anchors * (part ? FaceNetwork::kRegressors : 1) &&
            !found[slot]) {
          found[slot] = placed = true;
          plan.outputs[slot] = v.id;
        }
      }
    if (!placed) throw Unsupported{"output " + name + " is not one of BlazeFace's"};
  }
  // A value both output and used on would be written by XNNPACK twice.
  for (int id : plan.outputs)
    for (const Plan::Op& op : plan.ops)
      if (op.input == id || op.input2 == id) throw Unsupported{"an output is used on"};
  return plan;
}

}  // namespace

namespace {

// Where a pass on h x w inputs keeps its values: each value's height and
// width, as the operators make them, and its place in one block of floats.
// Each holds its place from its operator until its last reader (the
// outputs until the end), in the first gap that fits.
struct Placement {
  std::vector<std::array<std::size_t, 2>> sides;
  std::vector<std::size_t> place;
  std::size_t total = 0;        // floats
  std::size_t inputFloats = 0;  // the input's block, apart
};

// Nothing when the plan's operators do not fit that shape or its outputs
// are not BlazeFace's grids of it.
std::optional<Placement> placeValues(const Plan& plan, int h, int w) {
  const std::size_t count = plan.channels.size();
  Placement placement;
  placement.sides.resize(count);
  placement.sides[0] = {std::size_t(h), std::size_t(w)};
  for (const Plan::Op& op : plan.ops) {
    const auto [ih, iw] = placement.sides[op.input];
    std::size_t oh = ih, ow = iw;
    if (op.kind == Plan::kConvolution || op.kind == Plan::kDepthwise || op.kind == Plan::kMaxPool) {
      const std::size_t ph = ih + op.padTop + op.padBottom, pw = iw + op.padLeft + op.padRight;
      if (ph < std::size_t(op.kernelH) || pw < std::size_t(op.kernelW)) return std::nullopt;
      oh = (ph - op.kernelH) / op.stride + 1;
      ow = (pw - op.kernelW) / op.stride + 1;
    }
    if (op.kind == Plan::kAdd && placement.sides[op.input2] != placement.sides[op.input])
      return std::nullopt;
    // Grown past any bound by padding: refused before the sizes below could
    // overflow.
    if (oh * ow > kMaxValueFloatsPerPixel * std::size_t(h) * std::size_t(w)) {
      placement.total = std::numeric_limits<std::size_t>::max();
      return placement;
    }
    placement.sides[op.output] = {oh, ow};
  }
  for (int slot = 0; slot < 4; ++slot) {
    const int cell = kGrids[slot / 2].first;
    const auto& sides = placement.sides[plan.outputs[slot]];
    if (sides[0] != std::size_t(h / cell) || sides[1] != std::size_t(w / cell)) return std::nullopt;
  }

  std::vector<std::size_t> lastUse(count, 0), size(count, 0);
  for (std::size_t k = 0; k < plan.ops.size(); ++k) {
    const Plan::Op& op = plan.ops[k];
    lastUse[op.input] = k;
    if (op.input2 >= 0) lastUse[op.input2] = k;
    lastUse[op.output] = k;
  }
  for (const int id : plan.outputs) lastUse[id] = plan.ops.size();
  constexpr std::size_t kSlack = (XNN_EXTRA_BYTES + 63) / 64 * 16;  // floats, whole cache lines
  for (std::size_t id = 0; id < count; ++id) {
    const auto [vh, vw] = placement.sides[id];
    size[id] = (vh * vw * plan.channels[id] + 15) / 16 * 16 + kSlack;
  }
  placement.place.assign(count, 0);
  std::vector<std::size_t> live;  // values holding their places, by place
  for (std::size_t k = 0; k < plan.ops.size(); ++k) {
    const int id = plan.ops[k].output;
    std::erase_if(live, [&](std::size_t v) { return lastUse[v] < k; });
    std::size_t at = 0;
    auto it = live.begin();
    for (; it != live.end() && placement.place[*it] < at + size[id]; ++it)
      at = std::max(at, placement.place[*it] + size[*it]);
    placement.place[id] = at;
    live.insert(it, id);
    placement.total = std::max(placement.total, at + size[id]);
  }
  placement.inputFloats = size[0];
  return placement;
}

// Whether the values of `placement` stay within what a pass on h x w inputs
// may hold. Operators padding value after value grow their sides, and
// values kept for a later reader add up: a small file could otherwise ask
// for any amount of memory.
bool withinBounds(const Placement& placement, int h, int w) {
  return placement.total <= kMaxValueFloatsPerPixel * std::size_t(h) * std::size_t(w);
}

}  // namespace

struct FaceNetwork::Pass::State {
  pthreadpool_t pool = nullptr;
  xnn_runtime_t runtime = nullptr;
  std::shared_ptr<const Plan> plan;  // its weights are read in place
  // The input, then every other value, with the slack XNNPACK may read
  // past each; their places never change, so XNNPACK sets up its operators
  // once.
  std::vector<float> input, values;
  std::array<const float*, 4> outputs{};
  std::array<std::size_t, 4> sizes{};  // elements of each output

  ~State() {
    if (runtime) xnn_delete_runtime(runtime);
    if (pool) pthreadpool_destroy(pool);
  }
};

FaceNetwork::Pass::Pass(std::unique_ptr<State> state, int h, int w, int threads)
    : state_(std::move(state)), height_(h), width_(w), threads_(threads) {}
FaceNetwork::Pass::~Pass() = default;

float* FaceNetwork::Pass::input() { return state_->input.data(); }

bool FaceNetwork::Pass::run(std::vector<float>& scores, std::vector<float>& regressors) {
  if (xnn_invoke_runtime(state_->runtime) != xnn_status_success) return false;
  const auto& out = state_->outputs;
  const auto& n = state_->sizes;
  scores.assign(out[0], out[0] + n[0]);
  scores.insert(scores.end(), out[2], out[2] + n[2]);
  regressors.assign(out[1], out[1] + n[1]);
  regressors.insert(regressors.end(), out[3], out[3] + n[3]);
  return true;
}

FaceNetwork::FaceNetwork(std::unique_ptr<Plan> plan) : plan_(std::move(plan)) {}
FaceNetwork::FaceNetwork(FaceNetwork&&) noexcept = default;
FaceNetwork& FaceNetwork::operator=(FaceNetwork&&) noexcept = default;
FaceNetwork::~FaceNetwork() = default;

std::optional<FaceNetwork> FaceNetwork::read(std::string_view bytes, std::string& error) {
  std::string why;
  std::optional<onnx::Graph> graph = onnx::readModel(bytes, why);
  if (!graph) {
    error = "holds no network (" + why + ")";
    return std::nullopt;
  }
  try {
    auto plan = std::make_unique<Plan>(translate(*graph));
    // Refused now rather than when a pass is set up; a plan that does not
    // fit the model's own input shape is left to setUp() to refuse.
    if (const auto placement = placeValues(*plan, 256, 256);
        placement && !withinBounds(*placement, 256, 256))
      throw Unsupported{"its values need too much memory"};
    return FaceNetwork(std::move(plan));
  } catch (const Unsupported& u) {
    error = "is not a BlazeFace 256 x 256 model (" + u.what + ")";
  }
  return std::nullopt;
}

std::unique_ptr<FaceNetwork::Pass> FaceNetwork::setUp(int h, int w, int threads) const {
  if (h <= 0 || w <= 0 || h % kStride || w % kStride || !xnnReady()) return nullptr;
  const Plan& plan = *plan_;
  const std::optional<Placement> placement = placeValues(plan, h, w);
  if (!placement || !withinBounds(*placement, h, w)) return nullptr;
  const auto& sides = placement->sides;
  auto state = std::make_unique<Pass::State>();
  state->plan = plan_;
  xnn_subgraph_t graph = nullptr;
  if (xnn_create_subgraph(static_cast<std::uint32_t>(plan.channels.size()), 0, &graph) !=
      xnn_status_success)
    return nullptr;
  // The subgraph is only needed until the runtime is made.
  std::unique_ptr<xnn_subgraph, decltype(&xnn_delete_subgraph)> owned(graph, xnn_delete_subgraph);
  constexpr float kInf = std::numeric_limits<float>::infinity();

  auto tensor = [&](int id, std::uint32_t flags) {
    const std::size_t dims[4] = {1, sides[id][0], sides[id][1], std::size_t(plan.channels[id])};
    std::uint32_t defined = 0;
    return xnn_define_tensor_value(graph, xnn_datatype_fp32, 4, dims, nullptr,
                                   static_cast<std::uint32_t>(id), flags,
                                   &defined) == xnn_status_success;
  };
  auto weights = [&](const std::vector<float>& data, std::vector<std::size_t> dims) {
    std::uint32_t id = XNN_INVALID_VALUE_ID;
    if (xnn_define_tensor_value(graph, xnn_datatype_fp32, dims.size(), dims.data(), data.data(),
                                XNN_INVALID_VALUE_ID, 0, &id) != xnn_status_success)
      return XNN_INVALID_VALUE_ID;
    return id;
  };
  if (!tensor(0, XNN_VALUE_FLAG_EXTERNAL_INPUT)) return nullptr;
  // Every value is external: its place is chosen below, not by XNNPACK,
  // which keeps all of them apart (about 400 bytes per input pixel).
  for (const Plan::Op& op : plan.ops) {
    if (!tensor(op.output, XNN_VALUE_FLAG_EXTERNAL_OUTPUT)) return nullptr;
    const float low = op.relu ? 0.0f : -kInf;
    const auto in = static_cast<std::uint32_t>(op.input),
               out = static_cast<std::uint32_t>(op.output);
    xnn_status status = xnn_status_invalid_parameter;
    switch (op.kind) {
      case Plan::kConvolution: {
        const std::uint32_t filter =
            weights(op.filter, {std::size_t(op.outChannels), std::size_t(op.kernelH),
                                std::size_t(op.kernelW), std::size_t(op.inChannels)});
        const std::uint32_t bias = weights(op.bias, {std::size_t(op.outChannels)});
        if (filter == XNN_INVALID_VALUE_ID || bias == XNN_INVALID_VALUE_ID) return nullptr;
        status = xnn_define_convolution_2d(graph, op.padTop, op.padRight, op.padBottom, op.padLeft,
                                           op.kernelH, op.kernelW, op.stride, op.stride, 1, 1, 1,
                                           op.inChannels, op.outChannels, low, kInf, in, filter,
                                           bias, out, 0);
        break;
      }
      case Plan::kDepthwise: {
        const std::uint32_t filter = weights(
            op.filter,
            {1, std::size_t(op.kernelH), std::size_t(op.kernelW), std::size_t(op.outChannels)});
        const std::uint32_t bias = weights(op.bias, {std::size_t(op.outChannels)});
        if (filter == XNN_INVALID_VALUE_ID || bias == XNN_INVALID_VALUE_ID) return nullptr;
        status = xnn_define_depthwise_convolution_2d(
            graph, op.padTop, op.padRight, op.padBottom, op.padLeft, op.kernelH, op.kernelW,
            op.stride, op.stride, 1, 1, op.outChannels / op.inChannels, op.inChannels, low, kInf,
            in, filter, bias, out, 0);
        break;
      }
      case Plan::kMaxPool:
        status = xnn_define_max_pooling_2d(graph, op.padTop, op.padRight, op.padBottom, op.padLeft,
                                           op.kernelH, op.kernelW, op.stride, op.stride, 1, 1,
                                           -kInf, kInf, in, out, 0);
        break;
      case Plan::kAdd:
        status =
            xnn_define_add2(graph, low, kInf, in, static_cast<std::uint32_t>(op.input2), out, 0);
        break;
      case Plan::kChannelPad: {
        const std::size_t before[4] = {0, 0, 0, std::size_t(op.padTop)};
        const std::size_t after[4] = {0, 0, 0, std::size_t(op.padBottom)};
        status = xnn_define_static_constant_pad(graph, before, after, 0.0f, in, out, 0);
        break;
      }
    }
    if (status != xnn_status_success) return nullptr;
  }
  for (int slot = 0; slot < 4; ++slot) {
    const int id = plan.outputs[slot];
    state->sizes[slot] = sides[id][0] * sides[id][1] * plan.channels[id];
  }
  if (threads != 1) {
    state->pool = pthreadpool_create(threads > 0 ? threads : 0);
    if (!state->pool) return nullptr;
  }
  if (xnn_create_runtime_v2(graph, state->pool, XNN_FLAG_YIELD_WORKERS, &state->runtime) !=
      xnn_status_success)
    return nullptr;

  state->input.assign(placement->inputFloats, 0.0f);
  state->values.assign(placement->total, 0.0f);
  const std::size_t count = plan.channels.size();
  std::vector<xnn_external_value> external(count);
  for (std::size_t id = 0; id < count; ++id)
    external[id] = {static_cast<std::uint32_t>(id),
                    id == 0 ? state->input.data() : state->values.data() + placement->place[id]};
  for (int slot = 0; slot < 4; ++slot)
    state->outputs[slot] = state->values.data() + placement->place[plan.outputs[slot]];
  if (xnn_setup_runtime(state->runtime, count, external.data()) != xnn_status_success)
    return nullptr;
  return std::unique_ptr<Pass>(new Pass(std::move(state), h, w, threads));
}

}  // namespace kadro
