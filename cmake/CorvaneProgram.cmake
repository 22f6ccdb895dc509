# corvane_add_program(NAME SOURCE... ): one of the console programs.
function(corvane_add_program name)
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE corvane::warnings)
    if(MINGW)
        # The entry point is wmain, the console's wide-character entry.
        target_link_options(${name} PRIVATE -municode)
    endif()
    install(TARGETS ${name} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
endfunction()
