#include "host/settings_element.h"

namespace ph {

// Out of line so that each class's vtable and type information live once, in
// this library, for the host and every plug-in module alike.
SettingsElement::~SettingsElement() = default;
SettingsElementsGroup::~SettingsElementsGroup() = default;
SettingsItem::~SettingsItem() = default;
SettingsTextItem::~SettingsTextItem() = default;
SettingsBoolItem::~SettingsBoolItem() = default;
SettingsButtonItem::~SettingsButtonItem() = default;
SettingsLabelItem::~SettingsLabelItem() = default;
SettingsListItem::~SettingsListItem() = default;
SettingsFileItem::~SettingsFileItem() = default;

}  // namespace ph
