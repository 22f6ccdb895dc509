# The build record inside an Arm program names the target and the kernel
# paths built for it:
#   cmake -DPROGRAM=bin/corvane-serial -P arm_record_check.cmake
cmake_minimum_required(VERSION 3.25)
file(STRINGS "${PROGRAM}" record REGEX "^(target|kernel_paths)=")
foreach(expected "target=aarch64-linux-gnu" "kernel_paths=neon sve")
    if(NOT expected IN_LIST record)
        message(FATAL_ERROR "${PROGRAM}: the build record lacks \"${expected}\"; it has: ${record}")
    endif()
endforeach()
message(STATUS "${PROGRAM}: ${record}")
