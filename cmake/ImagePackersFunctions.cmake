# Build steps that pack a firmware image, for projects that find_package(ImagePackers).
#
# imagepackers_add_load_image(<target> SOURCE <raw image> OUTPUT <path without .img>
#                             NAME <image name> LOAD_ADDRESS <hex> EXEC_ADDRESS <hex>
#                             [DEPENDS <file or target>...] [VERIFY])
# imagepackers_add_stamped_image(<target> INPUT <file> OUTPUT <file> [IMAGE_ID <hex>]
#                                [DEPENDS <file or target>...] [VERIFY])
#
# Each adds a custom target <target>, built by default, that makes OUTPUT (OUTPUT.img for a load
# image) with ImagePackers::packLoadable or ImagePackers::stampPack. It is made again when the
# input, anything in DEPENDS or the packer itself changes, and a packer that fails fails the
# build, leaving any earlier output as it was. With VERIFY, ImagePackers::imageInfo then checks
# the result, and a damaged one fails the build too. A relative SOURCE or INPUT counts from the
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

# The custom command that runs `packer` with the remaining arguments and, with `verify`,
# imageInfo on `output`; it depends on the files and targets in the list `dependencies` and on
# the packer. Also the default target that asks for the output.
function(_imagepackers_add_step target packer output verify dependencies)
  set(commands COMMAND ImagePackers::${packer} ${ARGN})
  if(verify)
    list(APPEND commands COMMAND ImagePackers::imageInfo ${output})
  endif()
  add_custom_command(OUTPUT ${output}
                     ${commands}
                     DEPENDS ${dependencies} $<TARGET_FILE:ImagePackers::${packer}>
                     COMMENT "${packer}: ${output}"
                     VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

function(imagepackers_add_load_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY" "SOURCE;OUTPUT;NAME;LOAD_ADDRESS;EXEC_ADDRESS" "DEPENDS")
  _imagepackers_check_arguments(imagepackers_add_load_image REQUIRED SOURCE OUTPUT NAME LOAD_ADDRESS EXEC_ADDRESS
                                UNPARSED ${arg_UNPARSED_ARGUMENTS})
  get_filename_component(source "${arg_SOURCE}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(outputBase "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  _imagepackers_add_step(${target} packLoadable "${outputBase}.img" "${arg_VERIFY}" "${source};${arg_DEPENDS}"
                         "${source}" "${outputBase}" "${arg_NAME}" "${arg_LOAD_ADDRESS}" "${arg_EXEC_ADDRESS}")
endfunction()

function(imagepackers_add_stamped_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY" "INPUT;OUTPUT;IMAGE_ID" "DEPENDS")
  _imagepackers_check_arguments(imagepackers_add_stamped_image REQUIRED INPUT OUTPUT
                                UNPARSED ${arg_UNPARSED_ARGUMENTS})
  get_filename_component(input "${arg_INPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(imageId "")
  if(DEFINED arg_IMAGE_ID)
    set(imageId "${arg_IMAGE_ID}")
  endif()
  _imagepackers_add_step(${target} stampPack "${output}" "${arg_VERIFY}" "${input};${arg_DEPENDS}" "${input}" "${output}"
                         ${imageId})
endfunction()
