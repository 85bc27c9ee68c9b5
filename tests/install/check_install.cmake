# cmake -DBUILD_DIR=... -DCONSOLE=ON|OFF -DBINDIR=... -DDATADIR=... -DMANDIR=... -DVERSION=... -P check_install.cmake
string(RANDOM LENGTH 8 suffix)
set(prefix "${BUILD_DIR}/install-test-${suffix}")
file(REMOVE_RECURSE "${prefix}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()

set(expected
  ${BINDIR}/veritor-cli
  ${BINDIR}/veritor-sim
  ${MANDIR}/man1/veritor-cli.1
  ${MANDIR}/man1/veritor-sim.1
  ${DATADIR}/bash-completion/completions/veritor-cli
  ${DATADIR}/doc/veritor/README.md
  ${DATADIR}/doc/veritor/LICENSE)
if(CONSOLE)
  list(APPEND expected
    ${BINDIR}/veritor
    ${MANDIR}/man1/veritor.1
    ${DATADIR}/applications/veritor.desktop
    ${DATADIR}/icons/hicolor/scalable/apps/veritor.svg)
endif()
file(GLOB_RECURSE installed RELATIVE "${prefix}" "${prefix}/*")
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()

# The programs run from the prefix and know their version; the man pages carry it.
foreach(program veritor-cli veritor-sim)
  execute_process(COMMAND "${prefix}/${BINDIR}/${program}" --version RESULT_VARIABLE status OUTPUT_VARIABLE out)
  if(NOT status EQUAL 0 OR NOT out STREQUAL "${program} ${VERSION}\n")
    message(FATAL_ERROR "${program} --version from the prefix gave ${status}: ${out}")
  endif()
  file(READ "${prefix}/${MANDIR}/man1/${program}.1" page)
  if(NOT page MATCHES "^\\.TH [A-Z-]+ 1 \"20[0-9][0-9]-[01][0-9]-[0-3][0-9]\" \"Veritor ${VERSION}\"")
    message(FATAL_ERROR "${program}.1 has no proper title line")
  endif()
endforeach()
if(CONSOLE)
  file(READ "${prefix}/${DATADIR}/applications/veritor.desktop" entry)
  foreach(line "Exec=veritor" "Icon=veritor" "Type=Application")
    string(FIND "${entry}" "\n${line}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "veritor.desktop lacks ${line}")
    endif()
  endforeach()
endif()
file(READ "${prefix}/${DATADIR}/bash-completion/completions/veritor-cli" completion)
if(NOT completion MATCHES "complete -F _veritor_cli veritor-cli")
  message(FATAL_ERROR "the bash completion does not complete veritor-cli")
endif()
# Completing "--li" and the values of --answer, with the completion as bash loads it.
find_program(BASH bash)
if(BASH)
  set(script [=[
    source "$1"
    COMP_WORDS=(veritor-cli --li); COMP_CWORD=1; _veritor_cli; echo "${COMPREPLY[*]}"
    COMP_WORDS=(veritor-cli --answer ""); COMP_CWORD=2; _veritor_cli; echo "${COMPREPLY[*]}"
    COMP_WORDS=(veritor-cli -- --li); COMP_CWORD=2; COMPREPLY=(); _veritor_cli; echo "[${COMPREPLY[*]}]"
  ]=])
  execute_process(COMMAND ${BASH} -c "${script}" completion
                          "${prefix}/${DATADIR}/bash-completion/completions/veritor-cli"
                  OUTPUT_VARIABLE completed RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT completed STREQUAL "--link --list-ports\nyes no\n[]\n")
    message(FATAL_ERROR "bash completion gave (${status}):\n${completed}")
  endif()
endif()
file(REMOVE_RECURSE "${prefix}")
message(STATUS "installed as expected: ${installed}")
