# Makes the Windows zip's README.txt from its template, run as a build step with
#   cmake -DTEMPLATE=README.txt.in -DOUTPUT=README.txt -DVERSION=0.1.0 -DPROGRAMS=a,b,c
#         [-DMANUAL_DIR=folder] -P WindowsReadme.cmake
# The exit statuses it shows are taken from the manual pages as rendered to text
# (MANUAL_DIR/<program>.txt), so that the README cannot say anything the pages do not. Without
# MANUAL_DIR (no groff to render them) the README names the pages' sources instead.
foreach(required TEMPLATE OUTPUT VERSION PROGRAMS)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "WindowsReadme.cmake needs -D${required}=...")
  endif()
endforeach()
string(REPLACE "," ";" programs "${PROGRAMS}")

# exitStatusSection(NAME TEXT OUT): the body of the EXIT STATUS section of a rendered manual page,
# up to the next section heading (a line that starts with a capital letter), trailing blank
# lines dropped. Fails the build if the page NAME has no such section.
function(exitStatusSection name text out)
  if(NOT text MATCHES "\nEXIT STATUS\n(.*)")
    message(FATAL_ERROR "${name} has no EXIT STATUS section")
  endif()
  # From the first line that starts with a capital on: the next heading and all after it.
  string(REGEX REPLACE "\n[A-Z].*" "" section "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "[\n ]+$" "" section "${section}")
  set(${out} "${section}" PARENT_SCOPE)
endfunction()

if(DEFINED MANUAL_DIR)
  set(MANUAL_NAMES "")
  set(EXIT_STATUSES "Each program's exit statuses, from its manual page (which also lists every message):")
  foreach(program IN LISTS programs)
    file(READ "${MANUAL_DIR}/${program}.txt" page)
    exitStatusSection(${MANUAL_DIR}/${program}.txt "${page}" section)
    string(APPEND EXIT_STATUSES "\n\n${program}\n${section}")
    list(APPEND MANUAL_NAMES ${program}.txt)
  endforeach()
else()
  list(TRANSFORM programs APPEND .1.txt OUTPUT_VARIABLE MANUAL_NAMES)
  list(JOIN MANUAL_NAMES ", " names)
  set(EXIT_STATUSES "Each program's exit statuses are in the EXIT STATUS section of its manual page:\n${names}\n(the pages' sources, in troff: groff was not at hand to render them when this zip was made).")
endif()
list(JOIN MANUAL_NAMES ", " MANUAL_NAMES)
set(PROJECT_VERSION "${VERSION}")
file(READ "${TEMPLATE}" readme)
string(CONFIGURE "${readme}" readme @ONLY)
# Windows line ends throughout, the inserted sections' lines too.
string(REPLACE "\r\n" "\n" readme "${readme}")
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE "${OUTPUT}" "${readme}")
