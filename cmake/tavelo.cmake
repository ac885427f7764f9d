# Every folder of the tree is one library target whose sources are the .cpp files of the
# folder (and of the sub-folders named). Units are added by dropping a file in the folder.
function(tavelo_library target)
  cmake_parse_arguments(ARG "" "" "DIRS;LINK;PUBLIC_LINK" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB dir_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp")
    list(APPEND sources ${dir_sources})
  endforeach()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LINK} PRIVATE ${ARG_LINK})
endfunction()

# One GoogleTest program per test folder; CTest runs each test case in its own process.
function(tavelo_test_suite name)
  cmake_parse_arguments(ARG "" "" "DIRS;LINK;LABELS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB dir_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp")
    list(APPEND sources ${dir_sources})
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE tavelo_test_support ${ARG_LINK} GTest::gtest GTest::gmock)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300 FIXTURES_REQUIRED media)
endfunction()


# The codec libraries: each one a shared object with exactly the exports its format unit binds,
# loaded at run time by its Windows file name (platform/dynlib: "jpegcodec.dll" opens
# codecs/jpegcodec.so beside the program). They are built into <build>/codecs/, beside the programs
# in <build>/. A library that is not built is missing at run time, and its formats are withdrawn
# from the format tables at start-up.
set(TAVELO_CODEC_DIR ${PROJECT_BINARY_DIR}/codecs CACHE INTERNAL "Where the codec libraries are built")

# tavelo_codec(<name> SOURCES ... [LINK ...]): the library <name>.so in <build>/codecs/. Only the
# symbols marked for export are visible, so a library offers exactly its unit's contract.
function(tavelo_codec name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${TAVELO_CODEC_DIR}
                        C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
  target_link_libraries(${name} PRIVATE ${ARG_LINK})
endfunction()

file(MAKE_DIRECTORY ${TAVELO_CODEC_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/delay_load.cmake)
