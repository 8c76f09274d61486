# projectWarnings(<target>): the warning set every target of this project is built with.
# Warnings become errors when CXXFLAGS holds -Werror (CI does that).
function(projectWarnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
  endif()
endfunction()
