# Build steps that pack a firmware image, for projects that find_package(ImagePackers).
#
# imagepackers_add_load_image(<target> SOURCE <raw image> OUTPUT <path without .img>
#                             NAME <image name> LOAD_ADDRESS <hex> EXEC_ADDRESS <hex>
#                             [SIGNING_KEY <key.pem> [SECURITY_COUNTER <n>]]
#                             [DEPENDS <file or target>...] [VERIFY] [LENIENT])
# imagepackers_add_load_image(<target> ELF <executable target or file> OUTPUT <path without .img>
#                             NAME <image name> [EXEC_ADDRESS <hex>] [MAX_GAP <bytes>]
#                             [REMOVE_SECTIONS <name>...] [SIGNING_KEY <key.pem> [SECURITY_COUNTER <n>]]
#                             [DEPENDS <file or target>...] [VERIFY] [LENIENT])
# imagepackers_add_stamped_image(<target> INPUT <file> OUTPUT <file> [IMAGE_ID <hex>]
#                                [DEPENDS <file or target>...] [VERIFY] [LENIENT])
# imagepackers_add_key_header(<target> KEY <public or private key.pem> OUTPUT <header.h>)
#
# Each adds a custom target <target>, built by default, that makes OUTPUT (OUTPUT.img for a load
# image, its folder too if need be) with ImagePackers::packLoadable or ImagePackers::stampPack.
# Stricter than the programs' own number parsing, so that nothing goes wrong silently:
# LOAD_ADDRESS, EXEC_ADDRESS and IMAGE_ID must be 1 to 8 hexadecimal digits with an optional
# 0x or 0X, and IMAGE_ID given without a value is an error, not the default; configure fails
# naming the argument. A NAME longer than 16 bytes is kept to its first 16, with a warning. It is made again when the
# input, anything in DEPENDS or the packer itself changes, and a packer that fails fails the
# build, leaving any earlier output as it was. With VERIFY, ImagePackers::imageInfo then checks
# the result, and a damaged one fails the build too. With ELF, the payload and the load address
# come from the executable (packLoadable --elf), so SOURCE and LOAD_ADDRESS are refused: one
# source of truth. EXEC_ADDRESS, MAX_GAP (decimal, or 0x and hexadecimal) and REMOVE_SECTIONS
# are packLoadable's --exec, --max-gap and --remove-section. An executable target is followed to
# its file, and the image is made again when it relinks; VERIFY then checks the image against
# the ELF (imageInfo --elf, with the same options). The packers run with --strict, so that any
# warning of theirs (a name cut to 16 bytes, an ELF packed raw, a file stamped twice, ...) fails
# the build; LENIENT leaves their warnings warnings. SIGNING_KEY signs the image with that
# P-256 private key (packLoadable --sign; SECURITY_COUNTER is --security-counter, decimal or 0x
# and hexadecimal), and VERIFY then also checks the signature against the key's public half.
# imagepackers_add_key_header makes OUTPUT, the key as a C header a boot loader compiles
# (imageInfo --key-as-c), again whenever the key file changes.
# Whether ELF names a target is decided at the end of the calling directory, so the call may come
# before add_executable() there; ELF given without a value is an error. A relative SOURCE or INPUT counts from the
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

# Fails the configure step unless the caller's arg_<keyword> is a number as the programs take
# it: decimal digits, or 0x and hexadecimal digits; `what` names it in the message.
function(_imagepackers_check_number function keyword what)
  string(REGEX MATCH "^([0-9]+|0[xX][0-9A-Fa-f]+)$" matched "${arg_${keyword}}")
  if(matched STREQUAL "")
    message(FATAL_ERROR "${function}: ${keyword} must be ${what}, decimal or 0x and hexadecimal, not "
                        "\"${arg_${keyword}}\"")
  endif()
endfunction()

# Fails the configure step where `keyword` stands in `args` (the caller's "${ARGV}", which keeps
# empty values) with no value after it: "" or an unset variable, which cmake_parse_arguments
# (before CMake 3.31) reports as if the keyword were absent. `keywords` are the caller's other
# keywords; `why` ends the message.
function(_imagepackers_refuse_empty function keyword why args keywords)
  list(LENGTH args count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last})
    list(GET args ${i} value)
    if(value STREQUAL keyword)
      math(EXPR next "${i} + 1")
      set(missing TRUE)
      if(next LESS count)
        list(GET args ${next} following)
        if(NOT following STREQUAL "" AND NOT following IN_LIST keywords)
          set(missing FALSE)
        endif()
      endif()
      if(missing)
        message(FATAL_ERROR "${function}: ${keyword} is given without a value ${why}")
      endif()
    endif()
  endforeach()
endfunction()

# The custom command that runs `packer` with the remaining arguments and, with `verify`,
# imageInfo with the arguments in the list `verifyArguments` (empty: just `output`); it depends
# on the files and targets in the list `dependencies` and on the packer.
function(_imagepackers_add_command packer output verify verifyArguments dependencies extraVerify)
  # Every generator then finds OUTPUT's folder there, made by the build if it is new.
  get_filename_component(folder "${output}" DIRECTORY)
  set(commands COMMAND ${CMAKE_COMMAND} -E make_directory ${folder} COMMAND ImagePackers::${packer} ${ARGN})
  if(verify)
    if(NOT verifyArguments)
      set(verifyArguments "${output}")
    endif()
    list(APPEND commands COMMAND ImagePackers::imageInfo ${verifyArguments})
    # A signed image: its signature against the key's public half too.
    if(extraVerify)
      list(APPEND commands COMMAND ImagePackers::imageInfo ${extraVerify})
    endif()
  endif()
  add_custom_command(OUTPUT ${output}
                     ${commands}
                     DEPENDS ${dependencies} $<TARGET_FILE:ImagePackers::${packer}>
                     COMMENT "${packer}: ${output}"
                     VERBATIM)
endfunction()

# The command, and the default target that asks for its output.
function(_imagepackers_add_step target packer output verify verifyArguments dependencies extraVerify)
  _imagepackers_add_command(${packer} "${output}" "${verify}" "${verifyArguments}" "${dependencies}" "${extraVerify}"
                            ${ARGN})
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

# The signing arguments of a load image from the caller's arg_SIGNING_KEY and
# arg_SECURITY_COUNTER, in `packerVariable` (for packLoadable) and `verifyVariable` (for
# imageInfo), and the key file in `keyVariable` (a dependency); configure fails on a bad value.
function(_imagepackers_signing function packerVariable verifyVariable keyVariable)
  set(packer "")
  set(verify "")
  set(key "")
  if(DEFINED arg_SECURITY_COUNTER AND NOT DEFINED arg_SIGNING_KEY)
    message(FATAL_ERROR "${function}: SECURITY_COUNTER goes with SIGNING_KEY")
  endif()
  if(DEFINED arg_SIGNING_KEY)
    get_filename_component(key "${arg_SIGNING_KEY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND packer --sign "${key}")
    list(APPEND verify --key "${key}")
    if(DEFINED arg_SECURITY_COUNTER)
      _imagepackers_check_number(${function} SECURITY_COUNTER "a number")
      list(APPEND packer --security-counter "${arg_SECURITY_COUNTER}")
    endif()
  endif()
  set(${packerVariable} "${packer}" PARENT_SCOPE)
  set(${verifyVariable} "${verify}" PARENT_SCOPE)
  set(${keyVariable} "${key}" PARENT_SCOPE)
endfunction()

# The command of an image packed from ELF_ARGUMENT: the executable target of that name if one
# exists by now (the end of the directory that called), else the file, relative to `sourceDir`.
# A target's image is made again whenever it relinks, and VERIFY checks it against the ELF.
function(_imagepackers_add_elf_command elfArgument outputBase name verify depends sourceDir elfOptions strict signing
         signingVerify)
  if(TARGET "${elfArgument}")
    set(elf "$<TARGET_FILE:${elfArgument}>")
    set(dependencies "${elf};${elfArgument};${depends}")
  else()
    get_filename_component(elf "${elfArgument}" ABSOLUTE BASE_DIR "${sourceDir}")
    set(dependencies "${elf};${depends}")
  endif()
  set(verifyArguments --elf "${elf}" ${elfOptions} "${outputBase}.img")
  set(extraVerify "")
  if(signingVerify)
    set(extraVerify ${signingVerify} "${outputBase}.img")
  endif()
  _imagepackers_add_command(packLoadable "${outputBase}.img" "${verify}" "${verifyArguments}" "${dependencies}"
                            "${extraVerify}" ${strict} ${signing} --elf ${elfOptions} "${elf}" "${outputBase}" "${name}")
endfunction()

function(imagepackers_add_load_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY;LENIENT"
                        "ELF;SOURCE;OUTPUT;NAME;LOAD_ADDRESS;EXEC_ADDRESS;MAX_GAP;SIGNING_KEY;SECURITY_COUNTER"
                        "DEPENDS;REMOVE_SECTIONS")
  set(strict --strict)
  if(arg_LENIENT)
    set(strict "")
  endif()
  string(LENGTH "${arg_NAME}" nameBytes)
  if(nameBytes GREATER 16)
    message(WARNING "imagepackers_add_load_image: NAME \"${arg_NAME}\" is ${nameBytes} bytes; the header keeps its first 16")
  endif()
  get_filename_component(outputBase "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(keywords "ELF;SOURCE;OUTPUT;NAME;LOAD_ADDRESS;EXEC_ADDRESS;MAX_GAP;REMOVE_SECTIONS;DEPENDS;VERIFY;LENIENT")
  list(APPEND keywords SIGNING_KEY SECURITY_COUNTER)
  _imagepackers_refuse_empty(imagepackers_add_load_image ELF "(an unset variable?)" "${ARGV}" "${keywords}")
  # An unset variable must not quietly mean an unsigned image.
  foreach(keyword IN ITEMS SIGNING_KEY SECURITY_COUNTER)
    _imagepackers_refuse_empty(imagepackers_add_load_image ${keyword} "(an unset variable?)" "${ARGV}" "${keywords}")
  endforeach()
  _imagepackers_signing(imagepackers_add_load_image signing signingVerify signingKey)
  if(signingVerify)
    list(APPEND signingVerify "${outputBase}.img")
  endif()
  if(DEFINED arg_ELF)
    _imagepackers_check_arguments(imagepackers_add_load_image REQUIRED ELF OUTPUT NAME UNPARSED ${arg_UNPARSED_ARGUMENTS})
    foreach(keyword IN ITEMS SOURCE LOAD_ADDRESS)
      if(DEFINED arg_${keyword})
        message(FATAL_ERROR "imagepackers_add_load_image: ${keyword} does not go with ELF, which gives the payload and "
                            "the load address")
      endif()
    endforeach()
    # An unset variable must not quietly mean the entry point, or no limit change.
    foreach(keyword IN ITEMS EXEC_ADDRESS MAX_GAP REMOVE_SECTIONS)
      _imagepackers_refuse_empty(imagepackers_add_load_image ${keyword} "(an unset variable?)" "${ARGV}" "${keywords}")
    endforeach()
    set(elfOptions "")
    if(DEFINED arg_EXEC_ADDRESS)
      _imagepackers_check_hex(imagepackers_add_load_image EXEC_ADDRESS)
      list(APPEND elfOptions --exec "${arg_EXEC_ADDRESS}")
    endif()
    if(DEFINED arg_MAX_GAP)
      _imagepackers_check_number(imagepackers_add_load_image MAX_GAP "a number of bytes")
      list(APPEND elfOptions --max-gap "${arg_MAX_GAP}")
    endif()
    foreach(section IN LISTS arg_REMOVE_SECTIONS)
      list(APPEND elfOptions --remove-section "${section}")
    endforeach()
    # Target or file is decided at the end of this directory, so that a call made before the
    # executable's add_executable() still packs the executable (and not a stale file of its
    # name): an existing target wins. The default target exists from now on.
    add_custom_target(${target} ALL DEPENDS "${outputBase}.img")
    set(signingVerifyKey "")
    if(signingKey)
      set(signingVerifyKey --key "${signingKey}")
    endif()
    cmake_language(EVAL CODE "cmake_language(DEFER CALL _imagepackers_add_elf_command [==[${arg_ELF}]==] \
                              [==[${outputBase}]==] [==[${arg_NAME}]==] [==[${arg_VERIFY}]==] \
                              [==[${arg_DEPENDS};${signingKey}]==] [==[${CMAKE_CURRENT_SOURCE_DIR}]==] \
                              [==[${elfOptions}]==] [==[${strict}]==] [==[${signing}]==] [==[${signingVerifyKey}]==])")
    return()
  endif()
  foreach(keyword IN ITEMS MAX_GAP REMOVE_SECTIONS)
    if(DEFINED arg_${keyword})
      message(FATAL_ERROR "imagepackers_add_load_image: ${keyword} goes with ELF only")
    endif()
  endforeach()
  _imagepackers_check_arguments(imagepackers_add_load_image REQUIRED SOURCE OUTPUT NAME LOAD_ADDRESS EXEC_ADDRESS
                                UNPARSED ${arg_UNPARSED_ARGUMENTS})
  _imagepackers_check_hex(imagepackers_add_load_image LOAD_ADDRESS)
  _imagepackers_check_hex(imagepackers_add_load_image EXEC_ADDRESS)
  get_filename_component(source "${arg_SOURCE}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  _imagepackers_add_step(${target} packLoadable "${outputBase}.img" "${arg_VERIFY}" "" "${source};${arg_DEPENDS};${signingKey}"
                         "${signingVerify}" ${strict} ${signing} "${source}" "${outputBase}" "${arg_NAME}"
                         "${arg_LOAD_ADDRESS}" "${arg_EXEC_ADDRESS}")
endfunction()

function(imagepackers_add_stamped_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY;LENIENT" "INPUT;OUTPUT;IMAGE_ID" "DEPENDS")
  set(strict --strict)
  if(arg_LENIENT)
    set(strict "")
  endif()
  _imagepackers_check_arguments(imagepackers_add_stamped_image REQUIRED INPUT OUTPUT
                                UNPARSED ${arg_UNPARSED_ARGUMENTS})
  get_filename_component(input "${arg_INPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  # IMAGE_ID "" or IMAGE_ID ${UNSET} must not mean the default.
  _imagepackers_refuse_empty(imagepackers_add_stamped_image IMAGE_ID "(leave it out for the default)" "${ARGV}"
                             "INPUT;OUTPUT;DEPENDS;VERIFY;LENIENT")
  set(imageId "")
  if(DEFINED arg_IMAGE_ID)
    _imagepackers_check_hex(imagepackers_add_stamped_image IMAGE_ID)
    set(imageId "${arg_IMAGE_ID}")
  endif()
  _imagepackers_add_step(${target} stampPack "${output}" "${arg_VERIFY}" "" "${input};${arg_DEPENDS}" "" ${strict}
                         "${input}" "${output}" ${imageId})
endfunction()

function(imagepackers_add_key_header target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "KEY;OUTPUT" "")
  _imagepackers_check_arguments(imagepackers_add_key_header REQUIRED KEY OUTPUT UNPARSED ${arg_UNPARSED_ARGUMENTS})
  get_filename_component(key "${arg_KEY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(folder "${output}" DIRECTORY)
  # Through a file beside OUTPUT, renamed into place: a failed run leaves no header that looks
  # finished.
  add_custom_command(OUTPUT ${output}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
                     COMMAND ImagePackers::imageInfo --key-as-c ${key} > ${output}.new
                     COMMAND ${CMAKE_COMMAND} -E rename ${output}.new ${output}
                     DEPENDS ${key} $<TARGET_FILE:ImagePackers::imageInfo>
                     COMMENT "imageInfo --key-as-c: ${output}"
                     VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()
