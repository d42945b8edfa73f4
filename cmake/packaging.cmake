# What `cmake --install` puts where, and the packages CPack makes of it
# (scripts/package): a Debian package of the native build, whose files are
# exactly those of an install with prefix /usr, and a zip of the Windows build.
include(GNUInstallDirs)

# Installs the text file SOURCE as NAME with CR LF line ends.
function(install_with_crlf source name)
  file(READ ${source} content)
  string(REPLACE "\r\n" "\n" content "${content}")
  string(REPLACE "\n" "\r\n" content "${content}")
  file(WRITE ${PROJECT_BINARY_DIR}/${name} "${content}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  install(FILES ${PROJECT_BINARY_DIR}/${name} DESTINATION .)
endfunction()

# Writes Debian's machine-readable copyright file for the MIT license text in
# LICENSE, so that the two never differ.
function(write_debian_copyright license output)
  file(READ ${license} text)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" unused "${text}")
  set(holder "${CMAKE_MATCH_1}")
  string(FIND "${text}" "Permission is hereby granted" start)
  string(SUBSTRING "${text}" ${start} -1 terms)
  string(STRIP "${terms}" terms)
  # Paragraphs of a license field: lines indented by one space, "." for a blank line.
  string(REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REPLACE "\n" "\n " terms "${terms}")
  file(WRITE ${output}
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: kavrelt\n\n"
    "Files: *\nCopyright: ${holder}\nLicense: Expat\n ${terms}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${license})
endfunction()

set(CPACK_PACKAGE_NAME kavrelt)
set(CPACK_PACKAGE_VENDOR "the kavrelt developers")
# The project's version is 2.0; package versions name all three parts.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert a directory tree copied from a distribution disc")
set(CPACK_PACKAGE_DESCRIPTION [[
kavrelt converts a directory tree copied from an ORVANTE distribution disc in
place. It restores the .gz suffix that was stripped from gzip-compressed .hlp
and .tar files, decompresses every gzip file with its own Deflate decoder,
gives each output the modification time recorded in its gzip header and
deletes the compressed file once its output is complete. When the whole tree
is done, it writes the marker file filesok.orv into the top directory.]])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # One folder with kavrelt.exe and the two texts, which get CR LF line ends
  # so that every Windows editor shows them right.
  install(TARGETS kavrelt RUNTIME DESTINATION .)
  install_with_crlf(${PROJECT_SOURCE_DIR}/README.md README.txt)
  install_with_crlf(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kavrelt-${CPACK_PACKAGE_VERSION}-win64)
else()
  install(TARGETS kavrelt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The manual page and the changelog go in compressed, as Debian's tools
  # would install them.
  foreach(text kavrelt.1 changelog)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${text}.gz
      COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/doc/${text} -DOUTPUT=${PROJECT_BINARY_DIR}/${text}.gz
              -P ${PROJECT_SOURCE_DIR}/cmake/gzip-for-debian.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/doc/${text} ${PROJECT_SOURCE_DIR}/cmake/gzip-for-debian.cmake)
  endforeach()
  add_custom_target(kavrelt_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/kavrelt.1.gz ${PROJECT_BINARY_DIR}/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/kavrelt.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  write_debian_copyright(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/copyright)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the kavrelt developers <kavrelt@example.org>")
  # Depends: as dpkg-shlibdeps finds them in the binary (libc6, libstdc++6, ...).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
