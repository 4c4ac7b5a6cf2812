// kadro preferences: the plug-in's preference panels in the terminal. The
// program draws the element tree the plug-in describes and reports each edit
// and button press back as the photo editor's preferences window would,
// redrawing whenever the plug-in asks for it.
#include <editline/readline.h>
#include <stdlib.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
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
         "about page) and reads one command a line, from the terminal (with line\n"
         "editing and history) or a pipe:\n\n";
  out << "  show              draw the panels again\n"
         "  select NAME       choose a preset in the preset list\n"
         "  set TITLE VALUE   edit the element with that title (or identifier); check\n"
         "                    boxes take on or off, lists an option's title or value;\n"
         "                    put VALUE in double quotes to keep blanks or leave it empty\n"
         "  press TITLE       press a button (Save, Save New Preset, Delete)\n"
         "  help              list these commands\n"
         "  quit              end (so does the end of the input)\n\n"
         "Titles, options and buttons may be typed in any letter case.\n\n"
         "Options:\n"
         "  --bundle DIR  load this Kadro.plugin bundle instead of the installed one\n"
         "  --icons DIR   write the lists' icons as DIR/<identifier>.<option>.png\n\n"
         "Changes are stored when a button is pressed. Choosing another preset or\n"
         "quitting with changes not yet saved asks first on a terminal; from a pipe\n"
         "it warns. Exit status 1 when a button press failed (a Save that stored\n"
         "nothing), when input from a pipe ends with unsaved changes, or when an\n"
         "icon cannot be written; a mistyped command is refused and the session\n"
         "goes on.\n";
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

// What was typed, without terminal escape sequences (cursor keys typed
// where nothing edits the line) and other control characters, which would
// otherwise end up in a stored name. A tab counts as a blank.
std::string withoutControls(const std::string& line) {
  std::string out;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == 0x1b) {  // ESC [ parameters final, ESC O x, or ESC x
      if (i + 1 < line.size() && line[i + 1] == '[') {
        i += 2;
        while (i < line.size() && !(line[i] >= 0x40 && line[i] <= 0x7e)) ++i;
      } else {
        i += 1;
        if (i < line.size() && line[i] == 'O') ++i;
      }
      continue;
    }
    if (c == 0xc2 && i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(line[i + 1]) <= 0x9f) {
      ++i;  // a C1 control character in UTF-8
      continue;
    }
    if (c == '\t') {
      out += ' ';
    } else if (c >= 0x20 && c != 0x7f) {
      out += line[i];
    }
  }
  return out;
}

// ASCII letters in lower case; other bytes as they are, so lengths agree.
std::string lowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Unicode case folding, for names people typed.
std::string folded(const std::string& text) {
  utf8proc_uint8_t* out = nullptr;
  const auto n = utf8proc_map(
      reinterpret_cast<const utf8proc_uint8_t*>(text.c_str()),
      static_cast<utf8proc_ssize_t>(text.size()), &out,
      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_CASEFOLD));
  if (n < 0) return lowerAscii(text);
  std::string result(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
  free(out);
  return result;
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

std::string inQuotes(const std::string& text) { return "\"" + text + "\""; }

// Lines from the terminal, with line editing and history, or from a pipe.
class LineInput {
 public:
  LineInput() : terminal_(::isatty(STDIN_FILENO) == 1) {
    if (terminal_) {
      rl_readline_name = "kadro";
      using_history();
    }
  }

  bool terminal() const { return terminal_; }

  // The next line, cleaned of control characters; nothing at the end.
  std::optional<std::string> next(const std::string& prompt) {
    std::cout.flush();
    if (terminal_) {
      char* raw = readline(prompt.c_str());
      if (!raw) return std::nullopt;
      std::string line = withoutControls(raw);
      free(raw);
      if (!trim(line).empty()) add_history(line.c_str());
      return line;
    }
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return withoutControls(line);
  }

 private:
  bool terminal_;
};

class PreferencesWindow {
 public:
  PreferencesWindow(ph::SettingsPlugin& plugin, std::optional<fs::path> iconDir, LineInput& input)
      : plugin_(plugin), iconDir_(std::move(iconDir)), input_(input) {}

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
    if (!unsaved_.empty())
      std::cout << "(unsaved changes to " << inQuotes(unsavedPreset_) << ": " << unsavedList()
                << "; press Save to store them)\n";
    lastDrawn_ = std::move(drawn);
    writeIcons();
    std::cout.flush();
  }

  // Carries out one command line; false when it asks to end.
  bool handle(const std::string& input) {
    const std::string line = trim(input);
    if (line.empty() || line[0] == '#') return true;
    const auto space = line.find(' ');
    const std::string verb = lowerAscii(line.substr(0, space));
    const std::string rest = space == std::string::npos ? "" : trim(line.substr(space + 1));
    if (verb == "quit" || verb == "exit") return !mayDiscard("quit");
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

  // At the end of the input: unsaved changes are said to be lost.
  void endOfInput() {
    if (unsaved_.empty()) return;
    std::cout << "warning: the unsaved changes to " << inQuotes(unsavedPreset_) << " ("
              << unsavedList() << ") were not stored\n";
    lostChanges_ = true;
  }

  // 1 when something the user asked to keep was not kept.
  int exitStatus() const { return failedPress_ || lostChanges_ || iconFailed_ ? 1 : 0; }

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
          iconFailed_ = true;
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

  std::shared_ptr<ph::SettingsElement> byIdentifier(const std::string& identifier) const {
    for (const auto& e : items())
      if (e->identifier() == identifier) return e;
    return nullptr;
  }

  // The element whose title or identifier begins `text` (the longest such,
  // in any letter case), and what follows it.
  std::pair<std::shared_ptr<ph::SettingsElement>, std::string> elementAndValue(
      const std::string& text) const {
    const std::string lower = lowerAscii(text);
    std::shared_ptr<ph::SettingsElement> best;
    std::size_t bestLength = 0;
    for (const auto& e : items()) {
      for (const std::string* name : {&e->title(), &e->identifier()}) {
        if (name->empty() || name->size() <= bestLength) continue;
        if (lower.compare(0, name->size(), lowerAscii(*name)) != 0) continue;
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

  std::string selectedPreset() const {
    const auto list = presetList();
    return list ? valueText(list->value()) : "";
  }

  // The option meant by `typed`: its value or title as typed, else the one
  // equal to it in another letter case. Refused (false) when none or
  // several are.
  const ph::SettingsListOption* option(const ph::SettingsListItem& list, const std::string& typed) {
    for (const auto& o : list.options())
      if (o.value() == typed || o.title() == typed) return &o;
    const std::string wanted = folded(typed);
    const ph::SettingsListOption* found = nullptr;
    for (const auto& o : list.options()) {
      if (folded(o.value()) != wanted && folded(o.title()) != wanted) continue;
      if (found && found != &o) {
        refuse(list.title() + " has several options named '" + typed +
               "' in other letter cases; type it exactly");
        return nullptr;
      }
      found = &o;
    }
    if (!found) {
      std::string options;
      for (const auto& o : list.options()) options += (options.empty() ? "" : ", ") + o.title();
      refuse(list.title() + " has no option '" + typed + "' (" + options + ")");
    }
    return found;
  }

  // What an element shows, as a person reads it.
  static std::string shown(const ph::SettingsElement& element) {
    if (element.kind() == ph::SettingsElementKind::boolean)
      return element.value().is_boolean() && element.value().get<bool>() ? "on" : "off";
    if (element.kind() == ph::SettingsElementKind::list) {
      const auto& list = static_cast<const ph::SettingsListItem&>(element);
      const std::string value = valueText(list.value());
      for (const auto& o : list.options())
        if (o.value() == value) return o.title();
      return value;
    }
    return valueText(element.value());
  }

  // ---- Unsaved changes

  std::string unsavedList() const {
    std::string text;
    for (const auto& title : unsaved_) text += (text.empty() ? "" : ", ") + title;
    return text;
  }

  // Whether to go on with `doing` (select or quit) that drops the unsaved
  // changes: a terminal asks, a pipe is warned.
  bool mayDiscard(const std::string& doing) {
    if (unsaved_.empty()) return true;
    const std::string what =
        "the unsaved changes to " + inQuotes(unsavedPreset_) + " (" + unsavedList() + ")";
    if (!input_.terminal()) {
      std::cout << "warning: " << doing << " discards " << what << "\n";
      if (doing == "quit") lostChanges_ = true;
      unsaved_.clear();
      return true;
    }
    const std::optional<std::string> answer = input_.next("Discard " + what + "? [y/N] ");
    if (!answer) {  // the input ended: nothing more can be asked
      std::cout << "\n";
      endOfInput();
      return true;
    }
    if (lowerAscii(trim(*answer)).rfind('y', 0) != 0) {
      std::cout << "Kept them; press Save to store them.\n";
      return false;
    }
    unsaved_.clear();
    return true;
  }

  // ---- Commands

  void select(const std::string& name) {
    const auto list = presetList();
    if (!list) return refuse("the panels have no preset list");
    if (name.empty()) return refuse("select needs a preset name");
    const ph::SettingsListOption* chosen = option(*list, name);
    if (!chosen) return;
    if (chosen->value() == selectedPreset() && unsaved_.empty()) {
      std::cout << inQuotes(chosen->title()) << " is selected already.\n";
      return;
    }
    if (!mayDiscard("select")) return;
    report(list, chosen->value());
  }

  void set(const std::string& rest) {
    if (rest.empty()) return refuse("set needs an element's title and a value");
    const auto [element, value] = elementAndValue(rest);
    if (!element) return refuse("no element named '" + rest + "'; type show to see them");
    if (element == presetList()) return select(value);
    edit(element, value);
  }

  void press(const std::string& name) {
    if (name.empty()) return refuse("press needs a button's title");
    std::shared_ptr<ph::SettingsElement> button;
    for (const auto& e : items()) {
      if (e->kind() != ph::SettingsElementKind::button) continue;
      if (e->title() == name || e->identifier() == name) {
        button = e;
        break;
      }
      if (!button && (lowerAscii(e->title()) == lowerAscii(name) ||
                      lowerAscii(e->identifier()) == lowerAscii(name)))
        button = e;
    }
    if (!button) return refuse("no button named '" + name + "'");

    const std::string before = selectedPreset();
    ph::Error error;
    refreshRequested_ = false;
    if (!plugin_.handleEvent(ph::kSettingsEventButtonPressed,
                             static_cast<const ph::SettingsItem&>(*button), &error, callback())) {
      printError(error);
      failedPress_ = true;
      if (!unsaved_.empty()) std::cout << "Nothing was stored; the unsaved changes are kept.\n";
      return;
    }
    unsaved_.clear();
    afterOperation();
    const std::string after = selectedPreset();
    const std::string title = lowerAscii(button->title());
    if (title == "save")
      std::cout << "Saved " << inQuotes(after) << ".\n";
    else if (title == "save new preset")
      std::cout << "Saved the new preset " << inQuotes(after) << "; it is selected now.\n";
    else if (title == "delete")
      std::cout << "Deleted " << inQuotes(before) << "; " << inQuotes(after)
                << " is selected now.\n";
    else
      std::cout << button->title() << ": done.\n";
  }

  // Turns what was typed into the element's kind of value and reports it.
  void edit(const std::shared_ptr<ph::SettingsElement>& element, const std::string& typed) {
    ph::Value value;
    switch (element->kind()) {
      case ph::SettingsElementKind::text:
        value = typed;
        break;
      case ph::SettingsElementKind::boolean: {
        const std::string word = lowerAscii(typed);
        if (word == "on" || word == "yes" || word == "true" || word == "1") {
          value = true;
        } else if (word == "off" || word == "no" || word == "false" || word == "0") {
          value = false;
        } else {
          return refuse(element->title() + " is a check box: set it on or off");
        }
        break;
      }
      case ph::SettingsElementKind::list: {
        const ph::SettingsListOption* chosen =
            option(static_cast<const ph::SettingsListItem&>(*element), typed);
        if (!chosen) return;
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
    report(element, value);
  }

  // Hands one edit to the plug-in and says what became of it.
  void report(const std::shared_ptr<ph::SettingsElement>& element, const ph::Value& value) {
    const std::string identifier = element->identifier();
    const std::string title = element->title();
    const bool isPresetList = element == presetList();
    const std::string presetBefore = selectedPreset();
    const std::string shownBefore = shown(*element);
    ph::Error error;
    refreshRequested_ = false;
    if (!plugin_.didUpdateValue(value, identifier, &error, callback())) {
      printError(error);
      std::cout << title << " stays " << shownBefore << ".\n";
      return;
    }
    // The panels as the plug-in has them now: what `show` draws is what
    // it took, never what was typed.
    const bool redraw = refreshRequested_;
    refreshRequested_ = false;
    if (!reload()) return;
    std::string sentence;
    if (isPresetList) {
      unsaved_.clear();
      sentence = "Selected " + inQuotes(selectedPreset()) + ".";
    } else {
      const auto now = byIdentifier(identifier);
      const std::string nowShown = now ? shown(*now) : valueText(value);
      // A list may show another value than the option chosen (a colour
      // taken from another preset shows as "custom").
      if (now && now->kind() != ph::SettingsElementKind::list && now->value() != value) {
        sentence =
            title + " stays " + nowShown + ": the plug-in did not take " + valueText(value) + ".";
      } else {
        if (unsaved_.empty()) unsavedPreset_ = presetBefore;
        if (std::find(unsaved_.begin(), unsaved_.end(), title) == unsaved_.end())
          unsaved_.push_back(title);
        sentence = title + " is now " + (nowShown.empty() ? "empty" : nowShown) +
                   "; press Save to store it.";
      }
    }
    if (redraw) draw(/*changedOnly=*/true);
    std::cout << sentence << "\n";
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
  }

  // A command that could not be carried out; the session goes on.
  void refuse(const std::string& why) { std::cout << "error: " << why << "\n"; }

  ph::SettingsPlugin& plugin_;
  std::optional<fs::path> iconDir_;
  LineInput& input_;
  ph::SettingsElementsGroups groups_;
  std::vector<std::string> lastDrawn_;
  bool refreshRequested_ = false;
  // Titles of the elements edited since the last save or choice, and the
  // preset they belong to.
  std::vector<std::string> unsaved_;
  std::string unsavedPreset_;
  bool failedPress_ = false;
  bool lostChanges_ = false;
  bool iconFailed_ = false;
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

  LineInput lines;
  PreferencesWindow window(*session->settings, iconDir, lines);
  if (!window.reload()) return 1;
  window.draw();
  if (lines.terminal()) printCommands(std::cout);
  for (;;) {
    const std::optional<std::string> line = lines.next("> ");
    if (!line) {
      if (lines.terminal()) {
        std::cout << "\n";
        if (!window.handle("quit")) break;
        continue;
      }
      window.endOfInput();
      break;
    }
    // From a pipe, each command shows in the output before what it does.
    if (!lines.terminal()) std::cout << "> " << *line << "\n";
    if (!window.handle(*line)) break;
  }
  return window.exitStatus();
}

}  // namespace kadro::app
