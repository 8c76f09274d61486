#pragma once

#include <string>
#include <vector>

// The program's arguments (argv[0] included) with every argument that holds * or ? and matches
// existing files replaced by the matching names in sorted order. An argument that matches
// nothing stays as typed. On Windows the C runtime has already done this before main.
std::vector<std::string> expandWildcards(int argc, char** argv);
