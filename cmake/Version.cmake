# Version texts reported by the gateways: project version, git revision, build date.
execute_process(
    COMMAND git rev-parse --short HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE ALG_GIT_REVISION
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
if(NOT ALG_GIT_REVISION)
    set(ALG_GIT_REVISION "0")
endif()
string(TIMESTAMP ALG_BUILD_DATE "%Y-%m-%d" UTC)
configure_file(${CMAKE_SOURCE_DIR}/platform/version.h.in ${CMAKE_BINARY_DIR}/generated/alg_version.h @ONLY)
