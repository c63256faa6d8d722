#include "help.h"

#include <map>
#include <memory>
#include <sstream>

#include "common.h"

namespace quorix::tool {

namespace {

// Where descriptions start; a longer name puts its description on the next line.
constexpr std::size_t kColumn = 24;

// What each option's value is, by its long name.
const std::map<std::string, std::string, std::less<>> kValueNames = {
    {"--device", "INDEX"}, {"--serial", "SERIAL"},   {"--timeout", "MS"},   {"--sim-boards", "N"},
    {"--sim-rate", "RATE"}, {"--sim-state", "FILE"}, {"--select", "N"},     {"--output", "FILE"},
    {"--input", "FILE"},   {"--bytes", "SIZE"},      {"--seconds", "S"}};

std::string ValueName(const CLI::Option* option) {
  for (const std::string& name : option->get_lnames()) {
    const auto known = kValueNames.find("--" + name);
    if (known != kValueNames.end()) return known->second;
  }
  return "VALUE";
}

// A name and its description: the description in the column, wrapped under itself.
std::string Entry(const std::string& name, const std::string& description) {
  std::string text = "  " + name;
  if (description.empty()) return text + "\n";
  if (text.size() + 2 > kColumn) {
    text += "\n";
    text += std::string(kColumn, ' ');
  } else {
    text += std::string(kColumn - text.size(), ' ');
  }
  return text + Wrap(description, kColumn, kHelpWidth, kColumn) + "\n";
}

bool Repeats(const CLI::Option* option) {
  return option->get_expected_max() >= CLI::detail::expected_max_vector_size;
}

class Formatter : public CLI::Formatter {
 public:
  std::string make_description(const CLI::App* app) const override {
    const std::string& text = app->get_description();
    return text.empty() ? "" : Wrap(text, 0) + "\n";
  }

  std::string make_usage(const CLI::App* app, std::string name) const override {
    std::string usage = "Usage: " + name;
    if (!app->get_options([](const CLI::Option* o) { return o->nonpositional(); }).empty())
      usage += " [OPTIONS]";
    for (const CLI::Option* option :
         app->get_options([](const CLI::Option* o) { return o->get_positional(); })) {
      std::string word = option->get_name() + (Repeats(option) ? "..." : "");
      usage += " " + (option->get_required() ? word : "[" + word + "]");
    }
    if (!app->get_subcommands([](const CLI::App*) { return true; }).empty())
      usage += app->get_parent() == nullptr ? " COMMAND [ARGS]..." : " COMMAND";
    return Wrap(usage, 7) + "\n";
  }

  std::string make_option(const CLI::Option* option, bool positional) const override {
    std::string name;
    if (positional) {
      name = option->get_name() + (Repeats(option) ? "..." : "");
    } else {
      for (const std::string& s : option->get_snames()) name += (name.empty() ? "-" : ", -") + s;
      for (const std::string& l : option->get_lnames()) name += (name.empty() ? "--" : ", --") + l;
      if (!option->get_type_name().empty()) name += " " + option->get_type_name();
    }
    std::string description = option->get_description();
    if (!option->get_default_str().empty())
      description += " (default: " + option->get_default_str() + ")";
    return Entry(name, description);
  }

  std::string make_group(std::string group, bool positional,
                         std::vector<const CLI::Option*> options) const override {
    std::string text = "\n" + (group == "Positionals" ? std::string("Arguments") : group) + ":\n";
    for (const CLI::Option* option : options) text += make_option(option, positional);
    return text;
  }

  std::string make_subcommands(const CLI::App* app, CLI::AppFormatMode) const override {
    const auto subs = app->get_subcommands([](const CLI::App*) { return true; });
    if (subs.empty()) return "";
    std::string text = "\nCommands:\n";
    for (const CLI::App* sub : subs) text += make_subcommand(sub);
    return text;
  }

  std::string make_subcommand(const CLI::App* sub) const override {
    return Entry(sub->get_name(), sub->get_description());
  }

  std::string make_footer(const CLI::App* app) const override {
    const std::string& footer = app->get_footer();
    return footer.empty() ? "" : Wrap(footer, 0) + "\n";
  }
};

void Give(CLI::App& app, const std::shared_ptr<Formatter>& formatter) {
  app.formatter(formatter);
  for (CLI::Option* option : app.get_options([](const CLI::Option* o) {
         return o->nonpositional() && !o->get_type_name().empty();
       }))
    option->type_name(ValueName(option));
  for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    Give(*sub, formatter);
}

}  // namespace

std::string Wrap(const std::string& text, std::size_t indent, std::size_t width,
                 std::size_t first) {
  std::string out;
  std::size_t column = first;
  bool line_empty = true;
  std::istringstream lines(text);
  bool first_line = true;
  for (std::string line; std::getline(lines, line);) {
    if (!first_line) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
      line_empty = true;
    }
    first_line = false;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      if (!line_empty && column + 1 + word.size() > width) {
        out += "\n" + std::string(indent, ' ');
        column = indent;
        line_empty = true;
      }
      if (!line_empty) {
        out += ' ';
        ++column;
      }
      out += word;
      column += word.size();
      line_empty = false;
    }
  }
  return out;
}

void Document(CLI::App& app) { Give(app, std::make_shared<Formatter>()); }

std::string HelpOf(const CLI::App& app, const std::vector<std::string>& words) {
  const CLI::App* at = &app;
  std::string name = app.get_name();
  for (const std::string& word : words) {
    const CLI::App* next = nullptr;
    for (const CLI::App* sub : at->get_subcommands([](const CLI::App*) { return true; }))
      if (sub->get_name() == word) next = sub;
    if (next == nullptr)
      throw BadArguments("help: there is no command '" +
                         (name == app.get_name() ? word : name.substr(app.get_name().size() + 1) +
                                                              " " + word) +
                         "'");
    at = next;
    name += " " + word;
  }
  return at->get_formatter()->make_help(at, name, CLI::AppFormatMode::Normal);
}

}  // namespace quorix::tool
