// One thing a plug-in offers to do: an Open With target or a publishing
// (export) action. The plug-in makes them, the host keeps and shows them and
// hands them back in tasks and settings calls.
#pragma once

#include <memory>
#include <string>

#include "host/image.h"

namespace ph {

class PluginAction {
 public:
  explicit PluginAction(std::string displayName);
  virtual ~PluginAction();

  const std::string& displayName() const { return displayName_; }

  const std::string& identifier() const { return identifier_; }
  void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }

  // The image shown beside the display name; may be null.
  const std::shared_ptr<Image>& image() const { return image_; }
  void setImage(std::shared_ptr<Image> image) { image_ = std::move(image); }

  // True for the same object, and for an action with the same identifier and
  // display name: the host may hand back a copy of an action it stored with a
  // recipe. The image does not count.
  bool isEqualToPluginAction(const PluginAction& other) const;

 private:
  std::string displayName_;
  std::string identifier_;
  std::shared_ptr<Image> image_;
};

}  // namespace ph
