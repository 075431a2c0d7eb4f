# Builds the extension (and the test-only extension) once per interpreter in VELTO_PYTHONS.
# Each interpreter gets its own headers and its own extension suffix; outputs go to
# ${CMAKE_BINARY_DIR}/py/<implementation>/.

file(GLOB VELTO_PY_SOURCES CONFIGURE_DEPENDS src/py/*.cpp)
file(GLOB VELTO_MODULE_SOURCES CONFIGURE_DEPENDS src/server/*.cpp src/server/models/*.cpp)
# The bindings run once per call from Python, where the interpreter's own work dominates:
# built for size. The per-frame paths (base, io, the WebSocket reader, dispatch) keep -O2.
# The sanitizer build keeps -O2 throughout: with -Os, AddressSanitizer's own stack-frame
# check fails for a thread still in callback()'s send while the process exits.
if(NOT VELTO_COVERAGE AND NOT VELTO_ASAN)
  set(VELTO_COLD_SOURCES ${VELTO_PY_SOURCES} ${VELTO_MODULE_SOURCES})
  list(FILTER VELTO_COLD_SOURCES EXCLUDE REGEX "/dispatch\\.cpp$")
  set_source_files_properties(${VELTO_COLD_SOURCES} PROPERTIES COMPILE_OPTIONS -Os)
endif()
# The test-only extension: probes of the binding layer, and of the value classes through the
# C interface that the module exports in a capsule (it compiles none of the module's sources).
file(GLOB VELTO_TESTEXT_SOURCES CONFIGURE_DEPENDS tests/python/ext/*.cpp)

# The controller page, served at "/" by a WebSocket server's open(): its bytes in a source
# generated at build time, compiled into a library of its own that every module links.
set(VELTO_PAGE_SOURCE ${CMAKE_SOURCE_DIR}/src/web/controller.html)
set(VELTO_PAGE_CPP ${CMAKE_BINARY_DIR}/generated/controller_page.cpp)
add_custom_command(
  OUTPUT ${VELTO_PAGE_CPP}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${VELTO_PAGE_SOURCE} -DOUTPUT=${VELTO_PAGE_CPP}
          -P ${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake
  DEPENDS ${VELTO_PAGE_SOURCE} ${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake
  COMMENT "Embedding the controller page")
add_library(velto_page STATIC ${VELTO_PAGE_CPP})
target_include_directories(velto_page PUBLIC src)

set(VELTO_PY_TAGS "")
foreach(interp IN LISTS VELTO_PYTHONS)
  execute_process(
    COMMAND ${interp} -c "import sys, sysconfig; print(sys.implementation.name); print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX'))"
    OUTPUT_VARIABLE info OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot query ${interp}")
  endif()
  string(REPLACE "\n" ";" info "${info}")
  list(GET info 0 tag)
  list(GET info 1 include_dir)
  list(GET info 2 ext_suffix)
  if(NOT EXISTS "${include_dir}/Python.h")
    message(FATAL_ERROR "${interp}: no Python.h in ${include_dir} (install its -dev package)")
  endif()
  message(STATUS "Python extension for ${tag}: ${include_dir}, suffix ${ext_suffix}")
  list(APPEND VELTO_PY_TAGS ${tag})
  set(VELTO_PY_INTERP_${tag} ${interp} CACHE INTERNAL "")

  # The binding layer, compiled against this interpreter's headers.
  add_library(velto_py_${tag} STATIC ${VELTO_PY_SOURCES})
  target_include_directories(velto_py_${tag} PUBLIC src)
  target_include_directories(velto_py_${tag} SYSTEM PUBLIC ${include_dir})
  target_link_libraries(velto_py_${tag} PUBLIC velto_base)

  foreach(mod velto_protocol _velto_testext)
    if(mod STREQUAL velto_protocol)
      set(srcs ${VELTO_MODULE_SOURCES})
      set(deps velto_py_${tag} velto_io velto_ws velto_page)
    else()
      set(srcs ${VELTO_TESTEXT_SOURCES})
      set(deps velto_py_${tag})
    endif()
    if(NOT srcs)
      continue()
    endif()
    add_library(${mod}_${tag} MODULE ${srcs})
    target_link_libraries(${mod}_${tag} PRIVATE ${deps})
    target_link_options(${mod}_${tag} PRIVATE -Wl,--exclude-libs,ALL)
    set_target_properties(${mod}_${tag} PROPERTIES
      OUTPUT_NAME ${mod} PREFIX "" SUFFIX "${ext_suffix}"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/py/${tag})
  endforeach()
endforeach()
