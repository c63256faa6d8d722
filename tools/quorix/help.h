// The tool's help: 80 columns, values named for what they are (ADDR, FILE, SIZE), and
// `quorix help COMMAND`.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace quorix::tool {

inline constexpr std::size_t kHelpWidth = 80;

// text in lines of at most width columns; the first line starts after first columns already
// used, the others are indented by indent. Newlines in text start a new line.
std::string Wrap(const std::string& text, std::size_t indent, std::size_t width = kHelpWidth,
                 std::size_t first = 0);

// Gives app and every command under it the tool's help formatter, and every option that takes
// a value a name for that value.
void Document(CLI::App& app);

// The help of the command that words name ("eeprom read"), as COMMAND --help prints it;
// throws BadArguments for a command that does not exist.
std::string HelpOf(const CLI::App& app, const std::vector<std::string>& words);

}  // namespace quorix::tool
