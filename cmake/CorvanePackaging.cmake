# cpack -G DEB: everything cmake --install puts in place, as one Debian
# package named corvane. dpkg-shlibdeps works out the libraries it needs
# (the OpenMP runtime, MPI where corvane-mpi is built).
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
    "Markdown or SVG.")
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
set(CPACK_GENERATOR DEB)
include(CPack)
