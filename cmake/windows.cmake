# The Windows target's own dependencies, built in the build tree from
# Debian's sources (scripts/setup.sh installs and unpacks them), and the
# settings every Windows object shares. Included before the project's
# warning flags, which are for the project's code alone.

# Windows 10 API level: WSAPoll, GetTickCount64, dynamic time-zone rules.
# The wide ("W") calls are named explicitly where texts cross.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)
set(VD_SOCKET_LIBRARIES ws2_32 mswsock)
set(VD_PLATFORM_LIBRARIES ${VD_SOCKET_LIBRARIES})

# Google Benchmark, libsystemd and prometheus-cpp exist for Linux only.
set(VD_BUILD_BENCHMARKS OFF CACHE BOOL "Build the benchmarks" FORCE)

# pugixml from Debian's source package.
set(VD_PUGIXML_SOURCE_DIR ${CMAKE_SOURCE_DIR}/build/deps/pugixml
    CACHE PATH "Debian's pugixml source tree (scripts/setup.sh unpacks it)")
if(NOT EXISTS ${VD_PUGIXML_SOURCE_DIR}/src/pugixml.cpp)
  message(FATAL_ERROR "No pugixml sources in ${VD_PUGIXML_SOURCE_DIR}: run scripts/setup.sh")
endif()
add_library(pugixml STATIC ${VD_PUGIXML_SOURCE_DIR}/src/pugixml.cpp)
target_include_directories(pugixml SYSTEM PUBLIC ${VD_PUGIXML_SOURCE_DIR}/src)
add_library(pugixml::pugixml ALIAS pugixml)

# asio's headers are libasio-dev's, from the build host: linked into the build
# tree, so that the target's include path holds asio and nothing else of
# /usr/include.
set(VD_ASIO_HEADERS ${CMAKE_BINARY_DIR}/deps/asio)
file(MAKE_DIRECTORY ${VD_ASIO_HEADERS})
foreach(entry asio asio.hpp)
  if(NOT EXISTS /usr/include/${entry})
    message(FATAL_ERROR "No /usr/include/${entry}: run scripts/setup.sh (libasio-dev)")
  endif()
  file(CREATE_LINK /usr/include/${entry} ${VD_ASIO_HEADERS}/${entry} SYMBOLIC)
endforeach()
set(ASIO_INCLUDE_DIR ${VD_ASIO_HEADERS} CACHE PATH "asio headers" FORCE)

# GoogleTest from the sources Debian's googletest package installs.
if(VD_BUILD_TESTS)
  set(VD_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VD_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/deps/googletest
                   EXCLUDE_FROM_ALL)
  # It names its targets GTest::gtest and GTest::gmock itself.
endif()

# The event message table of the driver executable: windmc makes one table
# per language from src/platform/windows_event_messages.mc (UTF-8, tables in
# UTF-16), windres links them in through windows_event_messages.rc as a COFF
# object, VD_EVENT_MESSAGES_OBJECT.
set(vd_messages_dir ${CMAKE_BINARY_DIR}/generated/messages)
set(vd_messages_source ${CMAKE_SOURCE_DIR}/src/platform/windows_event_messages)
set(VD_EVENT_MESSAGES_OBJECT ${vd_messages_dir}/windows_event_messages.res.obj)
add_custom_command(
  OUTPUT ${vd_messages_dir}/MSG00409.bin ${vd_messages_dir}/MSG00415.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${vd_messages_dir}
  COMMAND ${CMAKE_MC_COMPILER} -U -C 65001 -h ${vd_messages_dir} -r ${vd_messages_dir}
          ${vd_messages_source}.mc
  DEPENDS ${vd_messages_source}.mc
  VERBATIM)
add_custom_command(
  OUTPUT ${VD_EVENT_MESSAGES_OBJECT}
  COMMAND ${CMAKE_RC_COMPILER} -I ${vd_messages_dir} -O coff -o ${VD_EVENT_MESSAGES_OBJECT}
          ${vd_messages_source}.rc
  DEPENDS ${vd_messages_source}.rc ${vd_messages_dir}/MSG00409.bin ${vd_messages_dir}/MSG00415.bin
  VERBATIM)
