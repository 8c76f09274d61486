#include "commandLine.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "textEscape.hpp"
#include "version.hpp"

ConventionalOption answerHelpOrVersion(const std::vector<std::string>& args, std::string_view program,
                                       void (*printHelp)(), std::size_t optionsEnd) {
  const auto conventional = [](const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "--version"; };
  const auto end = args.begin() + static_cast<std::ptrdiff_t>(std::min(args.size(), optionsEnd));
  const auto found = std::find_if(std::min(args.begin() + 1, end), end, conventional);
  if (found == end) return ConventionalOption::absent;
  if (args.size() != 2) {
    std::fprintf(stderr, "%.*s: %s takes no other arguments\n", static_cast<int>(program.size()), program.data(),
                 found->c_str());
    return ConventionalOption::misused;
  }
  if (*found == "--version") {
    std::printf("%s\n", versionLine(program).c_str());
  } else {
    printHelp();
  }
  return ConventionalOption::answered;
}

std::string ignoredArgumentsWarning(const std::vector<std::string>& args, std::size_t first, std::string_view counted) {
  if (args.size() <= first) return "";
  std::string text = "arguments after the " + std::string(counted) + " are ignored:";
  for (std::size_t i = first; i < args.size(); ++i) text += " \"" + escapePath(args[i]) + "\"";
  return text;
}

void printWarning(std::string_view program, const std::string& text) {
  if (text.empty()) return;
  std::fprintf(stderr, "%.*s: warning: %s\n", static_cast<int>(program.size()), program.data(), text.c_str());
}

bool strictValue(const char* value) { return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0; }

bool strictRun(bool strictOption) { return strictOption || strictValue(std::getenv(kStrictVariable)); }

std::string strictRefusal(const std::string& warning) { return warning + " (strict mode: a warning is a failure)"; }

bool takeOptionWithValue(const std::vector<std::string>& args, std::size_t& index, std::string_view name,
                         std::optional<std::string>* value) {
  const std::string_view argument = args[index];
  if (argument == name) {
    *value = index + 1 < args.size() ? std::optional<std::string>(args[++index]) : std::nullopt;
    return true;
  }
  if (argument.size() > name.size() && argument.substr(0, name.size()) == name && argument[name.size()] == '=') {
    *value = std::string(argument.substr(name.size() + 1));
    return true;
  }
  return false;
}
