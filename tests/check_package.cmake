# Makes the release package and checks it: the programs, README, docs and clients
# are in it, it holds no symbolic links (Windows' own extractor makes none), and
# SHA256SUMS names every other file with its right hash.
# Usage: cmake -DCPACK=<cpack> -DBUILD=<build dir> -DNAME=<package name> -DVERSION=<version>
#        -P check_package.cmake
execute_process(COMMAND "${CPACK}" -G ZIP WORKING_DIRECTORY "${BUILD}" RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack failed: ${status}")
endif()
set(scratch "${BUILD}/package_check")
file(REMOVE_RECURSE "${scratch}")
file(MAKE_DIRECTORY "${scratch}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${BUILD}/${NAME}.zip" WORKING_DIRECTORY "${scratch}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${NAME}.zip")
endif()
set(root "${scratch}/${NAME}")
foreach(f gateway.exe gateway_probe.exe axis_monitor.exe axis_replay.exe host_simulator.exe README.md START-HERE.md
          docs/protocol.md docs/mosquitto-live.conf clients/cpp/axis_client.h clients/cpp/axis_client.cpp
          clients/cpp/axis_contract.h web/index.html web/live.js web/messages.js web/lib/mqtt.min.js
          web/lib/uPlot.iife.min.js docs/mqtt.md docs/python.md docs/gateway.md docs/windows.md
          hub.cmd hub/hub.js hub/hub.json hub/LICENSES.txt node/node.exe node/LICENSE
          hub/node_modules/node-opcua-nodesets/nodesets/Opc.Ua.NodeSet2.xml hub/lib/opcua/draxion.NodeSet2.xml
          hub/lib/history/store.js
          pipe_server_exit.exe gateway_keeper.exe
          python/draxion_axis-${VERSION}-py3-none-any.whl
          selfcheck.exe selfcheck.cmd e2e_tests.exe box_user.exe cycle_bench.exe SHA256SUMS)
  if(NOT EXISTS "${root}/${f}")
    message(FATAL_ERROR "${f} is missing from the package")
  endif()
endforeach()
file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${root}" "${root}/*")
foreach(f IN LISTS entries)
  if(IS_SYMLINK "${root}/${f}")
    message(FATAL_ERROR "${f} is a symbolic link")
  endif()
endforeach()
file(STRINGS "${root}/SHA256SUMS" lines)
file(GLOB_RECURSE files RELATIVE "${root}" "${root}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(LENGTH files file_count)
list(LENGTH lines line_count)
# The hub goes packed into one file: thousands of small files made its start slow.
if(file_count GREATER 200)
  message(FATAL_ERROR "the package holds ${file_count} files: is the hub packed?")
endif()
if(NOT file_count EQUAL line_count)
  message(FATAL_ERROR "SHA256SUMS names ${line_count} files, the package holds ${file_count}")
endif()
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([0-9a-f]+)  (.+)$")
    message(FATAL_ERROR "not a sha256sum line: ${line}")
  endif()
  set(hash "${CMAKE_MATCH_1}")
  set(f "${CMAKE_MATCH_2}")
  file(SHA256 "${root}/${f}" actual)
  if(NOT actual STREQUAL hash)
    message(FATAL_ERROR "${f}: SHA256SUMS says ${hash}, the file is ${actual}")
  endif()
endforeach()
message(STATUS "${NAME}.zip: ${file_count} files, every hash right")
