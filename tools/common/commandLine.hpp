#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The options every program takes the same way: --help (or -h) and --version.
enum class ConventionalOption {
  absent,    // neither is on the command line
  answered,  // the only argument, and answered on standard output
  misused,   // given with other arguments: a usage error, said on standard error
};

// Answers `program --help` / `-h` (with printHelp) or `program --version` (with versionLine)
// on standard output when that option is the only argument. Given among other arguments, at
// or after position 1 and before `optionsEnd` (the position of a "--" that ends the options,
// if the program has one), it is a usage error: "PROGRAM: --help takes no other arguments" on
// standard error.
ConventionalOption answerHelpOrVersion(const std::vector<std::string>& args, std::string_view program,
                                       void (*printHelp)(), std::size_t optionsEnd = std::string::npos);

// The warning for arguments from position `first` on, which the program ignores
// ("arguments after the fifth are ignored: "a" "b""); empty where there are none. `counted`
// names the last one used ("fifth").
std::string ignoredArgumentsWarning(const std::vector<std::string>& args, std::size_t first, std::string_view counted);

// Whether args[index] is the option `name` with a value, given as "NAME VALUE" or "NAME=VALUE";
// where it is, *value is the value (nullopt where none follows) and index is left at the
// option's last argument.
bool takeOptionWithValue(const std::vector<std::string>& args, std::size_t& index, std::string_view name,
                         std::optional<std::string>* value);

// Prints "PROGRAM: warning: TEXT" on standard error, unless TEXT is empty.
void printWarning(std::string_view program, const std::string& text);

// The environment variable that makes every run strict, as --strict does: set to anything but
// nothing or "0". A build or CI script sets it once for all three programs.
inline constexpr const char* kStrictVariable = "IMAGEPACK_STRICT";

// Whether `value` (the variable's, or null where it is not set) asks for strict mode.
bool strictValue(const char* value);

// Whether this run is strict: --strict was given, or the environment asks for it.
bool strictRun(bool strictOption);

// The reason a strict run fails on `warning`, said where the warning would have been:
// "WARNING (strict mode: a warning is a failure)".
std::string strictRefusal(const std::string& warning);
