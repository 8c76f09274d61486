# Build steps that pack a firmware image, for projects that find_package(ImagePackers).
#
# imagepackers_add_load_image(<target> SOURCE <raw image> OUTPUT <path without .img>
#                             NAME <image name> LOAD_ADDRESS <hex> EXEC_ADDRESS <hex>
#                             [DEPENDS <file or target>...] [VERIFY])
# imagepackers_add_load_image(<target> ELF <executable target or file> OUTPUT <path without .img>
#                             NAME <image name> [DEPENDS <file or target>...] [VERIFY])
# imagepackers_add_stamped_image(<target> INPUT <file> OUTPUT <file> [IMAGE_ID <hex>]
#                                [DEPENDS <file or target>...] [VERIFY])
#
# Each adds a custom target <target>, built by default, that makes OUTPUT (OUTPUT.img for a load
# image, its folder too if need be) with ImagePackers::packLoadable or ImagePackers::stampPack.
# Stricter than the programs' own number parsing, so that nothing goes wrong silently:
# LOAD_ADDRESS, EXEC_ADDRESS and IMAGE_ID must be 1 to 8 hexadecimal digits with an optional
# 0x or 0X, and IMAGE_ID given without a value is an error, not the default; configure fails
# naming the argument. A NAME longer than 16 bytes is kept to its first 16, with a warning. It is made again when the
# input, anything in DEPENDS or the packer itself changes, and a packer that fails fails the
# build, leaving any earlier output as it was. With VERIFY, ImagePackers::imageInfo then checks
# the result, and a damaged one fails the build too. With ELF, the payload and both addresses
# come from the executable (packLoadable --elf), so SOURCE, LOAD_ADDRESS and EXEC_ADDRESS are
# refused: one source of truth. An executable target is followed to its file, and the image is
# made again when it relinks; VERIFY then checks the image against the ELF (imageInfo --elf). A relative SOURCE or INPUT counts from the
# current source directory, a relative OUTPUT from the current binary directory, as they do for
# add_custom_command.

include_guard(GLOBAL)

# Fails the configure step when an argument is not understood, or when one of the REQUIRED
# keywords has no value in the caller's arg_<keyword> (as cmake_parse_arguments left it there).
function(_imagepackers_check_arguments function)
  cmake_parse_arguments(PARSE_ARGV 1 check "" "" "REQUIRED;UNPARSED")
  if(check_UNPARSED)
    message(FATAL_ERROR "${function}: unexpected arguments: ${check_UNPARSED}")
  endif()
  foreach(keyword IN LISTS check_REQUIRED)
    if(NOT DEFINED arg_${keyword} OR arg_${keyword} STREQUAL "")
      message(FATAL_ERROR "${function}: ${keyword} is required")
    endif()
  endforeach()
endfunction()

# Fails the configure step unless the caller's arg_<keyword> is 1 to 8 hexadecimal digits with
# an optional 0x/0X: no sign, no underscore, nothing after the digits.
function(_imagepackers_check_hex function keyword)
  set(value "${arg_${keyword}}")
  string(REGEX MATCH "^(0[xX])?([0-9A-Fa-f]+)$" matched "${value}")
  string(LENGTH "${CMAKE_MATCH_2}" digits)
  if(matched STREQUAL "" OR digits GREATER 8)  # not NOT matched: "0" is false to if()
    message(FATAL_ERROR "${function}: ${keyword} must be 1 to 8 hexadecimal digits with an optional 0x, not \"${value}\"")
  endif()
endfunction()

# The custom command that runs `packer` with the remaining arguments and, with `verify`,
# imageInfo with the arguments in the list `verifyArguments` (empty: just `output`); it depends
# on the files and targets in the list `dependencies` and on the packer. Also the default target
# that asks for the output.
function(_imagepackers_add_step target packer output verify verifyArguments dependencies)
  # Every generator then finds OUTPUT's folder there, made by the build if it is new.
  get_filename_component(folder "${output}" DIRECTORY)
  set(commands COMMAND ${CMAKE_COMMAND} -E make_directory ${folder} COMMAND ImagePackers::${packer} ${ARGN})
  if(verify)
    if(NOT verifyArguments)
      set(verifyArguments "${output}")
    endif()
    list(APPEND commands COMMAND ImagePackers::imageInfo ${verifyArguments})
  endif()
  add_custom_command(OUTPUT ${output}
                     ${commands}
                     DEPENDS ${dependencies} $<TARGET_FILE:ImagePackers::${packer}>
                     COMMENT "${packer}: ${output}"
                     VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

function(imagepackers_add_load_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY" "ELF;SOURCE;OUTPUT;NAME;LOAD_ADDRESS;EXEC_ADDRESS" "DEPENDS")
  string(LENGTH "${arg_NAME}" nameBytes)
  if(nameBytes GREATER 16)
    message(WARNING "imagepackers_add_load_image: NAME \"${arg_NAME}\" is ${nameBytes} bytes; the header keeps its first 16")
  endif()
  get_filename_component(outputBase "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  if(DEFINED arg_ELF)
    _imagepackers_check_arguments(imagepackers_add_load_image REQUIRED ELF OUTPUT NAME UNPARSED ${arg_UNPARSED_ARGUMENTS})
    foreach(keyword IN ITEMS SOURCE LOAD_ADDRESS EXEC_ADDRESS)
      if(DEFINED arg_${keyword})
        message(FATAL_ERROR "imagepackers_add_load_image: ${keyword} does not go with ELF, which gives the payload and "
                            "both addresses")
      endif()
    endforeach()
    if(TARGET "${arg_ELF}")
      # The file and the target: the image is made again whenever the executable relinks.
      set(elf "$<TARGET_FILE:${arg_ELF}>")
      set(dependencies "${elf};${arg_ELF};${arg_DEPENDS}")
    else()
      get_filename_component(elf "${arg_ELF}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      set(dependencies "${elf};${arg_DEPENDS}")
    endif()
    _imagepackers_add_step(${target} packLoadable "${outputBase}.img" "${arg_VERIFY}" "--elf;${elf};${outputBase}.img"
                           "${dependencies}" --elf "${elf}" "${outputBase}" "${arg_NAME}")
    return()
  endif()
  _imagepackers_check_arguments(imagepackers_add_load_image REQUIRED SOURCE OUTPUT NAME LOAD_ADDRESS EXEC_ADDRESS
                                UNPARSED ${arg_UNPARSED_ARGUMENTS})
  _imagepackers_check_hex(imagepackers_add_load_image LOAD_ADDRESS)
  _imagepackers_check_hex(imagepackers_add_load_image EXEC_ADDRESS)
  get_filename_component(source "${arg_SOURCE}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  _imagepackers_add_step(${target} packLoadable "${outputBase}.img" "${arg_VERIFY}" "" "${source};${arg_DEPENDS}"
                         "${source}" "${outputBase}" "${arg_NAME}" "${arg_LOAD_ADDRESS}" "${arg_EXEC_ADDRESS}")
endfunction()

function(imagepackers_add_stamped_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY" "INPUT;OUTPUT;IMAGE_ID" "DEPENDS")
  _imagepackers_check_arguments(imagepackers_add_stamped_image REQUIRED INPUT OUTPUT
                                UNPARSED ${arg_UNPARSED_ARGUMENTS})
  get_filename_component(input "${arg_INPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  # IMAGE_ID "" or IMAGE_ID ${UNSET}: given with no value, which cmake_parse_arguments (before
  # CMake 3.31) reports as if IMAGE_ID were absent, and which must not mean the default.
  set(missingValue FALSE)
  math(EXPR last "${ARGC} - 1")
  foreach(i RANGE 1 ${last})
    if("${ARGV${i}}" STREQUAL "IMAGE_ID")
      math(EXPR next "${i} + 1")
      if(next GREATER last OR "${ARGV${next}}" STREQUAL "" OR "${ARGV${next}}" MATCHES "^(INPUT|OUTPUT|DEPENDS|VERIFY)$")
        set(missingValue TRUE)
      endif()
    endif()
  endforeach()
  set(imageId "")
  if(missingValue)
    message(FATAL_ERROR "imagepackers_add_stamped_image: IMAGE_ID is given without a value (leave it out for the default)")
  elseif(DEFINED arg_IMAGE_ID)
    _imagepackers_check_hex(imagepackers_add_stamped_image IMAGE_ID)
    set(imageId "${arg_IMAGE_ID}")
  endif()
  _imagepackers_add_step(${target} stampPack "${output}" "${arg_VERIFY}" "" "${input};${arg_DEPENDS}" "${input}"
                         "${output}" ${imageId})
endfunction()
