// One forward pass of the face network per input shape, run by XNNPACK (the
// detector's own runner) against OpenCV's dnn module on the same model and
// the same input in the same run, with 1 and 2 threads; built where
// libopencv-dnn-dev is installed. Prints the median wall and CPU
// milliseconds of each, the ratio OpenCV / XNNPACK, and the largest
// difference between their scores and regressors (on the sample portrait
// scaled to each shape):
//
//   net_bench [RUNS]      (default 15 passes of each)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <string>
#include <vector>
#include <vips/vips8>

#include "SmartCrop/face_network.h"

namespace {

using vips::VImage;

double cpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return 1e3 * (u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         1e-3 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

double wallMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The OpenCV baseline: the model with its outputs' anchor counts freed and
// its zero blocks resized to the input, as the detector used to run it.
struct OpenCvNet {
  cv::dnn::Net net;
  std::vector<cv::String> outputs;

  OpenCvNet(std::string bytes, int h, int w) {
    for (const std::int64_t anchors : {512, 384})
      for (const std::int64_t width : {1, 16}) {
        const std::int64_t from[3] = {1, anchors, width}, to[3] = {1, -1, width};
        const std::size_t at = bytes.find(std::string(reinterpret_cast<const char*>(from), 24));
        if (at != std::string::npos) std::memcpy(bytes.data() + at, to, 24);
      }
    net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
    outputs = net.getUnconnectedOutLayersNames();
    for (const cv::String& name : net.getLayerNames()) {
      cv::Ptr<cv::dnn::Layer> layer = net.getLayer(net.getLayerId(name));
      if (layer->type != "Const" || layer->blobs.size() != 1 || layer->blobs[0].dims != 4) continue;
      const int divisor = 256 / layer->blobs[0].size[2];
      const int dims[] = {1, layer->blobs[0].size[1], h / divisor, w / divisor};
      layer->blobs[0] = cv::Mat(4, dims, CV_32F, cv::Scalar(0));
    }
  }

  // Scores and regressors in anchor order, fine grid first.
  void run(const cv::Mat& blob, std::vector<float>& scores, std::vector<float>& regressors) {
    std::vector<cv::Mat> outs;
    net.setInput(blob);
    net.forward(outs, outputs);
    const int h = blob.size[1], w = blob.size[2];
    const std::size_t counts[2] = {std::size_t(h / 16) * (w / 16) * 2,
                                   std::size_t(h / 32) * (w / 32) * 6};
    scores.clear();
    regressors.clear();
    for (const std::size_t count : counts)
      for (const std::size_t per : {std::size_t(1), std::size_t(16)})
        for (const cv::Mat& m : outs)
          if (m.total() == count * per) {
            auto& to = per == 1 ? scores : regressors;
            to.insert(to.end(), m.ptr<float>(), m.ptr<float>() + m.total());
          }
  }
};

float largestDifference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return INFINITY;
  float d = 0;
  for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0])) return 2;
  const int runs = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 15;
  std::ifstream in(KADRO_TEST_MODEL, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  const std::optional<kadro::FaceNetwork> network = kadro::FaceNetwork::read(bytes, error);
  if (!network) {
    std::fprintf(stderr, "%s: %s\n", KADRO_TEST_MODEL, error.c_str());
    return 1;
  }
  const VImage photo = VImage::new_from_file(KADRO_SAMPLES_DIR "/astronaut.png")
                           .extract_band(0, VImage::option()->set("n", 3));

  std::printf("%-9s %3s | %9s %9s | %9s %9s | %6s %6s | %9s %9s\n", "shape", "thr", "cv wall",
              "xnn wall", "cv cpu", "xnn cpu", "wall x", "cpu x", "d score", "d regr");
  const int shapes[][2] = {{128, 128}, {256, 256}, {192, 256}, {384, 512}, {480, 640}, {576, 768}};
  for (const auto& [h, w] : shapes) {
    const VImage scaled = photo
                              .resize(double(w) / photo.width(),
                                      VImage::option()->set("vscale", double(h) / photo.height()))
                              .copy_memory();
    const auto* px = static_cast<const unsigned char*>(scaled.data());
    const int dims[] = {1, h, w, 3};
    cv::Mat blob(4, dims, CV_32F);
    for (std::size_t i = 0; i < std::size_t(h) * w * 3; ++i)
      blob.ptr<float>()[i] = px[i] / 127.5f - 1.0f;
    for (const int threads : {1, 2}) {
      cv::setNumThreads(threads);
      OpenCvNet cvNet(bytes, h, w);
      auto pass = network->setUp(h, w, threads);
      if (!pass) {
        std::fprintf(stderr, "no XNNPACK pass for %dx%d\n", w, h);
        return 1;
      }
      std::vector<float> cs, cr, xs, xr;
      cvNet.run(blob, cs, cr);  // set-up passes
      std::copy(blob.ptr<float>(), blob.ptr<float>() + std::size_t(h) * w * 3, pass->input());
      pass->run(xs, xr);
      std::vector<double> cw, cc, xw, xc;
      // One runner's passes after the other's: a pool's threads keep the
      // cores a while after its pass, and would slow the other's.
      for (int r = 0; r < runs; ++r) {
        const double w0 = wallMs(), c0 = cpuMs();
        cvNet.run(blob, cs, cr);
        cw.push_back(wallMs() - w0);
        cc.push_back(cpuMs() - c0);
      }
      for (int r = 0; r < runs; ++r) {
        const double w0 = wallMs(), c0 = cpuMs();
        std::copy(blob.ptr<float>(), blob.ptr<float>() + std::size_t(h) * w * 3, pass->input());
        pass->run(xs, xr);
        xw.push_back(wallMs() - w0);
        xc.push_back(cpuMs() - c0);
      }
      std::printf("%4dx%-4d %3d | %9.2f %9.2f | %9.2f %9.2f | %6.2f %6.2f | %9.2g %9.2g\n", w, h,
                  threads, median(cw), median(xw), median(cc), median(xc), median(cw) / median(xw),
                  median(cc) / median(xc), largestDifference(cs, xs), largestDifference(cr, xr));
    }
  }
  return 0;
}
