# Installing and packaging: the programs; on POSIX systems their manual pages, the guides in
# docs/, and the Debian package's copyright and changelog; on Windows a README for Windows users,
# the README and docs/, the manual pages as text and the licence beside the programs (cpack -G
# ZIP); and everywhere the CMake package that firmware builds find with
# find_package(ImagePackers), installed and also usable straight from the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(programs packLoadable stampPack imageInfo)
set(packageDocDir ${CMAKE_INSTALL_DATADIR}/doc/orva-image-tools)
set(cmakePackageDir ${CMAKE_INSTALL_LIBDIR}/cmake/ImagePackers)

# installDocument(FILE DESTINATION LOADER_README MANUAL_PAGE [FROM RENAMED...]): installs the
# Markdown FILE (relative to the checkout) to DESTINATION, its links to files of the checkout
# made to reach where those are installed: loader/README.md to LOADER_README and man/<page>.1
# to MANUAL_PAGE (in which <page> stands for the page's name), both relative to DESTINATION,
# and each further file FROM of the checkout to RENAMED. Copied at configure time, and again
# whenever the file changes.
function(installDocument file destination loaderReadme manualPage)
  set(source ${PROJECT_SOURCE_DIR}/${file})
  get_filename_component(folder ${file} DIRECTORY)
  set(up "")
  set(upPattern "")
  if(folder)
    set(up "../")  # docs/ is one folder down
    set(upPattern "\\.\\./")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  string(REPLACE "](${up}loader/README.md" "](${loaderReadme}" text "${text}")
  string(REPLACE "<page>" "\\1" manualPattern "${manualPage}")
  string(REGEX REPLACE "\\]\\(${upPattern}man/([A-Za-z]+)\\.1\\)" "](${manualPattern})" text "${text}")
  set(renames ${ARGN})
  while(renames)
    list(POP_FRONT renames from renamed)
    string(REPLACE "](${up}${from})" "](${renamed})" text "${text}")
  endwhile()
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/documents/${file} "${text}")
  install(FILES ${PROJECT_BINARY_DIR}/packaging/documents/${file} DESTINATION ${destination})
endfunction()

# installGuides(DESTINATION LOADER_README MANUAL_PAGE [FROM RENAMED...]): each guide of docs/
# through installDocument.
function(installGuides destination loaderReadme manualPage)
  file(GLOB guides RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/docs/*.md)
  foreach(guide IN LISTS guides)
    installDocument(${guide} ${destination} ${loaderReadme} ${manualPage} ${ARGN})
  endforeach()
endfunction()

if(WIN32)
  # One folder to unzip: the programs, and what a user reads, beside them.
  install(TARGETS ${programs} EXPORT ImagePackersTargets RUNTIME DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  # The full documentation beside it: the README and the guides in docs/ as they stand (Markdown
  # is plain text), and each manual page as text where groff is at hand to render it, else as
  # its source.
  install(FILES CONTRIBUTING.md DESTINATION .)
  find_program(GROFF groff)
  if(GROFF)
    set(manualText <page>.txt)
  else()
    set(manualText <page>.1.txt)
  endif()
  installDocument(README.md . loader/README.md ${manualText} LICENSE LICENSE.txt)
  installGuides(docs ../loader/README.md ../${manualText} LICENSE ../LICENSE.txt)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
  set(manualTexts "")
  foreach(program IN LISTS programs)
    set(page ${PROJECT_SOURCE_DIR}/man/${program}.1)
    if(GROFF)
      set(text ${PROJECT_BINARY_DIR}/packaging/${program}.txt)
      # -P-cbou: plain characters, no bold, underline or terminal escapes.
      add_custom_command(OUTPUT ${text} COMMAND ${GROFF} -man -Tascii -P-cbou ${page} > ${text} DEPENDS ${page}
                         VERBATIM)
      list(APPEND manualTexts ${text})
      install(FILES ${text} DESTINATION .)
    else()
      install(FILES ${page} DESTINATION . RENAME ${program}.1.txt)
    endif()
  endforeach()
  # A README for Windows users, made from its one template with this version in it and, from
  # the rendered manual pages, each program's exit statuses, so that it cannot drift from them;
  # with Windows line ends, which every Windows editor shows.
  set(readme ${PROJECT_BINARY_DIR}/packaging/README.txt)
  set(readmeTemplate ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in)
  set(readmeScript ${PROJECT_SOURCE_DIR}/cmake/WindowsReadme.cmake)
  string(REPLACE ";" "," programList "${programs}")
  if(GROFF)
    set(manualDir -DMANUAL_DIR=${PROJECT_BINARY_DIR}/packaging)
  else()
    message(STATUS "groff not found: the zip holds the manual pages' sources, not text")
    set(manualDir "")
  endif()
  add_custom_command(OUTPUT ${readme}
                     COMMAND ${CMAKE_COMMAND} -DTEMPLATE=${readmeTemplate} -DOUTPUT=${readme}
                             -DVERSION=${PROJECT_VERSION} -DPROGRAMS=${programList} ${manualDir} -P ${readmeScript}
                     DEPENDS ${readmeTemplate} ${readmeScript} ${manualTexts} VERBATIM)
  add_custom_target(windowsReadme ALL DEPENDS ${readme} ${manualTexts})
  install(FILES ${readme} DESTINATION .)
  set(cmakePackageDir cmake)
else()
  install(TARGETS ${programs} EXPORT ImagePackersTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  add_subdirectory(man)

  # The Debian copyright file in its machine-readable form, the licence text from LICENSE.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(STRIP "${licence}" licence)
  string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REGEX REPLACE "\n" "\n " licence " ${licence}")
  set(LICENSE_TEXT "${licence}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in ${PROJECT_BINARY_DIR}/packaging/copyright @ONLY)
  find_program(GZIP gzip REQUIRED)
  set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
                     COMMAND ${GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${changelog}
                     DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${changelog})
  install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright ${changelog} DESTINATION ${packageDocDir})
  # The guides the manual pages point to (the file formats, what a failed run leaves behind).
  file(RELATIVE_PATH loaderReadme /${packageDocDir} /${CMAKE_INSTALL_DATADIR}/orva-image-tools/loader/README.md)
  file(RELATIVE_PATH manualPages /${packageDocDir} /${CMAKE_INSTALL_MANDIR}/man1)
  if(GZIP)
    installGuides(${packageDocDir} ${loaderReadme} ${manualPages}/<page>.1.gz)
  else()
    installGuides(${packageDocDir} ${loaderReadme} ${manualPages}/<page>.1)
  endif()
endif()

# The CMake package: imported executables ImagePackers::<program> and the functions that add
# packing steps to a build.
install(EXPORT ImagePackersTargets NAMESPACE ImagePackers:: DESTINATION ${cmakePackageDir})
configure_package_config_file(cmake/ImagePackersConfig.cmake.in ${PROJECT_BINARY_DIR}/ImagePackersConfig.cmake
                              INSTALL_DESTINATION ${cmakePackageDir})
# Programs that run on the build machine: a project for any target, 32-bit ones too, may use them.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ImagePackersConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/ImagePackersConfig.cmake ${PROJECT_BINARY_DIR}/ImagePackersConfigVersion.cmake
              cmake/ImagePackersFunctions.cmake DESTINATION ${cmakePackageDir})
# The same from the build tree, for a superbuild that does not install first.
export(EXPORT ImagePackersTargets NAMESPACE ImagePackers:: FILE ${PROJECT_BINARY_DIR}/ImagePackersTargets.cmake)
configure_file(cmake/ImagePackersFunctions.cmake ${PROJECT_BINARY_DIR}/ImagePackersFunctions.cmake COPYONLY)

set(CPACK_PACKAGE_NAME orva-image-tools)
set(CPACK_PACKAGE_VENDOR ORVA)
set(CPACK_PACKAGE_CONTACT "ORVA image tools maintainers <image-tools@orva.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pack program images for target devices, and check packed images")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  # orva-image-tools-<version>-win64.zip
  set(CPACK_GENERATOR ZIP)
else()
  # cpack -G DEB: a Debian package that lintian passes without an error or a warning.
  # The extended description; CPack puts the summary above it as the synopsis.
  set(CPACK_PACKAGE_DESCRIPTION "packLoadable puts a 44-byte load-image header in front of a program image,
stampPack a 16-byte dated stamp header, and imageInfo shows and verifies
both kinds of file and gives a verified payload back.")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
include(CPack)
