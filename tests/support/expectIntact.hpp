#pragma once

#include <gtest/gtest.h>

#include <string>

#include "programs.hpp"
#include "runProgram.hpp"

// Checks that imageInfo, run on a file a packer wrote, finds it recognised and intact.
inline void expectIntact(const std::string& path) {
  const ProgramResult result = runProgram(kImageInfo, {path});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("\n  verdict: ok\n"), std::string::npos) << result.out;
}
