#include "testFiles.hpp"

#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device entropy;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = fs::temp_directory_path() / ("packTest-" + std::to_string(entropy()));
    if (fs::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

fs::path pathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string utf8Of(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(pathOf(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes readFile(const std::string& path) {
  std::ifstream in(pathOf(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes randomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(count);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(generator());
  return bytes;
}

Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

void appendLittleEndian32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void appendBigEndian(Bytes& out, std::uint64_t value, int byteCount) {
  for (int i = byteCount - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

std::tm localCalendar(std::time_t moment) {
  std::tm calendar{};
#ifdef _WIN32
  localtime_s(&calendar, &moment);
#else
  localtime_r(&moment, &calendar);
#endif
  return calendar;
}

std::tm utcCalendar(std::time_t moment) {
  std::tm calendar{};
#ifdef _WIN32
  gmtime_s(&calendar, &moment);
#else
  gmtime_r(&moment, &calendar);
#endif
  return calendar;
}

std::optional<std::string> fileShorterThanItsSize() {
  const std::string path = "/sys/devices/system/cpu/online";
  std::error_code error;
  if (!fs::is_regular_file(path, error) || readFile(path).size() >= fs::file_size(path, error) || error) {
    return std::nullopt;
  }
  return path;
}
