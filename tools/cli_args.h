// The command line as the programs hand it to CLI11.
#pragma once

#include <string>
#include <vector>

namespace tools {

// CLI11 takes a vector of arguments last first, and reads "--name=" as
// "--name" waiting for its value, so the next argument would be taken for
// it; a script means an empty value by it. Each "--name=" becomes "--name"
// and an empty value.
inline std::vector<std::string> Cli11Arguments(const std::vector<std::string>& args) {
  std::vector<std::string> reversed;
  for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
    const bool empty_value = arg->size() > 3 && arg->compare(0, 2, "--") == 0 && arg->back() == '=';
    if (empty_value) {
      reversed.emplace_back();
      reversed.push_back(arg->substr(0, arg->size() - 1));
    } else {
      reversed.push_back(*arg);
    }
  }
  return reversed;
}

}  // namespace tools
