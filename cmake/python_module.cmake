# Builds the extension module `_qorva` against the interpreter named by PYTHON
# (default /usr/bin/python3) and places it in python/qorva/ beside the package.
set(PYTHON "/usr/bin/python3" CACHE FILEPATH "Interpreter to build the extension for")
execute_process(
  COMMAND ${PYTHON} -c "import sysconfig; print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX'))"
  OUTPUT_VARIABLE _qorva_py_info OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" _qorva_py_info "${_qorva_py_info}")
list(GET _qorva_py_info 0 QORVA_PY_INCLUDE)
list(GET _qorva_py_info 1 QORVA_PY_EXT_SUFFIX)

file(GLOB QORVA_PY_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/python/*.cpp)
if(QORVA_PY_SOURCES)
  add_library(qorva_python MODULE ${QORVA_PY_SOURCES})
  target_include_directories(qorva_python SYSTEM PRIVATE ${QORVA_PY_INCLUDE})
  target_compile_options(qorva_python PRIVATE ${QORVA_WARNINGS} -fvisibility=hidden)
  target_link_libraries(qorva_python PRIVATE qorva_core)
  # The module exports PyInit__qorva alone: the core linked into it stays
  # private, so it cannot clash with another extension's symbols.
  target_link_options(qorva_python PRIVATE -Wl,--exclude-libs,ALL)
  set(QORVA_PY_OUTPUT_DIR "${CMAKE_SOURCE_DIR}/python/qorva" CACHE PATH "Where _qorva is placed")
  set_target_properties(qorva_python PROPERTIES
    OUTPUT_NAME _qorva PREFIX "" SUFFIX "${QORVA_PY_EXT_SUFFIX}"
    LIBRARY_OUTPUT_DIRECTORY "${QORVA_PY_OUTPUT_DIR}")
  # A module placed elsewhere (a sanitizer build, say) gets its own copy of the
  # package, so that its parent directory alone can go on PYTHONPATH.
  if(NOT QORVA_PY_OUTPUT_DIR STREQUAL "${CMAKE_SOURCE_DIR}/python/qorva")
    configure_file(${CMAKE_SOURCE_DIR}/python/qorva/__init__.py ${QORVA_PY_OUTPUT_DIR}/__init__.py COPYONLY)
  endif()
endif()
