# The static programs of ./build.sh boards, from the archives in BOARDS_DIR as
# a user gets them: checked for what they are, then run by the tables every
# build passes, with this tree's own bfseal as the one to seal alike. The ARM
# ones run under qemu-arm for cores from ARMv5TE (arm926) to ARMv8 (max), with
# an empty root holding only the programs, /etc/hosts and /etc/resolv.conf;
# the x86-64 ones run on this machine.
set(board_roots ${PROJECT_BINARY_DIR}/boards)
add_test(NAME boards_files COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/board_files.sh
    ${PROJECT_VERSION} ${BOARDS_DIR} ${board_roots} ${PROJECT_SOURCE_DIR})
set_tests_properties(boards_files PROPERTIES FIXTURES_SETUP boards TIMEOUT 300)

foreach(table bfseal bfopen programs)
    add_executable(${table}_tests ${table}_test.cpp)
    target_link_libraries(${table}_tests PRIVATE test_support GTest::gtest_main)
    target_compile_definitions(${table}_tests PRIVATE
        "BFSEAL_PATH=\"$<TARGET_FILE:bfseal>\"" "BFOPEN_PATH=\"$<TARGET_FILE:bfopen>\""
        "BFMAC_PATH=\"$<TARGET_FILE:bfmac>\"" "FORMSEND_PATH=\"$<TARGET_FILE:formsend>\""
        "OPENSSL_PROGRAM=\"${OPENSSL_PROGRAM}\"")
endforeach()
target_link_libraries(bfopen_tests PRIVATE bfopen_sealed)

foreach(cpu arm926 arm1176 cortex-a7 max amd64)
    if(cpu STREQUAL "amd64")
        set(root ${board_roots}/amd64)
        set(launcher)
    else()
        set(root ${board_roots}/armel)
        set(launcher qemu-arm -L ${root} -cpu ${cpu})
    endif()
    list(JOIN launcher " " launcher_line)
    set(environment "SEALPOST_PROGRAMS=${root}/bin" "SEALPOST_LAUNCHER=${launcher_line}")
    # qemu-arm -L looks for the files a program opens in the root first.
    if(launcher)
        list(APPEND environment "RECORDER_NAME=recorder.board.test")
    endif()
    # Unit tests of bfopen's input checks and the linkage of dynamic
    # programs say nothing about these files.
    add_test(NAME boards_${cpu}_bfseal COMMAND bfseal_tests)
    add_test(NAME boards_${cpu}_bfopen COMMAND bfopen_tests --gtest_filter=Bfopen.*)
    add_test(NAME boards_${cpu}_arguments COMMAND programs_tests --gtest_filter=Usage.*:KeyFile.*)
    add_test(NAME boards_${cpu}_formsend
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/in_netns.sh ${PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/formsend_e2e.py
                ${root}/bin/formsend ${launcher})
    set_tests_properties(boards_${cpu}_bfseal boards_${cpu}_bfopen boards_${cpu}_arguments boards_${cpu}_formsend
        PROPERTIES ENVIRONMENT "${environment}" FIXTURES_REQUIRED boards
                   SKIP_RETURN_CODE 77 TIMEOUT 300)
endforeach()

# The archive's sealpost-send under the ash of a static ARM busybox, which
# ./build.sh boards unpacks beside the archives: one row of send_e2e's table.
add_test(NAME boards_armel_send
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/in_netns.sh ${PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/send_e2e.py
            ${PROJECT_BINARY_DIR})
set_tests_properties(boards_armel_send PROPERTIES
    ENVIRONMENT "SEALPOST_BOARD_ROOT=${board_roots}/armel;SEALPOST_BOARD_BUSYBOX=${BOARDS_DIR}/armel/busybox/bin/busybox"
    FIXTURES_REQUIRED boards SKIP_RETURN_CODE 77 TIMEOUT 300)
