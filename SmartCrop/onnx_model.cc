#include "SmartCrop/onnx_model.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace kadro::onnx {
namespace {

// No tensor of a model this reader is meant for comes near this many
// elements; a larger claimed shape is damage.
constexpr std::int64_t kMaxElements = std::int64_t(1) << 28;
// Messages nest a few levels deep (model, graph, node, attribute, tensor).
constexpr int kMaxDepth = 8;

enum WireType { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };
// TensorProto element types.
enum DataType { kFloat = 1, kInt32 = 6, kInt64 = 7 };

struct Failure {
  std::string what;
};

// One message's fields, read in order.
class Reader {
 public:
  Reader(std::string_view bytes, int depth) : rest_(bytes), depth_(depth) {
    if (depth > kMaxDepth) throw Failure{"nested too deeply"};
  }

  // The next field's number and wire type; false at the end.
  bool next(std::uint32_t& field, int& type) {
    if (rest_.empty()) return false;
    const std::uint64_t key = varint();
    field = static_cast<std::uint32_t>(key >> 3);
    type = static_cast<int>(key & 7);
    if (field == 0 || key >> 32) throw Failure{"bad field number"};
    return true;
  }

  std::uint64_t varint() {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (rest_.empty()) throw Failure{"truncated"};
      const auto byte = static_cast<unsigned char>(rest_.front());
      rest_.remove_prefix(1);
      value |= std::uint64_t(byte & 0x7f) << shift;
      if (!(byte & 0x80)) return value;
    }
    throw Failure{"bad number"};
  }

  std::string_view bytes() {
    const std::uint64_t n = varint();
    if (n > rest_.size()) throw Failure{"truncated"};
    const std::string_view out = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return out;
  }

  std::uint32_t fixed32() {
    if (rest_.size() < 4) throw Failure{"truncated"};
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(rest_[i]);
    rest_.remove_prefix(4);
    return v;
  }

  void skip(int type) {
    switch (type) {
      case kVarint:
        varint();
        break;
      case kFixed64:
        if (rest_.size() < 8) throw Failure{"truncated"};
        rest_.remove_prefix(8);
        break;
      case kBytes:
        bytes();
        break;
      case kFixed32:
        fixed32();
        break;
      default:
        throw Failure{"unknown wire type"};
    }
  }

  // A field of a nested message.
  Reader message(int type) {
    expect(type, kBytes);
    return Reader(bytes(), depth_ + 1);
  }

  std::string text(int type) {
    expect(type, kBytes);
    return std::string(bytes());
  }

  std::int64_t integer(int type) {
    expect(type, kVarint);
    return static_cast<std::int64_t>(varint());
  }

  float real(int type) {
    expect(type, kFixed32);
    const std::uint32_t bits = fixed32();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }

  // A repeated integer field, packed or one value at a time.
  void integers(int type, std::vector<std::int64_t>& out) {
    if (type == kVarint) {
      out.push_back(static_cast<std::int64_t>(varint()));
      return;
    }
    expect(type, kBytes);
    Reader packed(bytes(), depth_ + 1);
    while (!packed.rest_.empty()) out.push_back(static_cast<std::int64_t>(packed.varint()));
  }

  void reals(int type, std::vector<float>& out) {
    if (type == kFixed32) {
      out.push_back(real(type));
      return;
    }
    expect(type, kBytes);
    Reader packed(bytes(), depth_ + 1);
    if (packed.rest_.size() % 4) throw Failure{"truncated"};
    while (!packed.rest_.empty()) out.push_back(packed.real(kFixed32));
  }

  int depth() const { return depth_; }

 private:
  static void expect(int type, int wanted) {
    if (type != wanted) throw Failure{"unexpected field type"};
  }

  std::string_view rest_;
  int depth_;
};

Tensor readTensor(Reader in) {
  Tensor t;
  std::int64_t dataType = 0;
  std::string_view raw;
  bool hasRaw = false;
  std::vector<std::int64_t> ints;
  std::uint32_t field;
  int type;
  while (in.next(field, type)) {
    switch (field) {
      case 1:
        in.integers(type, t.dims);
        break;
      case 2:
        dataType = in.integer(type);
        break;
      case 4:
        in.reals(type, t.floats);
        break;
      case 5:
      case 7:
        in.integers(type, ints);
        break;
      case 8:
        t.name = in.text(type);
        break;
      case 9:
        if (type != kBytes) throw Failure{"unexpected field type"};
        raw = in.bytes();
        hasRaw = true;
        break;
      default:
        in.skip(type);
    }
  }
  std::int64_t elements = 1;
  for (const std::int64_t d : t.dims) {
    if (d < 0 || d > kMaxElements) throw Failure{"tensor " + t.name + " has a bad shape"};
    elements *= d;
    if (elements > kMaxElements) throw Failure{"tensor " + t.name + " is too large"};
  }
  const auto n = static_cast<std::size_t>(elements);
  if (dataType == kFloat) {
    t.isFloat = true;
    if (hasRaw) {
      if (raw.size() != n * 4) throw Failure{"tensor " + t.name + " does not match its shape"};
      t.floats.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t bits = 0;
        for (int b = 3; b >= 0; --b)
          bits = (bits << 8) | static_cast<unsigned char>(raw[4 * i + b]);
        std::memcpy(&t.floats[i], &bits, 4);
      }
    }
    if (t.floats.size() != n) throw Failure{"tensor " + t.name + " does not match its shape"};
  } else if (dataType == kInt64 || dataType == kInt32) {
    const std::size_t width = dataType == kInt64 ? 8 : 4;
    if (hasRaw) {
      if (raw.size() != n * width) throw Failure{"tensor " + t.name + " does not match its shape"};
      ints.clear();
      for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t bits = 0;
        for (int b = int(width) - 1; b >= 0; --b)
          bits = (bits << 8) | static_cast<unsigned char>(raw[width * i + b]);
        ints.push_back(width == 8 ? static_cast<std::int64_t>(bits)
                                  : static_cast<std::int32_t>(static_cast<std::uint32_t>(bits)));
      }
    }
    t.ints = std::move(ints);
    if (t.ints.size() != n) throw Failure{"tensor " + t.name + " does not match its shape"};
  } else {
    throw Failure{"tensor " + t.name + " has an element type this reader does not read"};
  }
  return t;
}

Attribute readAttribute(Reader in) {
  Attribute a;
  std::uint32_t field;
  int type;
  while (in.next(field, type)) {
    switch (field) {
      case 1:
        a.name = in.text(type);
        break;
      case 2:
        a.f = in.real(type);
        break;
      case 3:
        a.i = in.integer(type);
        break;
      case 4:
        a.s = in.text(type);
        break;
      case 5:
        a.t = readTensor(in.message(type));
        break;
      case 7:
        in.reals(type, a.floats);
        break;
      case 8:
        in.integers(type, a.ints);
        break;
      default:
        in.skip(type);
    }
  }
  return a;
}

Node readNode(Reader in) {
  Node n;
  std::uint32_t field;
  int type;
  while (in.next(field, type)) {
    switch (field) {
      case 1:
        n.inputs.push_back(in.text(type));
        break;
      case 2:
        n.outputs.push_back(in.text(type));
        break;
      case 3:
        n.name = in.text(type);
        break;
      case 4:
        n.opType = in.text(type);
        break;
      case 5:
        n.attributes.push_back(readAttribute(in.message(type)));
        break;
      default:
        in.skip(type);
    }
  }
  return n;
}

std::string valueName(Reader in) {
  std::string name;
  std::uint32_t field;
  int type;
  while (in.next(field, type)) {
    if (field == 1)
      name = in.text(type);
    else
      in.skip(type);
  }
  return name;
}

Graph readGraph(Reader in) {
  Graph g;
  std::uint32_t field;
  int type;
  while (in.next(field, type)) {
    switch (field) {
      case 1:
        g.nodes.push_back(readNode(in.message(type)));
        break;
      case 5:
        g.initializers.push_back(readTensor(in.message(type)));
        break;
      case 11:
        g.inputs.push_back(valueName(in.message(type)));
        break;
      case 12:
        g.outputs.push_back(valueName(in.message(type)));
        break;
      default:
        in.skip(type);
    }
  }
  return g;
}

}  // namespace

const Attribute* Node::attribute(std::string_view wanted) const {
  for (const Attribute& a : attributes)
    if (a.name == wanted) return &a;
  return nullptr;
}

std::optional<Graph> readModel(std::string_view bytes, std::string& error) {
  try {
    Reader in(bytes, 0);
    std::optional<Graph> graph;
    std::uint32_t field;
    int type;
    while (in.next(field, type)) {
      if (field == 7) {
        if (graph) throw Failure{"more than one graph"};
        graph = readGraph(in.message(type));
      } else {
        in.skip(type);
      }
    }
    if (!graph || graph->nodes.empty()) throw Failure{"no graph"};
    return graph;
  } catch (const Failure& f) {
    error = f.what;
  } catch (const std::bad_alloc&) {
    error = "too large";
  } catch (const std::length_error&) {
    error = "too large";
  }
  return std::nullopt;
}

}  // namespace kadro::onnx
