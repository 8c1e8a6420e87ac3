# Writes the build id header: the git commit the sources were built from,
# or the build date when they are no git checkout. The header is rewritten
# only when the id changes, so an unchanged build compiles nothing again.
#   cmake -DSOURCE_DIR=... -DOUTPUT=.../build_id.h -P build_id.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                OUTPUT_VARIABLE id OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE failed ERROR_QUIET)
if(failed OR id STREQUAL "")
  string(TIMESTAMP id "built %Y-%m-%d" UTC)
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "#define VELMORA_BUILD_ID \"@id@\"\n" @ONLY)
