#include <windows.h>

#include <cstring>
#include <stdexcept>

#include "runProgram.hpp"
#include "testFiles.hpp"

namespace {

// One argument quoted so that the C runtime's command-line parser gives it back unchanged.
// Arguments without blanks or quotes stay bare, so that wildcards in them still reach the
// program's own expansion, as they would from a console.
std::string quoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal except before a quote, where each must be doubled.
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + '"';
}

// The test's environment with the overrides applied, as CreateProcess wants it: NAME=value
// strings each ending in NUL, and one more NUL at the end.
std::string environmentBlock(const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> entries;
  char* strings = GetEnvironmentStringsA();
  for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1) entries.emplace_back(entry);
  FreeEnvironmentStringsA(strings);
  std::string block;
  for (const std::string& entry : withOverrides(entries, overrides)) block.append(entry).push_back('\0');
  block.push_back('\0');
  return block;
}

std::string normaliseLineEnds(const Bytes& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) {
      text += "<bare LF>";
    } else {
      text += static_cast<char>(bytes[i]);
    }
  }
  return text;
}

HANDLE inheritable(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  const HANDLE handle = CreateFileW(pathOf(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  return handle;
}

}  // namespace

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  if (options.fileSizeLimit) throw std::logic_error("file size limits need kCanLimitFileSize");
  if (options.unprivileged || !options.ignoredSignals.empty() || !options.standardInputFile.empty() ||
      options.standardOutput == kClosedOutput) {
    throw std::logic_error("running unprivileged, with signals ignored or with a closed standard output is for POSIX "
                           "systems");
  }
  TempDir captureDir;
  const std::string outPath = captureDir.file("stdout");
  const std::string errPath = captureDir.file("stderr");

  std::string commandLine = quoteArgument(program);
  for (const std::string& argument : args) {
    commandLine += ' ';
    commandLine += quoteArgument(argument);
  }
  std::string environment = environmentBlock(options.environment);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput =
      inheritable(options.standardInput.empty() ? "NUL" : options.standardInput, GENERIC_READ, OPEN_EXISTING);
  if (options.standardOutput.empty()) {
    startup.hStdOutput = inheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  } else {
    // Appended to, as cmd's >> does.
    startup.hStdOutput = inheritable(options.standardOutput, GENERIC_WRITE, OPEN_ALWAYS);
    SetFilePointerEx(startup.hStdOutput, LARGE_INTEGER{}, nullptr, FILE_END);
    writeFile(outPath, Bytes{});
  }
  startup.hStdError = inheritable(errPath, GENERIC_WRITE, CREATE_ALWAYS);
  PROCESS_INFORMATION process{};
  // The wide call, so that arguments in any script reach the program whole.
  // (UTF-8 to UTF-16 through the path type, which converts and changes nothing else.)
  std::wstring wideCommandLine = pathOf(commandLine).native();
  const BOOL started = CreateProcessW(
      pathOf(program).c_str(), wideCommandLine.data(), nullptr, nullptr, TRUE, 0, environment.data(),
      options.workingDirectory.empty() ? nullptr : pathOf(options.workingDirectory).c_str(), &startup, &process);
  CloseHandle(startup.hStdInput);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  if (!started) throw std::runtime_error("cannot start " + program);

  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  ProgramResult result;
  result.exitStatus = static_cast<int>(exitCode);
  if (options.binaryOutput) {
    const Bytes raw = readFile(outPath);
    result.out.assign(raw.begin(), raw.end());
  } else {
    result.out = normaliseLineEnds(readFile(outPath));
  }
  result.err = normaliseLineEnds(readFile(errPath));
  return result;
}
