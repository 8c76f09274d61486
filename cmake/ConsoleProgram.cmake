# consoleProgram(<target>): what every program of this project is built with. On Windows: the
# wide entry point (wmain, see programMain.hpp) and an embedded manifest that sets the UTF-8 code
# page and allows long paths.
function(consoleProgram target)
  projectWarnings(${target})
  if(WIN32)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tools/common/windows/utf8.rc)
    if(MINGW)
      target_link_options(${target} PRIVATE -municode)
    endif()
  endif()
endfunction()
