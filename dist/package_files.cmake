# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged tree of the Debian
# package: adds its copyright file and changelog, and gzips the man pages.
file(GLOB_RECURSE staged_docs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/veritor/README.md")
if(NOT staged_docs)
  message(FATAL_ERROR "no share/doc/veritor under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
list(GET staged_docs 0 readme)
get_filename_component(docdir "${readme}" DIRECTORY)
get_filename_component(share "${docdir}/../.." ABSOLUTE)
file(COPY "${CPACK_VERITOR_DIST_DIR}/copyright" DESTINATION "${docdir}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
execute_process(COMMAND gzip -9nc "${CPACK_VERITOR_DIST_DIR}/changelog"
                OUTPUT_FILE "${docdir}/changelog.Debian.gz" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed")
endif()
file(GLOB pages "${share}/man/man1/*.1")
foreach(page ${pages})
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed")
  endif()
endforeach()
