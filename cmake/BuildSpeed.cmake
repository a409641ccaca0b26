# Compile-time savings, applied to targets by name once every folder is read.
#
# Most of a build's time goes into parsing the same GoogleTest and Qt headers
# again for every test file and every window: each group of targets with the
# same compile definitions parses them once, into a precompiled header that
# its first target builds and the others reuse.

set(_traytape_std_headers
  <algorithm> <array> <atomic> <chrono> <cmath> <cstdint> <cstdlib> <cstring> <filesystem>
  <fstream> <functional> <map> <memory> <mutex> <optional> <set> <sstream> <string>
  <string_view> <thread> <vector>)
set(_traytape_qt_headers
  <QApplication> <QDir> <QFile> <QFileInfo> <QImage> <QList> <QObject> <QPainter>
  <QSettings> <QString> <QTimer> <QVariant> <QWidget>)
set(_traytape_gtest_headers <gtest/gtest.h> <gmock/gmock.h>)

# The first existing target of `targets` gets `headers`; the rest reuse its header.
# Not under ccache: without its pch sloppiness it cannot cache a file compiled
# with a precompiled header, and a warm cache saves more than the header does.
# Nor in a unity build, whose few large files parse the headers about as
# rarely as the precompiling itself: test.sh's sanitized tree, sixteen files
# a batch, took 229 s of processor time without the headers and 268 s with
# them (at eight a batch they saved a little: 256 s against 241 s).
function(traytape_precompile_group)
  if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache" OR CMAKE_UNITY_BUILD)
    return()
  endif()
  cmake_parse_arguments(G "" "" "TARGETS;HEADERS" ${ARGN})
  set(first "")
  foreach(target IN LISTS G_TARGETS)
    if(NOT TARGET ${target})
      continue()
    endif()
    if(NOT first)
      set(first ${target})
      target_precompile_headers(${target} PRIVATE ${G_HEADERS})
    else()
      target_precompile_headers(${target} REUSE_FROM ${first})
    endif()
  endforeach()
endfunction()

# Two groups: libpulse's flags define _REENTRANT for the engine, and a header
# precompiled without it is refused there (with a warning) and parsed anew.
traytape_precompile_group(TARGETS traytape_files HEADERS ${_traytape_std_headers})
traytape_precompile_group(TARGETS traytape_engine HEADERS ${_traytape_std_headers})
traytape_precompile_group(TARGETS traytape_ui HEADERS ${_traytape_std_headers} ${_traytape_qt_headers})
# The suites without Qt share the support library's definitions.
traytape_precompile_group(
  TARGETS traytape_testsupport engine_tests player_tests pulse_tests cli_tests playerpulse_tests
  HEADERS ${_traytape_std_headers} ${_traytape_gtest_headers})
traytape_precompile_group(
  TARGETS app_tests library_tests
  HEADERS ${_traytape_std_headers} ${_traytape_qt_headers} <QTest> <QSignalSpy> ${_traytape_gtest_headers})

