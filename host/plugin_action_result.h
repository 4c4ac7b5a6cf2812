// What a finished task hands back to the host.
#pragma once

#include <string>

namespace ph {

class PluginActionResult {
 public:
  virtual ~PluginActionResult();
};

class PluginActionOpenWithResult : public PluginActionResult {
 public:
  explicit PluginActionOpenWithResult(long status) : status_(status) {}
  ~PluginActionOpenWithResult() override;
  long status() const { return status_; }

 private:
  long status_;
};

class PluginActionPublishResult : public PluginActionResult {
 public:
  // `url`: where the published files went; `message`: shown to the user.
  PluginActionPublishResult(std::string url, std::string message)
      : url_(std::move(url)), message_(std::move(message)) {}
  ~PluginActionPublishResult() override;
  const std::string& url() const { return url_; }
  const std::string& message() const { return message_; }

 private:
  std::string url_;
  std::string message_;
};

}  // namespace ph
