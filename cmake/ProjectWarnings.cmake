option(IMAGEPACK_WERROR "Treat warnings in this project's own targets as errors" OFF)

# projectWarnings(<target>): the warning set every target of this project is built with; with
# IMAGEPACK_WERROR, warnings fail the build (only this project's targets, never third-party
# code built alongside, such as GoogleTest from source).
function(projectWarnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${IMAGEPACK_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             $<$<BOOL:${IMAGEPACK_WERROR}>:-Werror>)
  endif()
endfunction()
