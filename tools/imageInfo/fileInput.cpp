#include "fileInput.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cerrno>

#include "blockCopy.hpp"
#include "textEscape.hpp"

std::optional<Input> openInput(const std::string& path, std::string* problem) {
  Input input;
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);  // the bytes as they are, not text
#endif
    input.stream = stdin;
    return input;
  }
  errno = 0;
  bool notRegular = false;
  input.owned = openRegularFile(path, &notRegular);
  if (!input.owned) {
    *problem = inputRefusal(path, notRegular, errno);
    return std::nullopt;
  }
  input.length = regularFileSize(input.owned.get());
  input.stream = input.owned.get();
  return input;
}

bool readInput(const std::string& path, Input& input, const std::function<void(std::span<const unsigned char>)>& onBlock,
               std::string* problem) {
  const std::span<unsigned char> buffer = copyBuffer().first(kCopyBlockSize);
  if (input.length) {
    const CopyStatus status = readBytes(input.stream, *input.length, buffer, [&](std::span<const unsigned char> block) {
      onBlock(block);
      return true;
    });
    if (status == CopyStatus::ok) return true;
    *problem = "cannot read " + escapePath(path) + ": read error, or the file shrank while being read";
    return false;
  }
  std::size_t got = 0;
  errno = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), input.stream)) > 0) {
    onBlock(std::span<const unsigned char>(buffer.data(), got));
  }
  if (std::ferror(input.stream) == 0) return true;
  *problem = std::string("cannot read ") + kStandardInputName + ": " + systemReason(errno);
  return false;
}

std::string shownPath(const std::string& path) { return path == "-" ? kStandardInputName : path; }

InputKind kindOfFile(const std::string& path) {
  bool notRegular = false;
  const Stream file = openRegularFile(path, &notRegular);
  const auto size = file ? regularFileSize(file.get()) : std::nullopt;
  return size ? inputKindOf(file.get(), *size) : InputKind::other;
}
