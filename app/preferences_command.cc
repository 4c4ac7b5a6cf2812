// kadro preferences: the plug-in's preference panels in the terminal. The
// program draws the element tree the plug-in describes and reports each edit
// and button press back as the photo editor's preferences window would,
// redrawing whenever the plug-in asks for it.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Plugin/file_url.h"
#include "app/commands.h"
#include "app/host_session.h"
#include "host/codes.h"

namespace kadro::app {
namespace {

namespace fs = std::filesystem;

constexpr char kCommand[] = "preferences";
constexpr std::size_t kWrapWidth = 76;

void printUsage(std::ostream& out) {
  out << "Usage: kadro preferences [--bundle DIR] [--icons DIR]\n\n"
         "Shows the Kadro plug-in's preference panels (the preset editor and the\n"
         "about page) and reads one command a line, from the terminal or a pipe:\n\n";
  out << "  show              draw the panels again\n"
         "  select NAME       choose a preset in the preset list\n"
         "  set TITLE VALUE   edit the element with that title (or identifier); check\n"
         "                    boxes take on or off, lists an option's title or value;\n"
         "                    put VALUE in double quotes to keep blanks or leave it empty\n"
         "  press TITLE       press a button (Save, Save New Preset, Delete)\n"
         "  help              list these commands\n"
         "  quit              end (so does the end of the input)\n\n"
         "Options:\n"
         "  --bundle DIR  load this Kadro.plugin bundle instead of the installed one\n"
         "  --icons DIR   write the lists' icons as DIR/<identifier>.<option>.png\n\n"
         "Changes are stored when a button is pressed. Exit status 0 when every command\n"
         "was carried out, 1 when the plug-in or the program refused one.\n";
}

void printCommands(std::ostream& out) {
  out << "commands: show | select NAME | set TITLE VALUE | press TITLE | help | quit\n";
}

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// A value in double quotes loses them; blanks inside are kept.
std::string unquote(const std::string& text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    return text.substr(1, text.size() - 2);
  return text;
}

// Words of `text` in lines of at most kWrapWidth columns, each indented.
void printWrapped(std::ostream& out, const std::string& text, const std::string& indent) {
  std::istringstream paragraphs(text);
  for (std::string paragraph; std::getline(paragraphs, paragraph);) {
    std::istringstream words(paragraph);
    std::string line;
    for (std::string word; words >> word;) {
      if (!line.empty() && indent.size() + line.size() + 1 + word.size() > kWrapWidth) {
        out << indent << line << "\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + word;
    }
    out << (line.empty() ? "" : indent + line) << "\n";
  }
}

std::string valueText(const ph::Value& value) {
  if (value.is_null()) return "";
  return ph::describe(value);
}

// A file name part made of an identifier or option value.
std::string fileNamePart(std::string text) {
  for (char& c : text)
    if (c == '/' || c == '\0') c = '_';
  return text;
}

class PreferencesWindow {
 public:
  PreferencesWindow(ph::SettingsPlugin& plugin, std::optional<fs::path> iconDir)
      : plugin_(plugin), iconDir_(std::move(iconDir)) {}

  // Asks the plug-in for its panels; false (after saying why) when it fails.
  bool reload() {
    ph::Error error;
    auto groups = plugin_.settingsWithError(&error);
    if (!groups) {
      printError(error);
      return false;
    }
    groups_ = std::move(*groups);
    return true;
  }

  // Draws every panel, or after a refresh only those that look different
  // from when they were last drawn.
  void draw(bool changedOnly = false) {
    std::vector<std::string> drawn;
    std::vector<std::string> unchanged;
    for (const auto& group : groups_) {
      std::ostringstream text;
      drawGroup(text, *group, "");
      drawn.push_back(text.str());
      const std::size_t i = drawn.size() - 1;
      if (changedOnly && i < lastDrawn_.size() && lastDrawn_[i] == drawn[i])
        unchanged.push_back(group->title());
      else
        std::cout << drawn[i];
    }
    if (!unchanged.empty()) {
      std::cout << "(unchanged:";
      for (std::size_t i = 0; i < unchanged.size(); ++i)
        std::cout << (i ? ", " : " ") << unchanged[i];
      std::cout << ")\n";
    }
    lastDrawn_ = std::move(drawn);
    writeIcons();
    std::cout.flush();
  }

  // Carries out one command line; false when it asks to end.
  bool handle(const std::string& input) {
    const std::string line = trim(input);
    if (line.empty() || line[0] == '#') return true;
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : trim(line.substr(space + 1));
    if (verb == "quit" || verb == "exit") return false;
    if (verb == "help") {
      printCommands(std::cout);
    } else if (verb == "show") {
      draw();
    } else if (verb == "select") {
      select(unquote(rest));
    } else if (verb == "set") {
      set(rest);
    } else if (verb == "press") {
      press(unquote(rest));
    } else {
      refuse("unknown command '" + verb + "'; type help for the commands");
    }
    return true;
  }

  bool anyRefused() const { return refused_; }

 private:
  // ---- Drawing

  void drawGroup(std::ostream& out, const ph::SettingsElementsGroup& group,
                 const std::string& indent) {
    out << indent << "== " << group.title() << " ==\n";
    const std::string inner = indent + "  ";
    std::string buttons;
    const auto flushButtons = [&] {
      if (!buttons.empty()) out << inner << buttons << "\n";
      buttons.clear();
    };
    for (const auto& element : group.elements()) {
      if (element->kind() == ph::SettingsElementKind::button) {
        buttons += (buttons.empty() ? "" : "  ") + ("<" + element->title() + ">");
        continue;
      }
      flushButtons();
      drawElement(out, *element, inner);
    }
    flushButtons();
    out << "\n";
  }

  void drawElement(std::ostream& out, const ph::SettingsElement& element,
                   const std::string& indent) {
    const std::string& title = element.title();
    switch (element.kind()) {
      case ph::SettingsElementKind::group:
        drawGroup(out, static_cast<const ph::SettingsElementsGroup&>(element), indent);
        break;
      case ph::SettingsElementKind::text:
        out << indent << title << ": [" << valueText(element.value()) << "]\n";
        break;
      case ph::SettingsElementKind::boolean:
        out << indent << title << ": "
            << (element.value().is_boolean() && element.value().get<bool>() ? "[x]" : "[ ]")
            << "\n";
        break;
      case ph::SettingsElementKind::label:
        if (!title.empty()) {
          out << indent << title << ":\n";
          printWrapped(out, valueText(element.value()), indent + "  ");
        } else {
          printWrapped(out, valueText(element.value()), indent);
        }
        break;
      case ph::SettingsElementKind::list:
        drawList(out, static_cast<const ph::SettingsListItem&>(element), indent);
        break;
      case ph::SettingsElementKind::file: {
        const auto& file = static_cast<const ph::SettingsFileItem&>(element);
        out << indent << title << ": [" << valueText(file.value()) << "] (choose a "
            << (file.canChooseDirectories() ? "folder" : "file") << ")\n";
        break;
      }
      case ph::SettingsElementKind::button:
        out << indent << "<" << title << ">\n";
        break;
    }
  }

  void drawList(std::ostream& out, const ph::SettingsListItem& list, const std::string& indent) {
    const std::string chosen = valueText(list.value());
    bool matched = false;
    for (const auto& o : list.options()) matched = matched || o.value() == chosen;
    out << indent << list.title() << ":";
    if (!matched) out << " " << (chosen.empty() ? "(nothing chosen)" : chosen + " (no option)");
    out << "\n";
    for (const auto& o : list.options()) {
      out << indent << "  " << (o.value() == chosen ? "(*) " : "( ) ") << o.title();
      out << "\n";
    }
  }

  void writeIcons() {
    if (!iconDir_) return;
    std::error_code ec;
    fs::create_directories(*iconDir_, ec);
    std::vector<const ph::SettingsListItem*> lists;
    const auto collect = [&](const auto& self, const ph::SettingsElements& elements) -> void {
      for (const auto& e : elements) {
        if (const auto* g = dynamic_cast<const ph::SettingsElementsGroup*>(e.get()))
          self(self, g->elements());
        else if (const auto* l = dynamic_cast<const ph::SettingsListItem*>(e.get()))
          lists.push_back(l);
      }
    };
    for (const auto& group : groups_) collect(collect, group->elements());
    for (const auto* list : lists) {
      for (const auto& o : list->options()) {
        if (!o.image()) continue;
        const fs::path path =
            *iconDir_ / (fileNamePart(list->identifier()) + "." + fileNamePart(o.value()) + ".png");
        if (!o.image()->savePng(path.string())) {
          std::cerr << "kadro preferences: cannot write the icon " << path.string() << "\n";
          refused_ = true;
        }
      }
    }
  }

  // ---- Finding elements

  std::vector<std::shared_ptr<ph::SettingsElement>> items() const {
    std::vector<std::shared_ptr<ph::SettingsElement>> out;
    const auto collect = [&](const auto& self, const ph::SettingsElements& elements) -> void {
      for (const auto& e : elements) {
        if (const auto g = std::dynamic_pointer_cast<ph::SettingsElementsGroup>(e))
          self(self, g->elements());
        else
          out.push_back(e);
      }
    };
    for (const auto& group : groups_) collect(collect, group->elements());
    return out;
  }

  // The element whose title or identifier begins `text` (the longest such),
  // and what follows it.
  std::pair<std::shared_ptr<ph::SettingsElement>, std::string> elementAndValue(
      const std::string& text) const {
    std::shared_ptr<ph::SettingsElement> best;
    std::size_t bestLength = 0;
    for (const auto& e : items()) {
      for (const std::string* name : {&e->title(), &e->identifier()}) {
        if (name->empty() || name->size() <= bestLength) continue;
        if (text.compare(0, name->size(), *name) != 0) continue;
        if (text.size() > name->size() && text[name->size()] != ' ') continue;
        best = e;
        bestLength = name->size();
      }
    }
    if (!best) return {nullptr, ""};
    return {best, unquote(trim(text.substr(bestLength)))};
  }

  std::shared_ptr<ph::SettingsListItem> presetList() const {
    std::shared_ptr<ph::SettingsListItem> first;
    for (const auto& e : items()) {
      auto list = std::dynamic_pointer_cast<ph::SettingsListItem>(e);
      if (!list) continue;
      if (list->identifier().ends_with(".preset-list")) return list;
      if (!first) first = list;
    }
    return first;
  }

  // ---- Commands

  void select(const std::string& name) {
    const auto list = presetList();
    if (!list) return refuse("the panels have no preset list");
    if (name.empty()) return refuse("select needs a preset name");
    edit(list, name);
  }

  void set(const std::string& rest) {
    if (rest.empty()) return refuse("set needs an element's title and a value");
    const auto [element, value] = elementAndValue(rest);
    if (!element) return refuse("no element named '" + rest + "'; type show to see them");
    edit(element, value);
  }

  void press(const std::string& name) {
    if (name.empty()) return refuse("press needs a button's title");
    for (const auto& e : items()) {
      if (e->kind() != ph::SettingsElementKind::button) continue;
      if (e->title() != name && e->identifier() != name) continue;
      ph::Error error;
      refreshRequested_ = false;
      const bool ok =
          plugin_.handleEvent(ph::kSettingsEventButtonPressed,
                              static_cast<const ph::SettingsItem&>(*e), &error, callback());
      if (!ok) printError(error);
      afterOperation();
      return;
    }
    refuse("no button named '" + name + "'");
  }

  // Turns what was typed into the element's kind of value and reports it.
  void edit(const std::shared_ptr<ph::SettingsElement>& element, const std::string& typed) {
    ph::Value value;
    switch (element->kind()) {
      case ph::SettingsElementKind::text:
        value = typed;
        break;
      case ph::SettingsElementKind::boolean:
        if (typed == "on" || typed == "yes" || typed == "true" || typed == "1") {
          value = true;
        } else if (typed == "off" || typed == "no" || typed == "false" || typed == "0") {
          value = false;
        } else {
          return refuse(element->title() + " is a check box: set it on or off");
        }
        break;
      case ph::SettingsElementKind::list: {
        const auto& list = static_cast<const ph::SettingsListItem&>(*element);
        const ph::SettingsListOption* chosen = nullptr;
        for (const auto& o : list.options())
          if (!chosen && (o.value() == typed || o.title() == typed)) chosen = &o;
        if (!chosen) {
          std::string options;
          for (const auto& o : list.options()) options += (options.empty() ? "" : ", ") + o.title();
          return refuse(element->title() + " has no option '" + typed + "' (" + options + ")");
        }
        value = chosen->value();
        break;
      }
      case ph::SettingsElementKind::file: {
        std::error_code ec;
        value = ph::Value::array({fileUrlFromPath(fs::absolute(typed, ec).string())});
        break;
      }
      case ph::SettingsElementKind::button:
        return refuse(element->title() + " is a button: press it");
      case ph::SettingsElementKind::label:
      case ph::SettingsElementKind::group:
        return refuse((element->title().empty() ? element->identifier() : element->title()) +
                      " cannot be changed");
    }
    ph::Error error;
    refreshRequested_ = false;
    if (plugin_.didUpdateValue(value, element->identifier(), &error, callback())) {
      // Until a rebuild the element shows what was entered.
      element->setValue(value);
    } else {
      printError(error);
    }
    afterOperation();
  }

  ph::SettingsCallback callback() {
    return [this](ph::SettingsCallbackAction action, std::optional<ph::Value>) {
      if (action == ph::kSettingsCallbackActionRefresh) refreshRequested_ = true;
    };
  }

  // One rebuild however many refreshes the operation asked for.
  void afterOperation() {
    if (!refreshRequested_) return;
    refreshRequested_ = false;
    if (reload()) draw(/*changedOnly=*/true);
  }

  void printError(const ph::Error& error) {
    std::cout << "error: " << error.localizedDescription << "\n";
    if (!error.localizedFailureReason.empty())
      std::cout << "       " << error.localizedFailureReason << "\n";
    refused_ = true;
  }

  void refuse(const std::string& why) {
    std::cout << "error: " << why << "\n";
    refused_ = true;
  }

  ph::SettingsPlugin& plugin_;
  std::optional<fs::path> iconDir_;
  ph::SettingsElementsGroups groups_;
  std::vector<std::string> lastDrawn_;
  bool refreshRequested_ = false;
  bool refused_ = false;
};

}  // namespace

int runPreferences(const Args& input) {
  Args args = input;
  if (wantsHelp(args)) {
    printUsage(std::cout);
    return 0;
  }
  const auto bundle = takeBundleOption(args, kCommand);
  if (!bundle) return 2;
  std::optional<fs::path> iconDir;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--icons" && i + 1 < args.size()) {
      iconDir = args[++i];
    } else {
      std::cerr << "kadro preferences: "
                << (args[i] == "--icons" ? "--icons needs a folder" : "unknown argument " + args[i])
                << " (see kadro preferences --help)\n";
      return 2;
    }
  }
  auto session = openSession(*bundle, kCommand);
  if (!session) return 1;
  if (!session->settings) {
    std::cerr << "kadro preferences: the plug-in has no preference panels\n";
    return 1;
  }

  PreferencesWindow window(*session->settings, iconDir);
  if (!window.reload()) return 1;
  window.draw();
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  if (terminal) printCommands(std::cout);
  for (;;) {
    if (terminal) std::cout << "> " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) {
      if (terminal) std::cout << "\n";
      break;
    }
    // From a pipe, each command shows in the output before what it does.
    if (!terminal) std::cout << "> " << line << "\n";
    if (!window.handle(line)) break;
  }
  return window.anyRefused() ? 1 : 0;
}

}  // namespace kadro::app
