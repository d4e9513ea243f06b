# Builds the extension module `_qorva` against the interpreter named by PYTHON
# (default /usr/bin/python3) and places it in python/qorva/ beside the package;
# with QORVA_PY_TESTING, the test-only module `_qorva_testing` beside it.
execute_process(
  COMMAND ${PYTHON} -c "import sysconfig; print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX'))"
  OUTPUT_VARIABLE _qorva_py_info OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" _qorva_py_info "${_qorva_py_info}")
list(GET _qorva_py_info 0 QORVA_PY_INCLUDE)
list(GET _qorva_py_info 1 QORVA_PY_EXT_SUFFIX)

set(QORVA_PY_ENTRY ${CMAKE_SOURCE_DIR}/src/python/module.cpp)
file(GLOB QORVA_PY_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/python/*.cpp)
list(REMOVE_ITEM QORVA_PY_SOURCES ${QORVA_PY_ENTRY})
# Every entry point passes on, by `catch (abi::__forced_unwind&)`, the unwind
# that ends a thread at interpreter exit. libstdc++ binds that reference to no
# object, which UBSan's null check would report as an error; the core keeps
# the check.
set(QORVA_PY_OPTIONS ${QORVA_WARNINGS} -fvisibility=hidden)
if(QORVA_SANITIZE MATCHES "undefined")
  list(APPEND QORVA_PY_OPTIONS -fno-sanitize=null)
endif()

if(QORVA_PY_SOURCES)
  # The binding layer without an entry point: both modules link it, so they
  # share one error mapping and one set of conversions.
  add_library(qorva_binding STATIC ${QORVA_PY_SOURCES})
  target_include_directories(qorva_binding SYSTEM PUBLIC ${QORVA_PY_INCLUDE})
  target_compile_options(qorva_binding PRIVATE ${QORVA_PY_OPTIONS})
  target_link_libraries(qorva_binding PUBLIC qorva_core)

  set(QORVA_PY_OUTPUT_DIR "${CMAKE_SOURCE_DIR}/python/qorva" CACHE PATH "Where _qorva is placed")

  # An extension module `name` built from its entry point and the binding layer
  # into QORVA_PY_OUTPUT_DIR. It exports its PyInit_ function alone: the
  # libraries linked into it stay private, so they cannot clash with another
  # extension's symbols.
  function(qorva_extension_module target name entry)
    add_library(${target} MODULE ${entry})
    target_compile_options(${target} PRIVATE ${QORVA_PY_OPTIONS})
    target_link_libraries(${target} PRIVATE qorva_binding)
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
    set_target_properties(${target} PROPERTIES
      OUTPUT_NAME ${name} PREFIX "" SUFFIX "${QORVA_PY_EXT_SUFFIX}"
      LIBRARY_OUTPUT_DIRECTORY "${QORVA_PY_OUTPUT_DIR}")
  endfunction()

  qorva_extension_module(qorva_python _qorva ${QORVA_PY_ENTRY})
  if(QORVA_PY_TESTING)
    qorva_extension_module(qorva_python_testing _qorva_testing ${CMAKE_SOURCE_DIR}/tests/python_ext/testing_module.cpp)
  endif()

  # A module placed elsewhere (a sanitizer build, say) gets its own copy of the
  # package, so that its parent directory alone can go on PYTHONPATH.
  if(NOT QORVA_PY_OUTPUT_DIR STREQUAL "${CMAKE_SOURCE_DIR}/python/qorva")
    configure_file(${CMAKE_SOURCE_DIR}/python/qorva/__init__.py ${QORVA_PY_OUTPUT_DIR}/__init__.py COPYONLY)
  endif()
endif()
