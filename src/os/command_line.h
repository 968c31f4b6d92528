// Splitting a command line into words, for platforms whose process start
// takes an argument vector.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace os {

// Blanks (space, tab) separate words; double quotes group blanks into a word
// and are themselves removed ("a b"c gives one word: a bc).  An unclosed
// quote runs to the end of the line.
std::vector<std::string> split_command_line(std::string_view line);

}  // namespace os
