# Install rules and packages. `cmake --install` puts kvup, kvup-sim and the bundle packer, as
# kvup-pack, in bin/, their man pages in share/man/man1, their bash completion in
# share/bash-completion/completions and the docs in share/doc/kvup; `cpack` makes
# kvup_VERSION_ARCH.deb from that. The Windows build installs and zips kvup.exe with a Windows
# quick start, the licence and the bundle format as plain text. Tests, benchmarks, fuzzers and
# kvup-measure are never installed.

include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME kvup)
set(CPACK_PACKAGE_VENDOR "The kvup developers")
set(CPACK_PACKAGE_CONTACT "The kvup developers <kvup@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Kelvane controllers and readers")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "kvup updates the firmware of a Kelvane controller connected over USB\n"
    "(a serial port), or of the controllers and readers it reaches over its\n"
    "CAN bus: one device, or a whole class of them one after another. It\n"
    "checks the whole firmware bundle before it touches a device and sends\n"
    "the image that matches each device's hardware variant and inactive\n"
    "flash bank.\n"
    "\n"
    "The package also holds kvup-sim, a simulated controller with CAN peers\n"
    "on a pseudo-terminal for trying updates and fault cases without\n"
    "hardware, and kvup-pack, which builds and checks firmware bundles.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# What a package holds is what `cmake --install` puts there, minus the symbol tables.
set(CPACK_STRIP_FILES ON)
# `cpack --config CPackSourceConfig.cmake` packs the tracked sources, not the builds.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/out/" "/\\\\.git" "__pycache__")

# A text file as a Windows user reads it: CRLF line ends, a .txt name. Written only when it
# changes, so a new configure does not make the zip look out of date.
function(kvup_install_text_file source destination name)
    file(READ ${source} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    set(out ${PROJECT_BINARY_DIR}/package-text/${destination}/${name})
    file(WRITE ${out}.new "${text}")
    file(COPY_FILE ${out}.new ${out} ONLY_IF_DIFFERENT)
    file(REMOVE ${out}.new)
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    install(FILES ${out} DESTINATION ${destination})
endfunction()

file(GLOB KVUP_DOC_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)

# The zip is for people who run kvup.exe, not for those who build it: a Windows quick start in
# place of the README (which is about building and testing on Linux), the licence and the bundle
# format; the developer documents stay in the source tree.
if(WIN32)
    install(TARGETS kvup RUNTIME DESTINATION .)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/README.txt
                   ${PROJECT_BINARY_DIR}/windows/README.txt @ONLY)
    kvup_install_text_file(${PROJECT_BINARY_DIR}/windows/README.txt . README.txt)
    kvup_install_text_file(${PROJECT_SOURCE_DIR}/LICENSE . LICENSE.txt)
    kvup_install_text_file(${PROJECT_SOURCE_DIR}/docs/bundle-format.md docs bundle-format.txt)

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME kvup-${PROJECT_VERSION}-windows-x86_64)
    include(CPack)
    return()
endif()

install(TARGETS kvup RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(KVUP_MAN_PAGES kvup kvup-pack)
if(TARGET kvup-sim)
    install(TARGETS kvup-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND KVUP_MAN_PAGES kvup-sim)
endif()
# In the source tree the packer is scripts/pack_bundle, the name kvup's usage text gives; in a
# shared bin/ that name could clash with another package's. It names itself as started. The
# installed copy has the project's version filled in (the source tree's reads CMakeLists.txt).
configure_file(${PROJECT_SOURCE_DIR}/scripts/pack_bundle ${PROJECT_BINARY_DIR}/kvup-pack @ONLY)
install(PROGRAMS ${PROJECT_BINARY_DIR}/kvup-pack DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cpack, cmake --install --strip) also drops the .comment and .note sections,
# as Debian's dh_strip does: the compiler's and crt files' ident strings, which no one runs.
if(CMAKE_STRIP AND CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    set(KVUP_STRIPPED_PROGRAMS $<TARGET_FILE_NAME:kvup>)
    if(TARGET kvup-sim)
        list(APPEND KVUP_STRIPPED_PROGRAMS $<TARGET_FILE_NAME:kvup-sim>)
    endif()
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            foreach(program ${KVUP_STRIPPED_PROGRAMS})
                execute_process(
                    COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                    COMMAND_ERROR_IS_FATAL ANY)
            endforeach()
        endif()")
endif()

# Man pages carry the project's version; compressed with gzip -n (no name, no time stamp), as
# Debian wants them, when gzip is there.
find_program(KVUP_GZIP gzip)
foreach(page ${KVUP_MAN_PAGES})
    set(man ${PROJECT_BINARY_DIR}/man/${page}.1)
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1 ${man} @ONLY)
    if(KVUP_GZIP)
        execute_process(COMMAND ${KVUP_GZIP} -9nc ${man} OUTPUT_FILE ${man}.gz
                        COMMAND_ERROR_IS_FATAL ANY)
        set(man ${man}.gz)
    endif()
    install(FILES ${man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${KVUP_DOC_PAGES}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# bash completion, one file under each command's name: bash-completion loads a command's
# completion from its completions directory by the command's name, the first time it is
# completed. That directory is bash-completion's own (pkg-config) taken relative to its prefix,
# so that the .deb and an install under another prefix put the files where bash-completion
# looks for that prefix (XDG_DATA_DIRS).
set(KVUP_BASH_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
    pkg_get_variable(KVUP_BASH_COMPLETION_PREFIX bash-completion prefix)
    pkg_get_variable(KVUP_BASH_COMPLETION_SYSTEM_DIR bash-completion completionsdir)
    if(KVUP_BASH_COMPLETION_PREFIX AND KVUP_BASH_COMPLETION_SYSTEM_DIR)
        cmake_path(IS_PREFIX KVUP_BASH_COMPLETION_PREFIX ${KVUP_BASH_COMPLETION_SYSTEM_DIR}
                   NORMALIZE under_prefix)
        if(under_prefix)
            cmake_path(RELATIVE_PATH KVUP_BASH_COMPLETION_SYSTEM_DIR
                       BASE_DIRECTORY ${KVUP_BASH_COMPLETION_PREFIX}
                       OUTPUT_VARIABLE KVUP_BASH_COMPLETION_DIR)
        endif()
    endif()
endif()
set(KVUP_COMPLETED_COMMANDS kvup kvup-pack)
if(TARGET kvup-sim)
    list(APPEND KVUP_COMPLETED_COMMANDS kvup-sim)
endif()
foreach(command ${KVUP_COMPLETED_COMMANDS})
    install(FILES ${PROJECT_SOURCE_DIR}/completion/kvup DESTINATION ${KVUP_BASH_COMPLETION_DIR}
            RENAME ${command})
endforeach()

# What Debian wants in every package's doc directory, for the .deb only: the licence as
# /usr/share/doc/kvup/copyright and the changelog, compressed. The component is left out of a
# plain `cmake --install` and named in CPACK_COMPONENTS_ALL below.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog KVUP_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT KVUP_CHANGELOG_HEAD MATCHES "^kvup \\(${PROJECT_VERSION}\\) ")
    message(WARNING "cmake/debian/changelog does not begin with an entry for kvup "
                    "${PROJECT_VERSION}; the .deb would carry a stale changelog")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
if(KVUP_GZIP)
    set(changelog ${PROJECT_BINARY_DIR}/debian/changelog.gz)
    file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
    execute_process(COMMAND ${KVUP_GZIP} -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
                    OUTPUT_FILE ${changelog} COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
    install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian
            EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB)
# One package of every component: the default one and the Debian doc files.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps finds the libraries kvup and kvup-sim link; kvup-pack needs Python 3.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
