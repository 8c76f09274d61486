#pragma once

// CRC-8 by carry-less multiplication, for x86-64 CPUs that have it. Built only where
// IMAGEPACK_X86_CLMUL is defined; callers check the CPU before using either function.

#include <cstdint>
#include <span>

#include "crc8.hpp"

#ifdef IMAGEPACK_X86_CLMUL

// What the running CPU reports.
CpuFeatures probeCpuFeatures();

// 64 bytes a step in four 128-bit lanes.
std::uint8_t crc8UpdateClmul(std::uint8_t crc, std::span<const unsigned char> bytes) noexcept;
// 256 bytes a step in four 512-bit lanes; the rest as crc8UpdateClmul does it.
std::uint8_t crc8UpdateAvx512Clmul(std::uint8_t crc, std::span<const unsigned char> bytes) noexcept;

#endif
