# A cross build for Windows searches packages only under the MinGW tree,
# where Debian's header-only CLI11 and nlohmann/json are not. Both serve any
# target, so they are made reachable through a small tree in the build
# directory holding links to just their headers and package files: the
# rest of the host's /usr/include stays out of the Windows build.
set(corvane_header_only_root "${PROJECT_BINARY_DIR}/header-only")
foreach(entry include/CLI include/nlohmann share/cmake/CLI11 share/cmake/nlohmann_json)
    set(host "/usr/${entry}")
    set(link "${corvane_header_only_root}/usr/${entry}")
    if(EXISTS "${host}" AND NOT EXISTS "${link}")
        get_filename_component(parent "${link}" DIRECTORY)
        file(MAKE_DIRECTORY "${parent}")
        file(CREATE_LINK "${host}" "${link}" SYMBOLIC)
    endif()
endforeach()
list(APPEND CMAKE_FIND_ROOT_PATH "${corvane_header_only_root}")
