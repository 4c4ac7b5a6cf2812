// The tree of settings elements through which a plug-in describes a panel:
// groups holding items (text fields, check boxes, buttons, labels, lists and
// folder choosers). The host draws them and reports edits and button presses
// back under each element's identifier. Shared as std::shared_ptr.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/image.h"
#include "host/value.h"

namespace ph {

// Lets a host draw an element without a chain of dynamic_casts.
enum class SettingsElementKind { group, text, boolean, button, label, list, file };

class SettingsElement {
 public:
  virtual ~SettingsElement();
  virtual SettingsElementKind kind() const = 0;

  const std::string& identifier() const { return identifier_; }
  void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }

  // Null until set: text for text fields, lists and labels, a boolean for
  // check boxes, a list of texts for folder choosers.
  const Value& value() const { return value_; }
  void setValue(Value value) { value_ = std::move(value); }

  // Free text the host keeps with the element (buttons carry one).
  const std::string& context() const { return context_; }
  void setContext(std::string context) { context_ = std::move(context); }

 protected:
  SettingsElement() = default;
  SettingsElement(std::string identifier, std::string title)
      : identifier_(std::move(identifier)), title_(std::move(title)) {}

 private:
  std::string identifier_;
  std::string title_;
  Value value_;
  std::string context_;
};

using SettingsElements = std::vector<std::shared_ptr<SettingsElement>>;

class SettingsElementsGroup : public SettingsElement {
 public:
  SettingsElementsGroup() = default;
  SettingsElementsGroup(std::string identifier, std::string title)
      : SettingsElement(std::move(identifier), std::move(title)) {}
  ~SettingsElementsGroup() override;
  SettingsElementKind kind() const override { return SettingsElementKind::group; }

  // In the order the host shows them.
  const SettingsElements& elements() const { return elements_; }
  void setElements(SettingsElements elements) { elements_ = std::move(elements); }

 private:
  SettingsElements elements_;
};

// Any element but a group: what the host names in a settings event.
class SettingsItem : public SettingsElement {
 public:
  ~SettingsItem() override;

 protected:
  SettingsItem(std::string identifier, std::string title)
      : SettingsElement(std::move(identifier), std::move(title)) {}
};

class SettingsTextItem : public SettingsItem {
 public:
  SettingsTextItem(std::string identifier, std::string title)
      : SettingsItem(std::move(identifier), std::move(title)) {}
  ~SettingsTextItem() override;
  SettingsElementKind kind() const override { return SettingsElementKind::text; }
};

class SettingsBoolItem : public SettingsItem {
 public:
  SettingsBoolItem(std::string identifier, std::string title)
      : SettingsItem(std::move(identifier), std::move(title)) {}
  ~SettingsBoolItem() override;
  SettingsElementKind kind() const override { return SettingsElementKind::boolean; }
};

class SettingsButtonItem : public SettingsItem {
 public:
  SettingsButtonItem(std::string identifier, std::string title)
      : SettingsItem(std::move(identifier), std::move(title)) {}
  ~SettingsButtonItem() override;
  SettingsElementKind kind() const override { return SettingsElementKind::button; }
};

// Read-only text: the title as a caption, the value as the text.
class SettingsLabelItem : public SettingsItem {
 public:
  SettingsLabelItem(std::string identifier, std::string title)
      : SettingsItem(std::move(identifier), std::move(title)) {}
  ~SettingsLabelItem() override;
  SettingsElementKind kind() const override { return SettingsElementKind::label; }
};

// One choice of a list: the value reported when chosen, its title and image.
class SettingsListOption {
 public:
  SettingsListOption(std::string value, std::string title, std::shared_ptr<Image> image = nullptr)
      : value_(std::move(value)), title_(std::move(title)), image_(std::move(image)) {}

  const std::string& value() const { return value_; }
  const std::string& title() const { return title_; }
  const std::shared_ptr<Image>& image() const { return image_; }

 private:
  std::string value_;
  std::string title_;
  std::shared_ptr<Image> image_;
};

// A pop-up list; its value is the chosen option's value.
class SettingsListItem : public SettingsItem {
 public:
  SettingsListItem(std::string identifier, std::string title)
      : SettingsItem(std::move(identifier), std::move(title)) {}
  ~SettingsListItem() override;
  SettingsElementKind kind() const override { return SettingsElementKind::list; }

  const std::vector<SettingsListOption>& options() const { return options_; }
  void setOptions(std::vector<SettingsListOption> options) { options_ = std::move(options); }

 private:
  std::vector<SettingsListOption> options_;
};

// A file or folder chooser; its value is the list of chosen URL texts.
class SettingsFileItem : public SettingsItem {
 public:
  SettingsFileItem(std::string identifier, std::string title)
      : SettingsItem(std::move(identifier), std::move(title)) {}
  ~SettingsFileItem() override;
  SettingsElementKind kind() const override { return SettingsElementKind::file; }

  // The folder the chooser opens in, as URL text.
  const std::string& directoryURL() const { return directoryURL_; }
  void setDirectoryURL(std::string url) { directoryURL_ = std::move(url); }

  bool canChooseDirectories() const { return canChooseDirectories_; }
  void setCanChooseDirectories(bool can) { canChooseDirectories_ = can; }
  bool canChooseFiles() const { return canChooseFiles_; }
  void setCanChooseFiles(bool can) { canChooseFiles_ = can; }
  bool allowsMultipleSelection() const { return allowsMultipleSelection_; }
  void setAllowsMultipleSelection(bool allows) { allowsMultipleSelection_ = allows; }

 private:
  std::string directoryURL_;
  bool canChooseDirectories_ = false;
  bool canChooseFiles_ = true;
  bool allowsMultipleSelection_ = false;
};

}  // namespace ph
