#include "reportFormat.hpp"

#include <cstdio>

#include "signatureCheck.hpp"
#include "textEscape.hpp"

namespace {

std::string_view nameField(const LoadImageHeader& header) {
  std::string_view field(reinterpret_cast<const char*>(header.imageName.data()), header.imageName.size());
  return field.substr(0, field.find('\0'));
}

std::string hex32(std::uint32_t value) { return hexText(value, 8); }

std::string hex8(std::uint8_t value) { return hexText(value, 2); }

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

}  // namespace

std::string escapeName(const LoadImageHeader& header) { return escapeText(nameField(header), false, false); }

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
    if (report.trailerState == TrailerState::intact || report.trailerState == TrailerState::bytesAfter) {
      field("signature", kAlgorithmName);
      field("key id", hexBytes(report.trailer.keyId));
      field("security counter", std::to_string(report.trailer.securityCounter));
    }
  } else if (report.format == ImageFormat::stampedImage) {
    const StampHeader& header = report.stampHeader;
    field("image id", hex32(header.imageId));
    field("data length", std::to_string(header.dataLength));
    field("packing date", dateText(header));
    field("stored crc-8", hex8(header.crc8));
    field("computed crc-8", hex8(report.computedCrc8));
  }
  if (report.signature) field("signature check", signatureVerdictName(*report.signature));
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
    // The field's 16 raw bytes: the exact name where it is not valid UTF-8 (cut inside a
    // character, say), which "name" can only approximate.
    field("nameHex", jsonString(hexBytes(header.imageName)));
    field("imageSize", std::to_string(header.imageSize));
    field("loadAddress", std::to_string(header.loadAddress));
    field("execAddress", std::to_string(header.execAddress));
    field("storedChecksum", std::to_string(header.checksum));
    field("computedChecksum", std::to_string(report.computedChecksum));
    const bool decoded = report.trailerState == TrailerState::intact || report.trailerState == TrailerState::bytesAfter;
    field("signed", report.trailerState == TrailerState::none ? "false" : "true");
    if (decoded) {
      field("algorithm", jsonString(kAlgorithmName));
      field("keyId", jsonString(hexBytes(report.trailer.keyId)));
      field("securityCounter", std::to_string(report.trailer.securityCounter));
    }
  } else if (report.format == ImageFormat::stampedImage) {
    const StampHeader& header = report.stampHeader;
    field("imageId", std::to_string(header.imageId));
    field("dataLength", std::to_string(header.dataLength));
    field("packingDate", jsonString(dateText(header)));
    field("storedCrc8", std::to_string(header.crc8));
    field("computedCrc8", std::to_string(report.computedCrc8));
  }
  if (report.signature) field("signature", jsonString(signatureVerdictName(*report.signature)));
  field("intact", report.intact ? "true" : "false");
  field("verdict", jsonString(report.verdict));
  if (extractedTo != nullptr) field("extractedTo", jsonString(*extractedTo));
  return text + "}";
}

std::string errorJson(std::string_view path, std::string_view error) {
  return "{\"path\": " + jsonString(path) + ", \"error\": " + jsonString(error) + "}";
}
