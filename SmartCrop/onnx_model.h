// A reader for the part of the ONNX model format a small convolutional
// network uses: the graph's nodes, their attributes and the weights
// (initializers and constants, 32-bit float or 64-bit integer). The file is
// a protocol buffer; this reads its wire format directly, checking every
// length against the bytes there are, so that a damaged or hostile file
// gives an error, never a crash or a huge allocation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kadro::onnx {

struct Tensor {
  std::string name;
  std::vector<std::int64_t> dims;
  std::vector<float> floats;       // for float tensors
  std::vector<std::int64_t> ints;  // for integer tensors
  bool isFloat = false;

  std::size_t count() const { return isFloat ? floats.size() : ints.size(); }
};

struct Attribute {
  std::string name;
  std::int64_t i = 0;
  float f = 0;
  std::string s;
  std::vector<std::int64_t> ints;
  std::vector<float> floats;
  std::optional<Tensor> t;
};

struct Node {
  std::string opType;
  std::string name;
  std::vector<std::string> inputs, outputs;
  std::vector<Attribute> attributes;

  const Attribute* attribute(std::string_view name) const;
};

struct Graph {
  std::vector<Node> nodes;
  std::vector<Tensor> initializers;
  std::vector<std::string> inputs, outputs;  // names, as declared
};

// The model's graph; nothing (and `error` says what is wrong) for bytes that
// are not an ONNX model or use what this reader does not read.
std::optional<Graph> readModel(std::string_view bytes, std::string& error);

}  // namespace kadro::onnx
