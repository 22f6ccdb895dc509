# What every program records about its own build, as data inside its
# executable: corvane-bench reads it from the file it is about to run, since
# the programs read no arguments and print nothing more. The commit comes
# from build_info.hpp, written at every build, so a record never names an
# older one.
#
# Included after the programs, OpenMP and MPI are known.

string(TOUPPER "${CMAKE_BUILD_TYPE}" corvane_build_type_upper)
get_target_property(corvane_fp_options corvane_fp INTERFACE_COMPILE_OPTIONS)
string(JOIN " " corvane_build_flags
    ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${corvane_build_type_upper}} ${corvane_fp_options})
set(corvane_compiler "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
# What the programs are built for: the cross compiler's target, else the
# library architecture (x86_64-linux-gnu), else the processor and system.
if(CMAKE_CXX_COMPILER_TARGET)
    set(corvane_target "${CMAKE_CXX_COMPILER_TARGET}")
elseif(CMAKE_LIBRARY_ARCHITECTURE)
    set(corvane_target "${CMAKE_LIBRARY_ARCHITECTURE}")
else()
    string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}-${CMAKE_SYSTEM_NAME}" corvane_target)
endif()
set(corvane_openmp_runtime "none")
if(OpenMP_CXX_FOUND)
    list(GET OpenMP_CXX_LIB_NAMES 0 corvane_openmp_library)
    set(corvane_openmp_runtime "lib${corvane_openmp_library} (OpenMP ${OpenMP_CXX_VERSION})")
endif()
# The launcher that belongs to the MPI library corvane-mpi is linked with.
set(corvane_mpiexec "")
if(TARGET corvane-mpi)
    set(corvane_mpiexec "${MPIEXEC_EXECUTABLE}")
endif()

set(corvane_generated_dir "${PROJECT_BINARY_DIR}/generated")
add_custom_target(corvane_build_info
    COMMAND "${CMAKE_COMMAND}"
        "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}" "-DOUTPUT=${corvane_generated_dir}/build_info.hpp"
        "-DVERSION=${PROJECT_VERSION}" "-DCOMPILER=${corvane_compiler}"
        "-DFLAGS=${corvane_build_flags}" "-DBUILD_TYPE=${CMAKE_BUILD_TYPE}"
        "-DOPENMP=${corvane_openmp_runtime}" "-DMPIEXEC=${corvane_mpiexec}"
        -P "${PROJECT_SOURCE_DIR}/cmake/CorvaneBuildInfo.cmake"
    BYPRODUCTS "${corvane_generated_dir}/build_info.hpp" VERBATIM
    COMMENT "Recording the commit the programs and corvane-bench are built from")

# A value inside a C string literal.
function(corvane_c_string out value)
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

# corvane_add_build_record(TARGET [OPENMP] [MPI]): TARGET carries its build
# record; OPENMP and MPI name the runtime and library it links.
function(corvane_add_build_record target)
    cmake_parse_arguments(PARSE_ARGV 1 uses "OPENMP;MPI" "" "")
    set(openmp "none")
    if(uses_OPENMP)
        set(openmp "${corvane_openmp_runtime}")
    endif()
    set(mpi "")
    if(uses_MPI)
        # The library's own words where FindMPI could run it, else its version of MPI.
        string(REGEX REPLACE "[\r\n].*" "" mpi "${MPI_CXX_LIBRARY_VERSION_STRING}")
        # MPICH's says "MPICH Version:<tab>4.0.2": one line of plain text.
        string(REGEX REPLACE "[\t ]+" " " mpi "${mpi}")
        string(STRIP "${mpi}" mpi)
        if(mpi STREQUAL "" OR mpi MATCHES "NOTFOUND")
            set(mpi "MPI ${MPI_CXX_VERSION}")
        endif()
    endif()
    get_target_property(paths corvane_core CORVANE_KERNEL_PATHS)
    foreach(field compiler:corvane_compiler flags:corvane_build_flags build_type:CMAKE_BUILD_TYPE
                  openmp:openmp mpi:mpi paths:paths target:corvane_target)
        string(REPLACE ":" ";" field "${field}")
        list(GET field 0 name)
        list(GET field 1 variable)
        corvane_c_string(record_${name} "${${variable}}")
    endforeach()
    string(REPLACE ";" " " record_paths "${record_paths}")
    set(record_mpi_line "")
    if(uses_MPI)
        set(record_mpi_line "\"mpi_library=${record_mpi}\\n\"")
    endif()
    set(source "${corvane_generated_dir}/build_record/${target}.cpp")
    configure_file("${PROJECT_SOURCE_DIR}/cmake/build_record.cpp.in" "${source}" @ONLY)
    target_sources(${target} PRIVATE "${source}")
    target_include_directories(${target} PRIVATE "${corvane_generated_dir}")
    add_dependencies(${target} corvane_build_info)
endfunction()
