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
  # What the package holds besides kavrelt's own code: nothing whose licence
  # asks for a notice here.
  set(comment [[
The package holds kavrelt's own code only. /usr/bin/kavrelt is linked
dynamically with the GNU C library and with GCC's libstdc++ and libgcc_s,
which come in their own packages (libc6, libstdc++6, libgcc-s1) with their
own copyright files. Besides, it holds only the startup code and support
routines that GCC and the GNU C library link into every program they build,
under licences that set no condition on the program (the GCC Runtime
Library Exception; the GNU C library's permission to link those files with
any program).
.
The Windows build, kavrelt.exe, is not part of this package. It is linked
statically with the MinGW-w64 runtime, winpthreads and GCC's runtime
libraries, and their notices travel with it in its zip, as
THIRD-PARTY-NOTICES.txt.]])
  string(REPLACE "\n" "\n " comment "${comment}")
  file(WRITE ${output}
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: kavrelt\n"
    "Comment: ${comment}\n\n"
    "Files: *\nCopyright: ${holder}\nLicense: Expat\n ${terms}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${license})
endfunction()

# Third-party notices for the Windows build, written to OUTPUT: kavrelt.exe is
# linked statically with the MinGW-w64 runtime, winpthreads and GCC's runtime
# libraries, whose notices must travel with it. Each licence text is taken
# from the copyright file of the Debian package that installs the library
# (DOC_DIR/PACKAGE/copyright), so that it is the one of the library linked.
# Without those files (not a Debian system) the notices cannot be written, and
# installing, hence packaging, fails rather than ship a zip without them.
function(write_third_party_notices doc_dir output)
  set(runtime_package mingw-w64-x86-64-dev)
  set(gcc_packages gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix)
  set(runtime_copyright ${doc_dir}/${runtime_package}/copyright)
  list(GET gcc_packages 0 gcc_package)
  set(gcc_copyright ${doc_dir}/${gcc_package}/copyright)
  if(NOT EXISTS ${runtime_copyright} OR NOT EXISTS ${gcc_copyright})
    file(REMOVE ${output})
    message(WARNING "No ${runtime_copyright} or ${gcc_copyright}: the notices for kavrelt.exe "
                    "cannot be written, and installing it fails.")
    install(CODE "message(FATAL_ERROR \"no third-party notices: ${runtime_copyright} or ${gcc_copyright} is missing\")")
    return()
  endif()
  # The versions the build links, where dpkg says so.
  set(versions)
  foreach(package ${runtime_package} ${gcc_packages})
    execute_process(COMMAND dpkg-query -W "-f=\${Package} \${Version}" ${package}
                    OUTPUT_VARIABLE version ERROR_QUIET RESULT_VARIABLE failed)
    if(failed)
      set(version ${package})
    endif()
    list(APPEND versions "${version}")
  endforeach()
  list(JOIN versions "\n  " versions)

  file(READ ${runtime_copyright} runtime_text)
  # Of GCC's long copyright file, the part that applies: the runtime
  # libraries' licence is the GPL with the GCC Runtime Library Exception,
  # whose text is quoted whole.
  file(READ ${gcc_copyright} gcc_text)
  string(FIND "${gcc_text}" "GCC RUNTIME LIBRARY EXCEPTION" start)
  set(last_words "requirements of the license of GCC.")
  string(FIND "${gcc_text}" "${last_words}" end)
  if(start LESS 0 OR end LESS start)
    message(FATAL_ERROR "${gcc_copyright} holds no GCC Runtime Library Exception")
  endif()
  string(LENGTH "${last_words}" length)
  math(EXPR length "${end} + ${length} - ${start}")
  string(SUBSTRING "${gcc_text}" ${start} ${length} exception_text)

  file(WRITE ${output} [[
Third-party notices for kavrelt.exe
===================================

kavrelt.exe holds kavrelt's own code, under the MIT license in LICENSE.txt,
linked statically with parts of the following libraries. Their notices
follow, each taken from the copyright file of the Debian package that
installed the library for the build.

1. The MinGW-w64 runtime (mingw-w64-crt: the startup code, libmingw32,
   libmingwex and the import libraries of the Windows DLLs) and
   winpthreads, MinGW-w64's POSIX threads library, from the Debian package
   mingw-w64-x86-64-dev. Its copyright file follows whole; the runtime is
   under the ZPL-2.1 and the licences of its "Files:" sections, winpthreads
   under the "expat" (MIT) licence and, for pthread.h, BSD-3-clause-Lockless.
   Sections for parts that kavrelt.exe does not contain (headers, tools)
   are kept as they are.

2. GCC's runtime libraries libgcc and libstdc++, from the Debian packages
   gcc-mingw-w64-x86-64-posix and g++-mingw-w64-x86-64-posix. They are under
   the GNU General Public License, version 3 or later, with version 3.1 of
   the GCC Runtime Library Exception, which allows a program compiled with
   GCC to be conveyed on its own terms. The Exception's text follows, from
   those packages' copyright file.

]]
    "The packages of this build, with their versions:\n  ${versions}\n"
    "\n\n1. The copyright file of ${runtime_package}\n"
    "----------------------------------------------\n\n"
    "${runtime_text}"
    "\n\n2. The GCC Runtime Library Exception, from the copyright file of ${gcc_package}\n"
    "------------------------------------------------------------------------------\n\n"
    "${exception_text}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${runtime_copyright} ${gcc_copyright})
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
  # One folder with kavrelt.exe and the three texts, which get CR LF line ends
  # so that every Windows editor shows them right.
  install(TARGETS kavrelt RUNTIME DESTINATION .)
  install_with_crlf(${PROJECT_SOURCE_DIR}/README.md README.txt)
  install_with_crlf(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt)
  set(KAVRELT_DEBIAN_DOC_DIR /usr/share/doc CACHE PATH
      "Where the Debian packages of the MinGW-w64 toolchain keep their copyright files")
  write_third_party_notices(${KAVRELT_DEBIAN_DOC_DIR} ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES)
  if(EXISTS ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES)
    install_with_crlf(${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES THIRD-PARTY-NOTICES.txt)
  endif()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kavrelt-${CPACK_PACKAGE_VERSION}-win64)
  # Entries in name order, whatever the file system (see the script).
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/zip-in-name-order.cmake)
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
