#include "reportFormat.hpp"

#include <cstdio>

namespace {

std::string_view nameField(const LoadImageHeader& header) {
  std::string_view field(reinterpret_cast<const char*>(header.imageName.data()), header.imageName.size());
  return field.substr(0, field.find('\0'));
}

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string hex8(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(value));
  return text;
}

std::string dateText(const StampHeader& header) {
  char text[24];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", static_cast<unsigned>(header.year),
                static_cast<unsigned>(header.month), static_cast<unsigned>(header.day));
  return text;
}

const char* formatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::loadImage:
      return "load image";
    case ImageFormat::stampedImage:
      return "stamped image";
    case ImageFormat::unrecognised:
      break;
  }
  return "unrecognised";
}

// The length of the valid UTF-8 sequence that starts at text[pos], or 0 when none does
// (a stray continuation byte, an overlong form, a surrogate, or beyond U+10FFFF).
std::size_t utf8SequenceLength(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size() || byte(pos + 1) < low || byte(pos + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

namespace {

// Bytes as text for a person: printable ASCII as it is, a backslash doubled (or, with
// keepBackslash, as it is), and any other byte as \xNN, except that with keepUtf8 valid UTF-8
// sequences stay as they are.
std::string escapeText(std::string_view bytes, bool keepUtf8, bool keepBackslash) {
  std::string text;
  for (std::size_t pos = 0; pos < bytes.size(); ++pos) {
    const auto byte = static_cast<unsigned char>(bytes[pos]);
    if (byte == '\\' && !keepBackslash) {
      text += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += bytes[pos];
    } else if (const std::size_t length = keepUtf8 && byte >= 0x80 ? utf8SequenceLength(bytes, pos) : 0; length > 0) {
      text += bytes.substr(pos, length);
      pos += length - 1;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
      text += escaped;
    }
  }
  return text;
}

}  // namespace

std::string escapeName(const LoadImageHeader& header) { return escapeText(nameField(header), false, false); }

std::string escapePath(std::string_view path) {
#ifdef _WIN32
  // The separator, which no name there can hold; nor can a name hold a control character, so a
  // \ never starts an escape in a Windows path.
  constexpr bool keepBackslash = true;
#else
  constexpr bool keepBackslash = false;
#endif
  return escapeText(path, true, keepBackslash);
}

std::string jsonString(std::string_view bytes) {
  std::string text = "\"";
  for (std::size_t pos = 0; pos < bytes.size(); ++pos) {
    const auto byte = static_cast<unsigned char>(bytes[pos]);
    if (byte == '"' || byte == '\\') {
      text += '\\';
      text += bytes[pos];
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += bytes[pos];
    } else if (const std::size_t length = byte >= 0x80 ? utf8SequenceLength(bytes, pos) : 0; length > 0) {
      text += bytes.substr(pos, length);
      pos += length - 1;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
      text += escaped;
    }
  }
  return text + "\"";
}

std::string reportText(std::string_view path, const ImageReport& report) {
  // The path as the user's system shows it, but never a line break or a control character that
  // could forge a line of the report.
  std::string text = escapePath(path);
  const auto field = [&text](const char* label, const std::string& value) {
    text += "  ";
    text += label;
    text += ": ";
    text += value;
    text += '\n';
  };
  text += '\n';
  field("format", formatName(report.format));
  field("length", std::to_string(report.fileLength));
  if (report.format == ImageFormat::loadImage) {
    const LoadImageHeader& header = report.loadHeader;
    std::string name = "\"";
    name += escapeName(header);
    name += '"';
    field("name", name);
    field("image size", std::to_string(header.imageSize));
    field("load address", hex32(header.loadAddress));
    field("exec address", hex32(header.execAddress));
    field("stored checksum", hex32(header.checksum));
    field("computed checksum", hex32(report.computedChecksum));
  } else if (report.format == ImageFormat::stampedImage) {
    const StampHeader& header = report.stampHeader;
    field("image id", hex32(header.imageId));
    field("data length", std::to_string(header.dataLength));
    field("packing date", dateText(header));
    field("stored crc-8", hex8(header.crc8));
    field("computed crc-8", hex8(report.computedCrc8));
  }
  field("verdict", report.verdict);
  return text;
}

std::string reportJson(std::string_view path, const ImageReport& report, const std::string* extractedTo) {
  std::string text = "{\"path\": " + jsonString(path);
  const auto field = [&text](const char* name, const std::string& value) {
    text += ", \"";
    text += name;
    text += "\": ";
    text += value;
  };
  field("format", jsonString(formatName(report.format)));
  field("length", std::to_string(report.fileLength));
  if (report.format == ImageFormat::loadImage) {
    const LoadImageHeader& header = report.loadHeader;
    field("name", jsonString(nameField(header)));
    field("imageSize", std::to_string(header.imageSize));
    field("loadAddress", std::to_string(header.loadAddress));
    field("execAddress", std::to_string(header.execAddress));
    field("storedChecksum", std::to_string(header.checksum));
    field("computedChecksum", std::to_string(report.computedChecksum));
  } else if (report.format == ImageFormat::stampedImage) {
    const StampHeader& header = report.stampHeader;
    field("imageId", std::to_string(header.imageId));
    field("dataLength", std::to_string(header.dataLength));
    field("packingDate", jsonString(dateText(header)));
    field("storedCrc8", std::to_string(header.crc8));
    field("computedCrc8", std::to_string(report.computedCrc8));
  }
  field("intact", report.intact ? "true" : "false");
  field("verdict", jsonString(report.verdict));
  if (extractedTo != nullptr) field("extractedTo", jsonString(*extractedTo));
  return text + "}";
}
