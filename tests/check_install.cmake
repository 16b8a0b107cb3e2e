# Installs the build into a fresh prefix and checks what a user gets:
# bin/pcmtaper that runs, and share/man/man1/pcmtaper.1 that groff renders
# without a warning and that lists every exit message of the README's table.
#
# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DPREFIX=... -P check_install.cmake
# Optional: -DPROGRAM_NAME=pcmtaper.exe (a Windows build), -DEMULATOR=<command
# list> that runs a cross-built program.
# Prints "SKIPPED: ..." (a CTest skip) when groff is not installed.
foreach(var BUILD_DIR SOURCE_DIR PREFIX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_install.cmake needs -D${var}=...")
  endif()
endforeach()

find_program(GROFF groff)
if(NOT GROFF)
  message("SKIPPED: groff is not installed (apt-get install groff)")
  return()
endif()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE install_result OUTPUT_QUIET)
if(NOT install_result EQUAL 0)
  message(FATAL_ERROR "cmake --install into ${PREFIX} failed: ${install_result}")
endif()

if(NOT PROGRAM_NAME)
  set(PROGRAM_NAME pcmtaper)
endif()
set(program "${PREFIX}/bin/${PROGRAM_NAME}")
set(manual "${PREFIX}/share/man/man1/pcmtaper.1")
foreach(installed "${program}" "${manual}")
  if(NOT EXISTS "${installed}")
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# The installed program is the converter: without arguments it prints its usage.
execute_process(COMMAND ${EMULATOR} "${program}" RESULT_VARIABLE run_result OUTPUT_VARIABLE banner)
if(NOT run_result EQUAL 0 OR NOT banner MATCHES "usage:  pcmtaper input.wav \\[output.wav\\]")
  message(FATAL_ERROR "installed pcmtaper without arguments: exit ${run_result}, printed:\n${banner}")
endif()

execute_process(COMMAND "${GROFF}" -man -Tutf8 -ww "${manual}"
                RESULT_VARIABLE groff_result OUTPUT_QUIET ERROR_VARIABLE groff_warnings)
if(NOT groff_result EQUAL 0 OR NOT groff_warnings STREQUAL "")
  message(FATAL_ERROR "groff -man -Tutf8 -ww ${manual}: exit ${groff_result}\n${groff_warnings}")
endif()

# Every message in the README's exit-code table appears, word for word, in the
# manual. Semicolons (in some messages) would split CMake lists: both texts
# carry them as "<semicolon>".
file(READ "${manual}" manual_text)
string(REPLACE ";" "<semicolon>" manual_text "${manual_text}")
string(REPLACE "\\-" "-" manual_text "${manual_text}")  # the manual's escaped hyphens
file(READ "${SOURCE_DIR}/README.md" readme_text)
string(REPLACE ";" "<semicolon>" readme_text "${readme_text}")
string(REGEX MATCHALL "\n\\| [0-9]+ \\|[^\n]*" exit_rows "${readme_text}")
list(LENGTH exit_rows row_count)
if(row_count LESS 11)
  message(FATAL_ERROR "README.md: found ${row_count} rows of the exit-code table, expected at least 11")
endif()
foreach(row IN LISTS exit_rows)
  string(REGEX MATCH "^\n\\| ([0-9]+) \\|" code "${row}")
  set(code "${CMAKE_MATCH_1}")
  if(NOT manual_text MATCHES "\n\\.B ${code}\n")
    message(FATAL_ERROR "the manual's EXIT STATUS has no entry for code ${code}")
  endif()
  # The messages are in the last column.
  string(REGEX MATCH "\\|[^|]*\\|[ ]*$" message_column "${row}")
  string(REGEX MATCHALL "`[^`]+`" messages "${message_column}")
  foreach(quoted IN LISTS messages)
    string(REGEX REPLACE "^`(.*)`$" "\\1" message_text "${quoted}")
    string(FIND "${manual_text}" "${message_text}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "exit code ${code}: the manual lacks the message '${message_text}'")
    endif()
  endforeach()
endforeach()
message("installed ${program} and ${manual}; the manual renders cleanly and has all ${row_count} exit codes")
