# corvane_add_program(NAME SOURCE... ): one of the console programs.
function(corvane_add_program name)
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE corvane::warnings)
    # The C++ runtime linked in: as a shared library, loading, relocating and
    # initialising it took about 0.7 ms of every start on an AMD EPYC (Zen 5),
    # for the few parts the programs use. Not under sanitizers, whose
    # runtimes replace parts of it.
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT APPLE AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
        target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
        set_property(TARGET ${name} PROPERTY CORVANE_CXX_RUNTIME_LINKED_IN ON)
    endif()
    if(MINGW)
        # The entry point is wmain, the console's wide-character entry.
        target_link_options(${name} PRIVATE -municode)
    endif()
    install(TARGETS ${name} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
endfunction()
