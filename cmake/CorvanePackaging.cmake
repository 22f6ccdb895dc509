# cpack -G DEB: everything cmake --install puts in place, as one Debian
# package named corvane. dpkg-shlibdeps works out the libraries it needs
# (the OpenMP runtime, MPI where corvane-mpi is built).
# cpack -G ZIP in a Windows build: the same tree as corvane-<version>-win64.zip
# (win32 for the 32-bit build). The programs are linked statically, the C++
# and OpenMP runtimes included, so they need only Windows' own DLLs.
set(CORVANE_PACKAGE_MAINTAINER "Corvane maintainers <corvane@localhost>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${CORVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Five programs compute pi by the midpoint rule on a billion intervals,"
    "serially, with SIMD and with OpenMP, each printing the value and the time"
    "it took. corvane-bench runs them on several team sizes, validates every"
    "run, and reports statistics, speedup and efficiency as tables, JSON, CSV,"
    "Markdown, SVG or an HTML page, and compares results as a regression gate.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# --plot draws with gnuplot; corvane-mpi is started by its MPI's launcher.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS gnuplot-nox)
if(TARGET corvane-mpi)
    get_filename_component(launcher "${MPIEXEC_EXECUTABLE}" REALPATH)
    if(launcher MATCHES "mpich")
        set(CPACK_DEBIAN_PACKAGE_RECOMMENDS mpich)
    else()
        set(CPACK_DEBIAN_PACKAGE_RECOMMENDS openmpi-bin)
    endif()
endif()
if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(CPACK_SYSTEM_NAME win64)
    else()
        set(CPACK_SYSTEM_NAME win32)
    endif()
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
endif()
include(CPack)

# The package's copyright file, in Debian's machine-readable format, with the
# licence text from LICENSE: each line indented by one space, an empty line
# written as " .".
set(CORVANE_COPYRIGHT_HOLDER "The Corvane authors"
    CACHE STRING "The Copyright field of the Debian package's copyright file")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/LICENSE")
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" licence)
string(REGEX REPLACE "[ \t]+\n" "\n" licence "${licence}")
string(STRIP "${licence}" licence)
string(REPLACE "\n" "\n " licence " ${licence}")
string(REPLACE "\n \n" "\n .\n" licence "${licence}")
string(REPLACE "\n \n" "\n .\n" licence "${licence}")  # the second of two empty lines
file(WRITE "${PROJECT_BINARY_DIR}/copyright"
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: ${PROJECT_NAME}\n\n"
    "Files: *\n"
    "Copyright: ${CORVANE_COPYRIGHT_HOLDER}\n"
    "License: Apache-2.0\n"
    "${licence}\n")
install(FILES "${PROJECT_BINARY_DIR}/copyright" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
