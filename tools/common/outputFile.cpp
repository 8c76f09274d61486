#include "outputFile.hpp"

#include <system_error>

#include "streams.hpp"
#include "outputFileParts.hpp"

namespace fs = std::filesystem;
using outputFileParts::removeFile;
using outputFileParts::renameOver;
using outputFileParts::SignalsHeld;

fs::path outputFileParts::followLinks(fs::path path) {
  // The bound on hops is the system's usual one; a longer chain fails when it is opened.
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(path, error)) return path;
    const fs::path link = fs::read_symlink(path, error);
    if (error) return path;
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  return path;
}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::commit() {
  if (stream_ == nullptr) return false;
  // Held until the file is known complete or removed, so that no signal removes a complete file
  // or leaves an incomplete one.
  const SignalsHeld held;
  const bool written = std::ferror(stream_) == 0;
  bool complete = std::fclose(stream_) == 0 && written;
  stream_ = nullptr;
  forgetInPlace();
  if (temporary_.empty()) {
    if (!complete && removeOnFailure_) removeIncompleteOutput(target_);
    return complete;
  }
  complete = complete && renameOver(temporary_, target_);
  if (!complete) removeFile(temporary_);
  forgetTemporary();
  return complete;
}

void OutputFile::discard() noexcept {
  const SignalsHeld held;
  const bool wasOpen = stream_ != nullptr;
  if (wasOpen) std::fclose(stream_);
  stream_ = nullptr;
  forgetInPlace();
  if (!temporary_.empty()) {
    removeFile(temporary_);
    forgetTemporary();
  } else if (wasOpen && removeOnFailure_) {
    removeIncompleteOutput(target_);
  }
}
