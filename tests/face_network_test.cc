#include "SmartCrop/face_network.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SmartCrop/onnx_model.h"

namespace kadro {
namespace {

std::string modelBytes() {
  std::ifstream in(KADRO_TEST_MODEL, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Protocol buffer pieces for hand-made models.
std::string varint(std::uint64_t v) {
  std::string out;
  do {
    out += static_cast<char>((v & 0x7f) | (v > 0x7f ? 0x80 : 0));
    v >>= 7;
  } while (v);
  return out;
}
std::string bytesField(int field, const std::string& body) {
  return varint(std::uint64_t(field) << 3 | 2) + varint(body.size()) + body;
}
std::string intField(int field, std::int64_t v) {
  return varint(std::uint64_t(field) << 3) + varint(static_cast<std::uint64_t>(v));
}
std::string ints(int field, const std::vector<std::int64_t>& values) {
  std::string packed;
  for (const std::int64_t v : values) packed += varint(static_cast<std::uint64_t>(v));
  return bytesField(field, packed);
}
std::string floatTensor(const std::string& name, const std::vector<std::int64_t>& dims,
                        const std::vector<float>& values) {
  std::string raw(values.size() * 4, '\0');
  for (std::size_t i = 0; i < values.size(); ++i) std::memcpy(&raw[4 * i], &values[i], 4);
  return ints(1, dims) + intField(2, 1) + bytesField(8, name) + bytesField(9, raw);
}
std::string intTensor(const std::string& name, const std::vector<std::int64_t>& values) {
  return ints(1, {std::int64_t(values.size())}) + intField(2, 7) + bytesField(8, name) +
         ints(7, values);
}
std::string attribute(const std::string& name, const std::vector<std::int64_t>& values) {
  return bytesField(1, name) + ints(8, values) + intField(20, 7);
}
std::string attribute(const std::string& name, std::int64_t value) {
  return bytesField(1, name) + intField(3, value) + intField(20, 2);
}
std::string node(const std::string& type, const std::vector<std::string>& inputs,
                 const std::string& output, const std::vector<std::string>& attributes = {}) {
  std::string n;
  for (const std::string& in : inputs) n += bytesField(1, in);
  n += bytesField(2, output) + bytesField(3, output) + bytesField(4, type);
  for (const std::string& a : attributes) n += bytesField(5, a);
  return n;
}
std::string model(const std::vector<std::string>& nodes, const std::vector<std::string>& weights,
                  const std::vector<std::string>& outputs) {
  std::string g;
  for (const std::string& n : nodes) g += bytesField(1, n);
  for (const std::string& w : weights) g += bytesField(5, w);
  g += bytesField(11, bytesField(1, "in"));
  for (const std::string& o : outputs) g += bytesField(12, bytesField(1, o));
  return intField(1, 7) + bytesField(7, g);
}

// A network of BlazeFace's outputs that pools the input to both grids and
// gives each anchor a 1 x 1 convolution of the three colours: output
// channel o of a head with weights w is sum_c w[o][c] * colour[c] + bias[o].
// `more` nodes and weights join it; they may read the input's NCHW form "t".
std::string pooledHeads(const std::string& headOp = "Conv",
                        const std::vector<std::string>& moreNodes = {},
                        const std::vector<std::string>& moreWeights = {}) {
  std::vector<std::string> nodes = {
      node("Transpose", {"in"}, "t", {attribute("perm", {0, 3, 1, 2})})};
  std::string previous = "t";
  for (int i = 0; i < 5; ++i) {
    const std::string out = std::string("p").append(std::to_string(i));
    nodes.push_back(node("MaxPool", {previous}, out,
                         {attribute("kernel_shape", {2, 2}), attribute("strides", {2, 2})}));
    previous = out;
  }
  std::vector<std::string> weights, outputs;
  // Fine grid after four poolings, coarse after five.
  const struct {
    const char* name;
    const char* from;
    int channels;
  } heads[] = {{"s16", "p3", 2}, {"r16", "p3", 32}, {"s32", "p4", 6}, {"r32", "p4", 96}};
  for (const auto& h : heads) {
    std::vector<float> w(std::size_t(h.channels) * 3), b(h.channels);
    for (int o = 0; o < h.channels; ++o) {
      for (int c = 0; c < 3; ++c)
        w[o * 3 + c] = float(o + 1) * (c == 0 ? 1.0f : c == 1 ? 0.5f : -0.25f);
      b[o] = -float(o);
    }
    const std::string name = h.name;
    weights.push_back(floatTensor(name + "_w", {h.channels, 3, 1, 1}, w));
    weights.push_back(floatTensor(name + "_b", {h.channels}, b));
    const int per = h.channels % 16 == 0 ? 16 : 1;
    weights.push_back(intTensor(name + "_shape", {1, -1, per}));
    nodes.push_back(node(headOp, {h.from, name + "_w", name + "_b"}, name + "_c"));
    nodes.push_back(
        node("Transpose", {name + "_c"}, name + "_t", {attribute("perm", {0, 2, 3, 1})}));
    nodes.push_back(node("Reshape", {name + "_t", name + "_shape"}, name));
    outputs.push_back(name);
  }
  nodes.insert(nodes.end(), moreNodes.begin(), moreNodes.end());
  weights.insert(weights.end(), moreWeights.begin(), moreWeights.end());
  return model(nodes, weights, outputs);
}

TEST(FaceNetwork, RunsTheModelOnEveryShapeOfWholeStridesAlikeOnOneOrTwoThreads) {
  std::string error;
  const std::optional<FaceNetwork> network = FaceNetwork::read(modelBytes(), error);
  ASSERT_TRUE(network) << error;
  for (const auto& [h, w] : {std::pair{64, 64}, {96, 160}, {256, 192}}) {
    std::vector<float> scores[2], regressors[2];
    for (const int threads : {1, 2}) {
      auto pass = network->setUp(h, w, threads);
      ASSERT_TRUE(pass) << w << "x" << h;
      // A smooth ramp of colours, the same for both passes.
      for (int i = 0; i < h * w * 3; ++i) pass->input()[i] = std::sin(i * 0.001f);
      ASSERT_TRUE(pass->run(scores[threads - 1], regressors[threads - 1]));
    }
    const std::size_t anchors = (h / 16) * (w / 16) * 2 + (h / 32) * (w / 32) * 6;
    ASSERT_EQ(scores[0].size(), anchors);
    ASSERT_EQ(regressors[0].size(), anchors * 16);
    ASSERT_EQ(scores[1].size(), anchors);
    for (std::size_t i = 0; i < anchors; ++i) ASSERT_NEAR(scores[0][i], scores[1][i], 1e-3) << i;
    for (std::size_t i = 0; i < anchors * 16; ++i)
      ASSERT_NEAR(regressors[0][i], regressors[1][i], 1e-2) << i;
  }
  EXPECT_FALSE(network->setUp(64, 65, 1));
  EXPECT_FALSE(network->setUp(0, 64, 1));
}

TEST(FaceNetwork, HeadsTakeTheirWeightsInTheFilesOrderAndAnchorsInGridOrder) {
  std::string error;
  const std::optional<FaceNetwork> network = FaceNetwork::read(pooledHeads(), error);
  ASSERT_TRUE(network) << error;
  const int h = 64, w = 96;
  auto pass = network->setUp(h, w, 1);
  ASSERT_TRUE(pass);
  // Each 32-pixel cell one colour, told apart by its column and row.
  const auto colour = [](int x, int y, int c) {
    return c == 0 ? 0.1f * (x / 32) : c == 1 ? 0.2f * (y / 32) : 0.3f;
  };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) pass->input()[(y * w + x) * 3 + c] = colour(x, y, c);
  std::vector<float> scores, regressors;
  ASSERT_TRUE(pass->run(scores, regressors));
  const auto expected = [&](int o, int x, int y) {
    const float k = float(o + 1);
    return k * colour(x, y, 0) + 0.5f * k * colour(x, y, 1) - 0.25f * k * colour(x, y, 2) - o;
  };
  std::size_t s = 0, r = 0;
  for (const auto& [cell, anchors] : {std::pair{16, 2}, {32, 6}})
    for (int gy = 0; gy < h / cell; ++gy)
      for (int gx = 0; gx < w / cell; ++gx) {
        const int x = gx * cell, y = gy * cell;
        for (int o = 0; o < anchors; ++o, ++s)
          ASSERT_NEAR(scores[s], expected(o, x, y), 1e-4) << cell << " " << gx << "," << gy;
        for (int o = 0; o < anchors * 16; ++o, ++r)
          ASSERT_NEAR(regressors[r], expected(o, x, y), 1e-3) << cell << " " << o;
      }
  EXPECT_EQ(s, scores.size());
  EXPECT_EQ(r, regressors.size());
}

TEST(FaceNetwork, DamagedOrForeignFilesGiveAnErrorNeverACrash) {
  const std::string bytes = modelBytes();
  std::string error;
  // Cut anywhere: structure, names or weights.
  for (std::size_t cut = 0; cut < bytes.size(); cut += bytes.size() / 97 + 1) {
    error.clear();
    EXPECT_FALSE(FaceNetwork::read(bytes.substr(0, cut), error)) << cut;
    EXPECT_NE(error.find("holds no network"), std::string::npos) << cut << ": " << error;
  }
  // Bytes changed anywhere give an error or a network, never a crash.
  for (std::size_t at = 0; at < bytes.size(); at += bytes.size() / 211 + 1) {
    std::string changed = bytes;
    changed[at] = static_cast<char>(changed[at] ^ 0xa5);
    error.clear();
    if (!FaceNetwork::read(changed, error)) {
      EXPECT_FALSE(error.empty()) << at;
    }
  }

  // Claims far beyond what the file holds.
  const std::string huge = floatTensor("w", {1 << 20, 1 << 20, 3, 3}, {});
  EXPECT_FALSE(FaceNetwork::read(model({}, {huge}, {}), error));
  EXPECT_NE(error.find("holds no network"), std::string::npos) << error;
  EXPECT_FALSE(FaceNetwork::read(bytesField(7, varint(std::uint64_t(1) << 40)), error));
  std::string deep = "x";
  for (int i = 0; i < 100; ++i) deep = bytesField(5, bytesField(5, deep));
  EXPECT_FALSE(FaceNetwork::read(bytesField(7, bytesField(1, deep)), error));
  EXPECT_NE(error.find("holds no network"), std::string::npos) << error;

  // Well-formed models of other networks.
  EXPECT_FALSE(FaceNetwork::read(pooledHeads("Softmax"), error));
  EXPECT_NE(error.find("is not a BlazeFace 256 x 256 model"), std::string::npos) << error;
  EXPECT_NE(error.find("Softmax"), std::string::npos) << error;
  const std::string oneHead =
      model({node("Transpose", {"in"}, "t", {attribute("perm", {0, 3, 1, 2})}),
             node("Conv", {"t", "w"}, "c"),
             node("Transpose", {"c"}, "o", {attribute("perm", {0, 2, 3, 1})})},
            {floatTensor("w", {2, 3, 1, 1}, {1, 2, 3, 4, 5, 6})}, {"o"});
  EXPECT_FALSE(FaceNetwork::read(oneHead, error));
  EXPECT_NE(error.find("is not a BlazeFace 256 x 256 model"), std::string::npos) << error;
  EXPECT_FALSE(FaceNetwork::read("not a model\n", error));
  EXPECT_FALSE(FaceNetwork::read("", error));
}

// Small files whose operators would ask for far more memory than any face
// network needs: values widened again and again, one file's weights copied
// for many operators, values grown by padding after padding. Each is
// refused when read, before a pass is set up.
TEST(FaceNetwork, FilesAskingForHugeMemoryAreRefused) {
  std::string error;
  ASSERT_TRUE(FaceNetwork::read(pooledHeads(), error)) << error;

  std::vector<std::string> widening = {node("ConstantOfShape", {"zshape"}, "z")};
  std::string previous = "t";
  for (int i = 0; i < 64; ++i) {
    const std::string out = "wide" + std::to_string(i);
    widening.push_back(node("Concat", {previous, "z"}, out, {attribute("axis", 1)}));
    previous = out;
  }
  EXPECT_FALSE(FaceNetwork::read(
      pooledHeads("Conv", widening, {intTensor("zshape", {1, 4096, 1, 1})}), error));
  EXPECT_NE(error.find("is too wide"), std::string::npos) << error;

  std::vector<std::string> sharing;
  for (int i = 0; i < 24; ++i)
    sharing.push_back(node("Conv", {"t", "big"}, "shared" + std::to_string(i)));
  EXPECT_FALSE(FaceNetwork::read(
      pooledHeads("Conv", sharing,
                  {floatTensor("big", {4096, 3, 8, 8}, std::vector<float>(4096 * 3 * 64))}),
      error));
  EXPECT_NE(error.find("weights are too large"), std::string::npos) << error;

  std::vector<std::string> padding;
  previous = "t";
  for (int i = 0; i < 200; ++i) {
    const std::string out = "padded" + std::to_string(i);
    padding.push_back(node("MaxPool", {previous}, out,
                           {attribute("kernel_shape", {1, 1}), attribute("pads", {8, 8, 8, 8})}));
    previous = out;
  }
  EXPECT_FALSE(FaceNetwork::read(pooledHeads("Conv", padding), error));
  EXPECT_NE(error.find("need too much memory"), std::string::npos) << error;
}

}  // namespace
}  // namespace kadro
