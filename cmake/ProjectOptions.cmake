# Settings every target of the project shares: warnings, Debian's hardening,
# a 64-bit time_t, and the sanitizers when SANITIZE is on. Targets link
# sealpost_project_options privately; it stays out of the exported library.
add_library(sealpost_project_options INTERFACE)
target_compile_options(sealpost_project_options INTERFACE -Wall -Wextra -Wpedantic)
if(SANITIZE)
    target_compile_options(sealpost_project_options INTERFACE
        -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(sealpost_project_options INTERFACE -fsanitize=address,undefined)
endif()
if(FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
    endif()
    target_compile_options(sealpost_project_options INTERFACE
        -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(sealpost_project_options INTERFACE -fsanitize=address,undefined)
endif()

# The flags dpkg-buildflags gives for hardening=+all, on top of the build
# type's: fortified libc calls (which need the optimiser), stack protector
# and stack clash protection, control-flow protection where the CPU has it,
# PIE, full RELRO and immediate binding. The sanitized and fuzzing builds
# instrument the code their own way instead. -ffile-prefix-map keeps the
# source folder's path out of what is built.
# A static toolchain file (cmake/StaticPrograms.cmake) says whether its C
# library can start a static PIE; glibc cannot on ARM.
if(SEALPOST_STATIC)
    set(CMAKE_POSITION_INDEPENDENT_CODE ${SEALPOST_STATIC_PIE})
    # CMake would link a PIE with -pie, which undoes -static-pie.
    set(CMAKE_C_LINK_OPTIONS_PIE -static-pie)
    set(CMAKE_CXX_LINK_OPTIONS_PIE -static-pie)
else()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
include(CheckPIESupported)
check_pie_supported()
# The static library is built with -fPIC so that it also links into shared
# libraries; without this, every call between its exported functions would
# stay a call that another library could interpose, and hex decoding would
# take 1.7 times as long (measured with bench/library_bench).
target_compile_options(sealpost_project_options INTERFACE -fno-semantic-interposition)
if(NOT SANITIZE AND NOT FUZZ)
    target_compile_definitions(sealpost_project_options INTERFACE
        $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    target_compile_options(sealpost_project_options INTERFACE
        -fstack-protector-strong -fstack-clash-protection -Wformat -Werror=format-security -Wdate-time
        -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i.86)$")
        target_compile_options(sealpost_project_options INTERFACE -fcf-protection)
    endif()
    target_link_options(sealpost_project_options INTERFACE -Wl,-z,relro -Wl,-z,now)
endif()

# On a 32-bit target time_t and file offsets are 64 bits wide as well, so that
# the clock behind the IV does not overflow in January 2038.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_compile_definitions(sealpost_project_options INTERFACE _TIME_BITS=64 _FILE_OFFSET_BITS=64)
endif()

# Shipped code is the lean subset of C++: no exceptions, no RTTI.
function(lean_target target)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:sealpost_project_options>)
endfunction()

# A shipped program is linked by the C driver, so it loads no C++ runtime
# library; anything that would need one fails to link instead.
function(lean_program target)
    lean_target(${target})
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
endfunction()

# Stripping an installed file (cpack strips) also drops the sections Debian
# strips, which the program does not use: the compiler's .comment and .note.
# Archives are stripped of debugging information only, deterministically.
function(strip_like_debian file component)
    set(options --remove-section=.comment --remove-section=.note)
    if(file MATCHES "\\.a$")
        list(APPEND options --strip-debug --enable-deterministic-archives)
    endif()
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" ${options} \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\"
        RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR \"stripping ${file} failed\")
    endif()
endif()" COMPONENT ${component})
endfunction()

# The man page <name>.<section> in the current folder, installed into the
# package COMPONENT names. The page's title line takes the version and date
# from the build; it is installed gzipped without a time stamp, as Debian
# ships man pages.
function(add_man_page name section component)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${name}.${section})
    configure_file(${name}.${section} ${page} @ONLY)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND gzip -9nkf ${page}
        DEPENDS ${page}
        VERBATIM)
    add_custom_target(${name}_man_page ALL DEPENDS ${page}.gz)
    set_property(GLOBAL APPEND PROPERTY SEALPOST_MAN_PAGES ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

# A shipped program from <name>.cpp in the current folder, linked lean with
# the given libraries, installed with its man page <name>.1, or <name>.8 for
# a program run by the system (installed in sbin then). COMPONENT names the
# package it goes into (programs by default).
function(add_program name)
    cmake_parse_arguments(PARSE_ARGV 1 program "" "SECTION;COMPONENT" "SOURCES")
    if(NOT program_SECTION)
        set(program_SECTION 1)
    endif()
    if(NOT program_COMPONENT)
        set(program_COMPONENT programs)
    endif()
    set(destination ${CMAKE_INSTALL_BINDIR})
    if(program_SECTION EQUAL 8)
        set(destination ${CMAKE_INSTALL_SBINDIR})
    endif()
    add_executable(${name} ${name}.cpp ${program_SOURCES})
    target_link_libraries(${name} PRIVATE ${program_UNPARSED_ARGUMENTS})
    lean_program(${name})
    install(TARGETS ${name} RUNTIME DESTINATION ${destination} COMPONENT ${program_COMPONENT})
    strip_like_debian(${destination}/${name} ${program_COMPONENT})
    add_man_page(${name} ${program_SECTION} ${program_COMPONENT})
endfunction()
