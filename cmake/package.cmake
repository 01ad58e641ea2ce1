# The release package: a ZIP of the programs, README, docs, clients, the live
# page and the hub on its own Node runtime, with a SHA256SUMS of everything in it (cpack, or
# the "package" target, in the Windows build). Every program carries a version
# resource with the project's version.
function(gateway_version_resource target description)
  set(VERSION_TARGET ${target})
  set(VERSION_DESCRIPTION "${description}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/generated/version_${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated/version_${target}.rc)
endfunction()

function(gateway_package)
  install(TARGETS ${ARGN} RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
  # What a Windows user reads first: what to run, in what order.
  install(FILES ${CMAKE_SOURCE_DIR}/docs/start-here.md DESTINATION . RENAME START-HERE.md)
  if(selfcheck IN_LIST ARGN)
    install(FILES ${CMAKE_SOURCE_DIR}/tools/selfcheck/selfcheck.cmd DESTINATION .)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/hub/hub.cmd DESTINATION .)
  # The Python tests run only here, and the client goes as a wheel too.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs ${CMAKE_SOURCE_DIR}/clients DESTINATION .
          PATTERN __pycache__ EXCLUDE PATTERN .pytest_cache EXCLUDE PATTERN clients/python/tests EXCLUDE)
  # The C++ client is built with the gateway's own contract header.
  install(FILES ${CMAKE_SOURCE_DIR}/stream/axis_contract.h DESTINATION clients/cpp)
  # Assembled by scripts of their own: the live page with the libraries it ships
  # with (pinned, from npm); the hub with its libraries, and the Node runtime it
  # runs on (hub.cmd starts it), so that it runs without internet or installs;
  # the Python client's wheel.
  foreach(part "build-live-page web" "build-hub hub" "build-windows-node node" "build-python-wheel python")
    separate_arguments(part)
    list(GET part 0 script)
    list(GET part 1 folder)
    install(CODE "
      execute_process(COMMAND \"${CMAKE_SOURCE_DIR}/scripts/${script}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${folder}\"
                      RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR \"scripts/${script} failed\")
      endif()")
  endforeach()
  # Written last, over everything installed before it, with paths as sha256sum
  # prints them, so that "sha256sum -c SHA256SUMS" checks the unpacked folder.
  install(CODE [[
    set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    file(GLOB_RECURSE files RELATIVE "${root}" "${root}/*")
    list(REMOVE_ITEM files SHA256SUMS)
    list(SORT files)
    set(sums "")
    foreach(f IN LISTS files)
      file(SHA256 "${root}/${f}" hash)
      string(APPEND sums "${hash}  ${f}\n")
    endforeach()
    file(WRITE "${root}/SHA256SUMS" "${sums}")
  ]])
  set(CPACK_GENERATOR ZIP PARENT_SCOPE)
  set(CPACK_PACKAGE_NAME draxion-gateway PARENT_SCOPE)
  set(CPACK_PACKAGE_FILE_NAME draxion-gateway-${PROJECT_VERSION}-win64 PARENT_SCOPE)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON PARENT_SCOPE)
endfunction()
