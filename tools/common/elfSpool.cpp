#include "elfSpool.hpp"

#include <cerrno>
#include <cstdio>

#include "blockCopy.hpp"
#include "textEscape.hpp"

SpooledElf spoolElfPayload(const std::string& path, const ElfOptions& options,
                           const std::function<void(std::span<const unsigned char>)>& onPayload) {
  SpooledElf result;
  bool notRegular = false;
  errno = 0;
  Stream elf = openRegularFile(path, &notRegular);
  const auto size = elf ? regularFileSize(elf.get()) : std::nullopt;
  if (!size) {
    result.problem = SpooledElf::Problem::unreadable;
    result.reason = inputRefusal(path, notRegular || elf, errno);
    return result;
  }
  const ReadAt read = [&elf](std::uint64_t offset, std::span<unsigned char> into) {
    return readAt(elf.get(), offset, into);
  };
  ElfReading reading = readElfPayload(*size, read, options);
  if (!reading.payload) {
    result.problem = SpooledElf::Problem::refused;
    result.reason = escapePath(path) + ": " + reading.problem;
    return result;
  }
  result.payload = std::move(*reading.payload);
  errno = 0;
  result.spool = openSpoolFile();
  // A read of the ELF that fails (it shrank during a relink) is told from a scratch file that
  // takes no more bytes.
  bool readFailed = false;
  int readError = 0;
  const ReadAt readNoting = [&](std::uint64_t offset, std::span<unsigned char> into) {
    errno = 0;
    if (read(offset, into)) return true;
    readFailed = true;
    readError = errno;
    return false;
  };
  if (!result.spool ||
      !writeElfPayload(result.payload, readNoting, copyBuffer(),
                       [&](std::span<const unsigned char> bytes) {
                         if (onPayload) onPayload(bytes);
                         return std::fwrite(bytes.data(), 1, bytes.size(), result.spool.get()) == bytes.size();
                       }) ||
      std::fseek(result.spool.get(), 0, SEEK_SET) != 0) {
    if (readFailed) {
      result.problem = SpooledElf::Problem::unreadable;
      result.reason = "cannot read " + escapePath(path) + ": " +
                      (readError != 0 ? systemReason(readError) : "it ended early (did it change while being read?)");
    } else {
      result.problem = SpooledElf::Problem::noScratchRoom;
      result.reason = "cannot read " + escapePath(path) + ": no room for its payload: " + systemReason(errno);
    }
  }
  return result;
}
