# Run at every build (cmake -P): writes build_info.hpp with the commit the
# programs and corvane-bench were built from, rewriting it only when
# something changed.
execute_process(COMMAND git describe --always --dirty --abbrev=12
    WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE commit
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR commit STREQUAL "")
    set(commit "unknown")
endif()
set(text "// Generated at build time by cmake/CorvaneBuildInfo.cmake.
#pragma once
// A literal, for the build records compiled into the programs.
#define CORVANE_COMMIT \"${commit}\"
namespace corvane::build_info {
inline constexpr const char* version = \"${VERSION}\";
inline constexpr const char* commit = CORVANE_COMMIT;
inline constexpr const char* compiler = \"${COMPILER}\";
inline constexpr const char* flags = \"${FLAGS}\";
inline constexpr const char* build_type = \"${BUILD_TYPE}\";
inline constexpr const char* openmp_runtime = \"${OPENMP}\";
inline constexpr const char* mpiexec = \"${MPIEXEC}\";
}
")
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
    file(WRITE "${OUTPUT}" "${text}")
endif()
