# Two builds of one commit give the same bytes: every date that ends up in a
# file (man pages, package archives) is the time of the last commit, unless
# SOURCE_DATE_EPOCH already says otherwise. string(TIMESTAMP) and cpack both
# read SOURCE_DATE_EPOCH from the environment.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE last_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE git_status ERROR_QUIET)
        if(git_status EQUAL 0 AND last_commit_time MATCHES "^[0-9]+$")
            set(ENV{SOURCE_DATE_EPOCH} ${last_commit_time})
        endif()
    endif()
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(SEALPOST_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
    message(STATUS "no git history and no SOURCE_DATE_EPOCH: dates in the build are today's")
    string(TIMESTAMP SEALPOST_SOURCE_DATE_EPOCH "%s" UTC)
endif()
string(TIMESTAMP SEALPOST_RELEASE_DATE "%Y-%m-%d" UTC)
