# Settings every target of the project shares: warnings, and the sanitizers
# when SANITIZE is on. Targets link project_options privately.
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE -Wall -Wextra -Wpedantic)
if(SANITIZE)
    target_compile_options(project_options INTERFACE
        -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(project_options INTERFACE -fsanitize=address,undefined)
endif()
if(FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
    endif()
    target_compile_options(project_options INTERFACE
        -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(project_options INTERFACE -fsanitize=address,undefined)
endif()

# Shipped code is the lean subset of C++: no exceptions, no RTTI.
function(lean_target target)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    target_link_libraries(${target} PRIVATE project_options)
endfunction()

# A shipped program is linked by the C driver, so it loads no C++ runtime
# library; anything that would need one fails to link instead.
function(lean_program target)
    lean_target(${target})
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
endfunction()

# A shipped program from <name>.cpp in the current folder, linked lean with
# the given libraries, installed with its man page <name>.1.
function(add_program name)
    add_executable(${name} ${name}.cpp)
    target_link_libraries(${name} PRIVATE ${ARGN})
    lean_program(${name})
    install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${name}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
